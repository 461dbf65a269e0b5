// The port a job talks through: every wait on the line is cut into slices of at most 100 ms, so
// that a cancel is seen within one slice and the job can report that it is alive (and a window
// can repaint) while the handset takes its time. After a cancel nothing more is sent to the
// handset, and every read gives up at once.
#pragma once

#include <functional>
#include <map>

#include "platform/cancel.h"
#include "platform/forwarding_rs232.h"

namespace platform {

class GuardedRs232 final : public ForwardingRs232 {
 public:
  static constexpr int kSliceMs = 100;

  // beat is called after every slice spent waiting, with the seconds the current wait has lasted;
  // clock: the monotonic seconds the waits run on (empty: platform::now).
  GuardedRs232(Rs232& inner, const CancelToken* cancel, std::function<void(double)> beat,
               std::function<double()> clock = {});

  // True when the latest read ended without the bytes it wanted (silence, a vanished device);
  // cleared by every read that got what it asked for.
  bool lastReadTimedOut() const { return lastReadTimedOut_; }
  // True once any read of the job has ended in silence.
  bool sawSilence() const { return sawSilence_; }

  int SetComTime(int port, double seconds) override;
  int OpenComConfig(int port, const std::string& deviceName, long baud, int parity, int dataBits,
                    int stopBits, int inQueueSize, int outQueueSize) override;
  int ComWrtByte(int port, int byte) override;
  int ComWrt(int port, const std::uint8_t* data, int count) override;
  int ComRdByte(int port) override;
  int ComRd(int port, std::uint8_t* data, int count) override;
  bool WaitInput(int port, int ms) override;
  bool WaitOutputDrained(int port, int ms) override;
  // After a cancel, what is still queued for the handset is dropped first: a close would
  // otherwise wait until the driver had sent it all (seconds of sectors on a slow line).
  int CloseCom(int port) override;

 private:
  bool cancelled() const { return cancel_ && cancel_->cancelled(); }
  double now() const;
  double timeoutOf(int port) const;
  // Waits until input is queued, the deadline passes or the job is cancelled.
  bool waitFor(int port, double deadline, double started);
  void readEnded(bool complete);

  const CancelToken* cancel_;
  std::function<void(double)> beat_;
  std::function<double()> clock_;
  std::map<int, double> timeouts_;
  bool lastReadTimedOut_ = false;
  bool sawSilence_ = false;
};

}  // namespace platform
