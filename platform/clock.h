// The monotonic clock. A job that follows another clock (an emulated handset's virtual one, a
// test's fake one) carries it and hands it to what waits on its behalf (GuardedRs232).
#pragma once

namespace platform {

// Seconds on a monotonic clock (never jumps with the wall clock), with sub-second resolution.
// Only differences mean something.
double now();

}  // namespace platform
