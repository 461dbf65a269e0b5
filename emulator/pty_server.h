// Serves the emulated handset on a pseudo-terminal: the PC opens the slave device as its serial
// port. The handset is switched on (after the switch-on delay) when the PC opens the device and
// off when the PC has closed it, so the server runs boot after boot until stopped. Baud rate and
// parity are followed from the protocol: a pseudo-terminal has neither.
#pragma once

#include <termios.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "emulator/emulator_rs232.h"
#include "emulator/handset_core.h"

namespace emulator {

class PtyServer {
 public:
  PtyServer(HandsetCore& core, LinkOptions options = {});
  ~PtyServer();
  PtyServer(const PtyServer&) = delete;
  PtyServer& operator=(const PtyServer&) = delete;

  // Creates the pseudo-terminal; false with a reason when the system refuses.
  bool open(std::string* error);
  const std::string& slavePath() const { return slavePath_; }

  // Serves until stop() or until the injected disconnect; call once, from one thread.
  void serve();
  // Safe from any thread and from a signal handler.
  void stop();

  // Sessions the PC opened, and boots the handset made (for tests watching from outside).
  int sessions() const { return sessions_.load(); }
  int boots() const { return boots_.load(); }
  bool disconnected() const { return disconnected_.load(); }

  // Every byte as it crosses the line (called from the serving thread).
  std::function<void(bool fromPc, const std::uint8_t* data, std::size_t count)> onTraffic;
  // Called from the serving thread at every turn of its loop, at least every 100 ms.
  std::function<void()> onTick;

 private:
  HandsetCore& core_;
  LinkOptions options_;
  int master_ = -1;
  int stopPipe_[2] = {-1, -1};
  // Opens and closes of the device by the PC; -1 where the system cannot report them, and the
  // master's hang-up tells instead (which misses a close quickly followed by an open).
  int watch_ = -1;
  std::string slavePath_;
  // The device's settings before the first PC, put back after each one.
  termios fresh_{};
  bool haveFresh_ = false;
  std::atomic<int> sessions_{0};
  std::atomic<int> boots_{0};
  std::atomic<bool> disconnected_{false};
};

}  // namespace emulator
