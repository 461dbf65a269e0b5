#include "emulator/violation_log.h"

#include <utility>

namespace emulator {

ViolationLog::ViolationLog(Writer write, double intervalSeconds)
    : write_(std::move(write)), interval_(intervalSeconds) {}

void ViolationLog::note(const std::string& text, double now) {
  tick(now);
  if (open_) {
    ++held_;
    last_ = text;
    return;
  }
  write_("protocol violation: " + text);
  open_ = true;
  until_ = now + interval_;
}

void ViolationLog::tick(double now) {
  if (!open_ || now < until_) return;
  if (held_ == 0) {
    open_ = false;  // the burst is over: the next violation is written at once
    return;
  }
  summary();
  // Counted in whole intervals from the first violation; a tick that comes late (no ticks for
  // a while) finds the burst over.
  until_ += interval_;
  if (now >= until_) open_ = false;
}

void ViolationLog::finish() {
  if (held_ > 0) summary();
  open_ = false;
}

void ViolationLog::summary() {
  write_(std::to_string(held_) +
         (held_ == 1 ? " more protocol violation" : " more protocol violations") +
         " in the last second, the last: " + last_);
  held_ = 0;
}

}  // namespace emulator
