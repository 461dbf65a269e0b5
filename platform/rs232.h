// The serial operations the download library relies on, one port number per handset line.
// Every implementation (the real port, the scripted test port, the in-process emulator link)
// offers exactly these, so the protocol code never knows which one it talks to.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// ComRdByte's answer when no byte arrived within the port time-out.
inline constexpr int kReadTimeout = -99;

// Open error numbers, negative, as every caller of the port expects them.
inline constexpr int kErrNoSuchPort = -2;   // port number outside 1..255
inline constexpr int kErrNotOpen = -3;      // operation on a port that is not open
inline constexpr int kErrPermission = -5;   // no access to the device
inline constexpr int kErrCannotOpen = -6;   // device missing or busy
inline constexpr int kErrBadSettings = -7;  // baud rate or parity refused

class Rs232 {
 public:
  virtual ~Rs232() = default;

  // Opens (or re-opens with new settings) the device of the port. 0 or a negative error.
  virtual int OpenComConfig(int port, const std::string& deviceName, long baud, int parity,
                            int dataBits, int stopBits, int inQueueSize, int outQueueSize) = 0;
  virtual int SetCTSMode(int port, int mode) = 0;
  virtual int SetXMode(int port, int mode) = 0;
  virtual int FlushInQ(int port) = 0;
  virtual int FlushOutQ(int port) = 0;
  // 5 asserts DTR, 6 clears it.
  virtual int ComSetEscape(int port, int code) = 0;
  // Time-out of every later read on the port, in seconds.
  virtual int SetComTime(int port, double seconds) = 0;
  virtual int CloseCom(int port) = 0;
  virtual int ComWrtByte(int port, int byte) = 0;
  virtual int ComWrt(int port, const std::uint8_t* data, int count) = 0;
  // 0..255, or kReadTimeout after the time-out, or another negative error.
  virtual int ComRdByte(int port) = 0;
  // Reads up to count bytes within the time-out; returns the number read.
  virtual int ComRd(int port, std::uint8_t* data, int count) = 0;
  virtual int GetInQLen(int port) = 0;
  // Bytes not yet on the wire (our buffer and the driver's queue).
  virtual int GetOutQLen(int port) = 0;

  // Ours, beside the operations above: blocks up to ms milliseconds until input is waiting, so that
  // polling loops do not spin a core. Returns true when input is waiting.
  virtual bool WaitInput(int port, int ms) = 0;
  // Blocks up to ms milliseconds while the output queue drains. Returns true when it is empty.
  virtual bool WaitOutputDrained(int port, int ms) = 0;
  // True once the device has hung up (adapter pulled): nothing will ever come from it, so waits
  // on it end at once.
  virtual bool Vanished(int port) {
    (void)port;
    return false;
  }
  // Why the last opening of the port failed (device and system reason), empty when unknown.
  virtual std::string LastOpenError(int port) const {
    (void)port;
    return {};
  }
};

// "COM" + number, as the library names a port.
std::string comName(int port);
// The device a COM number stands for: $KELVANE_COMn when set; else on Windows the COM port
// itself, elsewhere the device the user saved for it (port_map.h), else /dev/ttyS<n-1>.
// Empty for numbers outside 1..255.
std::string deviceForPort(int port);
// The device for a device name "COMn" (mapped as above) or an explicit path (returned as is).
std::string deviceForName(const std::string& name);

}  // namespace platform
