// The downloader's panels: their handles, the display of the engine on them, and the start-up
// that loads them (shared by main and the tests).
#pragma once

#include <string>

#include "dwl/dwl10fla.h"
#include "dwl/dwl_display.h"
#include "engines/downloader/download_context.h"
#include "engines/downloader/dwl56conf.h"

namespace downloader {

// Handles of the loaded panels and of the main panel's menu bar (-1 or stale when not loaded).
extern int v_Panel;
extern int v_MenuBarHandle;
extern int v_PanelTurnOn;
extern int v_PanelSuccessful;
extern int v_PanelTimeout;
extern int v_ServicePanel;
extern int v_PanelGenericErr;
extern int v_PanelFlashFileErr;
extern int v_PanelConfFileErr;
extern int v_PanelLibPCErr;
extern int v_PanelBootErr;
extern int v_PanelCommandErr;
// Text used to clear the elapsed-time display.
extern char vl_Time[8];
// The flash descriptions read at start-up; every job of the program is handed them.
extern dwl::FlashDescriptionTable vg_FlashDescritpion;
// The program's one live record. Initial values: Mode 1, ComPort 4, Speed 3, ProductType 2; its
// images must fit vg_FlashDescritpion.
extern DownloadContext sg_DownloadContext;
// What a configuration restore changes on the main panel; empty while the panels are not loaded.
extern ConfigPanelHooks v_ConfigPanelHooks;

// What the engine shows, on the main panel and the result windows.
class PanelDisplay : public dwl::Display {
 public:
  void comment(const std::string& line) override;
  void progress(int percent) override;
  void elapsed(const std::string& text) override;
  void sector(std::uint32_t index, std::uint32_t size, std::uint32_t address,
              const std::string& state) override;
  void processEvents() override;
  void openWindow(dwl::Window window, const std::string& message) override;
  void popup(const std::string& title, const std::string& text) override;
  void cpuIndicator(bool on, const std::string& text) override;
  void flashIndicator(bool on, const std::string& text) override;
  void lock() override;
  void unlock() override;
  void slotPath(dwl::Slot slot, const std::string& path) override;
  void slotSize(dwl::Slot slot, std::uint32_t size) override;
  void slotSum(dwl::Slot slot, std::uint32_t sum) override;
  int fileSelect(const std::string& directory, const std::string& pattern, const std::string& title,
                 std::string* path) override;
};

// Registers the panel resources, installs the display and the callback table, loads the main
// panel and its menu bar, and reads flash.txt (its error window opens when it is faulty).
void startDownloaderPanels();
// Discards every panel and uninstalls the display (tests).
void stopDownloaderPanels();

// The result window the last result opened (-1: none), and the title its failure windows take
// ("Download failed", "Switch-on failed").
int lastResultWindow();
void setFailureTitle(const std::string& what);

// Ticks, in the wait-state menu, the count each chip select has now.
void markWaitStates();

// Loads the switch-on prompt and draws it at once: the boot that follows holds the event loop.
int showSwitchOnPrompt();

// The image slot groups of the main panel.
enum SlotGroup { GROUP_BIN1, GROUP_BIN2, GROUP_OGM1, GROUP_OGM2 };
void dimSlotGroup(SlotGroup group, bool dim);

// Our whole-job line and bar back to idle, with the indicators the result windows reset.
void resetJobLine();

// How many image loads have finished with their byte sum shown (one more per load that took).
int loadsShown();

}  // namespace downloader
