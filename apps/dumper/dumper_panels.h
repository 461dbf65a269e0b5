// The dumper's panels (resource file "dumper", forms in forms/): their numbers, handles, the
// display of the engine on them, and the callbacks the forms name.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "apps/dumper/dumper_app.h"
#include "apps/guikit/display.h"
#include "apps/guikit/userint.h"
#include "engines/dumper/dumper.h"

namespace dumper {

inline constexpr const char* kDumperUir = "dumper";

// Panels and the menu bar.
inline constexpr int TURNON = 1;
inline constexpr int MAIN = 2;
inline constexpr int ERASE = 3;
inline constexpr int ERASE_SUCCESS = 4;
inline constexpr int TIMEOUT = 5;
inline constexpr int DUMP_SUCCESS = 6;
inline constexpr int MENUBAR = 1;

// Main panel controls beyond those the engine names: the two command buttons, the whole job's
// status line and the Cancel button (usable only while a dump runs).
inline constexpr int kMainStart = 4, kMainExit = 5, kMainStatus = 19, kMainCancel = 20;
// Erase panel command buttons, its Cancel button and status line.
inline constexpr int kEraseGo = 2, kEraseExit = 3, kEraseCancel = 14, kEraseStatus = 15;
// Switch-on panel: its text (seconds left) and Cancel button.
inline constexpr int kTurnOnText = 2, kTurnOnCancel = 3;
// The OK button of the closing panels.
inline constexpr int kClosingOk = 2;

// Handles (-1 when not loaded). The main panel's handle is named after the program.
extern int dumper;
extern int v_MenuBarHandle;
extern int v_PanelErase;
extern int v_PanelTurnOn;
extern int v_PanelSuccessful;
extern int v_EraseSuccessful;
extern int v_PanelTimeout;

class PanelDisplay : public guikit::Display {
 public:
  void comment(const std::string&) override {}
  void openWindow(dwl::Window window, const std::string& message) override;
  void lock() override;
  void unlock() override;
};

// The controls a dump or an erase moves, and the boxes of the erase walk.
class PanelControls : public PanelEvents {
 public:
  void progress(int percent) override;
  void dumpOffset(std::uint32_t offset) override;
  void eraseProgress(std::uint32_t offset, std::uint32_t sector) override;
  void box(const std::string& title, const std::string& text) override;
  void pump() override;
};

// Dims or undims controls as the engine asks, with the main menu bar.
void applyDimming(const Dimming& d);

// Registers the panels, installs the display and the callbacks, loads the main panel and its
// menu bar.
void startDumperPanels();
void stopDumperPanels();

// Callbacks (control: panel, control, event, data, data1, data2; menu: bar, item, data, panel).
int dumper_start(int panel, int control, int event, void* data, int data1, int data2);
int dumper_exit(int panel, int control, int event, void* data, int data1, int data2);
int select_start(int panel, int control, int event, void* data, int data1, int data2);
int select_end(int panel, int control, int event, void* data, int data1, int data2);
int select_port(int panel, int control, int event, void* data, int data1, int data2);
int dwl51_62MMISelectSpeed(int panel, int control, int event, void* data, int data1, int data2);
void about_display(int menuBar, int item, void* data, int panel);
void erase_flash(int menuBar, int item, void* data, int panel);
int erase_select(int panel, int control, int event, void* data, int data1, int data2);
int erase_start(int panel, int control, int event, void* data, int data1, int data2);
int erase_end(int panel, int control, int event, void* data, int data1, int data2);
int erase_go(int panel, int control, int event, void* data, int data1, int data2);
int erase_exit(int panel, int control, int event, void* data, int data1, int data2);
int dump_successOK(int panel, int control, int event, void* data, int data1, int data2);
int erase_success_ok(int panel, int control, int event, void* data, int data1, int data2);
int timeout_ok(int panel, int control, int event, void* data, int data1, int data2);
// The close boxes of the main and erase panels, and the button of every error window.
int dumper_close(int panel, int event, void* data, int data1, int data2);
int erase_close(int panel, int event, void* data, int data1, int data2);
int error_window_ok(int panel, int control, int event, void* data, int data1, int data2);
// The Cancel buttons of the main and erase panels and of the switch-on panel.
int cancel_job(int panel, int control, int event, void* data, int data1, int data2);
// The question before an erase: the sectors and their flash range.
std::string eraseQuestion(int first, int last);
// The cause under "Invalid value": a sector number outside the map, typed into the first or last
// field of the dump or erase range.
std::string sectorOutsideText(const std::string& range, bool first, int value);
// ... and a range whose first sector is above its last: the end just typed (none at a start).
std::string invertedRangeText(const std::string& range, std::optional<bool> typedFirst, int first,
                              int last);
// What a dump that did not finish left in dump.txt.
std::string keptBytesText(std::uintmax_t bytes, const std::string& path);
// What the dump-successful panel adds: where the dump went, its size and the range dumped.
std::string dumpSavedText(const std::string& path, std::uintmax_t size, int first, int last);

const guikit::CallbackTable& dumperCallbacks();

}  // namespace dumper
