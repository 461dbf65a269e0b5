// A request to stop a job, made from anywhere (a button, a signal handler, another thread) and
// seen by the job between blocks and inside every wait on the line.
#pragma once

#include <atomic>

namespace platform {

class CancelToken {
 public:
  // Safe from a signal handler: a lock-free atomic store.
  void cancel() noexcept { cancelled_.store(true, std::memory_order_relaxed); }
  bool cancelled() const noexcept { return cancelled_.load(std::memory_order_relaxed); }
  void reset() noexcept { cancelled_.store(false, std::memory_order_relaxed); }

 private:
  std::atomic<bool> cancelled_{false};
  static_assert(std::atomic<bool>::is_always_lock_free);
};

}  // namespace platform
