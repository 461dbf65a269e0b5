#include "platform/append_file.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#ifdef _WIN32
#include <io.h>
#define KELVANE_WRITE ::_write
#define KELVANE_CLOSE ::_close
#define KELVANE_TRUNCATE(fd, size) ::_chsize_s(fd, static_cast<__int64>(size))
#define KELVANE_SYNC ::_commit
#else
#include <unistd.h>
#define KELVANE_WRITE ::write
#define KELVANE_CLOSE ::close
#define KELVANE_TRUNCATE(fd, size) ::ftruncate(fd, static_cast<off_t>(size))
#define KELVANE_SYNC ::fsync
#endif

namespace platform {

namespace {
#ifdef _WIN32
constexpr int kOpenFlags = O_WRONLY | O_APPEND | O_CREAT | O_BINARY;
#else
// Non-blocking, so a FIFO without a reader fails at once instead of hanging the job.
constexpr int kOpenFlags = O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
#endif
}  // namespace

bool replaceableFile(const std::string& path, std::string* why) {
  std::error_code ec;
  const auto status = std::filesystem::symlink_status(path, ec);
  if (std::filesystem::is_symlink(status)) {
    if (why) *why = "is a link: not followed";
    return false;
  }
  if (std::filesystem::exists(status) && !std::filesystem::is_regular_file(status)) {
    if (why) *why = "is not a regular file";
    return false;
  }
  return true;
}

bool appendable(const std::string& path, std::string* why) {
  if (path.empty()) {
    if (why) *why = "the file name is empty";
    return false;
  }
  struct stat st {};
  const bool exists = ::stat(path.c_str(), &st) == 0;
  if (exists && !S_ISREG(st.st_mode)) {
    if (why) *why = "not a regular file";
    return false;
  }
  // An existing file is opened without being created or changed; a new one is made and removed
  // again, which is the one sure test of the folder's permissions.
  const int fd = ::open(path.c_str(), exists ? kOpenFlags & ~O_CREAT : kOpenFlags | O_EXCL, 0644);
  if (fd < 0) {
    if (why) *why = std::strerror(errno);
    return false;
  }
  KELVANE_CLOSE(fd);
  if (!exists) {
    std::error_code ec;
    std::filesystem::remove(path, ec);
  }
  return true;
}

AppendFile::~AppendFile() {
  close();
}

void AppendFile::close() {
  if (fd_ >= 0) KELVANE_CLOSE(fd_);
  fd_ = -1;
}

bool AppendFile::open(const std::string& path, std::string* why, bool devices) {
  close();
  const auto accepted = [devices](const struct stat& st) {
    return S_ISREG(st.st_mode) || (devices && S_ISCHR(st.st_mode));
  };
  // Look before opening: a FIFO with a reader, or a terminal, would otherwise take the data.
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0 && !accepted(st)) {
    if (why) *why = "not a regular file";
    return false;
  }
  const int fd = ::open(path.c_str(), kOpenFlags, 0644);
  if (fd < 0) {
    if (why) *why = errno == ENXIO ? "not a regular file" : std::strerror(errno);
    return false;
  }
  if (::fstat(fd, &st) != 0 || !accepted(st)) {
    KELVANE_CLOSE(fd);
    if (why) *why = "not a regular file";
    return false;
  }
  fd_ = fd;
  path_ = path;
  regular_ = S_ISREG(st.st_mode);
  device_ = static_cast<std::uint64_t>(st.st_dev);
  inode_ = static_cast<std::uint64_t>(st.st_ino);
  return true;
}

bool AppendFile::stillNamed() const {
#ifndef _WIN32
  struct stat named {};
  return fd_ >= 0 && ::stat(path_.c_str(), &named) == 0 &&
         static_cast<std::uint64_t>(named.st_ino) == inode_ &&
         static_cast<std::uint64_t>(named.st_dev) == device_;
#else
  return fd_ >= 0;
#endif
}

bool AppendFile::append(const std::uint8_t* data, std::size_t count, std::string* why) {
  if (fd_ < 0) {
    if (why) *why = "not open";
    return false;
  }
  struct stat st {};
  if (::fstat(fd_, &st) != 0) {
    if (why) *why = std::strerror(errno);
    return false;
  }
  // Data written to a file that was removed would be lost with no one to see it.
  if (!stillNamed()) {
    if (why) *why = "the file was removed or replaced while it was written";
    return false;
  }
  std::size_t done = 0;
  while (done < count) {
    const auto n = KELVANE_WRITE(fd_, data + done, static_cast<unsigned>(count - done));
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    const int error = n < 0 ? errno : ENOSPC;
    if (done > 0 && KELVANE_TRUNCATE(fd_, st.st_size) != 0) {
      // Nothing more can be done; the error tells the user the file is suspect.
    }
    if (why) *why = std::strerror(error);
    return false;
  }
  return true;
}

bool AppendFile::sync(std::string* why) {
  // A device has no disk behind it to flush to (fsync on /dev/null fails).
  if (fd_ >= 0 && (!regular_ || KELVANE_SYNC(fd_) == 0)) return true;
  if (why) *why = fd_ < 0 ? "not open" : std::strerror(errno);
  return false;
}

}  // namespace platform
