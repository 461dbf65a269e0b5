// A job bound to the test's thread, for the unit tests of the layers that keep their state in it
// (the transfer's counters, the receive buffer, the failures of the files they load) or talk
// through its port on its clock.
#pragma once

#include <functional>
#include <utility>

#include "dwl/dwl10fla.h"
#include "dwl/dwl_job.h"

namespace testsupport {

// The flash descriptions the tests' jobs are handed: setFlash and the tests that read flash.txt
// fill it.
inline dwl::FlashDescriptionTable& flashDescriptions() {
  static dwl::FlashDescriptionTable table;
  return table;
}

struct BoundJob {
  // progress: where the job reports (a recorder), or nowhere; flash: the descriptions it is
  // handed.
  explicit BoundJob(dwl::ProgressSink* progress = nullptr,
                    const dwl::FlashDescriptionTable* flash = &flashDescriptions()) {
    state.progress = progress;
    state.flash = flash;
  }

  // Tests set the job's port in it (serial; null: a closed one) and its clock (empty: the
  // monotonic one).
  dwl::JobState state;
  dwl::JobScope scope{state};
};

// A job whose calls talk through serial (a scripted port, an emulated handset) on clock.
struct LineJob : BoundJob {
  explicit LineJob(platform::Rs232* serial, std::function<double()> clock = {},
                   dwl::ProgressSink* progress = nullptr)
      : BoundJob(progress) {
    state.serial = serial;
    state.clock = std::move(clock);
  }
};

}  // namespace testsupport
