#include "emulator/emulator_rs232.h"

#include <algorithm>

namespace emulator {

namespace {
// The boot ROM announces a few times a second.
constexpr double kAnnounceGap = 0.25;
}  // namespace

EmulatorRs232::EmulatorRs232(HandsetCore& core, LinkOptions options)
    : core_(core), options_(options) {}

bool EmulatorRs232::matches(const LineSettings& line) const {
  return line.baud == baud_ && line.parity == (parity_ == 2);
}

void EmulatorRs232::mismatch(const LineSettings& line, const char* direction) {
  if (mismatchNoted_) return;
  mismatchNoted_ = true;
  core_.violation(std::string("bytes ") + direction + " lost: the PC runs at " +
                  std::to_string(baud_) + (parity_ == 2 ? " even" : " no parity") +
                  ", the handset at " + std::to_string(line.baud) +
                  (line.parity ? " even" : " no parity"));
}

void EmulatorRs232::powerIfDue() {
  if (powerOnAt_ && now_ >= *powerOnAt_) {
    powerOnAt_.reset();
    core_.powerOn();
    nextAnnounce_ = now_;
  }
}

void EmulatorRs232::scheduleNextHandset() {
  if (options_.powerOnAgainMs < 0 || powerOnAt_ || !core_.switchedOff()) return;
  nextHandsetAt_ = now_ + options_.powerOnAgainMs / 1000.0;
  powerOnAt_ = nextHandsetAt_;
}

void EmulatorRs232::record(bool fromPc, const std::uint8_t* data, std::size_t count) {
  if (count == 0) return;
  (fromPc ? written_ : read_).insert((fromPc ? written_ : read_).end(), data, data + count);
  if (transcript_.empty() || transcript_.back().fromPc != fromPc) {
    transcript_.push_back({fromPc, {}});
  }
  auto& bytes = transcript_.back().bytes;
  bytes.insert(bytes.end(), data, data + count);
}

int EmulatorRs232::OpenComConfig(int, const std::string&, long baud, int parity, int, int, int,
                                 int) {
  if (core_.disconnected()) return platform::kErrCannotOpen;
  if (!open_) {
    // A new session: the technician switches the handset on after the delay.
    core_.powerOff();
    powerOnAt_ = std::max(now_ + options_.switchOnDelayMs / 1000.0, nextHandsetAt_);
  }
  open_ = true;
  baud_ = baud;
  parity_ = parity;
  mismatchNoted_ = false;
  return 0;
}

int EmulatorRs232::SetCTSMode(int, int) {
  return usable() ? 0 : platform::kErrNotOpen;
}
int EmulatorRs232::SetXMode(int, int) {
  return usable() ? 0 : platform::kErrNotOpen;
}
int EmulatorRs232::FlushInQ(int) {
  return usable() ? 0 : platform::kErrNotOpen;
}
int EmulatorRs232::FlushOutQ(int) {
  return usable() ? 0 : platform::kErrNotOpen;
}

int EmulatorRs232::ComSetEscape(int, int code) {
  if (!usable()) return platform::kErrNotOpen;
  if (code == 5) dtr_ = true;
  if (code == 6) dtr_ = false;
  return 0;
}

int EmulatorRs232::SetComTime(int, double seconds) {
  if (!usable()) return platform::kErrNotOpen;
  timeout_ = seconds;
  return 0;
}

int EmulatorRs232::CloseCom(int) {
  if (!open_) return platform::kErrNotOpen;
  open_ = false;
  dtr_ = false;
  powerOnAt_.reset();
  core_.powerOff();
  return 0;
}

int EmulatorRs232::ComWrtByte(int port, int byte) {
  const std::uint8_t b = static_cast<std::uint8_t>(byte);
  return ComWrt(port, &b, 1) == 1 ? 1 : platform::kErrNotOpen;
}

int EmulatorRs232::ComWrt(int, const std::uint8_t* data, int count) {
  if (!usable() || count < 0) return platform::kErrNotOpen;
  powerIfDue();
  record(true, data, static_cast<std::size_t>(count));
  if (options_.pace && baud_ > 0) {
    now_ += count * (parity_ == 2 ? 11.0 : 10.0) / static_cast<double>(baud_);
  }
  if (core_.state() != HandsetCore::State::Off && !matches(core_.line())) {
    mismatch(core_.line(), "to the handset");
  } else {
    core_.receive(data, static_cast<std::size_t>(count));
    scheduleNextHandset();
  }
  replyDue_ = true;
  return count;
}

bool EmulatorRs232::waitInput(double deadline) {
  while (true) {
    powerIfDue();
    if (core_.pending() > 0) return true;
    if (core_.disconnected()) return false;
    double next = deadline + 1;
    if (core_.state() == HandsetCore::State::BootRom) {
      if (now_ >= nextAnnounce_) {
        nextAnnounce_ = now_ + kAnnounceGap;
        core_.announce();
        continue;
      }
      next = nextAnnounce_;
    }
    if (powerOnAt_) next = std::min(next, *powerOnAt_);
    if (next > deadline) {
      now_ = std::max(now_, deadline);
      return false;
    }
    now_ = std::max(now_, next);
  }
}

int EmulatorRs232::takeOne() {
  const LineSettings line = core_.line();
  std::uint8_t b = 0;
  if (core_.take(&b, 1) != 1) return -1;
  if (replyDue_) {
    now_ += options_.latencyMs / 1000.0;
    replyDue_ = false;
  }
  if (options_.pace) now_ += line.bitsPerByte() / static_cast<double>(line.baud);
  if (!matches(line)) {
    mismatch(line, "to the PC");
    return -1;
  }
  record(false, &b, 1);
  return b;
}

int EmulatorRs232::readByte(double deadline) {
  while (waitInput(deadline)) {
    const int b = takeOne();
    if (b >= 0) return b;
  }
  return platform::kReadTimeout;
}

int EmulatorRs232::ComRdByte(int) {
  if (!usable()) {
    // A handset that has gone away reads as silence, after the time-out as on a real line.
    now_ += timeout_;
    return platform::kReadTimeout;
  }
  return readByte(now_ + timeout_);
}

int EmulatorRs232::ComRd(int, std::uint8_t* data, int count) {
  if (!usable()) {
    now_ += timeout_;
    return 0;
  }
  const double deadline = now_ + timeout_;
  int n = 0;
  while (n < count) {
    const int b = readByte(deadline);
    if (b < 0) break;
    data[n++] = static_cast<std::uint8_t>(b);
  }
  return n;
}

int EmulatorRs232::GetInQLen(int) {
  if (!usable()) return platform::kErrNotOpen;
  powerIfDue();
  return static_cast<int>(std::min<std::size_t>(core_.pending(), 0x7FFFFFFF));
}

int EmulatorRs232::GetOutQLen(int) {
  return usable() ? 0 : platform::kErrNotOpen;
}

bool EmulatorRs232::WaitInput(int, int ms) {
  if (!usable()) {
    now_ += ms / 1000.0;  // the wait still takes its time, so polling loops reach their time-out
    return false;
  }
  return waitInput(now_ + ms / 1000.0);
}

bool EmulatorRs232::WaitOutputDrained(int, int) {
  return usable();
}

}  // namespace emulator
