#include "platform/win32_rs232.h"

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <thread>

namespace platform {

struct Win32Rs232::Port {
  std::string device;
  HANDLE handle = INVALID_HANDLE_VALUE;
  // Held while the port is ours: where a driver shares its device anyway (Wine), a second
  // program of ours still sees the port in use.
  HANDLE lock = nullptr;
  int timeoutMs = 5000;
  long baud = 9600;
  int parity = 0;
  // The read time-out the driver holds now, so that it is set only when it changes; MAXDWORD
  // until the time-outs follow the current settings.
  DWORD readTimeout = MAXDWORD;
  bool gone = false;
  // Bytes taken from the driver but not yet handed to a reader.
  std::uint8_t buffer[4096];
  int head = 0, tail = 0;

  int buffered() const { return tail - head; }
  ~Port() {
    if (handle != INVALID_HANDLE_VALUE) ::CloseHandle(handle);
    if (lock) ::CloseHandle(lock);
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

std::string utf8(const wchar_t* text, int length) {
  const int n = ::WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(std::max(0, n)), '\0');
  if (n > 0) ::WideCharToMultiByte(CP_UTF8, 0, text, length, out.data(), n, nullptr, nullptr);
  return out;
}

std::wstring wide(const std::string& text) {
  const int n =
      ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(std::max(0, n)), L'\0');
  if (n > 0)
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
  return out;
}

// The system's words for an error number, without the line end it carries.
std::string systemText(DWORD err) {
  wchar_t* text = nullptr;
  const DWORD n = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, err, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string out = n && text ? utf8(text, static_cast<int>(n)) : std::string();
  if (text) ::LocalFree(text);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' '))
    out.pop_back();
  if (out.empty()) out = "system error " + std::to_string(err);
  return out;
}

// What a driver answers once its adapter has been pulled.
bool hungUp(DWORD err) {
  return err == ERROR_BAD_COMMAND || err == ERROR_OPERATION_ABORTED ||
         err == ERROR_DEVICE_REMOVED || err == ERROR_GEN_FAILURE || err == ERROR_INVALID_HANDLE ||
         err == ERROR_ACCESS_DENIED || err == ERROR_DEVICE_NOT_CONNECTED;
}

// Only the settings we own change; the rest of the driver's state block is kept as read.
bool applySettings(HANDLE h, long baud, int parity) {
  DCB dcb;
  std::memset(&dcb, 0, sizeof dcb);
  dcb.DCBlength = sizeof dcb;
  if (baud <= 0 || !::GetCommState(h, &dcb)) return false;
  dcb.BaudRate = static_cast<DWORD>(baud);
  dcb.ByteSize = 8;
  dcb.Parity = parity == 2 ? EVENPARITY : NOPARITY;
  dcb.fParity = parity == 2 ? TRUE : FALSE;
  dcb.StopBits = ONESTOPBIT;
  dcb.fBinary = TRUE;
  dcb.fOutxCtsFlow = FALSE;
  dcb.fOutxDsrFlow = FALSE;
  dcb.fDsrSensitivity = FALSE;
  dcb.fOutX = FALSE;
  dcb.fInX = FALSE;
  dcb.fErrorChar = FALSE;
  dcb.fNull = FALSE;
  dcb.fAbortOnError = FALSE;
  dcb.fDtrControl = DTR_CONTROL_DISABLE;
  dcb.fRtsControl = RTS_CONTROL_DISABLE;
  return ::SetCommState(h, &dcb) != 0;
}

}  // namespace

std::string win32DevicePath(const std::string& name) {
  if (name.size() > 3 && (name.compare(0, 3, "COM") == 0 || name.compare(0, 3, "com") == 0))
    return "\\\\.\\" + name;
  return name;
}

// A read of 0 ms returns what is there at once; any other waits up to ms for one byte (the only
// read whose time-outs Windows and Wine treat alike). Writes may take the port time-out plus
// what the bytes need on the wire.
bool Win32Rs232::useReadTimeout(Port& p, int ms) {
  const DWORD wait = static_cast<DWORD>(std::max(0, ms));
  if (p.readTimeout == wait) return true;
  COMMTIMEOUTS t{};
  t.ReadIntervalTimeout = wait ? 0 : MAXDWORD;
  t.ReadTotalTimeoutMultiplier = 0;
  t.ReadTotalTimeoutConstant = wait;
  const long bitsPerByte = p.parity == 0 ? 10 : 11;
  t.WriteTotalTimeoutMultiplier =
      static_cast<DWORD>(p.baud > 0 ? bitsPerByte * 1000 / p.baud + 1 : 1);
  t.WriteTotalTimeoutConstant = static_cast<DWORD>(p.timeoutMs);
  if (!::SetCommTimeouts(p.handle, &t)) {
    p.readTimeout = MAXDWORD;
    if (hungUp(::GetLastError())) p.gone = true;
    return false;
  }
  p.readTimeout = wait;
  return true;
}

Win32Rs232::Win32Rs232() = default;
Win32Rs232::~Win32Rs232() = default;

Win32Rs232::Port* Win32Rs232::find(int port) {
  auto it = ports_.find(port);
  return it == ports_.end() ? nullptr : it->second.get();
}

bool Win32Rs232::Vanished(int port) {
  Port* p = find(port);
  return p && p->gone;
}

std::string Win32Rs232::LastOpenError(int port) const {
  auto it = openErrors_.find(port);
  return it == openErrors_.end() ? std::string() : it->second;
}

int Win32Rs232::OpenComConfig(int port, const std::string& deviceName, long baud, int parity, int,
                              int, int inQueueSize, int outQueueSize) {
  if (port < 1 || port > 255) {
    openErrors_[port] = "port number " + std::to_string(port) + " is outside 1..255";
    return kErrNoSuchPort;
  }
  if (deviceName.empty()) {
    openErrors_[port] = "no device for port " + std::to_string(port);
    return kErrNoSuchPort;
  }
  const std::string device = win32DevicePath(deviceName);
  if (Port* open = find(port); open && open->device == device && !open->gone) {
    // Re-opening an open port applies the new settings to it.
    if (!applySettings(open->handle, baud, parity)) {
      const DWORD err = ::GetLastError();
      openErrors_[port] =
          deviceName + ": baud rate " + std::to_string(baud) + " refused: " + systemText(err);
      return kErrBadSettings;
    }
    open->baud = baud;
    open->parity = parity;
    open->readTimeout = MAXDWORD;
    return 0;
  }
  ports_.erase(port);

  auto p = std::make_unique<Port>();
  p->device = device;
  std::wstring lockName = L"Local\\kelvane-serial-";
  for (char c : device)
    if (c != '\\' && c != '.')
      lockName += static_cast<wchar_t>(std::toupper(static_cast<unsigned char>(c)));
  p->lock = ::CreateMutexW(nullptr, FALSE, lockName.c_str());
  if (p->lock && ::GetLastError() == ERROR_ALREADY_EXISTS) {
    openErrors_[port] = deviceName + ": the port is in use by another program";
    return kErrPermission;
  }
  // No sharing: the port is ours alone until it is closed.
  p->handle = ::CreateFileW(wide(device).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (p->handle == INVALID_HANDLE_VALUE) {
    const DWORD err = ::GetLastError();
    std::string why = deviceName + ": " + systemText(err);
    int code = kErrCannotOpen;
    if (err == ERROR_ACCESS_DENIED || err == ERROR_SHARING_VIOLATION) {
      why = deviceName + ": the port is in use by another program";
      code = kErrPermission;
    } else if (err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND) {
      why += " (no such device: is the cable plugged in?)";
    }
    openErrors_[port] = why;
    return code;
  }
  if (inQueueSize > 0 && outQueueSize > 0)
    (void)::SetupComm(p->handle, static_cast<DWORD>(inQueueSize), static_cast<DWORD>(outQueueSize));
  if (!applySettings(p->handle, baud, parity)) {
    const DWORD err = ::GetLastError();
    openErrors_[port] =
        deviceName + ": baud rate " + std::to_string(baud) + " refused: " + systemText(err);
    return kErrBadSettings;
  }
  p->baud = baud;
  p->parity = parity;
  openErrors_.erase(port);
  ports_[port] = std::move(p);
  return 0;
}

int Win32Rs232::SetCTSMode(int port, int) {
  Port* p = find(port);
  if (!p) return kErrNotOpen;
  // The settings never ask for a handshake; applying them again switches any off.
  return applySettings(p->handle, p->baud, p->parity) ? 0 : kErrBadSettings;
}

int Win32Rs232::SetXMode(int port, int mode) {
  return SetCTSMode(port, mode);
}

int Win32Rs232::FlushInQ(int port) {
  Port* p = find(port);
  if (!p) return kErrNotOpen;
  p->head = p->tail = 0;
  (void)::PurgeComm(p->handle, PURGE_RXCLEAR | PURGE_RXABORT);
  return 0;
}

int Win32Rs232::FlushOutQ(int port) {
  Port* p = find(port);
  if (!p) return kErrNotOpen;
  (void)::PurgeComm(p->handle, PURGE_TXCLEAR | PURGE_TXABORT);
  return 0;
}

int Win32Rs232::ComSetEscape(int port, int code) {
  Port* p = find(port);
  if (!p) return kErrNotOpen;
  if (code != 5 && code != 6) return kErrBadSettings;
  // Some drivers have no modem lines: the refusal is harmless and ignored by the callers.
  return ::EscapeCommFunction(p->handle, code == 5 ? SETDTR : CLRDTR) ? 0 : kErrBadSettings;
}

int Win32Rs232::SetComTime(int port, double seconds) {
  Port* p = find(port);
  if (!p) return kErrNotOpen;
  p->timeoutMs = std::max(0, static_cast<int>(seconds * 1000.0));
  p->readTimeout = MAXDWORD;
  return 0;
}

int Win32Rs232::CloseCom(int port) {
  auto it = ports_.find(port);
  if (it == ports_.end()) return kErrNotOpen;
  ports_.erase(it);
  return 0;
}

int Win32Rs232::ComWrtByte(int port, int byte) {
  const std::uint8_t b = static_cast<std::uint8_t>(byte);
  return ComWrt(port, &b, 1) == 1 ? 1 : kErrNotOpen;
}

int Win32Rs232::ComWrt(int port, const std::uint8_t* data, int count) {
  Port* p = find(port);
  if (!p || p->gone) return kErrNotOpen;
  if (count <= 0) return 0;
  // The write time-outs follow the rate and the port time-out; any read time-out will do.
  if (p->readTimeout == MAXDWORD && !useReadTimeout(*p, 0)) return kErrNotOpen;
  DWORD written = 0;
  if (!::WriteFile(p->handle, data, static_cast<DWORD>(count), &written, nullptr)) {
    const DWORD err = ::GetLastError();
    DWORD errors = 0;
    if (hungUp(err)) p->gone = true;
    (void)::ClearCommError(p->handle, &errors, nullptr);
    if (p->gone) return kErrNotOpen;
  }
  return static_cast<int>(written);
}

bool Win32Rs232::fill(Port& p, int ms) {
  if (p.buffered() > 0) return true;
  if (p.gone) return false;
  p.head = p.tail = 0;
  // Take what the driver holds at once; with nothing there, wait for the first byte only.
  DWORD errors = 0;
  COMSTAT stat{};
  const DWORD queued = ::ClearCommError(p.handle, &errors, &stat) ? stat.cbInQue : 0;
  const DWORD want = queued ? std::min<DWORD>(queued, sizeof p.buffer) : 1;
  if (!useReadTimeout(p, queued ? 0 : ms)) return false;
  DWORD got = 0;
  if (!::ReadFile(p.handle, p.buffer, want, &got, nullptr)) {
    const DWORD err = ::GetLastError();
    if (hungUp(err)) {
      p.gone = true;
      return false;
    }
    // A line error (parity, overrun) stops all I/O until it is cleared.
    (void)::ClearCommError(p.handle, &errors, nullptr);
  }
  p.tail = static_cast<int>(got);
  return got > 0;
}

int Win32Rs232::ComRdByte(int port) {
  Port* p = find(port);
  if (!p) return kReadTimeout;
  if (!fill(*p, p->timeoutMs)) return kReadTimeout;
  return p->buffer[p->head++];
}

int Win32Rs232::ComRd(int port, std::uint8_t* data, int count) {
  Port* p = find(port);
  if (!p || count <= 0) return 0;
  const auto t0 = Clock::now();
  int got = 0;
  while (got < count) {
    const int left = p->timeoutMs - msSince(t0);
    if (left <= 0 && p->buffered() == 0) break;
    if (!fill(*p, std::max(0, left))) break;
    const int n = std::min(p->buffered(), count - got);
    std::memcpy(data + got, p->buffer + p->head, static_cast<std::size_t>(n));
    p->head += n;
    got += n;
  }
  return got;
}

int Win32Rs232::GetInQLen(int port) {
  Port* p = find(port);
  if (!p) return 0;
  DWORD errors = 0;
  COMSTAT stat{};
  if (p->gone || !::ClearCommError(p->handle, &errors, &stat)) return p->buffered();
  return p->buffered() + static_cast<int>(stat.cbInQue);
}

int Win32Rs232::GetOutQLen(int port) {
  Port* p = find(port);
  if (!p || p->gone) return 0;
  DWORD errors = 0;
  COMSTAT stat{};
  if (!::ClearCommError(p->handle, &errors, &stat)) return 0;
  return static_cast<int>(stat.cbOutQue);
}

bool Win32Rs232::WaitInput(int port, int ms) {
  Port* p = find(port);
  if (!p || p->gone) {
    // Nothing will come; still take the time, so polling loops do not spin.
    sleepMs(ms);
    return false;
  }
  return fill(*p, ms);
}

bool Win32Rs232::WaitOutputDrained(int port, int ms) {
  Port* p = find(port);
  if (!p) return true;
  const auto t0 = Clock::now();
  for (;;) {
    const int queued = GetOutQLen(port);
    if (p->gone) return true;
    // Once the queue can leave the wire in the time left, the driver waits for the last bit.
    const long bitsPerByte = p->parity == 0 ? 10 : 11;
    const long needMs = p->baud > 0 ? queued * bitsPerByte * 1000 / p->baud : 0;
    const int left = ms - msSince(t0);
    if (needMs < left) {
      if (!::FlushFileBuffers(p->handle) && hungUp(::GetLastError())) p->gone = true;
      return true;
    }
    if (left <= 0) return false;
    sleepMs(static_cast<int>(std::clamp<long>(needMs, 1, std::min(20, left))));
  }
}

}  // namespace platform
