#include "platform/rs232.h"

#include <cstdlib>

#include "platform/port_map.h"

namespace platform {
namespace {

// Stands in until a program installs a port: nothing opens, every read is silence.
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

ClosedRs232& closedPort() {
  static ClosedRs232 closed;
  return closed;
}

Rs232* g_current = nullptr;
thread_local const ScopedLine* t_line = nullptr;

}  // namespace

Rs232& rs232() {
  if (t_line) return t_line->serial();
  return g_current ? *g_current : closedPort();
}

ScopedLine::ScopedLine(Rs232& serial, int port, std::string device)
    : serial_(serial), port_(port), device_(std::move(device)), previous_(t_line) {
  t_line = this;
}

ScopedLine::~ScopedLine() {
  t_line = previous_;
}

std::string portOpenName(int port) {
  if (t_line && t_line->port() == port && !t_line->device().empty()) return t_line->device();
  return comName(port);
}

void setRs232(Rs232* impl) {
  g_current = impl;
}

std::string comName(int port) {
  return "COM" + std::to_string(port);
}

std::string deviceForPort(int port) {
  if (port < 1 || port > 255) return {};
  const std::string var = "KELVANE_COM" + std::to_string(port);
  if (const char* mapped = std::getenv(var.c_str()); mapped && *mapped) return mapped;
#ifdef _WIN32
  // On Windows the COM number is the device itself.
  return comName(port);
#else
  const std::map<int, std::string> saved = savedPortMap();
  if (auto it = saved.find(port); it != saved.end()) return it->second;
  return "/dev/ttyS" + std::to_string(port - 1);
#endif
}

std::string deviceForName(const std::string& name) {
  if (name.size() > 3 && name.compare(0, 3, "COM") == 0) {
    int n = 0;
    for (std::size_t i = 3; i < name.size(); ++i) {
      if (name[i] < '0' || name[i] > '9' || n > 255) return {};
      n = n * 10 + (name[i] - '0');
    }
    return deviceForPort(n);
  }
  return name;
}

}  // namespace platform
