// A port that is never open: nothing opens, every read is silence. What a job without a port
// talks to, so that its calls fail the way they do on a port that cannot be opened.
#pragma once

#include <cstdint>
#include <string>

#include "platform/rs232.h"

namespace platform {

class ClosedRs232 final : public Rs232 {
 public:
  int OpenComConfig(int, const std::string&, long, int, int, int, int, int) override {
    return kErrCannotOpen;
  }
  int SetCTSMode(int, int) override { return kErrNotOpen; }
  int SetXMode(int, int) override { return kErrNotOpen; }
  int FlushInQ(int) override { return kErrNotOpen; }
  int FlushOutQ(int) override { return kErrNotOpen; }
  int ComSetEscape(int, int) override { return kErrNotOpen; }
  int SetComTime(int, double) override { return kErrNotOpen; }
  int CloseCom(int) override { return kErrNotOpen; }
  int ComWrtByte(int, int) override { return kErrNotOpen; }
  int ComWrt(int, const std::uint8_t*, int) override { return kErrNotOpen; }
  int ComRdByte(int) override { return kReadTimeout; }
  int ComRd(int, std::uint8_t*, int) override { return 0; }
  int GetInQLen(int) override { return 0; }
  int GetOutQLen(int) override { return 0; }
  bool WaitInput(int, int) override { return false; }
  bool WaitOutputDrained(int, int) override { return true; }
};

}  // namespace platform
