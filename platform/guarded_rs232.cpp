#include "platform/guarded_rs232.h"

#include <algorithm>
#include <cmath>

#include "platform/clock.h"

namespace platform {

GuardedRs232::GuardedRs232(Rs232& inner, const CancelToken* cancel,
                           std::function<void(double)> beat, std::function<double()> clock)
    : ForwardingRs232(inner), cancel_(cancel), beat_(std::move(beat)), clock_(std::move(clock)) {}

double GuardedRs232::now() const {
  return clock_ ? clock_() : platform::now();
}

double GuardedRs232::timeoutOf(int port) const {
  const auto it = timeouts_.find(port);
  return it == timeouts_.end() ? 5.0 : it->second;
}

int GuardedRs232::SetComTime(int port, double seconds) {
  timeouts_[port] = seconds;
  return inner().SetComTime(port, seconds);
}

int GuardedRs232::OpenComConfig(int port, const std::string& deviceName, long baud, int parity,
                                int dataBits, int stopBits, int inQueueSize, int outQueueSize) {
  if (cancelled()) return kErrCannotOpen;
  return inner().OpenComConfig(port, deviceName, baud, parity, dataBits, stopBits, inQueueSize,
                               outQueueSize);
}

int GuardedRs232::ComWrtByte(int port, int byte) {
  if (cancelled()) return kErrNotOpen;
  return inner().ComWrtByte(port, byte);
}

int GuardedRs232::ComWrt(int port, const std::uint8_t* data, int count) {
  if (cancelled()) return kErrNotOpen;
  return inner().ComWrt(port, data, count);
}

int GuardedRs232::CloseCom(int port) {
  if (cancelled()) inner().FlushOutQ(port);
  return inner().CloseCom(port);
}

bool GuardedRs232::waitFor(int port, double deadline, double started) {
  // Each slice is meant to take its time; counting them ends the wait even where the clock does
  // not move (a test's frozen clock, a port that answers every wait at once).
  double budgetMs = (deadline - started) * 1000.0;
  for (;;) {
    if (cancelled() || inner().Vanished(port)) return false;
    if (inner().GetInQLen(port) > 0) return true;
    const double left = std::min(deadline - now(), budgetMs / 1000.0);
    if (left <= 0) return false;
    const int slice = static_cast<int>(std::min<double>(kSliceMs, std::ceil(left * 1000.0)));
    const bool ready = inner().WaitInput(port, std::max(1, slice));
    budgetMs -= std::max(1, slice);
    if (beat_) beat_(now() - started);
    if (ready) return true;
  }
}

void GuardedRs232::readEnded(bool complete) {
  lastReadTimedOut_ = !complete;
  if (!complete) sawSilence_ = true;
}

int GuardedRs232::ComRdByte(int port) {
  const double started = now();
  if (!waitFor(port, started + timeoutOf(port), started)) {
    readEnded(false);
    return kReadTimeout;
  }
  const int b = inner().ComRdByte(port);
  readEnded(b >= 0);
  return b;
}

int GuardedRs232::ComRd(int port, std::uint8_t* data, int count) {
  if (count <= 0) return 0;
  const double started = now();
  const double deadline = started + timeoutOf(port);
  int got = 0;
  while (got < count && waitFor(port, deadline, started)) {
    const int queued = std::max(1, inner().GetInQLen(port));
    const int n = inner().ComRd(port, data + got, std::min(queued, count - got));
    if (n <= 0) break;
    got += n;
  }
  readEnded(got == count);
  return got;
}

bool GuardedRs232::WaitInput(int port, int ms) {
  const double started = now();
  return waitFor(port, started + ms / 1000.0, started);
}

bool GuardedRs232::WaitOutputDrained(int port, int ms) {
  const double started = now();
  const double deadline = started + ms / 1000.0;
  double budgetMs = ms;
  for (;;) {
    if (cancelled()) return false;
    const double left = std::min(deadline - now(), budgetMs / 1000.0);
    const int slice =
        std::max(0, static_cast<int>(std::min<double>(kSliceMs, std::ceil(left * 1000.0))));
    if (inner().WaitOutputDrained(port, slice)) return true;
    budgetMs -= std::max(1, slice);
    if (beat_) beat_(now() - started);
    if (now() >= deadline || budgetMs <= 0) return false;
  }
}

}  // namespace platform
