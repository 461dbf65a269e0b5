// A serial port around the scripted one that records the calls a transfer makes on it (writes by
// size, queue polls, blocking waits) and can hold input back or keep the output queue full.
#pragma once

#include <string>
#include <vector>

#include "platform/forwarding_rs232.h"
#include "platform/scripted_rs232.h"

namespace testsupport {

class ObservedRs232 final : public platform::ForwardingRs232 {
 public:
  explicit ObservedRs232(platform::ScriptedRs232& inner) : ForwardingRs232(inner) {}

  // "wrt N", "outq", "drain 5", "inq", "wait 5", in order.
  std::vector<std::string> calls;
  // The next this many input polls find nothing, whatever the script holds.
  int hiddenInputPolls = 0;
  // The next this many output polls report bytes still queued (-1: forever).
  int queuedOutputPolls = 0;

  int ComWrt(int port, const std::uint8_t* data, int count) override {
    calls.push_back("wrt " + std::to_string(count));
    return inner().ComWrt(port, data, count);
  }
  int GetInQLen(int port) override {
    calls.push_back("inq");
    if (hiddenInputPolls > 0) {
      --hiddenInputPolls;
      return 0;
    }
    return inner().GetInQLen(port);
  }
  int GetOutQLen(int port) override {
    calls.push_back("outq");
    if (queuedOutputPolls != 0) {
      if (queuedOutputPolls > 0) --queuedOutputPolls;
      return 4096;
    }
    return inner().GetOutQLen(port);
  }
  bool WaitInput(int port, int ms) override {
    calls.push_back("wait " + std::to_string(ms));
    return inner().WaitInput(port, ms);
  }
  bool WaitOutputDrained(int port, int ms) override {
    calls.push_back("drain " + std::to_string(ms));
    return inner().WaitOutputDrained(port, ms);
  }
};

}  // namespace testsupport
