#include "platform/clock.h"

#include <chrono>
#include <thread>

namespace platform {
namespace {
std::function<double()> g_clock;
std::function<void(int)> g_sleeper;
thread_local const std::function<double()>* t_clock = nullptr;

double steadySeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}
}  // namespace

double now() {
  if (t_clock) return (*t_clock)();
  return g_clock ? g_clock() : steadySeconds();
}

void sleepMs(int ms) {
  if (g_sleeper) {
    g_sleeper(ms);
    return;
  }
  if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void setClock(std::function<double()> clock) {
  g_clock = std::move(clock);
}
void setSleeper(std::function<void(int)> sleeper) {
  g_sleeper = std::move(sleeper);
}

ScopedThreadClock::ScopedThreadClock(std::function<double()> clock)
    : clock_(std::move(clock)), previous_(t_clock) {
  if (clock_) t_clock = &clock_;
}

ScopedThreadClock::~ScopedThreadClock() {
  t_clock = previous_;
}

}  // namespace platform
