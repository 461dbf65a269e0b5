#include "ops/job_log.h"

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>

#include "engines/downloader/dwl3spm87.h"
#include "platform/data_folders.h"

namespace ops {

namespace {

// FIPS 180-4, kept here so the log needs nothing beyond the standard library.
class Sha256 {
 public:
  void update(const std::uint8_t* data, std::size_t size) {
    length_ += size;
    while (size > 0) {
      const std::size_t n = std::min(size, 64 - used_);
      std::memcpy(block_ + used_, data, n);
      used_ += n;
      data += n;
      size -= n;
      if (used_ == 64) {
        compress(block_);
        used_ = 0;
      }
    }
  }
  std::array<std::uint8_t, 32> finish() {
    const std::uint64_t bits = length_ * 8;
    const std::uint8_t one = 0x80, zero = 0;
    update(&one, 1);
    while (used_ != 56) update(&zero, 1);
    std::uint8_t tail[8];
    for (int i = 0; i < 8; ++i) tail[i] = static_cast<std::uint8_t>(bits >> (56 - 8 * i));
    update(tail, 8);
    std::array<std::uint8_t, 32> out;
    for (int i = 0; i < 32; ++i)
      out[i] = static_cast<std::uint8_t>(h_[i / 4] >> (24 - 8 * (i % 4)));
    return out;
  }

 private:
  static std::uint32_t rotr(std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }
  void compress(const std::uint8_t* p) {
    static constexpr std::uint32_t k[64] = {
        0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4,
        0xab1c5ed5, 0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe,
        0x9bdc06a7, 0xc19bf174, 0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f,
        0x4a7484aa, 0x5cb0a9dc, 0x76f988da, 0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7,
        0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967, 0x27b70a85, 0x2e1b2138, 0x4d2c6dfc,
        0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85, 0xa2bfe8a1, 0xa81a664b,
        0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070, 0x19a4c116,
        0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
        0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7,
        0xc67178f2};
    std::uint32_t w[64];
    for (int i = 0; i < 16; ++i)
      w[i] = std::uint32_t(p[4 * i]) << 24 | std::uint32_t(p[4 * i + 1]) << 16 |
             std::uint32_t(p[4 * i + 2]) << 8 | p[4 * i + 3];
    for (int i = 16; i < 64; ++i) {
      const std::uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
      const std::uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
      w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    std::uint32_t a = h_[0], b = h_[1], c = h_[2], d = h_[3], e = h_[4], f = h_[5], g = h_[6],
                  h = h_[7];
    for (int i = 0; i < 64; ++i) {
      const std::uint32_t t1 =
          h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + k[i] + w[i];
      const std::uint32_t t2 =
          (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
      h = g;
      g = f;
      f = e;
      e = d + t1;
      d = c;
      c = b;
      b = a;
      a = t1 + t2;
    }
    h_[0] += a, h_[1] += b, h_[2] += c, h_[3] += d, h_[4] += e, h_[5] += f, h_[6] += g, h_[7] += h;
  }

  std::uint32_t h_[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                         0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  std::uint8_t block_[64] = {};
  std::size_t used_ = 0;
  std::uint64_t length_ = 0;
};

std::string hex2(unsigned v) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", v & 0xFF);
  return text;
}

}  // namespace

std::string sha256Hex(const std::uint8_t* data, std::size_t size) {
  Sha256 sha;
  sha.update(data, size);
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (std::uint8_t b : sha.finish()) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

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
  return {{"job", r.job},
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
}

bool JobLog::open(const std::string& path, std::string* why) {
  std::lock_guard lock(mutex_);
  path_ = path;
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

bool JobLog::append(const JobRecord& record, std::string* why) {
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
