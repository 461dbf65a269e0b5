#include "ops/job_log.h"

#ifdef KELVANE_HAVE_POSTGRESQL
#include "ops/pg_job_store.h"
#endif

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>

#include "engines/downloader/dwl3spm87.h"
#include "platform/data_folders.h"

namespace ops {

namespace {

std::string hex2(unsigned v) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", v & 0xFF);
  return text;
}

}  // namespace

JobRecord recordOf(const char* job, const LinkInput& link, const JobResult& result,
                   WallClock::time_point started, WallClock::time_point ended) {
  JobRecord r;
  r.job = job;
  r.started = started;
  r.ended = ended;
  r.port = link.port;
  r.speed = link.speed;
  r.result = result;
  return r;
}

JobRecord recordOf(const char* job, const WriteInput& input, const JobResult& result,
                   WallClock::time_point started, WallClock::time_point ended) {
  JobRecord r = recordOf(job, input.link, result, started, ended);
  r.model = input.model;
  r.verify = input.verify;
  for (const Image& image : input.images)
    r.images.push_back({image.slot, image.path, image.bytes.size(), sha256Hex(image.bytes)});
  return r;
}

std::string isoUtc(WallClock::time_point at) {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(at.time_since_epoch());
  const std::time_t seconds = static_cast<std::time_t>(ms.count() / 1000);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[80];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                static_cast<int>(ms.count() % 1000));
  return text;
}

nlohmann::json resultJson(const JobResult& r) {
  return {{"family", r.result.Family},
          {"code", r.result.Code},
          {"success", r.result.Family == dwl::RESULT_SUCCESS},
          {"message", r.message},
          {"detail", failureText(r.detail)},
          {"bytes_written", r.bytesWritten},
          {"verified", r.verified},
          {"seconds", r.seconds}};
}

nlohmann::json toJson(const JobRecord& r) {
  nlohmann::json images = nlohmann::json::array();
  for (const LoggedImage& image : r.images)
    images.push_back({{"slot", downloader::slotName(image.slot)},
                      {"path", image.path},
                      {"size", image.size},
                      {"sha256", image.sha256}});
  nlohmann::json handset = nullptr;
  if (r.result.identified) {
    const dwl::HandsetIdentity& h = r.result.handset;
    handset = {{"cpu", hex2(h.cpu)},
               {"flash_manufacturer", hex2(h.manufacturer)},
               {"flash_device", hex2(h.device)},
               {"flash", h.flashName}};
  }
  nlohmann::json line = {{"job", r.job},
                         {"start", isoUtc(r.started)},
                         {"end", isoUtc(r.ended)},
                         {"port", r.port.name},
                         {"device", r.port.device},
                         {"handset", handset},
                         {"images", images},
                         {"model", r.model},
                         {"speed", r.speed},
                         {"verify", r.verify},
                         {"result", resultJson(r.result)},
                         {"bytes_written", r.result.bytesWritten},
                         {"seconds", r.result.seconds},
                         {"version", KELVANE_VERSION}};
  if (!r.serial.empty()) line["serial"] = r.serial;
  if (!r.operatorName.empty()) line["operator"] = r.operatorName;
  if (!r.station.empty()) line["station"] = r.station;
  if (!r.recipeName.empty() || !r.recipeSha256.empty())
    line["recipe"] = {
        {"name", r.recipeName}, {"revision", r.recipeRevision}, {"sha256", r.recipeSha256}};
  return line;
}

bool isDatabaseUrl(const std::string& target) {
  return target.rfind("postgresql://", 0) == 0 || target.rfind("postgres://", 0) == 0;
}

JobLog::JobLog() = default;
JobLog::~JobLog() = default;

bool JobLog::open(const std::string& path, std::string* why) {
  std::lock_guard lock(mutex_);
  path_ = path;
  if (isDatabaseUrl(path)) {
#ifdef KELVANE_HAVE_POSTGRESQL
    database_ = std::make_shared<PgJobStore>(path, pendingPath());
    std::error_code made;
    std::filesystem::create_directories(std::filesystem::path(pendingPath()).parent_path(), made);
    std::string reason;
    // Lines left waiting by an earlier run go first.
    if (!database_->flushSpool(&reason)) warning_ = reason + "; the jobs wait in " + pendingPath();
    error_.clear();
    return true;
#else
    error_ = "this build keeps its job log in JSON Lines files only, not in " + path;
    if (why) *why = error_;
    return false;
#endif
  }
  std::error_code ec;
  const std::filesystem::path parent = std::filesystem::path(path).parent_path();
  if (!parent.empty()) std::filesystem::create_directories(parent, ec);
  // A device is taken (a log to /dev/null); a FIFO or a folder is refused rather than waited on.
  std::string reason;
  if (!file_.open(path, &reason, true)) {
    error_ = "cannot open the job log " + path + ": " + reason;
    if (why) *why = error_;
    return false;
  }
  error_.clear();
  return true;
}

bool JobLog::append(const JobRecord& record, std::string* why, std::string* serial) {
  if (serial) *serial = record.serial;
#ifdef KELVANE_HAVE_POSTGRESQL
  if (database_) {
    nlohmann::json json = toJson(record);
    json["id"] = PgJobStore::newJobId();
    if (record.serial.empty() && !record.serialFormat.empty())
      json[PgJobStore::kSerialPending] = record.serialFormat;
    std::string reason;
    const PgJobStore::Outcome outcome = database_->store(json, &reason, serial);
    std::lock_guard lock(mutex_);
    if (outcome == PgJobStore::Outcome::Stored) {
      warning_.clear();
      return true;
    }
    if (outcome == PgJobStore::Outcome::Spooled) {
      warning_ = reason + "; the jobs wait in " + pendingPath();
      return true;
    }
    if (error_.empty()) error_ = reason;
    if (why) *why = reason;
    if (whenLost)
      whenLost(json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n", reason);
    return false;
  }
#endif
  const std::string line =
      toJson(record).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
  std::string failure;
  {
    std::lock_guard lock(mutex_);
    auto fail = [&](const std::string& what) {
      if (error_.empty()) error_ = what;
      failure = error_;
    };
    std::string reason;
    // Log rotation renamed the file: the new lines go to a file of the log's name again.
    if (error_.empty() && file_.isOpen() && !file_.stillNamed() &&
        !file_.open(path_, &reason, true))
      fail("cannot open the job log " + path_ + " again: " + reason);
    if (!error_.empty()) {
      fail(error_);
    } else if (!file_.isOpen()) {
      fail("the job log is not open");
    } else if (!file_.append(reinterpret_cast<const std::uint8_t*>(line.data()), line.size(),
                             &reason)) {
      // A torn line would corrupt the record: the append lands whole or is cut off again.
      fail("cannot write the job log " + path_ + ": " + reason);
    } else if (!file_.sync(&reason)) {
      fail("cannot flush the job log " + path_ + " to disk: " + reason);
    }
  }
  if (failure.empty()) return true;
  if (why) *why = failure;
  if (whenLost) whenLost(line, failure);
  return false;
}

bool JobLog::failed() const {
  std::lock_guard lock(mutex_);
  return !error_.empty();
}

std::string JobLog::error() const {
  std::lock_guard lock(mutex_);
  return error_;
}

std::string JobLog::warning() const {
  std::lock_guard lock(mutex_);
  return warning_;
}

std::string JobLog::pendingPath() {
  return (std::filesystem::path(defaultPath()).parent_path() / "jobs-pending.jsonl").string();
}

std::string JobLog::defaultPath() {
#ifdef _WIN32
  // A Windows user's program data lives in %LOCALAPPDATA%, with flash.txt and dwl87.spm.
  return (platform::userConfigFolder() / "jobs.jsonl").string();
#else
  std::filesystem::path base;
  if (const char* data = std::getenv("XDG_DATA_HOME"); data && *data)
    base = data;
  else if (const char* home = std::getenv("HOME"); home && *home)
    base = std::filesystem::path(home) / ".local/share";
  else
    base = ".";
  return (base / "kelvane" / "jobs.jsonl").string();
#endif
}

}  // namespace ops
