// The port selector of both windows: the COM numbers with the device each stands for, and a
// Device... button beside it that maps the selected COM number to any device (a USB adapter, a
// pseudo-terminal), saved for the user and used by every program.
#pragma once

#include <string>

class QWidget;

namespace guikit {

// "COM4   /dev/ttyUSB0".
std::string portItemText(int port);

// Fills a ring with COM1..COM16 (each item's value its number) and selects port.
void fillPortRing(int panel, int control, int port);

// Puts the Device... button beside the ring; it is dimmed whenever the ring is.
void addPortChooser(int panel, int control);

// The dialog: the serial devices found (USB adapters first, with their description) and a field
// to type a path. True when a choice was saved (the ring's texts are then refreshed by the
// caller); false when cancelled or, with why, when it could not be saved.
bool choosePortDevice(QWidget* parent, int port, std::string* why);

}  // namespace guikit
