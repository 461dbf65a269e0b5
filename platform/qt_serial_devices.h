// The serial devices the system has, for the windows' port chooser.
#pragma once

#include <string>
#include <vector>

namespace platform {

struct SerialDevice {
  std::string path;         // "/dev/ttyUSB0", "COM3"
  std::string description;  // "FT232R USB UART (FTDI)"; may be empty
  bool usb = false;
};

// USB adapters first (the usual case), then the others, each group by path.
std::vector<SerialDevice> systemSerialDevices();

}  // namespace platform
