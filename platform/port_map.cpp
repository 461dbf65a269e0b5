#include "platform/port_map.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "platform/replace_file.h"

namespace platform {
namespace {

std::filesystem::path userConfigFolder() {
#ifdef _WIN32
  if (const char* appData = std::getenv("APPDATA"); appData && *appData)
    return std::filesystem::path(appData) / "kelvane";
#else
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg)
    return std::filesystem::path(xdg) / "kelvane";
  if (const char* home = std::getenv("HOME"); home && *home)
    return std::filesystem::path(home) / ".config" / "kelvane";
#endif
  return {};
}

// "COM12=/dev/ttyUSB0" -> 12 and the device; 0 for anything else.
int parseLine(const std::string& line, std::string* device) {
  const auto eq = line.find('=');
  if (line.compare(0, 3, "COM") != 0 || eq == std::string::npos || eq == 3 || eq > 6) return 0;
  int n = 0;
  for (std::size_t i = 3; i < eq; ++i) {
    if (line[i] < '0' || line[i] > '9') return 0;
    n = n * 10 + (line[i] - '0');
  }
  std::string rest = line.substr(eq + 1);
  while (!rest.empty() && (rest.back() == '\r' || rest.back() == ' ')) rest.pop_back();
  if (n < 1 || n > 255 || rest.empty()) return 0;
  *device = rest;
  return n;
}

}  // namespace

std::filesystem::path portMapPath() {
  const std::filesystem::path folder = userConfigFolder();
  return folder.empty() ? std::filesystem::path() : folder / "ports.txt";
}

std::map<int, std::string> savedPortMap() {
  std::map<int, std::string> map;
  const std::filesystem::path path = portMapPath();
  if (path.empty()) return map;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    std::string device;
    if (const int n = parseLine(line, &device)) map[n] = device;
  }
  return map;
}

bool savePortDevice(int port, const std::string& device, std::string* why) {
  if (port < 1 || port > 255 || device.find('\n') != std::string::npos) {
    if (why) *why = "COM" + std::to_string(port) + " cannot be mapped to " + device;
    return false;
  }
  const std::filesystem::path path = portMapPath();
  if (path.empty()) {
    if (why) *why = "no folder for the user's settings (HOME is not set)";
    return false;
  }
  std::map<int, std::string> map = savedPortMap();
  if (device.empty())
    map.erase(port);
  else
    map[port] = device;
  std::ostringstream text;
  for (const auto& [n, d] : map) text << "COM" << n << '=' << d << '\n';
  std::error_code ec;
  std::filesystem::create_directories(path.parent_path(), ec);
  return replaceFile(path.string(), text.str(), why);
}

PortSource portSource(int port) {
  const std::string var = "KELVANE_COM" + std::to_string(port);
  if (const char* mapped = std::getenv(var.c_str()); mapped && *mapped)
    return PortSource::Environment;
  return savedPortMap().count(port) ? PortSource::Saved : PortSource::Default;
}

}  // namespace platform
