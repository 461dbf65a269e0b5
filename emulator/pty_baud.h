// The baud rate the PC set on a pseudo-terminal, seen from its master side, any rate included.
#pragma once

namespace emulator {

// 0 when the system does not tell.
long ptyBaud(int masterFd);
void setPtyBaud(int masterFd, long baud);

}  // namespace emulator
