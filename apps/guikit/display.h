// What the windows show that is not a job's progress: result windows, the main panel's lock, the
// image slot displays, and the comment lines of the program's own actions outside a job. A job's
// progress reaches the windows through its ProgressSink only. Built without Qt, so the dumper's
// flows and their tests use it on every build.
#pragma once

#include <cstdint>
#include <string>

#include "dwl/dwl_window.h"

namespace guikit {

class Display {
 public:
  virtual ~Display() = default;

  // One line of the comment log outside a job, exactly as it stands in the list.
  virtual void comment(const std::string& line) = 0;
  // Opens a result window with its message (empty for the success and time-out windows).
  virtual void openWindow(dwl::Window window, const std::string& message) = 0;

  // Lock of the main panel. Front ends without panels may ignore it.
  // lock dims every input and removes the menu bar; unlock brings a new menu bar and enables the
  // panel inputs and the slot groups the file mode (the live record's Mode) allows. Both show
  // the panel's new state at once.
  virtual void lock() {}
  virtual void unlock() {}
  // The image slot displays: path box, size display, byte-sum display.
  virtual void slotPath(dwl::Slot slot, const std::string& path) { (void)slot, (void)path; }
  virtual void slotSize(dwl::Slot slot, std::uint32_t size) { (void)slot, (void)size; }
  virtual void slotSum(dwl::Slot slot, std::uint32_t sum) { (void)slot, (void)sum; }

  // The comment log's latest line outside a job (cut to the old 100-character buffer), and the
  // lines logged; logComment keeps them.
  char ma_Comment[100] = {};
  int mv_NbCommentLine = 0;
};

// The display of the running program. Never null: a display that shows nothing stands in.
Display& display();
void setDisplay(Display* d);

// Opens the window of a result; families that are not listed open nothing.
void dwl52_10DisplayResult(std::int32_t family, std::int32_t code);
void dwl52_11DisplayFlashFileErr(std::int32_t code);
void dwl52_12DisplayConfigFileErr(std::int32_t code);

// Freezes the main panel while an operation runs, and releases it.
void dwl52_5LockDuringDownload();
void dwl52_6UnlockAfterDownload();

// Appends " T " to the comment log: inside a job as one of its events, outside one on the
// program's display (its own actions: loads, configuration).
void logComment(const std::string& text);

}  // namespace guikit
