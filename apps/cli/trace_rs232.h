// A serial port that passes everything to another one and logs every byte sent and received,
// with the time, the direction and the bytes in hex, so a failing exchange can be read back.
#pragma once

#include <functional>
#include <ostream>

#include "platform/forwarding_rs232.h"

namespace cli {

class TraceRs232 final : public platform::ForwardingRs232 {
 public:
  // seconds: the time stamp of each line; by default seconds since the trace started.
  TraceRs232(platform::Rs232& inner, std::ostream& log, std::function<double()> seconds = nullptr);

  int OpenComConfig(int port, const std::string& deviceName, long baud, int parity, int dataBits,
                    int stopBits, int inQueueSize, int outQueueSize) override;
  int ComSetEscape(int port, int code) override;
  int SetComTime(int port, double seconds) override;
  int CloseCom(int port) override;
  int ComWrtByte(int port, int byte) override;
  int ComWrt(int port, const std::uint8_t* data, int count) override;
  int ComRdByte(int port) override;
  int ComRd(int port, std::uint8_t* data, int count) override;

 private:
  void line(const std::string& text);
  void bytes(const char* direction, const std::uint8_t* data, int count);

  std::ostream& log_;
  std::function<double()> seconds_;
};

}  // namespace cli
