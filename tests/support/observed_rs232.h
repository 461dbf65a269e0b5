// A serial port around the scripted one that records the calls a transfer makes on it (writes by
// size, queue polls, blocking waits) and can hold input back or keep the output queue full.
#pragma once

#include <string>
#include <vector>

#include "platform/scripted_rs232.h"

namespace testsupport {

class ObservedRs232 final : public platform::Rs232 {
 public:
  explicit ObservedRs232(platform::ScriptedRs232& inner) : in_(inner) {}

  // "wrt N", "outq", "drain 5", "inq", "wait 5", in order.
  std::vector<std::string> calls;
  // The next this many input polls find nothing, whatever the script holds.
  int hiddenInputPolls = 0;
  // The next this many output polls report bytes still queued (-1: forever).
  int queuedOutputPolls = 0;

  int OpenComConfig(int port, const std::string& name, long baud, int parity, int dataBits,
                    int stopBits, int inQ, int outQ) override {
    return in_.OpenComConfig(port, name, baud, parity, dataBits, stopBits, inQ, outQ);
  }
  int SetCTSMode(int port, int mode) override { return in_.SetCTSMode(port, mode); }
  int SetXMode(int port, int mode) override { return in_.SetXMode(port, mode); }
  int FlushInQ(int port) override { return in_.FlushInQ(port); }
  int FlushOutQ(int port) override { return in_.FlushOutQ(port); }
  int ComSetEscape(int port, int code) override { return in_.ComSetEscape(port, code); }
  int SetComTime(int port, double seconds) override { return in_.SetComTime(port, seconds); }
  int CloseCom(int port) override { return in_.CloseCom(port); }
  int ComWrtByte(int port, int byte) override { return in_.ComWrtByte(port, byte); }
  int ComWrt(int port, const std::uint8_t* data, int count) override {
    calls.push_back("wrt " + std::to_string(count));
    return in_.ComWrt(port, data, count);
  }
  int ComRdByte(int port) override { return in_.ComRdByte(port); }
  int ComRd(int port, std::uint8_t* data, int count) override {
    return in_.ComRd(port, data, count);
  }
  int GetInQLen(int port) override {
    calls.push_back("inq");
    if (hiddenInputPolls > 0) {
      --hiddenInputPolls;
      return 0;
    }
    return in_.GetInQLen(port);
  }
  int GetOutQLen(int port) override {
    calls.push_back("outq");
    if (queuedOutputPolls != 0) {
      if (queuedOutputPolls > 0) --queuedOutputPolls;
      return 4096;
    }
    return in_.GetOutQLen(port);
  }
  bool WaitInput(int port, int ms) override {
    calls.push_back("wait " + std::to_string(ms));
    return in_.WaitInput(port, ms);
  }
  bool WaitOutputDrained(int port, int ms) override {
    calls.push_back("drain " + std::to_string(ms));
    return in_.WaitOutputDrained(port, ms);
  }

 private:
  platform::ScriptedRs232& in_;
};

}  // namespace testsupport
