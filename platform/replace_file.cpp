#include "platform/replace_file.h"

#include <system_error>

#ifdef _WIN32
#include <windows.h>

#include <filesystem>
#else
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#endif

namespace platform {

#ifdef _WIN32

bool replaceFile(const std::string& path, const std::string& data, std::string* why) {
  const std::filesystem::path target(path);
  std::filesystem::path tmp = target;
  tmp += "." + std::to_string(::GetCurrentProcessId()) + ".tmp";
  auto failed = [&](HANDLE h) {
    const std::string reason = std::system_category().message(static_cast<int>(::GetLastError()));
    if (h != INVALID_HANDLE_VALUE) ::CloseHandle(h);
    ::DeleteFileW(tmp.c_str());
    if (why) *why = path + ": " + reason;
    return false;
  };
  const HANDLE h = ::CreateFileW(tmp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return failed(h);
  std::size_t done = 0;
  while (done < data.size()) {
    DWORD wrote = 0;
    const std::size_t left = data.size() - done;
    const DWORD chunk = left > 0x40000000u ? 0x40000000u : static_cast<DWORD>(left);
    if (!::WriteFile(h, data.data() + done, chunk, &wrote, nullptr) || wrote == 0) return failed(h);
    done += wrote;
  }
  if (!::FlushFileBuffers(h)) return failed(h);
  ::CloseHandle(h);
  if (!::MoveFileExW(tmp.c_str(), target.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    return failed(INVALID_HANDLE_VALUE);
  return true;
}

#else

bool replaceFile(const std::string& path, const std::string& data, std::string* why) {
  const std::string tmp = path + "." + std::to_string(::getpid()) + ".tmp";
  auto failed = [&](int fd) {
    const std::string reason = std::generic_category().message(errno);
    if (fd >= 0) ::close(fd);
    ::unlink(tmp.c_str());
    if (why) *why = path + ": " + reason;
    return false;
  };
  // A temporary file left by a crashed run of this process id is ours to replace.
  ::unlink(tmp.c_str());
  const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) return failed(fd);
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) errno = ENOSPC;
    if (n <= 0) return failed(fd);
    done += static_cast<std::size_t>(n);
  }
  if (::fsync(fd) != 0) return failed(fd);
  if (::close(fd) != 0) return failed(-1);
  if (std::rename(tmp.c_str(), path.c_str()) != 0) return failed(-1);
  return true;
}

#endif

}  // namespace platform
