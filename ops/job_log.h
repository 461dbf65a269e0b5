// The job log: one JSON line per finished job (any result), for tracing which handset got which
// images. A line is written whole or not at all and is on disk before the next job starts; a log
// that cannot be written stays failed, so the caller can stop taking jobs. A log renamed away (log
// rotation) is opened again under its name. The log can also be a PostgreSQL database that many
// stations share (a "postgresql://" target): then a line the database cannot take waits in a
// local file and is sent once it answers again.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "ops/operations.h"
#include "ops/sha256.h"
#include "platform/append_file.h"

namespace ops {

class PgJobStore;

// True for a log target that names a PostgreSQL database: "postgresql://..." or "postgres://...".
bool isDatabaseUrl(const std::string& target);

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
  // A station's job: the unit's serial number, who ran it where, and the recipe (its SHA-256 is
  // that of the recipe file). Each is left out of the line while empty.
  std::string serial, operatorName, station;
  std::string recipeName, recipeRevision, recipeSha256;
  // With a database log and no serial: the counter format ("LINE{n:05}") whose next number the
  // database gives the unit in the transaction that stores the record.
  std::string serialFormat = {};
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
  JobLog(const JobLog&) = delete;
  JobLog& operator=(const JobLog&) = delete;

  JobLog();
  ~JobLog();
  // Opens the file for appending, creating it and its folder, or the database of a URL (its
  // table made when missing); false with the reason (a database that does not answer yet is no
  // reason: see warning()).
  bool open(const std::string& path, std::string* why);
  // Appends one line with one write and flushes it to disk. Safe from several threads. False, with
  // the reason, when the line could not be written whole; the log then refuses every later line.
  // serial: the unit's serial number as recorded (the database's, for a record that leaves it to
  // the database); empty while the record waits in the local file for its number.
  bool append(const JobRecord& record, std::string* why = nullptr, std::string* serial = nullptr);
  // Gets every line that could not be written, with the reason, as soon as that is known (on the
  // job's thread, outside the log's lock), so that a program can say so and keep the record
  // somewhere. Set before the first append.
  std::function<void(const std::string& line, const std::string& why)> whenLost;
  bool failed() const;
  std::string error() const;
  // Why the latest lines wait in the local file instead of the database; empty once it took them.
  std::string warning() const;
  // The database of a URL log, or null for a file.
  PgJobStore* database() { return database_.get(); }
  const std::string& path() const { return path_; }

  // The user's data folder: $XDG_DATA_HOME/kelvane/jobs.jsonl, else ~/.local/share/...; on
  // Windows %LOCALAPPDATA%\kelvane\jobs.jsonl.
  static std::string defaultPath();
  // Where a database log's lines wait while it does not answer: jobs-pending.jsonl beside the
  // default file.
  static std::string pendingPath();

 private:
  mutable std::mutex mutex_;
  platform::AppendFile file_;
  std::string path_;
  std::string error_;
  std::string warning_;
  // Shared, so that a build without the database (no definition of the store) destroys none.
  std::shared_ptr<PgJobStore> database_;
};

}  // namespace ops
