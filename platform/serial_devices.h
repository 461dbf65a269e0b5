// The serial devices present on this machine, for a technician to pick from.
#pragma once

#include <string>
#include <vector>

namespace platform {

struct SerialDevice {
  std::string device;       // what to open: /dev/ttyUSB0, COM5
  std::string description;  // the maker's words for it, when the system knows them
};

// USB adapters first, then the others, each group by name.
std::vector<SerialDevice> serialDevices();

}  // namespace platform
