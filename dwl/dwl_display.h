// What is not a job's progress but the windows' own: result windows, the panel's lock, the
// image slot displays, and the comment lines of the program's own actions outside a job. A job's
// progress goes through its ProgressSink (dwl_job.h) only.
#pragma once

#include <cstdint>
#include <string>

namespace dwl {

// Every window an operation can end with, and the message pop-ups.
enum class Window {
  Success,  // downloader success window; in the dumper the dump- or erase-successful panel
  Timeout,  // boot time-out window (each program its own)
  GenericErr,
  FlashFileErr,
  ConfFileErr,
  LibPcErr,
  BootErr,
  CommandErr,
};

// Image slots of the downloader's main panel.
enum class Slot { Bin1, Bin2, Ogm1, Ogm2 };

class Display {
 public:
  virtual ~Display() = default;

  // One line of the comment log outside a job, exactly as it stands in the list.
  virtual void comment(const std::string& line) = 0;
  // Opens a result window with its message (empty for the success and time-out windows).
  virtual void openWindow(Window window, const std::string& message) = 0;

  // Lock of the main panel. Front ends without panels may ignore it.
  // lock dims every input and removes the menu bar; unlock brings a new menu bar and enables the
  // panel inputs and the slot groups the file mode (the live record's Mode) allows. Both show
  // the panel's new state at once.
  virtual void lock() {}
  virtual void unlock() {}
  // The image slot displays: path box, size display, byte-sum display.
  virtual void slotPath(Slot slot, const std::string& path) { (void)slot, (void)path; }
  virtual void slotSize(Slot slot, std::uint32_t size) { (void)slot, (void)size; }
  virtual void slotSum(Slot slot, std::uint32_t sum) { (void)slot, (void)sum; }
};

// The display of the running program. Never null: a display that shows nothing stands in.
Display& display();
void setDisplay(Display* d);

}  // namespace dwl
