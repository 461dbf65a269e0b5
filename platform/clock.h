// The clock every time-out runs on, and sleeps, behind a seam so time-out tests run without
// waiting.
#pragma once

#include <functional>

namespace platform {

// Seconds on a monotonic clock (never jumps with the wall clock), with sub-second resolution.
// Only differences mean something.
double now();
void sleepMs(int ms);

// Tests replace the clock and the sleep for the whole process; empty functions restore the real
// ones. A clock bound to the running thread (ScopedThreadClock) comes first.
void setClock(std::function<double()> clock);
void setSleeper(std::function<void(int)> sleeper);

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
