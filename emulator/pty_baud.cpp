// Kept apart: the kernel's termios2 header cannot share a file with <termios.h>.
#include "emulator/pty_baud.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace emulator {

long ptyBaud(int masterFd) {
  struct termios2 t {};
  if (::ioctl(masterFd, TCGETS2, &t) != 0) return 0;
  return static_cast<long>(t.c_ospeed);
}

bool isStandardBaud(long baud) {
  // The rates termios has a B constant for.
  constexpr long kStandard[] = {
      50,     75,     110,     134,     150,     200,     300,     600,     1200,    1800,
      2400,   4800,   9600,    19200,   38400,   57600,   115200,  230400,  460800,  500000,
      576000, 921600, 1000000, 1152000, 1500000, 2000000, 2500000, 3000000, 3500000, 4000000};
  for (long b : kStandard) {
    if (b == baud) return true;
  }
  return false;
}

}  // namespace emulator
