// A job bound to the test's thread, for the unit tests of the layers that keep their state in it
// (the transfer's counters, the receive buffer, the failures of the files they load).
#pragma once

#include "dwl/dwl_job.h"

namespace testsupport {

struct BoundJob {
  // shown: where the job shows itself (a recorder), or nowhere.
  explicit BoundJob(dwl::Display* shown = nullptr) { state.display = shown; }

  dwl::JobState state;
  dwl::JobScope scope{state};
};

}  // namespace testsupport
