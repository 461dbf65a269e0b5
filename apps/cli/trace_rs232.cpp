#include "apps/cli/trace_rs232.h"

#include <chrono>
#include <cstdio>

namespace cli {

namespace {
// Bytes per line: short enough to read, and an 8192-byte block stays greppable by offset.
constexpr int kBytesPerLine = 16;
}  // namespace

TraceRs232::TraceRs232(platform::Rs232& inner, std::ostream& log, std::function<double()> seconds)
    : ForwardingRs232(inner), log_(log), seconds_(std::move(seconds)) {
  if (!seconds_) {
    const auto start = std::chrono::steady_clock::now();
    seconds_ = [start] {
      return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
  }
}

void TraceRs232::line(const std::string& text) {
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%12.6f ", seconds_());
  log_ << stamp << text << '\n';
  log_.flush();
}

void TraceRs232::bytes(const char* direction, const std::uint8_t* data, int count) {
  for (int at = 0; at < count; at += kBytesPerLine) {
    std::string text = direction;
    const int n = count - at < kBytesPerLine ? count - at : kBytesPerLine;
    for (int i = 0; i < n; ++i) {
      char hex[4];
      std::snprintf(hex, sizeof hex, " %02X", data[at + i]);
      text += hex;
    }
    line(text);
  }
}

int TraceRs232::OpenComConfig(int port, const std::string& deviceName, long baud, int parity,
                              int dataBits, int stopBits, int inQueueSize, int outQueueSize) {
  const int rc = inner().OpenComConfig(port, deviceName, baud, parity, dataBits, stopBits,
                                       inQueueSize, outQueueSize);
  line("open " + deviceName + " (" + platform::deviceForName(deviceName) + ") " +
       std::to_string(baud) + " baud, " + (parity == 2 ? "even parity" : "no parity") + ": " +
       std::to_string(rc));
  return rc;
}

int TraceRs232::ComSetEscape(int port, int code) {
  line(code == 5 ? "DTR on" : code == 6 ? "DTR off" : "escape " + std::to_string(code));
  return inner().ComSetEscape(port, code);
}

int TraceRs232::SetComTime(int port, double seconds) {
  char text[48];
  std::snprintf(text, sizeof text, "time-out %g s", seconds);
  line(text);
  return inner().SetComTime(port, seconds);
}

int TraceRs232::CloseCom(int port) {
  line("close");
  return inner().CloseCom(port);
}

int TraceRs232::ComWrtByte(int port, int byte) {
  const std::uint8_t b = static_cast<std::uint8_t>(byte);
  bytes("TX", &b, 1);
  return inner().ComWrtByte(port, byte);
}

int TraceRs232::ComWrt(int port, const std::uint8_t* data, int count) {
  bytes("TX", data, count);
  return inner().ComWrt(port, data, count);
}

int TraceRs232::ComRdByte(int port) {
  const int rc = inner().ComRdByte(port);
  if (rc >= 0 && rc <= 255) {
    const std::uint8_t b = static_cast<std::uint8_t>(rc);
    bytes("RX", &b, 1);
  } else if (rc == platform::kReadTimeout) {
    line("RX time-out");
  } else {
    line("RX error " + std::to_string(rc));
  }
  return rc;
}

int TraceRs232::ComRd(int port, std::uint8_t* data, int count) {
  const int n = inner().ComRd(port, data, count);
  if (n > 0) bytes("RX", data, n);
  if (n < count)
    line("RX time-out after " + std::to_string(n < 0 ? 0 : n) + " of " + std::to_string(count) +
         " bytes");
  return n;
}

}  // namespace cli
