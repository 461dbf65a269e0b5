#include "platform/posix_rs232.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>

#ifdef __linux__
#include "platform/posix_serial_linux.h"
#endif

namespace platform {

struct PosixRs232::Port {
  std::string device;
  int fd = -1;
  int timeoutMs = 5000;
  long baud = 9600;
  int parity = 0;
  // The device hung up (unplugged adapter, emulator gone): from then on it reads as silence at
  // once instead of costing a full time-out per read.
  bool gone = false;
  // Bytes taken from the driver but not yet handed to a reader.
  std::uint8_t buffer[4096];
  int head = 0, tail = 0;

  int buffered() const { return tail - head; }
  ~Port() {
    if (fd < 0) return;
    (void)::ioctl(fd, TIOCNXCL);
    (void)::flock(fd, LOCK_UN);
    ::close(fd);
  }
};

namespace {

using Clock = std::chrono::steady_clock;

int msSince(Clock::time_point t0) {
  return static_cast<int>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count());
}

void sleepMs(int ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(std::max(0, ms)));
}

// The errors after which nothing will ever come from the device again.
bool hungUp(int err) {
  return err == EIO || err == ENXIO || err == ENODEV || err == EBADF;
}

speed_t standardRate(long baud) {
  switch (baud) {
    case 1200:
      return B1200;
    case 2400:
      return B2400;
    case 4800:
      return B4800;
    case 9600:
      return B9600;
    case 19200:
      return B19200;
    case 38400:
      return B38400;
    case 57600:
      return B57600;
    case 115200:
      return B115200;
    case 230400:
      return B230400;
#ifdef B460800
    case 460800:
      return B460800;
#endif
#ifdef B921600
    case 921600:
      return B921600;
#endif
    default:
      return 0;
  }
}

// Pseudo-terminals (the emulated handset) carry bytes, not bits: the kernel refuses parity on
// them, and it does not matter there.
bool isPseudoTerminal(const std::string& device) {
  return device.rfind("/dev/pts/", 0) == 0;
}

// Raw 8-bit bytes, one stop bit, no handshake; reads return what is there (time-outs come from
// poll).
bool applySettings(int fd, const std::string& device, long baud, int parity) {
  termios t;
  if (::tcgetattr(fd, &t) != 0) return false;
  ::cfmakeraw(&t);
  t.c_cflag |= CLOCAL | CREAD;
  t.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB);
  t.c_cflag |= CS8;
#ifdef CRTSCTS
  t.c_cflag &= ~CRTSCTS;
#endif
  if (parity == 2) t.c_cflag |= PARENB;
  t.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK);
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  const speed_t rate = standardRate(baud);
  if (rate) {
    ::cfsetispeed(&t, rate);
    ::cfsetospeed(&t, rate);
  }
  if (::tcsetattr(fd, TCSANOW, &t) != 0) {
    if (!(t.c_cflag & PARENB) || !isPseudoTerminal(device)) return false;
    t.c_cflag &= ~PARENB;
    if (::tcsetattr(fd, TCSANOW, &t) != 0) return false;
  }
  if (rate) return true;
#ifdef __linux__
  return linux_serial::setAnyRate(fd, baud);
#else
  return false;
#endif
}

std::string systemText(int err) {
  return std::strerror(err);
}

}  // namespace

PosixRs232::PosixRs232() = default;
PosixRs232::~PosixRs232() = default;

PosixRs232::Port* PosixRs232::find(int port) {
  auto it = ports_.find(port);
  return it == ports_.end() ? nullptr : it->second.get();
}

bool PosixRs232::Vanished(int port) {
  Port* p = find(port);
  return p && p->gone;
}

std::string PosixRs232::LastOpenError(int port) const {
  auto it = openErrors_.find(port);
  return it == openErrors_.end() ? std::string() : it->second;
}

int PosixRs232::OpenComConfig(int port, const std::string& deviceName, long baud, int parity, int,
                              int, int, int) {
  if (port < 1 || port > 255) {
    openErrors_[port] = "port number " + std::to_string(port) + " is outside 1..255";
    return kErrNoSuchPort;
  }
  std::string device = deviceForName(deviceName);
  if (device.empty()) {
    openErrors_[port] = "no device for " + deviceName;
    return kErrNoSuchPort;
  }
  // One device under two names (a link in /dev/serial/by-id) must share one lock.
  std::error_code ec;
  if (const auto real = std::filesystem::canonical(device, ec); !ec) device = real.string();
  if (Port* open = find(port); open && open->device == device && !open->gone) {
    // Re-opening an open port applies the new settings to it.
    if (!applySettings(open->fd, device, baud, parity)) return kErrBadSettings;
    open->baud = baud;
    open->parity = parity;
    return 0;
  }
  ports_.erase(port);

  auto p = std::make_unique<Port>();
  p->device = device;
  // Non-blocking, so that a modem line cannot hold the open; the port never becomes our
  // controlling terminal.
  p->fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (p->fd < 0) {
    const int err = errno;
    std::string why = device + ": " + systemText(err);
    int code = kErrCannotOpen;
    if (err == EBUSY) {
      why = device + ": the port is in use by another program";
      code = kErrPermission;
    } else if (err == EACCES || err == EPERM) {
      why += " (add the user to the dialout group, then log in again)";
      code = kErrPermission;
    } else if (err == ENOENT || err == ENODEV || err == ENXIO) {
      why += " (no such device: is the cable plugged in?)";
    }
    openErrors_[port] = why;
    return code;
  }
  // The advisory lock tells even root that another program of ours holds the line.
  if (::flock(p->fd, LOCK_EX | LOCK_NB) != 0) {
    const int err = errno;
    ::close(p->fd);
    p->fd = -1;
    openErrors_[port] = err == EWOULDBLOCK ? device + ": the port is in use by another program"
                                           : device + ": " + systemText(err);
    return err == EWOULDBLOCK ? kErrPermission : kErrCannotOpen;
  }
  termios probe;
  if (::tcgetattr(p->fd, &probe) != 0) {
    openErrors_[port] = device + ": " + systemText(errno) + " (not a serial device)";
    return kErrCannotOpen;
  }
  // Nobody else may open the device while we hold it.
  (void)::ioctl(p->fd, TIOCEXCL);
  if (!applySettings(p->fd, device, baud, parity)) {
    openErrors_[port] = device + ": baud rate " + std::to_string(baud) + " refused";
    return kErrBadSettings;
  }
#ifdef __linux__
  linux_serial::requestLowLatency(p->fd);
#endif
  p->baud = baud;
  p->parity = parity;
  openErrors_.erase(port);
  ports_[port] = std::move(p);
  return 0;
}

int PosixRs232::SetCTSMode(int port, int) {
  Port* p = find(port);
  if (!p) return kErrNotOpen;
  // The settings never ask for a handshake; applying them again switches any off.
  return applySettings(p->fd, p->device, p->baud, p->parity) ? 0 : kErrBadSettings;
}

int PosixRs232::SetXMode(int port, int mode) {
  return SetCTSMode(port, mode);
}

int PosixRs232::FlushInQ(int port) {
  Port* p = find(port);
  if (!p) return kErrNotOpen;
  p->head = p->tail = 0;
  (void)::tcflush(p->fd, TCIFLUSH);
  return 0;
}

int PosixRs232::FlushOutQ(int port) {
  Port* p = find(port);
  if (!p) return kErrNotOpen;
  (void)::tcflush(p->fd, TCOFLUSH);
  return 0;
}

int PosixRs232::ComSetEscape(int port, int code) {
  Port* p = find(port);
  if (!p) return kErrNotOpen;
  if (code != 5 && code != 6) return kErrBadSettings;
  int bits = TIOCM_DTR;
  if (::ioctl(p->fd, code == 5 ? TIOCMBIS : TIOCMBIC, &bits) == 0) return 0;
  // Pseudo-terminals and some adapters have no modem lines: nothing to drive there.
  return errno == ENOTTY || errno == EINVAL ? 0 : kErrBadSettings;
}

int PosixRs232::SetComTime(int port, double seconds) {
  Port* p = find(port);
  if (!p) return kErrNotOpen;
  p->timeoutMs = std::max(0, static_cast<int>(seconds * 1000.0));
  return 0;
}

int PosixRs232::CloseCom(int port) {
  auto it = ports_.find(port);
  if (it == ports_.end()) return kErrNotOpen;
  ports_.erase(it);
  return 0;
}

int PosixRs232::ComWrtByte(int port, int byte) {
  const std::uint8_t b = static_cast<std::uint8_t>(byte);
  return ComWrt(port, &b, 1) == 1 ? 1 : kErrNotOpen;
}

int PosixRs232::writeAll(Port& p, const std::uint8_t* data, int count) {
  const auto t0 = Clock::now();
  // The port time-out, plus what the block needs on the wire: a long block at a slow rate is
  // not a stalled line.
  const long bitsPerByte = p.parity == 0 ? 10 : 11;
  const long wireMs = p.baud > 0 ? count * bitsPerByte * 1000 / p.baud : 0;
  const int limitMs = p.timeoutMs + static_cast<int>(wireMs);
  int done = 0;
  while (done < count) {
    const ssize_t n = ::write(p.fd, data + done, static_cast<std::size_t>(count - done));
    if (n > 0) {
      done += static_cast<int>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      if (hungUp(errno)) p.gone = true;
      break;
    }
    // The driver's queue is full: wait while the line takes bytes, within the port time-out.
    const int left = limitMs - msSince(t0);
    if (left <= 0) break;
    pollfd pf{p.fd, POLLOUT, 0};
    const int ready = ::poll(&pf, 1, left);
    if (ready > 0 && (pf.revents & (POLLHUP | POLLERR | POLLNVAL))) {
      p.gone = true;
      break;
    }
  }
  return done;
}

int PosixRs232::ComWrt(int port, const std::uint8_t* data, int count) {
  Port* p = find(port);
  if (!p || p->gone) return kErrNotOpen;
  if (count <= 0) return 0;
  const int n = writeAll(*p, data, count);
  if (p->gone) return kErrNotOpen;
  return n;
}

bool PosixRs232::fill(Port& p, int ms) {
  if (p.buffered() > 0) return true;
  if (p.gone) return false;
  p.head = p.tail = 0;
  const auto t0 = Clock::now();
  for (;;) {
    const int left = std::max(0, ms - msSince(t0));
    pollfd pf{p.fd, POLLIN, 0};
    const int ready = ::poll(&pf, 1, left);
    if (ready < 0 && errno != EINTR) {
      p.gone = true;
      return false;
    }
    if (ready > 0 && (pf.revents & POLLIN)) {
      const ssize_t n = ::read(p.fd, p.buffer, sizeof p.buffer);
      if (n > 0) {
        p.tail = static_cast<int>(n);
        return true;
      }
      if (n < 0 && hungUp(errno)) {
        p.gone = true;
        return false;
      }
    }
    if (ready > 0 && (pf.revents & (POLLHUP | POLLERR | POLLNVAL))) {
      p.gone = true;
      return false;
    }
    if (left <= 0) return false;
    if (ready > 0) sleepMs(1);  // readable but nothing came: do not spin on it
  }
}

int PosixRs232::ComRdByte(int port) {
  Port* p = find(port);
  if (!p) return kReadTimeout;
  if (!fill(*p, p->timeoutMs)) return kReadTimeout;
  return p->buffer[p->head++];
}

int PosixRs232::ComRd(int port, std::uint8_t* data, int count) {
  Port* p = find(port);
  if (!p || count <= 0) return 0;
  const auto t0 = Clock::now();
  int got = 0;
  while (got < count) {
    if (!fill(*p, std::max(0, p->timeoutMs - msSince(t0)))) break;
    const int n = std::min(p->buffered(), count - got);
    std::memcpy(data + got, p->buffer + p->head, static_cast<std::size_t>(n));
    p->head += n;
    got += n;
  }
  return got;
}

int PosixRs232::GetInQLen(int port) {
  Port* p = find(port);
  if (!p) return 0;
  int n = 0;
  if (p->gone || ::ioctl(p->fd, FIONREAD, &n) != 0) n = 0;
  return p->buffered() + n;
}

int PosixRs232::GetOutQLen(int port) {
  Port* p = find(port);
  if (!p || p->gone) return 0;
  int n = 0;
  if (::ioctl(p->fd, TIOCOUTQ, &n) != 0) return 0;
  return n;
}

bool PosixRs232::WaitInput(int port, int ms) {
  Port* p = find(port);
  if (!p || p->gone) {
    // Nothing will come; still take the time, so polling loops do not spin.
    sleepMs(ms);
    return false;
  }
  return fill(*p, ms);
}

bool PosixRs232::WaitOutputDrained(int port, int ms) {
  Port* p = find(port);
  if (!p) return true;
  const auto t0 = Clock::now();
  for (;;) {
    const int queued = GetOutQLen(port);
    if (p->gone) return true;
    // How long the queue needs to leave the wire; once that fits in the time left, the driver
    // waits for the last bit itself (the UART's own buffer included).
    const long bitsPerByte = p->parity == 0 ? 10 : 11;
    const long needMs = p->baud > 0 ? queued * bitsPerByte * 1000 / p->baud : 0;
    const int left = ms - msSince(t0);
    if (needMs < left) {
      if (::tcdrain(p->fd) != 0 && hungUp(errno)) p->gone = true;
      return true;
    }
    if (left <= 0) return false;
    sleepMs(static_cast<int>(std::clamp<long>(needMs, 1, std::min(20, left))));
  }
}

}  // namespace platform
