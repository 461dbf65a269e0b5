// The dumper program: its record and the panels' shared values, the input logic of the panel
// callbacks, and the whole flows of the Start and Erase buttons on the operation layer.
//
// The closing window opens through guikit::dwl52_10DisplayResult: Window::Success is the
// dump-successful panel (6) when sg_DownloadContext.OperationMode is kModeDump and the
// erase-successful panel (4) when it is kModeErase; Window::Timeout is panel 5; every other
// window is one of the shared error windows. Display::lock() and unlock() apply lockDimming() and
// unlockDimming() on the panel in use.
//
// A GUI callback then reads, for example:
//   dumper_start:  if (event == EVENT_COMMIT) dumper::runDump(switchOnPanel);
//   select_start:  if (dumper::setDumpFirstSector(value) == InputVerdict::Inverted) ...
//   timeout_ok:    discard v_PanelTimeout; dumper::resetAndUnlock();
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "dwl/dwl_job.h"
#include "engines/dumper/dumper.h"
#include "ops/operations.h"

namespace platform {
class CancelToken;
}

namespace dumper {

// The one live record, filled by the panel callbacks and the boot.
extern DumperContext sg_DownloadContext;

// The first and last sector last typed on the erase panel; restored into the erase range when
// the user switches back from whole flash to a sector range.
extern int prior_value_start;
extern int prior_value_end;

// Puts the record and the globals back to their start-up values (tests, a fresh session).
void resetDumperState();

// ---------------------------------------------------------------------------------------------
// The whole flows of the Start and Erase buttons: operation mode, reset and lock of the panel in
// use, switch-on panel during the boot, boot, sequence, closing window, port closed. They return
// the result they displayed. The panel stays locked until resetAndUnlock().

// The switch-on panel shown while the handset boots: load and display it; discard it. Front ends
// without one leave both empty.
struct SwitchOnPanel {
  std::function<void()> show;
  std::function<void()> discard;
  // While the panel is shown, at every heartbeat: seconds the boot has waited so far.
  std::function<void(double waited)> waiting;
  // Every event of the job as well (the window's whole-job status); may be null.
  dwl::ProgressSink* progress = nullptr;
  // After the result window opened: the job's result (the GUI adds its cause or where the dump
  // went).
  std::function<void(const dwl::JobResult&)> shown;
};

dwl::DownloadResult runDump(const SwitchOnPanel& switchOn = {});
// The request to stop the running dump or erase (the Cancel button); reset when a flow starts.
platform::CancelToken& cancelToken();
// The port and clock the program's jobs run on, installed at start (tests install theirs).
ops::ProgramSettings& programSettings();
dwl::DownloadResult runErase(const SwitchOnPanel& switchOn = {});

// The OK of every window that closes an operation (dump successful, erase successful, time-out,
// and the shared error windows), after the GUI has discarded that window: reset the
// progress of the panel in use and unlock it, by OperationMode. The erase panel stays open.
void resetAndUnlock();

// What a dump or an erase shows on the panels, from the job's events: the dump's percentage and
// the offset of the block just written, the erase walk's sector just erased, and a box (titled
// kErrorTitle) for each failed check of the walk, which waits until it is closed. The windows are
// kept alive at each heartbeat and after each block or sector. The panels draw the controls.
class PanelEvents : public dwl::ProgressSink {
 public:
  void stageStarted(const dwl::StageInfo& stage) override;
  void bytesDone(const dwl::ByteProgress& bytes) override;
  void sectorChanged(const dwl::SectorEvent& sector) override;
  void checkFailed(const dwl::SectorEvent& sector, const std::string& text) override;
  void heartbeat(double waited) override;

  virtual void progress(int percent) { (void)percent; }            // main controls 2 and 3
  virtual void dumpOffset(std::uint32_t offset) { (void)offset; }  // main control 8
  // Erase controls 5 and 6.
  virtual void eraseProgress(std::uint32_t offset, std::uint32_t sector) {
    (void)offset, (void)sector;
  }
  virtual void box(const std::string& title, const std::string& text) { (void)title, (void)text; }
  virtual void pump() {}

 private:
  dwl::Stage stage_ = dwl::Stage::Boot;
  std::uint32_t failedSector_ = 0;  // the sector of the walk's last failed check
  bool checkFailed_ = false;
};

// The panels' event sink every dump and erase reports to (one that shows nothing until the panels
// put theirs in; null restores that one).
PanelEvents& panelEvents();
void setPanelEvents(PanelEvents* events);

// The dumper's display functions, on the panels' sink and the program's display.
void InitControls();        // progress 0, offset 0
void InitControls_erase();  // erase offset 0, erase sector 0
void LockDuringDumping();   // lock() (OperationMode kModeDump), pump events
void UnlockAfterDump();
void LockDuringErasing();  // lock() (OperationMode kModeErase), pump events
void UnlockAfterErasing();

// ---------------------------------------------------------------------------------------------
// Panels, controls and what the callbacks must dim.

enum class Panel { Main, Erase };

// Control identifiers of the main panel (the dumper's panel 2).
inline constexpr int kMainProgressA = 2, kMainProgressB = 3;
inline constexpr int kMainLastSector = 6, kMainFirstSector = 7, kMainOffset = 8;
inline constexpr int kMainSpeed = 9, kMainPort = 10;
// Control identifiers of the erase panel (the dumper's panel 3).
inline constexpr int kEraseSelectionRing = 4, kEraseOffset = 5, kEraseSector = 6;
inline constexpr int kEraseLast = 7, kEraseFirst = 8, kEraseRangeLabel = 13;

// Controls to dim (or undim) on one panel; menuBar: discard the main menu bar with a dim, load
// menu bar 1 onto the main panel again with an undim.
struct Dimming {
  Panel panel;
  std::vector<int> controls;
  bool dim;
  bool menuBar;
  friend bool operator==(const Dimming&, const Dimming&) = default;
};

// What Display::lock() and unlock() apply, by OperationMode (and EraseSelection for the erase
// panel's range controls).
Dimming lockDimming();
Dimming unlockDimming();

// ---------------------------------------------------------------------------------------------
// The input logic of the callbacks. Each stores the value in the record first.

enum class InputVerdict {
  Accepted,
  // Show the modal box titled kErrorTitle with kInvalidValueText. The value stays stored and
  // the program goes on (the technician may be about to move the other end); Dump and Erase
  // refuse to start while the range stays inverted (rangeInverted()).
  Inverted,
};

// True while the range an operation would use has its first sector above its last: the dump
// range for kModeDump, the erase range for kModeErase.
bool rangeInverted(std::int32_t operationMode);

InputVerdict setDumpFirstSector(int value);  // select_start (main control 7)
InputVerdict setDumpLastSector(int value);   // select_end (main control 6)
InputVerdict setEraseFirstSector(
    int value);  // erase_start (erase control 8), also prior_value_start
InputVerdict setEraseLastSector(int value);  // erase_end (erase control 7), also prior_value_end
void setComPort(int value);                  // select_port (main control 10)
void setSpeed(int value);                    // dwl51_62MMISelectSpeed (main control 9)

// erase_select (erase control 4): 0 whole flash (range 0..267, dims 8, 7, 13), 1 sector range
// (range back to the last typed values, undims them). Other values only store the selection and
// need nothing from the GUI.
std::optional<Dimming> setEraseSelection(int value);

// erase_flash (menu item): whole flash is selected (the range is kept); the GUI applies the
// returned dimming (every main control, menu bar discarded) and loads the erase panel.
Dimming openErasePanel();
// erase_exit: the GUI applies the returned undimming (menu bar loaded again) and discards the
// erase panel.
Dimming closeErasePanel();

}  // namespace dumper
