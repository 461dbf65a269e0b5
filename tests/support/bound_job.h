// A job bound to the test's thread, for the unit tests of the layers that keep their state in it
// (the transfer's counters, the receive buffer, the failures of the files they load).
#pragma once

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

  dwl::JobState state;
  dwl::JobScope scope{state};
};

}  // namespace testsupport
