// Wall clock and sleeps behind a seam, so time-out tests run without waiting.
#pragma once

#include <ctime>
#include <functional>

namespace platform {

// Whole seconds, as time() gives them.
std::time_t now();
void sleepMs(int ms);

// Tests replace the clock and the sleep; passing empty functions restores the real ones.
void setClock(std::function<std::time_t()> clock);
void setSleeper(std::function<void(int)> sleeper);

}  // namespace platform
