#include "platform/input_file.h"

#include <system_error>

#ifdef _WIN32
#include <windows.h>

#include <filesystem>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace platform {

namespace {

InputStatus fail(InputStatus status, const std::string& path, const std::string& reason,
                 std::string* why) {
  if (why) *why = path + ": " + reason;
  return status;
}

#ifdef _WIN32
// The same words as on the other systems for the commonest case.
std::string systemText() {
  const DWORD error = ::GetLastError();
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
    return "No such file or directory";
  return std::system_category().message(static_cast<int>(error));
}
#else
std::string systemText() {
  return std::generic_category().message(errno);
}
#endif

}  // namespace

InputFile::~InputFile() {
  close();
}

#ifdef _WIN32

void InputFile::close() {
  if (handle_) ::CloseHandle(static_cast<HANDLE>(handle_));
  handle_ = nullptr;
}

InputStatus InputFile::openFile(const std::string& path, std::string* why) {
  // A folder cannot be opened as a file there at all; say what it is rather than "access denied".
  std::error_code ec;
  const auto status = std::filesystem::status(path, ec);
  if (std::filesystem::exists(status) && !std::filesystem::is_regular_file(status))
    return fail(InputStatus::NotRegularFile, path, "not a regular file", why);
  const HANDLE h = ::CreateFileW(std::filesystem::path(path).c_str(), GENERIC_READ,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return fail(InputStatus::CannotOpen, path, systemText(), why);
  handle_ = h;
  // Pipes, consoles and serial ports are not files to read whole.
  if (::GetFileType(h) != FILE_TYPE_DISK) {
    close();
    return fail(InputStatus::NotRegularFile, path, "not a regular file", why);
  }
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(h, &size)) {
    const std::string reason = systemText();
    close();
    return fail(InputStatus::ReadError, path, reason, why);
  }
  size_ = static_cast<std::uint64_t>(size.QuadPart);
  return InputStatus::Ok;
}

std::int64_t InputFile::readSome(std::uint8_t* dest, std::uint64_t count) {
  const DWORD chunk = count > 0x40000000u ? 0x40000000u : static_cast<DWORD>(count);
  DWORD got = 0;
  if (!::ReadFile(static_cast<HANDLE>(handle_), dest, chunk, &got, nullptr)) return -1;
  return got;
}

#else

void InputFile::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

InputStatus InputFile::openFile(const std::string& path, std::string* why) {
  // O_NONBLOCK: opening a FIFO with no writer must not wait for one; O_NOCTTY: a terminal named
  // by mistake must not become ours.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return fail(InputStatus::CannotOpen, path, systemText(), why);
  fd_ = fd;
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    const std::string reason = systemText();
    close();
    return fail(InputStatus::ReadError, path, reason, why);
  }
  if (!S_ISREG(st.st_mode)) {
    close();
    return fail(InputStatus::NotRegularFile, path, "not a regular file", why);
  }
  size_ = static_cast<std::uint64_t>(st.st_size);
  return InputStatus::Ok;
}

std::int64_t InputFile::readSome(std::uint8_t* dest, std::uint64_t count) {
  ssize_t n;
  do {
    n = ::read(fd_, dest, static_cast<std::size_t>(count));
  } while (n < 0 && errno == EINTR);
  return n;
}

#endif

InputStatus InputFile::open(const std::string& path, std::uint64_t maxBytes, std::string* why) {
  close();
  path_ = path;
  size_ = 0;
  if (const InputStatus status = openFile(path, why); status != InputStatus::Ok) return status;
  if (size_ > maxBytes) {
    close();
    return fail(InputStatus::TooLarge, path, "larger than " + std::to_string(maxBytes) + " bytes",
                why);
  }
  return InputStatus::Ok;
}

InputStatus InputFile::readAll(std::uint8_t* dest, std::string* why) {
  std::uint64_t done = 0;
  while (done < size_) {
    const std::int64_t n = readSome(dest + done, size_ - done);
    if (n < 0) {
      const std::string reason = systemText();
      close();
      return fail(InputStatus::ReadError, path_, reason, why);
    }
    if (n == 0) break;
    done += static_cast<std::uint64_t>(n);
  }
  close();
  if (done != size_)
    return fail(InputStatus::ReadError, path_, "shorter than its size (changed while read)", why);
  return InputStatus::Ok;
}

InputStatus readInputFile(const std::string& path, std::uint64_t maxBytes,
                          std::vector<std::uint8_t>* bytes, std::string* why) {
  bytes->clear();
  InputFile file;
  InputStatus status = file.open(path, maxBytes, why);
  if (status != InputStatus::Ok) return status;
  bytes->resize(static_cast<std::size_t>(file.size()));
  status = file.readAll(bytes->data(), why);
  if (status != InputStatus::Ok) bytes->clear();
  return status;
}

}  // namespace platform
