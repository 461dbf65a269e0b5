// The clock every time-out runs on, behind a seam so time-out tests run without waiting.
#pragma once

#include <functional>

namespace platform {

// Seconds on a monotonic clock (never jumps with the wall clock), with sub-second resolution.
// Only differences mean something.
double now();

// Tests replace the clock for the whole process; an empty function restores the real one. A clock
// bound to the running thread (ScopedThreadClock) comes first.
void setClock(std::function<double()> clock);

// Binds a clock to the calling thread for the lifetime of the object, so that two jobs on two
// threads can each follow their own line (an emulated handset's virtual clock, for instance).
class ScopedThreadClock {
 public:
  explicit ScopedThreadClock(std::function<double()> clock);
  ~ScopedThreadClock();
  ScopedThreadClock(const ScopedThreadClock&) = delete;
  ScopedThreadClock& operator=(const ScopedThreadClock&) = delete;

 private:
  std::function<double()> clock_;
  const std::function<double()>* previous_;
};

}  // namespace platform
