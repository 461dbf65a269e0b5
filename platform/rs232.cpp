#include "platform/rs232.h"

#include <cstdlib>

#include "platform/port_map.h"

namespace platform {

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
