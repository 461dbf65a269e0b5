#include "engines/downloader/dwl56conf.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "engines/downloader/download_context.h"
#include "engines/downloader/dwl51loader.h"
#include "platform/input_file.h"
#include "platform/replace_file.h"

namespace downloader {

namespace {

constexpr const char* kFileName = "config.txt";

// A cursor over the file's bytes that never looks past the end.
class Scanner {
 public:
  explicit Scanner(const std::vector<std::uint8_t>& bytes) : b_(bytes) {}

  bool atEnd() const { return p_ >= b_.size(); }
  std::uint8_t peek() const { return b_[p_]; }

  // Past the next line feed (or to the end when there is none).
  void skipLine() {
    while (p_ < b_.size() && b_[p_] != '\n') ++p_;
    if (p_ < b_.size()) ++p_;
  }

  // Consumes the key when the bytes at the cursor are exactly it.
  bool key(const char* k) {
    const std::size_t len = std::strlen(k);
    if (b_.size() - p_ < len || std::memcmp(b_.data() + p_, k, len) != 0) return false;
    p_ += len;
    return true;
  }

  // The value up to the next carriage return, then past the carriage return and the character
  // after it. False, with the cursor unchanged, when no carriage return ends the value.
  bool value(std::string* out) {
    std::size_t e = p_;
    while (e < b_.size() && b_[e] != '\r') ++e;
    if (e >= b_.size()) return false;
    out->assign(reinterpret_cast<const char*>(b_.data() + p_), e - p_);
    p_ = std::min(e + 2, b_.size());
    return true;
  }

 private:
  const std::vector<std::uint8_t>& b_;
  std::size_t p_ = 0;
};

// Reads a number as atoi does (leading blanks, a sign, digits up to the first non-digit, no digits
// reads 0), but never wraps: false when the number does not fit 32 bits, however long it is.
bool readNumber(const std::string& text, std::int32_t* value) {
  const char* p = text.data();
  const char* end = p + text.size();
  while (p < end && (*p == ' ' || (*p >= '\t' && *p <= '\r'))) ++p;
  bool negative = false;
  if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';
  std::uint64_t magnitude = 0;
  if (p == end || *p < '0' || *p > '9') {
    *value = 0;
    return true;
  }
  // Digits up to the first non-digit, of any count: too many for 64 bits is out of range too.
  const std::from_chars_result read = std::from_chars(p, end, magnitude);
  const std::uint64_t limit = negative ? std::uint64_t{1} << 31 : (std::uint64_t{1} << 31) - 1;
  if (read.ec != std::errc{} || magnitude > limit) return false;
  *value = negative ? static_cast<std::int32_t>(-static_cast<std::int64_t>(magnitude))
                    : static_cast<std::int32_t>(magnitude);
  return true;
}

// One numeric entry: key, value, store, upper bound. 1 or the entry's code. A number that does not
// fit 32 bits gets the entry's code too, and is not stored: whatever it would wrap to is not what
// the file says.
dwl::ResultCode numericEntry(Scanner& s, const char* key, dwl::ResultCode missing,
                             dwl::ResultCode above, int bound, std::int32_t* field) {
  std::string text;
  if (!s.key(key) || !s.value(&text)) return missing;
  std::int32_t value = 0;
  if (!readNumber(text, &value)) return above;
  if (text.size() > static_cast<std::size_t>(kConfValueMax)) return kConfTooLong;
  *field = value;
  return *field > bound ? above : dwl::kOk;
}

}  // namespace

dwl::ResultCode dwl56_0RestoreConfig(DownloadContext& ctx, const ConfigPanelHooks& hooks) {
  ctx.State.configFileFailure.clear();
  std::vector<std::uint8_t> bytes;
  switch (platform::readInputFile(kFileName, kMaxConfigFileSize, &bytes,
                                  &ctx.State.configFileFailure)) {
    case platform::InputStatus::Ok:
      break;
    case platform::InputStatus::TooLarge:
      return kConfTooLong;
    default:
      return kConfNoFile;
  }

  Scanner s(bytes);
  while (!s.atEnd()) {
    if (s.peek() == '*' || s.peek() == '\r') {
      s.skipLine();
      continue;
    }
    std::string path;
    if (!s.key("CLA File : ") || !s.value(&path)) return kConfNoClaFile;
    // Cutting the path would load another file than the one saved.
    if (path.size() >= sizeof ctx.Bin1Path) return kConfTooLong;
    // An empty path (saved before any CLA file was chosen) is loaded like any other: the load
    // fails as that of a missing file does, and says so.
    std::memset(ctx.Bin1Path, 0, sizeof ctx.Bin1Path);
    std::memcpy(ctx.Bin1Path, path.data(), path.size());
    if (hooks.loadClaFile)
      hooks.loadClaFile(ctx);
    else
      dwl51_0InitLoadFile(ctx);

    dwl::ResultCode r = numericEntry(s, "COM : ", kConfComKey, kConfComValue, 4, &ctx.ComPort);
    if (r != dwl::kOk) return r;
    if (hooks.showPort) hooks.showPort(ctx.ComPort);
    r = numericEntry(s, "PMU : ", kConfPmuKey, kConfPmuValue, 1, &ctx.PmuOption);
    if (r != dwl::kOk) return r;
    r = numericEntry(s, "Product Type : ", kConfProductKey, kConfProductValue, 2, &ctx.ProductType);
    if (r != dwl::kOk) return r;
    r = numericEntry(s, "Download Type : ", kConfDownloadKey, kConfDownloadValue, 4,
                     &ctx.DownloadType);
    if (r != dwl::kOk) return r;
    if (hooks.enableAfterRestore) hooks.enableAfterRestore();
    break;
  }
  return dwl::kOk;
}

dwl::ResultCode dwl56_1SaveConfig(DownloadContext& ctx) {
  ctx.State.configFileFailure.clear();
  std::string text;
  text += "* ***********************\r\n";
  text += "* Configuration save file\r\n";
  text += "* ***********************\r\n";
  text += "CLA File : ";
  text.append(ctx.Bin1Path, strnlen(ctx.Bin1Path, sizeof ctx.Bin1Path));
  text += "\r\n";
  text += "COM : " + std::to_string(ctx.ComPort) + "\r\n";
  text += "PMU : " + std::to_string(ctx.PmuOption) + "\r\n";
  text += "Product Type : " + std::to_string(ctx.ProductType) + "\r\n";
  text += "Download Type : " + std::to_string(ctx.DownloadType) + "\r\n";

  // Never a truncated config.txt: the old file stays unless the new one was written whole.
  if (!platform::replaceFile(kFileName, text, &ctx.State.configFileFailure)) return kConfNoFile;
  return dwl::kOk;
}

}  // namespace downloader
