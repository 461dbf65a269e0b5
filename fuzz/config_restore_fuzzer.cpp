// Feeds any bytes to the config.txt restore as the whole file. The restore must stop inside the
// file, return one of its codes, keep every stored path terminated inside its field, store only
// values within their bounds when it succeeds, and give back what a save of the result holds.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "engines/downloader/download_context.h"
#include "engines/downloader/dwl51loader.h"
#include "engines/downloader/dwl56conf.h"

namespace {

void require(bool ok) {
  if (!ok) std::abort();
}

bool writeFile(const char* name, const std::uint8_t* data, std::size_t size) {
  std::FILE* f = std::fopen(name, "wb");
  if (!f) return false;
  const bool ok = std::fwrite(data, 1, size, f) == size;
  return std::fclose(f) == 0 && ok;
}

bool terminated(const char* field, std::size_t size) {
  return std::memchr(field, 0, size) != nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The restore works on config.txt of the working directory: give it one of its own.
  static char dir[] = "/tmp/kelvane-config-fuzz-XXXXXX";
  if (!::mkdtemp(dir) || ::chdir(dir) != 0) std::abort();
  std::atexit([] {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  });
  return 0;
}

// The fuzzer's own record, as each program keeps its own.
downloader::DownloadContext sg_DownloadContext;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace downloader;
  require(writeFile("config.txt", data, size));
  resetImageSlots(sg_DownloadContext);
  sg_DownloadContext = DownloadContext{};
  const dwl::ResultCode rc = dwl56_0RestoreConfig(sg_DownloadContext);
  DownloadContext& c = sg_DownloadContext;

  const bool known = rc == dwl::kOk || rc == kConfNoClaFile || rc == kConfTooLong ||
                     rc == kConfComValue || rc == kConfComKey || rc == kConfPmuValue ||
                     rc == kConfPmuKey || rc == kConfProductValue || rc == kConfProductKey ||
                     rc == kConfDownloadValue || rc == kConfDownloadKey;
  require(known);
  require(terminated(c.Bin1Path, sizeof c.Bin1Path));
  require(c.Bin1Loaded == 0 || c.Bin1Data != nullptr || c.Bin1Length == 0);
  // Above its bound, or left as it was when the number does not fit 32 bits.
  const DownloadContext fresh;
  if (rc == kConfComValue) require(c.ComPort > 4 || c.ComPort == fresh.ComPort);
  if (rc == kConfPmuValue) require(c.PmuOption > 1 || c.PmuOption == fresh.PmuOption);
  if (rc == kConfProductValue) require(c.ProductType > 2 || c.ProductType == fresh.ProductType);
  if (rc == kConfDownloadValue) require(c.DownloadType > 4 || c.DownloadType == fresh.DownloadType);

  if (rc == dwl::kOk) {
    require(c.ComPort <= 4 && c.PmuOption <= 1 && c.ProductType <= 2 && c.DownloadType <= 4);
    // What a save of the restored record holds restores to the same record.
    const DownloadContext restored = c;
    require(dwl56_1SaveConfig(sg_DownloadContext) == dwl::kOk);
    resetImageSlots(sg_DownloadContext);
    sg_DownloadContext = DownloadContext{};
    require(dwl56_0RestoreConfig(sg_DownloadContext) == dwl::kOk);
    require(std::strcmp(c.Bin1Path, restored.Bin1Path) == 0);
    // Fields that were never in the file keep their start-up values in both records.
    require(c.ComPort == restored.ComPort && c.PmuOption == restored.PmuOption &&
            c.ProductType == restored.ProductType && c.DownloadType == restored.DownloadType);
  }
  resetImageSlots(sg_DownloadContext);
  return 0;
}
