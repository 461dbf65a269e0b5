#include "platform/clock.h"

#include <chrono>
#include <thread>

namespace platform {
namespace {
std::function<std::time_t()> g_clock;
std::function<void(int)> g_sleeper;
}  // namespace

std::time_t now() {
  return g_clock ? g_clock() : std::time(nullptr);
}

void sleepMs(int ms) {
  if (g_sleeper) {
    g_sleeper(ms);
    return;
  }
  if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void setClock(std::function<std::time_t()> clock) {
  g_clock = std::move(clock);
}
void setSleeper(std::function<void(int)> sleeper) {
  g_sleeper = std::move(sleeper);
}

}  // namespace platform
