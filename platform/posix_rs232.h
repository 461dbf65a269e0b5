// The real serial port on POSIX systems: termios on a descriptor of our own, used blocking.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "platform/rs232.h"

namespace platform {

class PosixRs232 final : public Rs232 {
 public:
  PosixRs232();
  ~PosixRs232() override;
  PosixRs232(const PosixRs232&) = delete;
  PosixRs232& operator=(const PosixRs232&) = delete;

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
  bool Vanished(int port) override;

  // Why the last opening of a port failed, in words a technician can act on.
  std::string LastOpenError(int port) const override;

 private:
  struct Port;
  Port* find(int port);
  bool fill(Port& p, int ms);
  int writeAll(Port& p, const std::uint8_t* data, int count);

  std::map<int, std::unique_ptr<Port>> ports_;
  std::map<int, std::string> openErrors_;
};

}  // namespace platform
