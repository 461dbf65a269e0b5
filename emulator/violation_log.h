// Protocol violations as the emulator reports them on standard error: the first of a burst at
// once, the rest counted and summed up once a second. A PC that streams at the wrong speed makes
// one violation per byte, thousands a second, which would bury everything else.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace emulator {

class ViolationLog {
 public:
  using Writer = std::function<void(const std::string& line)>;
  explicit ViolationLog(Writer write, double intervalSeconds = 1.0);

  // A violation at time now (seconds, any steady origin).
  void note(const std::string& text, double now);
  // Called regularly: writes the count of the violations held back once the interval is over.
  void tick(double now);
  // Writes what is still held back (at exit).
  void finish();

 private:
  void summary();

  Writer write_;
  double interval_;
  bool open_ = false;  // a burst is being counted
  double until_ = 0;
  std::uint64_t held_ = 0;
  std::string last_;
};

}  // namespace emulator
