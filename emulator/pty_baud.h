// The baud rate the PC set on a pseudo-terminal, seen from its master side, any rate included.
#pragma once

namespace emulator {

// 0 when the system does not tell.
long ptyBaud(int masterFd);
// Whether termios has a constant for the rate (38400, 460800, ...; not 220338).
bool isStandardBaud(long baud);

}  // namespace emulator
