// A serial port that hands every operation to another one. Decorators (tracing, counting, test
// observers) derive from it and override only the operations they watch.
#pragma once

#include "platform/rs232.h"

namespace platform {

class ForwardingRs232 : public Rs232 {
 public:
  explicit ForwardingRs232(Rs232& inner) : inner_(inner) {}

  int OpenComConfig(int port, const std::string& deviceName, long baud, int parity, int dataBits,
                    int stopBits, int inQueueSize, int outQueueSize) override {
    return inner_.OpenComConfig(port, deviceName, baud, parity, dataBits, stopBits, inQueueSize,
                                outQueueSize);
  }
  int SetCTSMode(int port, int mode) override { return inner_.SetCTSMode(port, mode); }
  int SetXMode(int port, int mode) override { return inner_.SetXMode(port, mode); }
  int FlushInQ(int port) override { return inner_.FlushInQ(port); }
  int FlushOutQ(int port) override { return inner_.FlushOutQ(port); }
  int ComSetEscape(int port, int code) override { return inner_.ComSetEscape(port, code); }
  int SetComTime(int port, double seconds) override { return inner_.SetComTime(port, seconds); }
  int CloseCom(int port) override { return inner_.CloseCom(port); }
  int ComWrtByte(int port, int byte) override { return inner_.ComWrtByte(port, byte); }
  int ComWrt(int port, const std::uint8_t* data, int count) override {
    return inner_.ComWrt(port, data, count);
  }
  int ComRdByte(int port) override { return inner_.ComRdByte(port); }
  int ComRd(int port, std::uint8_t* data, int count) override {
    return inner_.ComRd(port, data, count);
  }
  int GetInQLen(int port) override { return inner_.GetInQLen(port); }
  int GetOutQLen(int port) override { return inner_.GetOutQLen(port); }
  bool WaitInput(int port, int ms) override { return inner_.WaitInput(port, ms); }
  bool WaitOutputDrained(int port, int ms) override { return inner_.WaitOutputDrained(port, ms); }
  bool Vanished(int port) override { return inner_.Vanished(port); }
  std::string LastOpenError(int port) const override { return inner_.LastOpenError(port); }

 protected:
  Rs232& inner() const { return inner_; }

 private:
  Rs232& inner_;
};

}  // namespace platform
