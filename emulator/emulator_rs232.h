// The serial port operations connected straight to an emulated handset, in process: writes feed
// the handset, reads take its replies. Synchronous and deterministic: nothing sleeps, a read that
// finds nothing times out at once and only moves a virtual clock. The handset is powered while
// the port is open (after the switch-on delay); closing the port switches it off, so every
// opening is a fresh boot.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "emulator/handset_core.h"
#include "platform/rs232.h"

namespace emulator {

struct LinkOptions {
  int switchOnDelayMs = 0;
  // Added to the virtual clock before every reply.
  int latencyMs = 0;
  // Counts the line time of every byte on the virtual clock.
  bool pace = false;
  // A line of handsets: the next one is switched on this long after the PC switched the last one
  // off, on the open port or at its next opening, whichever is later. Negative: never.
  int powerOnAgainMs = -1;
  // On a pseudo-terminal: a PC at 38400 baud counts as at any rate termios has no constant for
  // (220338, 302325, ...). Wine sets such a rate as 38400 with a custom divisor, which a
  // pseudo-terminal cannot hold; a standard rate must still match.
  bool customRateAs38400 = false;
};

class EmulatorRs232 final : public platform::Rs232 {
 public:
  explicit EmulatorRs232(HandsetCore& core, LinkOptions options = {});

  struct Segment {
    bool fromPc;
    std::vector<std::uint8_t> bytes;
  };
  // Every byte the PC wrote, every byte it read, and both in order.
  const std::vector<std::uint8_t>& written() const { return written_; }
  const std::vector<std::uint8_t>& readBytes() const { return read_; }
  const std::vector<Segment>& transcript() const { return transcript_; }
  // Virtual seconds since construction: time-outs waited, latency, and line time when paced.
  double seconds() const { return now_; }
  bool isOpen() const { return open_; }
  long baud() const { return baud_; }
  int parity() const { return parity_; }
  bool dtr() const { return dtr_; }
  HandsetCore& core() { return core_; }

  int OpenComConfig(int port, const std::string& deviceName, long baud, int parity, int dataBits,
                    int stopBits, int inQueueSize, int outQueueSize) override;
  int SetCTSMode(int port, int mode) override;
  int SetXMode(int port, int mode) override;
  int FlushInQ(int port) override;
  int FlushOutQ(int port) override;
  int ComSetEscape(int port, int code) override;
  int SetComTime(int port, double seconds) override;
  int CloseCom(int port) override;
  int ComWrtByte(int port, int byte) override;
  int ComWrt(int port, const std::uint8_t* data, int count) override;
  int ComRdByte(int port) override;
  int ComRd(int port, std::uint8_t* data, int count) override;
  int GetInQLen(int port) override;
  int GetOutQLen(int port) override;
  bool WaitInput(int port, int ms) override;
  bool WaitOutputDrained(int port, int ms) override;

 private:
  bool usable() const { return open_ && !core_.disconnected(); }
  bool matches(const LineSettings& line) const;
  void powerIfDue();
  void scheduleNextHandset();
  bool waitInput(double deadline);
  // A byte from the handset, or -1 when it was lost to a line mismatch.
  int takeOne();
  int readByte(double deadline);
  void record(bool fromPc, const std::uint8_t* data, std::size_t count);
  void mismatch(const LineSettings& line, const char* direction);

  HandsetCore& core_;
  LinkOptions options_;
  double now_ = 0;
  std::optional<double> powerOnAt_;
  double nextHandsetAt_ = 0;
  double nextAnnounce_ = 0;
  bool replyDue_ = false;
  bool mismatchNoted_ = false;
  bool open_ = false;
  long baud_ = 0;
  int parity_ = 0;
  double timeout_ = 5;
  bool dtr_ = false;
  std::vector<std::uint8_t> written_;
  std::vector<std::uint8_t> read_;
  std::vector<Segment> transcript_;
};

}  // namespace emulator
