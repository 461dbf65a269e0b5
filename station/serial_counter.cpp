#include "station/serial_counter.h"

#include "ops/job_log.h"
#ifdef KELVANE_HAVE_POSTGRESQL
#include "ops/pg_job_store.h"
#endif

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <optional>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <sys/file.h>
#endif

namespace station {

namespace {

// Holds the lock on the whole file until it goes out of scope.
class Locked {
 public:
  explicit Locked(int fd) : fd_(fd) {
#ifdef _WIN32
    OVERLAPPED at{};
    locked_ = LockFileEx(reinterpret_cast<HANDLE>(_get_osfhandle(fd)), LOCKFILE_EXCLUSIVE_LOCK, 0,
                         MAXDWORD, MAXDWORD, &at) != 0;
#elif defined(F_OFD_SETLKW)
    // A lock of the open file, not of the process: the slots of one station are threads, each
    // opening the counter itself, and must wait for one another too.
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    int rc;
    while ((rc = ::fcntl(fd, F_OFD_SETLKW, &lock)) < 0 && errno == EINTR) {
    }
    locked_ = rc == 0;
#else
    int rc;
    while ((rc = ::flock(fd, LOCK_EX)) < 0 && errno == EINTR) {
    }
    locked_ = rc == 0;
#endif
  }
  ~Locked() {
    if (!locked_) return;
#ifdef _WIN32
    OVERLAPPED at{};
    UnlockFileEx(reinterpret_cast<HANDLE>(_get_osfhandle(fd_)), 0, MAXDWORD, MAXDWORD, &at);
#elif defined(F_OFD_SETLKW)
    struct flock lock {};
    lock.l_type = F_UNLCK;
    lock.l_whence = SEEK_SET;
    ::fcntl(fd_, F_OFD_SETLK, &lock);
#else
    ::flock(fd_, LOCK_UN);
#endif
  }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;
  bool locked() const {
    return locked_;
  }

 private:
  int fd_;
  bool locked_ = false;
};

}  // namespace

bool nextSerialNumber(const std::string& counterPath, std::uint64_t* n, std::string* why) {
  auto fail = [&](const std::string& what) {
    if (why) *why = "the serial counter " + counterPath + " " + what;
    return false;
  };
  auto failErrno = [&](const char* what) {
    return fail(what + std::string(": ") + std::strerror(errno));
  };
#ifdef _WIN32
  const int fd = ::_open(counterPath.c_str(), _O_RDWR | _O_CREAT | _O_BINARY, 0644);
#else
  // Never a FIFO or a device: opened without blocking, then checked to be a plain file.
  const int fd = ::open(counterPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0644);
#endif
  if (fd < 0) return failErrno("cannot be opened");
  struct FdCloser {
    int fd;
    ~FdCloser() { ::close(fd); }
  } closer{fd};
#ifndef _WIN32
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return fail("is not a plain file");
#endif
  const Locked lock(fd);
  if (!lock.locked()) return failErrno("cannot be locked");
  char text[32] = {};
  const auto got = ::read(fd, text, sizeof text - 1);
  if (got < 0) return failErrno("cannot be read");
  std::uint64_t last = 0;
  const char* end = text + got;
  while (end > text && (end[-1] == '\n' || end[-1] == '\r' || end[-1] == ' ')) --end;
  if (end > text) {
    const auto [stop, ec] = std::from_chars(text, end, last);
    if (ec != std::errc() || stop != end)
      return fail("holds '" + std::string(text, static_cast<std::size_t>(end - text)) +
                  "', not the last number given");
  }
  const std::string next = std::to_string(last + 1) + "\n";
  if (::lseek(fd, 0, SEEK_SET) != 0) return failErrno("cannot be rewound");
  if (::write(fd, next.data(), next.size()) != static_cast<long>(next.size()))
    return failErrno("cannot be written");
  // A hand-edited file may hold more than the number (spaces, an empty line): nothing stays.
  if (::ftruncate(fd, static_cast<off_t>(next.size())) != 0) return failErrno("cannot be cut");
#ifdef _WIN32
  if (::_commit(fd) != 0) return failErrno("cannot be flushed to disk");
#else
  if (::fsync(fd) != 0) return failErrno("cannot be flushed to disk");
#endif
  *n = last + 1;
  return true;
}

bool nextUnitNumber(ops::JobLog& log, const std::string& format, std::uint64_t* n,
                    std::string* why) {
#ifdef KELVANE_HAVE_POSTGRESQL
  if (ops::PgJobStore* database = log.database()) {
    const std::optional<std::int64_t> number =
        database->nextNumber(ops::PgJobStore::serialCounter(format), why);
    if (!number) return false;
    *n = static_cast<std::uint64_t>(*number);
    return true;
  }
#else
  (void)format;  // the file counter serves every format
#endif
  return nextSerialNumber(log.path() + ".serial", n, why);
}

}  // namespace station
