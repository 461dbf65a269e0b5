#include "downloader/dwl56conf.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "downloader/download_context.h"
#include "downloader/dwl51loader.h"

namespace downloader {

namespace {

constexpr const char* kFileName = "config.txt";

ConfigPanelHooks g_hooks;

// The whole file, or false when it cannot be opened.
bool readWholeFile(const char* name, std::vector<std::uint8_t>* out) {
  std::FILE* f = std::fopen(name, "rb");
  if (!f) return false;
  std::uint8_t chunk[4096];
  std::size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) out->insert(out->end(), chunk, chunk + n);
  std::fclose(f);
  return true;
}

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

// One numeric entry: key, value, store, upper bound. 1 or the entry's code.
dwl::ResultCode numericEntry(Scanner& s, const char* key, dwl::ResultCode missing,
                             dwl::ResultCode above, int bound, std::int32_t* field) {
  std::string text;
  if (!s.key(key) || !s.value(&text)) return missing;
  if (text.size() > static_cast<std::size_t>(kConfValueMax)) return kConfTooLong;
  *field = std::atoi(text.c_str());
  return *field > bound ? above : dwl::kOk;
}

bool writeAll(int fd, const std::string& data) {
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

void setConfigPanelHooks(ConfigPanelHooks hooks) {
  g_hooks = std::move(hooks);
}

dwl::ResultCode dwl56_0RestoreConfig() {
  std::vector<std::uint8_t> bytes;
  if (!readWholeFile(kFileName, &bytes)) return kConfNoFile;

  DownloadContext& ctx = sg_DownloadContext;
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
    std::memset(ctx.Bin1Path, 0, sizeof ctx.Bin1Path);
    std::memcpy(ctx.Bin1Path, path.data(), path.size());
    dwl51_0InitLoadFile();

    dwl::ResultCode r = numericEntry(s, "COM : ", kConfComKey, kConfComValue, 4, &ctx.ComPort);
    if (r != dwl::kOk) return r;
    if (g_hooks.showPort) g_hooks.showPort(ctx.ComPort);
    r = numericEntry(s, "PMU : ", kConfPmuKey, kConfPmuValue, 1, &ctx.PmuOption);
    if (r != dwl::kOk) return r;
    r = numericEntry(s, "Product Type : ", kConfProductKey, kConfProductValue, 2, &ctx.ProductType);
    if (r != dwl::kOk) return r;
    r = numericEntry(s, "Download Type : ", kConfDownloadKey, kConfDownloadValue, 4,
                     &ctx.DownloadType);
    if (r != dwl::kOk) return r;
    if (g_hooks.enableAfterRestore) g_hooks.enableAfterRestore();
    break;
  }
  return dwl::kOk;
}

dwl::ResultCode dwl56_1SaveConfig() {
  const DownloadContext& ctx = sg_DownloadContext;
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

  // Written beside the old file and renamed over it, so a failure half-way (disk full) never
  // leaves a truncated config.txt.
  const std::string tmp = std::string(kFileName) + "." + std::to_string(::getpid()) + ".tmp";
  ::unlink(tmp.c_str());
  const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) return kConfNoFile;
  bool ok = writeAll(fd, text);
  ok = ::fsync(fd) == 0 && ok;
  ok = ::close(fd) == 0 && ok;
  if (!ok || std::rename(tmp.c_str(), kFileName) != 0) {
    ::unlink(tmp.c_str());
    return kConfNoFile;
  }
  return dwl::kOk;
}

}  // namespace downloader
