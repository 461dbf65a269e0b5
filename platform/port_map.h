// The device each COM number stands for, as the user chose it in a window, kept per user so that
// every program (the windows, the command line, the station) opens the same device for it.
#pragma once

#include <filesystem>
#include <map>
#include <string>

namespace platform {

// The file the choices are kept in: $XDG_CONFIG_HOME/kelvane/ports.txt, else
// ~/.config/kelvane/ports.txt (%APPDATA%\kelvane\ports.txt on Windows). One "COMn=device" a line.
// Read from the environment at each call: a test keeps its choices apart by pointing
// XDG_CONFIG_HOME at a folder of its own.
std::filesystem::path portMapPath();

// The saved choices by COM number (lines that do not read as one are skipped).
std::map<int, std::string> savedPortMap();
// Saves the device of one COM number; an empty device forgets the choice. False, with why, when
// the file cannot be written.
bool savePortDevice(int port, const std::string& device, std::string* why);

// Where deviceForPort takes a COM number's device from.
enum class PortSource { Environment, Saved, Default };
PortSource portSource(int port);

}  // namespace platform
