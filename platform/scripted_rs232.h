// A serial port for byte-exact tests: it records everything the PC side does and answers reads
// from a script of canned bytes and time-outs. A time-out returns at once.
#pragma once

#include <cstdint>
#include <deque>
#include <initializer_list>
#include <string>
#include <vector>

#include "platform/rs232.h"

namespace platform {

class ScriptedRs232 final : public Rs232 {
 public:
  // Canned handset bytes, read in order.
  ScriptedRs232& reply(std::initializer_list<int> bytes);
  ScriptedRs232& reply(const std::vector<std::uint8_t>& bytes);
  // One read that finds nothing: ComRdByte gives kReadTimeout, ComRd stops short.
  ScriptedRs232& silence(int reads = 1);
  // Makes OpenComConfig fail with this error from now on (0 lets it succeed again).
  void failOpenWith(int error) { openError_ = error; }

  // Every byte written, in order.
  const std::vector<std::uint8_t>& written() const { return written_; }
  // Everything done to the port, in order: "open COM4 38400 2", "dtr 1", "time 5", "tx E0 C0",
  // "close", ... Consecutive writes are merged into one "tx" entry.
  const std::vector<std::string>& events() const { return events_; }
  // Canned items not yet consumed.
  std::size_t pending() const { return script_.size(); }
  int reads() const { return reads_; }
  bool isOpen() const { return open_; }
  long baud() const { return baud_; }
  int parity() const { return parity_; }
  double timeout() const { return timeout_; }
  bool dtr() const { return dtr_; }
  void clearRecord();

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
  static constexpr int kSilence = -1;
  void event(std::string text);
  void tx(const std::uint8_t* data, int count);

  std::deque<int> script_;
  std::vector<std::uint8_t> written_;
  std::vector<std::string> events_;
  bool lastWasTx_ = false;
  int openError_ = 0;
  int reads_ = 0;
  bool open_ = false;
  long baud_ = 0;
  int parity_ = -1;
  double timeout_ = 0;
  bool dtr_ = false;
};

// Formats bytes as upper-case hex pairs separated by blanks ("E0 C0").
std::string hexBytes(const std::vector<std::uint8_t>& bytes);
std::string hexBytes(const std::uint8_t* data, std::size_t count);

}  // namespace platform
