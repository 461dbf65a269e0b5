// The windows a result opens and the image slots, as values: the front ends show them, a job's
// progress goes through its ProgressSink (dwl_job.h).
#pragma once

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

}  // namespace dwl
