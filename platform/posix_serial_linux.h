// What only Linux offers a serial device: any baud rate, and a low-latency request to the
// driver. Kept apart because the kernel's termios2 header cannot share a file with <termios.h>.
#pragma once

namespace platform::linux_serial {

// Sets both directions of the line to the rate, whatever number it is. False when refused.
bool setAnyRate(int fd, long baud);
// Asks the driver to hand received bytes over at once rather than after its latency timer.
// Drivers without the setting (pseudo-terminals) refuse; that is fine.
void requestLowLatency(int fd);

}  // namespace platform::linux_serial
