#include "platform/clock.h"

#include <chrono>

namespace platform {
namespace {
std::function<double()> g_clock;
thread_local const std::function<double()>* t_clock = nullptr;

double steadySeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}
}  // namespace

double now() {
  if (t_clock) return (*t_clock)();
  return g_clock ? g_clock() : steadySeconds();
}

void setClock(std::function<double()> clock) {
  g_clock = std::move(clock);
}

ScopedThreadClock::ScopedThreadClock(std::function<double()> clock)
    : clock_(std::move(clock)), previous_(t_clock) {
  if (clock_) t_clock = &clock_;
}

ScopedThreadClock::~ScopedThreadClock() {
  t_clock = previous_;
}

}  // namespace platform
