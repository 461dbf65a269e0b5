// A pseudo-terminal pair for tests that need a real serial device: the test holds the master,
// the code under test opens the slave by its path.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

class Pty {
 public:
  Pty() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ >= 0 && ::grantpt(master_) == 0 && ::unlockpt(master_) == 0) {
      const char* name = ::ptsname(master_);
      if (name) slave_ = name;
    }
    // Keep one slave descriptor open so the master never sees a hang-up between openings.
    if (!slave_.empty()) keep_ = ::open(slave_.c_str(), O_RDWR | O_NOCTTY);
  }
  ~Pty() {
    if (keep_ >= 0) ::close(keep_);
    if (master_ >= 0) ::close(master_);
  }
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  bool ok() const { return master_ >= 0 && !slave_.empty(); }

  // The far end goes away, as an unplugged adapter does.
  void hangUp() {
    if (keep_ >= 0) ::close(keep_);
    if (master_ >= 0) ::close(master_);
    keep_ = master_ = -1;
  }
  const std::string& slavePath() const { return slave_; }
  int master() const { return master_; }

  void write(const std::vector<std::uint8_t>& bytes) const {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
      if (n <= 0) return;
      done += static_cast<std::size_t>(n);
    }
  }

  // Reads what the slave side sent, waiting up to ms for the first byte.
  std::vector<std::uint8_t> read(int ms, std::size_t max = 65536) const {
    std::vector<std::uint8_t> out;
    pollfd p{master_, POLLIN, 0};
    while (out.size() < max && ::poll(&p, 1, out.empty() ? ms : 50) > 0) {
      std::uint8_t buf[4096];
      const ssize_t n = ::read(master_, buf, sizeof buf);
      if (n <= 0) break;
      out.insert(out.end(), buf, buf + n);
    }
    return out;
  }

 private:
  int master_ = -1;
  int keep_ = -1;
  std::string slave_;
};

}  // namespace testsupport
