// Files the user hands us (flash.txt, dwl87.spm, config.txt, images), opened so that a wrong one
// can never hang or exhaust the program: opened without blocking (a FIFO does not wait for a
// writer), regular files only, and measured against a maximum before a byte is read.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

enum class InputStatus {
  Ok,
  CannotOpen,      // missing, no permission, ...
  NotRegularFile,  // a directory, a FIFO, a device
  TooLarge,        // more than the caller's maximum
  ReadError,       // the system failed, or the file shrank while it was read
};

// One open input file. The "why" texts name the file and the reason, ready to show.
class InputFile {
 public:
  InputFile() = default;
  ~InputFile();
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  // Opens path and checks it is a regular file of at most maxBytes bytes.
  InputStatus open(const std::string& path, std::uint64_t maxBytes, std::string* why = nullptr);
  // The size measured by open().
  std::uint64_t size() const { return size_; }
  // Reads size() bytes into dest, which has room for them; then closes the file.
  InputStatus readAll(std::uint8_t* dest, std::string* why = nullptr);
  void close();

 private:
  // The system's halves: open a regular file and measure it; read at most count bytes (-1 on
  // error, with the system's error left for the reason).
  InputStatus openFile(const std::string& path, std::string* why);
  std::int64_t readSome(std::uint8_t* dest, std::uint64_t count);

  std::string path_;
  std::uint64_t size_ = 0;
#ifdef _WIN32
  void* handle_ = nullptr;
#else
  int fd_ = -1;
#endif
};

// Opens, checks and reads a whole file into bytes (replaced); bytes is left empty on failure.
InputStatus readInputFile(const std::string& path, std::uint64_t maxBytes,
                          std::vector<std::uint8_t>* bytes, std::string* why = nullptr);

}  // namespace platform
