// An output file that takes whole blocks: each append lands whole or not at all, and the file
// stays the one that was opened (one removed or replaced meanwhile fails the next append instead
// of swallowing the data unseen).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

// True when path may be replaced by a new file: missing, or a regular file that is not a link.
// Otherwise false with the reason ("is a link: not followed", "is not a regular file").
bool replaceableFile(const std::string& path, std::string* why);

// True when AppendFile::open would take path and the system would let it be written: a regular
// file open for writing, or a new one the folder lets us create. Changes nothing on the disk.
// Otherwise false with the reason ("the file name is empty", "not a regular file", the system's
// error).
bool appendable(const std::string& path, std::string* why);

class AppendFile {
 public:
  AppendFile() = default;
  ~AppendFile();
  AppendFile(const AppendFile&) = delete;
  AppendFile& operator=(const AppendFile&) = delete;

  // Opens path for appending, creating it when missing. Refuses anything but a regular file (a
  // FIFO, a directory, and a device unless devices is set) without blocking on it. false, with the
  // reason, on failure.
  bool open(const std::string& path, std::string* why, bool devices = false);
  // Appends count bytes; on failure the file is cut back to its size before the call.
  bool append(const std::uint8_t* data, std::size_t count, std::string* why);
  // Flushes what was appended to the disk; nothing to do for a device.
  bool sync(std::string* why);
  bool isOpen() const { return fd_ >= 0; }
  // False when the path opened now names another file or none (renamed, removed, replaced).
  bool stillNamed() const;
  void close();

 private:
  int fd_ = -1;
  std::string path_;
  std::uint64_t device_ = 0, inode_ = 0;
  bool regular_ = true;
};

}  // namespace platform
