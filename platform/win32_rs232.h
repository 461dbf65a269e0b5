// The real serial port on Windows: the communications API on a handle of our own, used blocking.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "platform/rs232.h"

namespace platform {

class Win32Rs232 final : public Rs232 {
 public:
  Win32Rs232();
  ~Win32Rs232() override;
  Win32Rs232(const Win32Rs232&) = delete;
  Win32Rs232& operator=(const Win32Rs232&) = delete;

  int OpenComConfig(int port, const std::string& deviceName, long baud, int parity, int dataBits,
                    int stopBits, int inQueueSize, int outQueueSize) override;
  int SetCTSMode(int port, int mode) override;
  int SetXMode(int port, int mode) override;
  int FlushInQ(int port) override;
  int FlushOutQ(int port) override;
  int ComSetEscape(int port, int code) override;
  int SetComTime(int port, double seconds) override;
  int CloseCom(int port) override;
  int ComWrtByte(int port, int byte) override;
  int ComWrt(int port, const std::uint8_t* data, int count) override;
  int ComRdByte(int port) override;
  int ComRd(int port, std::uint8_t* data, int count) override;
  int GetInQLen(int port) override;
  int GetOutQLen(int port) override;
  bool WaitInput(int port, int ms) override;
  bool WaitOutputDrained(int port, int ms) override;
  bool Vanished(int port) override;

  // Why the last opening of a port failed, with the system's own words.
  std::string LastOpenError(int port) const override;

 private:
  struct Port;
  Port* find(int port);
  bool fill(Port& p, int ms);
  bool useReadTimeout(Port& p, int ms);

  std::map<int, std::unique_ptr<Port>> ports_;
  std::map<int, std::string> openErrors_;
};

// The device path of a port name: "COMn" becomes \\.\COMn (required from COM10 on); anything
// else is taken as given.
std::string win32DevicePath(const std::string& name);

}  // namespace platform
