// The job log: one JSON line per finished job (any result), for tracing which handset got which
// images. A line is written whole or not at all and is on disk before the next job starts; a log
// that cannot be written stays failed, so the caller can stop taking jobs. A log renamed away (log
// rotation) is opened again under its name.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "ops/operations.h"
#include "platform/append_file.h"

namespace ops {

// SHA-256 of a byte string, as 64 lower-case hex digits.
std::string sha256Hex(const std::uint8_t* data, std::size_t size);
inline std::string sha256Hex(const std::vector<std::uint8_t>& bytes) {
  return sha256Hex(bytes.data(), bytes.size());
}

using WallClock = std::chrono::system_clock;

struct LoggedImage {
  dwl::Slot slot = dwl::Slot::Bin1;
  std::string path;
  std::uint64_t size = 0;
  std::string sha256;
};

struct JobRecord {
  std::string job;  // "write", "verify", "dump", "erase", "info"
  WallClock::time_point started, ended;
  PortRef port;
  int model = 0;
  int speed = 0;
  bool verify = false;
  std::vector<LoggedImage> images;
  JobResult result;
};

JobRecord recordOf(const char* job, const WriteInput& input, const JobResult& result,
                   WallClock::time_point started, WallClock::time_point ended);
JobRecord recordOf(const char* job, const LinkInput& link, const JobResult& result,
                   WallClock::time_point started, WallClock::time_point ended);

// The dump, erase and info inputs: their link.
template <class Input>
JobRecord recordOf(const char* job, const Input& input, const JobResult& result,
                   WallClock::time_point started, WallClock::time_point ended) {
  return recordOf(job, input.link, result, started, ended);
}

// "2026-12-08T14:35:07.123Z".
std::string isoUtc(WallClock::time_point at);
// A job's result as the log and the progress stream both write it.
nlohmann::json resultJson(const JobResult& result);
nlohmann::json toJson(const JobRecord& record);

class JobLog {
 public:
  JobLog() = default;
  JobLog(const JobLog&) = delete;
  JobLog& operator=(const JobLog&) = delete;

  // Opens the file for appending, creating it and its folder; false with the reason.
  bool open(const std::string& path, std::string* why);
  // Appends one line with one write and flushes it to disk. Safe from several threads. False, with
  // the reason, when the line could not be written whole; the log then refuses every later line.
  bool append(const JobRecord& record, std::string* why = nullptr);
  // Gets every line that could not be written, with the reason, as soon as that is known (on the
  // job's thread, outside the log's lock), so that a program can say so and keep the record
  // somewhere. Set before the first append.
  std::function<void(const std::string& line, const std::string& why)> whenLost;
  bool failed() const;
  std::string error() const;
  const std::string& path() const { return path_; }

  // The user's data folder: $XDG_DATA_HOME/kelvane/jobs.jsonl, else ~/.local/share/...; on
  // Windows %LOCALAPPDATA%\kelvane\jobs.jsonl.
  static std::string defaultPath();

 private:
  mutable std::mutex mutex_;
  platform::AppendFile file_;
  std::string path_;
  std::string error_;
};

}  // namespace ops
