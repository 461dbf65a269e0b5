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

void setPtyBaud(int masterFd, long baud) {
  struct termios2 t {};
  if (::ioctl(masterFd, TCGETS2, &t) != 0) return;
  t.c_cflag &= ~CBAUD;
  t.c_cflag |= BOTHER;
  t.c_ispeed = t.c_ospeed = static_cast<speed_t>(baud);
  ::ioctl(masterFd, TCSETS2, &t);
}

}  // namespace emulator
