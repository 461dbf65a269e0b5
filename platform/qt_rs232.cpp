#include "platform/qt_rs232.h"

#include <linux/serial.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QSerialPort>
#include <algorithm>
#include <cstring>
#include <filesystem>

namespace platform {

struct QtRs232::Port {
  std::string device;
  QSerialPort serial;
  int timeoutMs = 5000;
  long baud = 9600;
  int parity = 0;
  // The device hung up (unplugged adapter, emulator gone): from then on it reads as silence at
  // once instead of costing a full time-out per read.
  bool gone = false;
};

namespace {

// Asks the driver to hand received bytes over at once instead of after its latency timer.
// Devices without the setting (pseudo-terminals) simply refuse; that is fine.
void requestLowLatency(int fd) {
  serial_struct ss;
  std::memset(&ss, 0, sizeof ss);
  if (::ioctl(fd, TIOCGSERIAL, &ss) == 0) {
    ss.flags |= ASYNC_LOW_LATENCY;
    (void)::ioctl(fd, TIOCSSERIAL, &ss);
  }
}

int kernelOutQueue(int fd) {
  int n = 0;
  if (fd < 0 || ::ioctl(fd, TIOCOUTQ, &n) != 0) return 0;
  return n;
}

int kernelInQueue(int fd) {
  int n = 0;
  if (fd < 0 || ::ioctl(fd, FIONREAD, &n) != 0) return 0;
  return n;
}

// Pseudo-terminals (the emulated handset) carry bytes, not bits: the kernel refuses parity on
// them, and it does not matter there.
bool isPseudoTerminal(const std::string& device) {
  return device.rfind("/dev/pts/", 0) == 0;
}

bool applySettings(QSerialPort& s, const std::string& device, long baud, int parity) {
  bool ok = s.setBaudRate(static_cast<qint32>(baud));
  const bool parityOk = s.setParity(parity == 2 ? QSerialPort::EvenParity : QSerialPort::NoParity);
  ok = (parityOk || isPseudoTerminal(device)) && ok;
  ok = s.setDataBits(QSerialPort::Data8) && ok;
  ok = s.setStopBits(QSerialPort::OneStop) && ok;
  return ok;
}

}  // namespace

QtRs232::QtRs232() = default;
QtRs232::~QtRs232() = default;

QtRs232::Port* QtRs232::find(int port) {
  auto it = ports_.find(port);
  if (it == ports_.end() || !it->second->serial.isOpen()) return nullptr;
  return it->second.get();
}

bool QtRs232::Vanished(int port) {
  Port* p = find(port);
  return p && p->gone;
}

std::string QtRs232::LastOpenError(int port) const {
  auto it = openErrors_.find(port);
  return it == openErrors_.end() ? std::string() : it->second;
}

int QtRs232::OpenComConfig(int port, const std::string& deviceName, long baud, int parity, int, int,
                           int, int) {
  if (port < 1 || port > 255) {
    openErrors_[port] = "port number " + std::to_string(port) + " is outside 1..255";
    return kErrNoSuchPort;
  }
  std::string device = deviceForName(deviceName);
  // One device under two names (a link in /dev/serial/by-id) must share one lock.
  std::error_code ec;
  if (const auto real = std::filesystem::canonical(device, ec); !ec) device = real.string();
  if (device.empty()) {
    openErrors_[port] = "no device for " + deviceName;
    return kErrNoSuchPort;
  }
  if (Port* open = find(port); open && open->device == device) {
    // Re-opening an open port applies the new settings to it.
    if (!applySettings(open->serial, device, baud, parity)) return kErrBadSettings;
    open->baud = baud;
    open->parity = parity;
    return 0;
  }
  ports_.erase(port);
  auto p = std::make_unique<Port>();
  p->device = device;
  p->serial.setPortName(QString::fromStdString(device));
  if (!p->serial.open(QIODevice::ReadWrite)) {
    const auto err = p->serial.error();
    std::string why = device + ": " + p->serial.errorString().toStdString();
    int code = kErrCannotOpen;
    if (err == QSerialPort::PermissionError && ::access(device.c_str(), R_OK | W_OK) == 0) {
      // We may use the device, so someone else holds it.
      why = device + ": the port is in use by another program";
      code = kErrPermission;
    } else if (err == QSerialPort::PermissionError) {
      why += " (add the user to the dialout group, then log in again)";
      code = kErrPermission;
    } else if (err == QSerialPort::DeviceNotFoundError) {
      why += " (no such device: is the cable plugged in?)";
    }
    openErrors_[port] = why;
    return code;
  }
  if (!applySettings(p->serial, device, baud, parity)) {
    openErrors_[port] = device + ": baud rate " + std::to_string(baud) + " refused";
    return kErrBadSettings;
  }
  requestLowLatency(static_cast<int>(p->serial.handle()));
  p->baud = baud;
  p->parity = parity;
  openErrors_.erase(port);
  ports_[port] = std::move(p);
  return 0;
}

int QtRs232::SetCTSMode(int port, int) {
  Port* p = find(port);
  if (!p) return kErrNotOpen;
  return p->serial.setFlowControl(QSerialPort::NoFlowControl) ? 0 : kErrBadSettings;
}

int QtRs232::SetXMode(int port, int mode) {
  return SetCTSMode(port, mode);
}

int QtRs232::FlushInQ(int port) {
  Port* p = find(port);
  if (!p) return kErrNotOpen;
  p->serial.clear(QSerialPort::Input);
  return 0;
}

int QtRs232::FlushOutQ(int port) {
  Port* p = find(port);
  if (!p) return kErrNotOpen;
  p->serial.clear(QSerialPort::Output);
  return 0;
}

int QtRs232::ComSetEscape(int port, int code) {
  Port* p = find(port);
  if (!p) return kErrNotOpen;
  // Pseudo-terminals have no modem lines; the refusal is harmless and ignored by the callers.
  if (code == 5) return p->serial.setDataTerminalReady(true) ? 0 : kErrBadSettings;
  if (code == 6) return p->serial.setDataTerminalReady(false) ? 0 : kErrBadSettings;
  return kErrBadSettings;
}

int QtRs232::SetComTime(int port, double seconds) {
  Port* p = find(port);
  if (!p) return kErrNotOpen;
  p->timeoutMs = std::max(0, static_cast<int>(seconds * 1000.0));
  return 0;
}

int QtRs232::CloseCom(int port) {
  auto it = ports_.find(port);
  if (it == ports_.end()) return kErrNotOpen;
  it->second->serial.close();
  ports_.erase(it);
  return 0;
}

int QtRs232::ComWrtByte(int port, int byte) {
  const std::uint8_t b = static_cast<std::uint8_t>(byte);
  return ComWrt(port, &b, 1) == 1 ? 1 : kErrNotOpen;
}

int QtRs232::ComWrt(int port, const std::uint8_t* data, int count) {
  Port* p = find(port);
  if (!p || p->gone) return kErrNotOpen;
  if (count <= 0) return 0;
  const qint64 n = p->serial.write(reinterpret_cast<const char*>(data), count);
  if (n < 0) return kErrNotOpen;
  // Without an event loop Qt only hands bytes to the driver inside the wait; push them all now,
  // as the driver's queue takes them, within the port time-out.
  QElapsedTimer t;
  t.start();
  while (p->serial.bytesToWrite() > 0) {
    const int left = p->timeoutMs - static_cast<int>(t.elapsed());
    if (left <= 0 || !p->serial.waitForBytesWritten(left)) break;
  }
  if (p->serial.error() == QSerialPort::ResourceError) {
    p->gone = true;
    return kErrNotOpen;
  }
  return static_cast<int>(n);
}

bool QtRs232::fill(Port& p, int ms) {
  if (p.serial.bytesAvailable() > 0) return true;
  if (p.gone) return false;
  const int fd = static_cast<int>(p.serial.handle());
  QElapsedTimer t;
  t.start();
  for (;;) {
    const int left = std::max(0, ms - static_cast<int>(t.elapsed()));
    // Qt's own wait does not report a hang-up; poll the descriptor to see it.
    pollfd pf{fd, POLLIN, 0};
    const int ready = ::poll(&pf, 1, left);
    if (ready > 0 && (pf.revents & POLLIN)) {
      p.serial.waitForReadyRead(0);
      if (p.serial.bytesAvailable() > 0) return true;
    }
    if (ready > 0 && (pf.revents & (POLLHUP | POLLERR | POLLNVAL))) {
      p.gone = true;
      return false;
    }
    if (ready > 0 && p.serial.error() == QSerialPort::ResourceError) {
      p.gone = true;
      return false;
    }
    if (left <= 0) return false;
    if (ready > 0) ::usleep(1000);  // readable but nothing came: do not spin on it
  }
}

int QtRs232::ComRdByte(int port) {
  Port* p = find(port);
  if (!p) return kReadTimeout;
  if (!fill(*p, p->timeoutMs)) return kReadTimeout;
  char c = 0;
  if (!p->serial.getChar(&c)) return kReadTimeout;
  return static_cast<unsigned char>(c);
}

int QtRs232::ComRd(int port, std::uint8_t* data, int count) {
  Port* p = find(port);
  if (!p || count <= 0) return 0;
  QElapsedTimer t;
  t.start();
  int got = 0;
  while (got < count) {
    const int left = p->timeoutMs - static_cast<int>(t.elapsed());
    if (!fill(*p, std::max(0, left))) break;
    const qint64 n = p->serial.read(reinterpret_cast<char*>(data + got), count - got);
    if (n <= 0) break;
    got += static_cast<int>(n);
  }
  return got;
}

int QtRs232::GetInQLen(int port) {
  Port* p = find(port);
  if (!p) return 0;
  return static_cast<int>(p->serial.bytesAvailable()) +
         kernelInQueue(static_cast<int>(p->serial.handle()));
}

int QtRs232::GetOutQLen(int port) {
  Port* p = find(port);
  if (!p || p->gone) return 0;
  if (p->serial.bytesToWrite() > 0) p->serial.waitForBytesWritten(0);
  return static_cast<int>(p->serial.bytesToWrite()) +
         kernelOutQueue(static_cast<int>(p->serial.handle()));
}

bool QtRs232::WaitInput(int port, int ms) {
  Port* p = find(port);
  if (!p || p->gone) {
    // Nothing will come; still take the time, so polling loops do not spin.
    ::usleep(static_cast<useconds_t>(std::max(0, ms)) * 1000);
    return false;
  }
  return fill(*p, ms);
}

bool QtRs232::WaitOutputDrained(int port, int ms) {
  Port* p = find(port);
  if (!p) return true;
  QElapsedTimer t;
  t.start();
  for (;;) {
    const int queued = GetOutQLen(port);
    if (queued == 0) return true;
    const int left = ms - static_cast<int>(t.elapsed());
    if (left <= 0) return false;
    // Sleep about as long as the queue needs to leave the wire, in small steps.
    const long bitsPerByte = p->parity == 0 ? 10 : 11;
    const long needMs = p->baud > 0 ? queued * bitsPerByte * 1000 / p->baud : 1;
    const int step = static_cast<int>(std::clamp<long>(needMs, 1, std::min(20, left)));
    ::usleep(static_cast<useconds_t>(step) * 1000);
  }
}

}  // namespace platform
