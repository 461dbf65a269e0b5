#include "platform/posix_serial_linux.h"

#include <asm/termbits.h>
#include <linux/serial.h>
#include <sys/ioctl.h>

#include <cstring>

namespace platform::linux_serial {

bool setAnyRate(int fd, long baud) {
  struct termios2 t;
  std::memset(&t, 0, sizeof t);
  if (baud <= 0 || ::ioctl(fd, TCGETS2, &t) != 0) return false;
  t.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
  t.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
  t.c_ispeed = static_cast<speed_t>(baud);
  t.c_ospeed = static_cast<speed_t>(baud);
  return ::ioctl(fd, TCSETS2, &t) == 0;
}

void requestLowLatency(int fd) {
  serial_struct ss;
  std::memset(&ss, 0, sizeof ss);
  if (::ioctl(fd, TIOCGSERIAL, &ss) == 0 && !(ss.flags & ASYNC_LOW_LATENCY)) {
    ss.flags |= ASYNC_LOW_LATENCY;
    (void)::ioctl(fd, TIOCSSERIAL, &ss);
  }
}

}  // namespace platform::linux_serial
