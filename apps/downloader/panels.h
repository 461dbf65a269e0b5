// The downloader's panels: their handles, what the program and its jobs show on them, and the
// start-up that loads them (shared by main and the tests).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "apps/guikit/display.h"
#include "dwl/dwl10fla.h"
#include "dwl/dwl_job.h"
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

// The result windows, boxes, lock and image slots of the program, and the comment lines of its
// own actions outside a job.
class PanelDisplay : public guikit::Display {
 public:
  void comment(const std::string& line) override;
  void openWindow(dwl::Window window, const std::string& message) override;
  void lock() override;
  void unlock() override;
  void slotPath(dwl::Slot slot, const std::string& path) override;
  void slotSize(dwl::Slot slot, std::uint32_t size) override;
  void slotSum(dwl::Slot slot, std::uint32_t sum) override;
};

// What a write shows on the main panel, from its events: the comment log, the sector map, both
// progress controls (the image being written), the elapsed time. It keeps the window alive while
// the job runs: events are handled at each heartbeat and after each block confirmed.
class PanelEvents : public dwl::ProgressSink {
 public:
  void stageStarted(const dwl::StageInfo& stage) override;
  void bytesDone(const dwl::ByteProgress& bytes) override;
  void sectorChanged(const dwl::SectorEvent& sector) override;
  void sectorPlanned(const dwl::PlannedSector& sector) override;
  void logLine(const std::string& line) override;
  void elapsed(std::optional<std::uint32_t> seconds) override;
  void heartbeat(double waited) override;

  // Both progress controls, 0..100.
  virtual void progress(int percent);

 private:
  dwl::Stage stage_ = dwl::Stage::Boot;
};

// The panel's event sink every write of the program reports to; tests put their own in (null
// restores the program's).
PanelEvents& panelEvents();
void setPanelEvents(PanelEvents* events);

// The processor and flash indicators, switched on with the identified handset's texts.
void showCpuType(std::uint8_t cpuType);
void showFlashType(std::uint8_t manufacturer, std::uint8_t device);
// Both indicators off (they keep their text) and both progress controls at 0.
void initControls();

// The file dialog of an image slot, in the folder the technician last loaded from: 0 when
// cancelled, 1 for an existing file, 2 for a new one, and then the chosen path in *path.
int chooseImageFile(const std::string& pattern, const std::string& title, std::string* path);

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
