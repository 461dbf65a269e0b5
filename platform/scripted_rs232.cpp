#include "platform/scripted_rs232.h"

#include <cstdio>

namespace platform {

std::string hexBytes(const std::uint8_t* data, std::size_t count) {
  std::string out;
  char buf[4];
  for (std::size_t i = 0; i < count; ++i) {
    std::snprintf(buf, sizeof buf, "%02X", data[i]);
    if (!out.empty()) out += ' ';
    out += buf;
  }
  return out;
}

std::string hexBytes(const std::vector<std::uint8_t>& bytes) {
  return hexBytes(bytes.data(), bytes.size());
}

ScriptedRs232& ScriptedRs232::reply(std::initializer_list<int> bytes) {
  for (int b : bytes) script_.push_back(b & 0xFF);
  return *this;
}

ScriptedRs232& ScriptedRs232::reply(const std::vector<std::uint8_t>& bytes) {
  for (std::uint8_t b : bytes) script_.push_back(b);
  return *this;
}

ScriptedRs232& ScriptedRs232::silence(int reads) {
  for (int i = 0; i < reads; ++i) script_.push_back(kSilence);
  return *this;
}

void ScriptedRs232::clearRecord() {
  written_.clear();
  events_.clear();
  lastWasTx_ = false;
  reads_ = 0;
}

void ScriptedRs232::event(std::string text) {
  events_.push_back(std::move(text));
  lastWasTx_ = false;
}

void ScriptedRs232::tx(const std::uint8_t* data, int count) {
  if (count <= 0) return;
  written_.insert(written_.end(), data, data + count);
  const std::string hex = hexBytes(data, static_cast<std::size_t>(count));
  if (lastWasTx_) {
    events_.back() += ' ' + hex;
  } else {
    events_.push_back("tx " + hex);
    lastWasTx_ = true;
  }
}

int ScriptedRs232::OpenComConfig(int, const std::string& deviceName, long baud, int parity, int,
                                 int, int, int) {
  event("open " + deviceName + " " + std::to_string(baud) + " " + std::to_string(parity));
  if (openError_ != 0) return openError_;
  open_ = true;
  baud_ = baud;
  parity_ = parity;
  return 0;
}

int ScriptedRs232::SetCTSMode(int, int) {
  return 0;
}
int ScriptedRs232::SetXMode(int, int) {
  return 0;
}
int ScriptedRs232::FlushInQ(int) {
  return 0;
}
int ScriptedRs232::FlushOutQ(int) {
  return 0;
}

int ScriptedRs232::ComSetEscape(int, int code) {
  if (code == 5) dtr_ = true;
  if (code == 6) dtr_ = false;
  event(code == 5 ? "dtr 1" : code == 6 ? "dtr 0" : "escape " + std::to_string(code));
  return 0;
}

int ScriptedRs232::SetComTime(int, double seconds) {
  timeout_ = seconds;
  char buf[32];
  std::snprintf(buf, sizeof buf, "time %g", seconds);
  event(buf);
  return 0;
}

int ScriptedRs232::CloseCom(int) {
  event("close");
  open_ = false;
  dtr_ = false;
  return 0;
}

int ScriptedRs232::ComWrtByte(int, int byte) {
  const std::uint8_t b = static_cast<std::uint8_t>(byte);
  tx(&b, 1);
  return 1;
}

int ScriptedRs232::ComWrt(int, const std::uint8_t* data, int count) {
  if (count < 0) return kErrNotOpen;
  tx(data, count);
  return count;
}

int ScriptedRs232::ComRdByte(int) {
  ++reads_;
  if (script_.empty()) return kReadTimeout;
  const int b = script_.front();
  script_.pop_front();
  return b == kSilence ? kReadTimeout : b;
}

int ScriptedRs232::ComRd(int, std::uint8_t* data, int count) {
  int n = 0;
  while (n < count) {
    ++reads_;
    if (script_.empty()) break;
    const int b = script_.front();
    script_.pop_front();
    if (b == kSilence) break;
    data[n++] = static_cast<std::uint8_t>(b);
  }
  return n;
}

int ScriptedRs232::GetInQLen(int) {
  int n = 0;
  for (int b : script_) {
    if (b == kSilence) break;
    ++n;
  }
  return n;
}

int ScriptedRs232::GetOutQLen(int) {
  return 0;
}

bool ScriptedRs232::WaitInput(int port, int) {
  return GetInQLen(port) > 0;
}

bool ScriptedRs232::WaitOutputDrained(int, int) {
  return true;
}

}  // namespace platform
