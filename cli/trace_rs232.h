// A serial port that passes everything to another one and logs every byte sent and received,
// with the time, the direction and the bytes in hex, so a failing exchange can be read back.
#pragma once

#include <functional>
#include <ostream>

#include "platform/rs232.h"

namespace cli {

class TraceRs232 final : public platform::Rs232 {
 public:
  // seconds: the time stamp of each line; by default seconds since the trace started.
  TraceRs232(platform::Rs232& inner, std::ostream& log, std::function<double()> seconds = nullptr);

  int OpenComConfig(int port, const std::string& deviceName, long baud, int parity, int dataBits,
                    int stopBits, int inQueueSize, int outQueueSize) override;
  int SetCTSMode(int port, int mode) override { return inner_.SetCTSMode(port, mode); }
  int SetXMode(int port, int mode) override { return inner_.SetXMode(port, mode); }
  int FlushInQ(int port) override { return inner_.FlushInQ(port); }
  int FlushOutQ(int port) override { return inner_.FlushOutQ(port); }
  int ComSetEscape(int port, int code) override;
  int SetComTime(int port, double seconds) override;
  int CloseCom(int port) override;
  int ComWrtByte(int port, int byte) override;
  int ComWrt(int port, const std::uint8_t* data, int count) override;
  int ComRdByte(int port) override;
  int ComRd(int port, std::uint8_t* data, int count) override;
  int GetInQLen(int port) override { return inner_.GetInQLen(port); }
  int GetOutQLen(int port) override { return inner_.GetOutQLen(port); }
  bool WaitInput(int port, int ms) override { return inner_.WaitInput(port, ms); }
  bool WaitOutputDrained(int port, int ms) override { return inner_.WaitOutputDrained(port, ms); }

 private:
  void line(const std::string& text);
  void bytes(const char* direction, const std::uint8_t* data, int count);

  platform::Rs232& inner_;
  std::ostream& log_;
  std::function<double()> seconds_;
};

}  // namespace cli
