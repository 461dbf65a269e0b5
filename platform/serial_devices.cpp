#include "platform/serial_devices.h"

#include <algorithm>

#ifdef _WIN32
#include <windows.h>
#else
#include <filesystem>
#include <fstream>
#endif

namespace platform {
namespace {

bool isUsb(const std::string& device) {
  return device.find("ttyUSB") != std::string::npos || device.find("ttyACM") != std::string::npos;
}

#ifndef _WIN32
std::string firstLine(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}
#endif

}  // namespace

std::vector<SerialDevice> serialDevices() {
  std::vector<SerialDevice> out;
#ifdef _WIN32
  // The COM names present now, as the drivers registered them.
  HKEY key;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) ==
      ERROR_SUCCESS) {
    for (DWORD i = 0;; ++i) {
      wchar_t name[256], value[64];
      DWORD nameLen = 256, valueBytes = sizeof value, type = 0;
      if (::RegEnumValueW(key, i, name, &nameLen, nullptr, &type, reinterpret_cast<BYTE*>(value),
                          &valueBytes) != ERROR_SUCCESS)
        break;
      if (type != REG_SZ) continue;
      std::string com;
      for (DWORD k = 0; k < valueBytes / sizeof(wchar_t) && value[k]; ++k)
        com += static_cast<char>(value[k]);
      out.push_back({com, {}});
    }
    ::RegCloseKey(key);
  }
#else
  namespace fs = std::filesystem;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/sys/class/tty", ec)) {
    const fs::path dir = entry.path();
    // Only real devices have a device link; the virtual consoles have none.
    if (!fs::exists(dir / "device", ec)) continue;
    // A serial driver's slot with no chip behind it reports the port type 0.
    if (fs::exists(dir / "type", ec) && firstLine(dir / "type") == "0") continue;
    SerialDevice d{"/dev/" + dir.filename().string(), {}};
    const fs::path device = fs::canonical(dir / "device", ec);
    for (const fs::path& p :
         {device / "interface", device.parent_path() / "interface",
          device.parent_path() / "product", device.parent_path().parent_path() / "product"}) {
      if (d.description.empty()) d.description = firstLine(p);
    }
    out.push_back(d);
  }
#endif
  std::sort(out.begin(), out.end(), [](const SerialDevice& a, const SerialDevice& b) {
    if (isUsb(a.device) != isUsb(b.device)) return isUsb(a.device);
    return a.device < b.device;
  });
  return out;
}

}  // namespace platform
