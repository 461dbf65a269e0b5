#include "platform/clock.h"

#include <chrono>

namespace platform {

double now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

}  // namespace platform
