#include "emulator/pty_server.h"

#include "emulator/pty_baud.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <deque>
#include <vector>

namespace emulator {

namespace {

constexpr double kAnnounceGap = 0.25;
// While paced, bytes go out in slices of about this many seconds of line time.
constexpr double kPaceSlice = 0.005;

double clockSeconds() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

struct Arrival {
  double at;
  std::vector<std::uint8_t> bytes;
};

// The next slice's start while paced. A wake-up a little late keeps the line's schedule, so the
// small delays of each poll do not add up over a long reply; after a real pause (the line was idle)
// the schedule starts again from now.
double onSchedule(double scheduled, double now) {
  constexpr double kSlack = 0.005;
  return now - scheduled > kSlack ? now : scheduled;
}

// Whether the PC, at pcBaud on the device, hears and is heard at the handset's rate.
bool sameRate(long pcBaud, long handsetBaud, const LinkOptions& options) {
  if (pcBaud <= 0 || pcBaud == handsetBaud) return true;
  return options.customRateAs38400 && pcBaud == 38400 && !isStandardBaud(handsetBaud);
}

}  // namespace

PtyServer::PtyServer(HandsetCore& core, LinkOptions options) : core_(core), options_(options) {}

PtyServer::~PtyServer() {
  if (master_ >= 0) ::close(master_);
  if (watch_ >= 0) ::close(watch_);
  for (int fd : stopPipe_) {
    if (fd >= 0) ::close(fd);
  }
}

bool PtyServer::open(std::string* error) {
  auto fail = [&](const char* what) {
    if (error) *error = std::string(what) + ": " + std::strerror(errno);
    return false;
  };
  if (::pipe2(stopPipe_, O_CLOEXEC | O_NONBLOCK) != 0) return fail("pipe");
  master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0) return fail("posix_openpt");
  if (::grantpt(master_) != 0 || ::unlockpt(master_) != 0) return fail("unlockpt");
  const char* name = ::ptsname(master_);
  if (!name) return fail("ptsname");
  slavePath_ = name;
  ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
  // Raw, without echo, whatever the PC sets; and opened and closed once so that the master
  // reports a hang-up until the PC opens the device.
  const int slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave < 0) return fail("open slave");
  termios t{};
  if (::tcgetattr(slave, &t) == 0) {
    ::cfmakeraw(&t);
    ::cfsetspeed(&t, B38400);
    ::tcsetattr(slave, TCSANOW, &t);
  }
  if (::tcgetattr(slave, &fresh_) == 0) haveFresh_ = true;
  ::close(slave);
  watch_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (watch_ >= 0 &&
      ::inotify_add_watch(watch_, name, IN_OPEN | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) < 0) {
    ::close(watch_);
    watch_ = -1;
  }
  return true;
}

void PtyServer::stop() {
  const char b = 1;
  if (stopPipe_[1] >= 0) (void)!::write(stopPipe_[1], &b, 1);
}

void PtyServer::serve() {
  if (master_ < 0) return;
  bool session = false;
  // When the handset is due to be switched on; never while no PC holds the device.
  constexpr double kNever = 1e300;
  double powerOnAt = kNever;
  double nextAnnounce = 0;
  double replyAt = 0;
  double rxFree = 0;
  double txNext = 0;
  bool continuing = false;  // the bytes waiting in the core continue the reply on the line
  LineSettings txLine;
  std::deque<Arrival> arrivals;
  std::vector<std::uint8_t> tx;
  std::vector<std::uint8_t> buf(65536);

  // When the next handset of a line is switched on (see LinkOptions::powerOnAgainMs).
  double nextHandsetAt = 0;
  int opens = 0;
  auto startSession = [&](double now) {
    session = true;
    ++sessions_;
    core_.powerOff();
    powerOnAt = std::max(now + options_.switchOnDelayMs / 1000.0, nextHandsetAt);
    rxFree = txNext = now;
  };
  bool rxMismatchNoted = false;
  auto endSession = [&] {
    session = false;
    rxMismatchNoted = false;
    // The next PC finds the device as it was first: 38400 baud by its termios constant, the
    // flags as set at the start. Wine refuses a port whose rate shows as BOTHER, and on a
    // pseudo-terminal (which drops parity) a setting that asks for even parity and changes
    // nothing else fails with EINVAL: left with the last PC's flags, the next Wine program's
    // SetCommState would fail with "Invalid parameter".
    if (haveFresh_) ::tcsetattr(master_, TCSANOW, &fresh_);
    powerOnAt = kNever;
    core_.powerOff();
    arrivals.clear();
    tx.clear();
  };

  while (true) {
    double now = clockSeconds();
    double wake = now + 0.1;
    wake = std::min(wake, powerOnAt);
    if (core_.state() == HandsetCore::State::BootRom) wake = std::min(wake, nextAnnounce);
    if (!arrivals.empty()) wake = std::min(wake, arrivals.front().at);
    if (!tx.empty()) wake = std::min(wake, txNext);
    if (tx.empty() && core_.pending() > 0) wake = std::min(wake, replyAt);
    const int waitMs = std::max(0, static_cast<int>(std::ceil((wake - now) * 1000)));

    // While no PC holds the device the master only reports hang-ups: leave it out then.
    const bool watching = watch_ >= 0;
    pollfd fds[3] = {{(watching && opens == 0) ? -1 : master_, POLLIN, 0},
                     {stopPipe_[0], POLLIN, 0},
                     {watch_, POLLIN, 0}};
    if (!tx.empty() && now >= txNext) fds[0].events |= POLLOUT;
    ::poll(fds, 3, waitMs);
    if (fds[1].revents & POLLIN) return;
    now = clockSeconds();
    if (onTick) onTick();

    if (watching) {
      alignas(inotify_event) char events[4096];
      ssize_t n;
      while ((n = ::read(watch_, events, sizeof events)) > 0) {
        for (char* p = events; p < events + n;) {
          const auto* e = reinterpret_cast<const inotify_event*>(p);
          if (e->mask & IN_OPEN) {
            if (opens++ == 0) startSession(now);
          } else if (e->mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE)) {
            if (opens > 0 && --opens == 0) endSession();
          }
          p += sizeof(inotify_event) + e->len;
        }
      }
      if (!session || (fds[0].revents & POLLHUP)) {
        // Between a close and its event the master may hang up: wait for the event.
        if (fds[0].revents & POLLHUP) {
          pollfd p[2] = {{stopPipe_[0], POLLIN, 0}, {watch_, POLLIN, 0}};
          if (::poll(p, 2, 20) > 0 && (p[0].revents & POLLIN)) return;
        }
        continue;
      }
    } else {
      if (fds[0].revents & POLLHUP) {
        if (session) endSession();
        pollfd p{stopPipe_[0], POLLIN, 0};
        if (::poll(&p, 1, 20) > 0) return;
        continue;
      }
      if (!session) startSession(now);
    }
    if (now >= powerOnAt) {
      powerOnAt = kNever;
      core_.powerOn();
      ++boots_;
      nextAnnounce = now;
    }

    if (fds[0].revents & POLLIN) {
      const ssize_t n = ::read(master_, buf.data(), buf.size());
      // A pseudo-terminal carries bytes at any rate, but it knows the rate the PC set: bytes
      // sent at another rate than the handset's would be lost on a real line.
      const long pcBaud = ptyBaud(master_);
      const bool on = core_.state() != HandsetCore::State::Off;
      if (n > 0 && on && !sameRate(pcBaud, core_.line().baud, options_)) {
        if (onTraffic) onTraffic(true, buf.data(), static_cast<std::size_t>(n));
        if (!rxMismatchNoted) {
          core_.violation("bytes to the handset lost: the PC runs at " + std::to_string(pcBaud) +
                          " baud, the handset at " + std::to_string(core_.line().baud));
        }
        rxMismatchNoted = true;
      } else if (n > 0) {
        rxMismatchNoted = false;
        if (onTraffic) onTraffic(true, buf.data(), static_cast<std::size_t>(n));
        double at = now;
        if (options_.pace) {
          const LineSettings line = core_.line();
          rxFree = std::max(rxFree, now) + n * line.bitsPerByte() / static_cast<double>(line.baud);
          at = rxFree;
        }
        arrivals.push_back({at, std::vector<std::uint8_t>(buf.begin(), buf.begin() + n)});
      }
    }
    while (!arrivals.empty() && arrivals.front().at <= now) {
      const bool idle = core_.pending() == 0;
      core_.receive(arrivals.front().bytes);
      arrivals.pop_front();
      if (idle && core_.pending() > 0) replyAt = now + options_.latencyMs / 1000.0;
    }
    if (options_.powerOnAgainMs >= 0 && core_.switchedOff() && powerOnAt == kNever) {
      nextHandsetAt = now + options_.powerOnAgainMs / 1000.0;
      powerOnAt = nextHandsetAt;
    }
    if (core_.disconnected()) {
      // The device goes away: the PC's next access to it fails.
      disconnected_ = true;
      ::close(master_);
      master_ = -1;
      return;
    }

    if (core_.state() == HandsetCore::State::BootRom && now >= nextAnnounce) {
      nextAnnounce = now + kAnnounceGap;
      if (core_.pending() == 0) replyAt = now;
      core_.announce();
    }

    if (tx.empty() && core_.pending() > 0 && now >= replyAt) {
      txLine = core_.line();
      std::size_t slice = buf.size();
      if (options_.pace) {
        slice = std::max<std::size_t>(
            1, static_cast<std::size_t>(kPaceSlice * txLine.baud / txLine.bitsPerByte()));
      }
      tx.resize(std::min(slice, core_.pending()));
      tx.resize(core_.take(tx.data(), tx.size()));
      // Only the slices of one reply keep the schedule; a new reply starts no earlier than now.
      txNext = continuing ? onSchedule(txNext, now) : std::max(txNext, now);
    }
    if (!tx.empty() && now >= txNext) {
      // Sent at a rate the PC does not listen at: lost (an announcement before the PC has set
      // its port up, or a PC that missed a speed change).
      const long pcBaud = ptyBaud(master_);
      if (!sameRate(pcBaud, txLine.baud, options_)) tx.clear();
    }
    if (!tx.empty() && now >= txNext) {
      const ssize_t n = ::write(master_, tx.data(), tx.size());
      if (n > 0) {
        if (onTraffic) onTraffic(false, tx.data(), static_cast<std::size_t>(n));
        tx.erase(tx.begin(), tx.begin() + n);
        continuing = !tx.empty() || core_.pending() > 0;
        if (options_.pace) {
          txNext =
              onSchedule(txNext, now) + n * txLine.bitsPerByte() / static_cast<double>(txLine.baud);
        }
      }
    }
  }
}

}  // namespace emulator
