// The PC side of the protocol fed arbitrary handset bytes: the first input byte picks a flow (a
// whole write, a dump, an erase, or each command on its own), the rest is what the handset says,
// byte for byte; after it the handset is silent. Whatever it says, every flow must end, with a
// result of its layer's table, without reading or writing out of bounds, and dump.txt must hold
// whole blocks only.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

#include "apps/dumper/dumper_app.h"
#include "dwl/dwl10fla.h"
#include "dwl/dwl11command.h"
#include "dwl/dwl11transfer.h"
#include "dwl/dwl12pclib.h"
#include "dwl/dwl1boot.h"
#include "dwl/dwl52display.h"
#include "dwl/dwl_job.h"
#include "engines/downloader/download_context.h"
#include "engines/downloader/dwl3spm87.h"
#include "engines/dumper/dumper.h"
#include "platform/scripted_rs232.h"

namespace {

void require(bool ok) {
  if (!ok) std::abort();
}

constexpr int kPort = 4;
constexpr std::uint8_t kMaker = 0x01, kDevice = 0x7E;
// Two sectors: one whole drained block, then a partial tail.
constexpr std::uint32_t kImageSize = 0x2000 + 0x800;

std::vector<std::uint8_t> g_image;
// The fuzzer's own record and flash descriptions, as each program keeps its own.
downloader::DownloadContext sg_DownloadContext;
dwl::FlashDescriptionTable vg_FlashDescritpion;
std::time_t g_clock = 0;

// Two small and two large sectors of a flash the write knows.
void describeFlash() {
  vg_FlashDescritpion = dwl::FlashDescriptionTable{};
  dwl::FlashDescription& f = vg_FlashDescritpion.Flash[0];
  std::strcpy(f.ManufacturerName, "AMD");
  std::strcpy(f.DeviceName, "FUZZ");
  f.ManufacturerId = kMaker;
  f.DeviceId = kDevice;
  f.NbBanks = 1;
  const std::uint32_t sizes[] = {0x2000, 0x2000, 0x10000, 0x10000};
  for (std::uint32_t s : sizes) {
    f.Sectors[f.NbSectors++].Size = s;
    f.FlashSize += s;
  }
  vg_FlashDescritpion.NbFlash = 1;
}

bool bootCode(std::int32_t code) {
  if (code == 4 || (code >= 7 && code <= 15)) return true;
  // The packed acknowledge time-out: 10 in bits 16..23, a count, the time-out byte.
  return (code & 0xFFFF00FF) == 0x000A009D;
}

bool commandCode(std::int32_t code) {
  return code == 2 || (code >= 7 && code <= 21);
}

void requireResult(const dwl::DownloadResult& r) {
  switch (r.Family) {
    case dwl::RESULT_SUCCESS:
      require(r.Code == 0);
      break;
    case dwl::RESULT_DOWNLOAD_ERROR:
      require(r.Code == 0);
      break;
    case dwl::RESULT_FLASH_FILE:
      require(r.Code >= 15 && r.Code <= 20);
      break;
    case dwl::RESULT_BOOT:
      require(bootCode(r.Code));
      break;
    case dwl::RESULT_COMMAND:
      require(commandCode(r.Code));
      break;
    case dwl::RESULT_SECTOR_ERROR:
    case dwl::RESULT_SECTOR_ACK:
      require(r.Code >= 0 && r.Code <= 0xFF);
      break;
    case dwl::RESULT_SECTOR_CHECKSUM:
      require(r.Code == 0xCC);
      break;
    case dwl::RESULT_DOWNLOAD_TIMEOUT:
      require(r.Code == 0);
      break;
    default:
      require(false);
  }
}

// Every reading of the jobs' clock is a second later: the reply waits end without sleeping.
double fuzzClock() {
  return static_cast<double>(++g_clock);
}

void runWrite(std::uint8_t options, platform::Rs232& port) {
  downloader::DownloadContext& c = sg_DownloadContext;
  c = downloader::DownloadContext{};
  c.ComPort = kPort;
  c.Speed = options % dwl::kSpeedRows;
  c.PmuOption = (options >> 4) & 1;
  c.Mode = 1;
  c.Bin1Data = g_image.data();
  c.Bin1Length = kImageSize;
  c.Bin1Loaded = 1;
  dwl::JobState job;
  job.flash = &vg_FlashDescritpion;
  job.serial = &port;
  job.clock = fuzzClock;
  dwl::JobScope scope(job);
  dwl::DownloadResult r = dwl::dwl1_0boot(&c);
  if (r.Family == dwl::RESULT_SUCCESS) r = downloader::dwl3_0Generic5087(c);
  requireResult(r);
  // Success means every sector's sum was confirmed, so the whole image went out.
  if (r.Family == dwl::RESULT_SUCCESS) require(job.mv_SoftPourcent == 100);
  require(job.mv_SoftPourcent >= 0 && job.mv_SoftPourcent <= 100);
  dwl::dwl12_1UartStop(kPort);
  c = downloader::DownloadContext{};  // the image is ours
}

void requireWholeBlocks() {
  std::error_code ec;
  const auto size = std::filesystem::file_size("dump.txt", ec);
  if (!ec) require(size % dumper::kBlockSize == 0);
  std::filesystem::remove("dump.txt", ec);
}

void runDump(std::uint8_t options) {
  dumper::resetDumperState();
  dumper::sg_DownloadContext.Speed = options % dwl::kSpeedRows;
  dumper::sg_DownloadContext.PmuOption = (options >> 4) & 1;
  dumper::sg_DownloadContext.DumpFirstSector = 0;
  dumper::sg_DownloadContext.DumpLastSector = 1;
  const dwl::DownloadResult r = dumper::runDump();
  requireResult(r);
  require(r.Family <= dwl::RESULT_COMMAND);
  requireWholeBlocks();
}

void runErase(std::uint8_t options) {
  dumper::resetDumperState();
  dumper::sg_DownloadContext.Speed = options % dwl::kSpeedRows;
  dumper::sg_DownloadContext.PmuOption = (options >> 4) & 1;
  dumper::sg_DownloadContext.EraseFirstSector = 7;
  dumper::sg_DownloadContext.EraseLastSector = 8;
  const dwl::DownloadResult r = dumper::runErase();
  requireResult(r);
  // A handset that stops answering ends the walk at once with the time-out.
  require(r.Family <= dwl::RESULT_COMMAND || r.Family == dwl::RESULT_DOWNLOAD_TIMEOUT);
}

// Each command once, on a port already open at the working speed.
void runCommands(std::uint8_t options, platform::Rs232& port) {
  dwl::JobState job;
  job.serial = &port;
  job.clock = fuzzClock;
  dwl::JobScope scope(job);
  dwl::dwl12_0UartInit(kPort, 115200, 0, 10);
  auto oneOf = [](dwl::ResultCode rc, std::initializer_list<dwl::ResultCode> codes) {
    for (dwl::ResultCode c : codes)
      if (rc == c) return true;
    return false;
  };
  require(oneOf(dwl::dwl11_53SetGPIO(kPort), {1, 2, 21}));
  require(oneOf(dwl::dwl11_50ChangeSpeed(10, kPort, options % dwl::kSpeedRows), {1, 2, 7, 8, 9}));
  require(oneOf(dwl::dwl11_52SetPMU(kPort), {1, 2, 10}));
  const std::uint8_t eraseCode = static_cast<std::uint8_t>(0xE2 + (options >> 4) % 3);
  require(oneOf(dwl::dwl11_4EraseFlash(eraseCode, dwl::FlashBase, 0x2000, 1, kPort), {1, 11}));
  dwl::SharedContext ctx;
  ctx.ComPort = kPort;
  ctx.ProductType = options & 0x80 ? 0 : 2;
  require(oneOf(dwl::dwl11_5FlashEraseResult(ctx), {1, 12, 13, 14, 15, 16}));

  // The read fills exactly its length: the byte after it must stay untouched.
  const std::uint32_t length = 1 + options % 200;
  std::vector<std::uint8_t> buffer(length + 1, 0xA5);
  const dwl::ResultCode rc = dwl::dwl11_6ReadCommand(dwl::FlashBase, length, buffer.data(), kPort);
  require(oneOf(rc, {1, 17, 18, 19}));
  require(buffer[length] == 0xA5);
  require(oneOf(dwl::dwl11_7SwitchOffCommand(kPort), {1, 20}));
  require(oneOf(dwl::dwl1_3GetTypeFlash(&ctx), {1, 12, 13, 15}));
  dwl::dwl12_1UartStop(kPort);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  static char dir[] = "/tmp/kelvane-protocol-fuzz-XXXXXX";
  if (!::mkdtemp(dir) || ::chdir(dir) != 0) std::abort();
  std::atexit([] {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  });
  std::FILE* f = std::fopen("dwl87.spm", "wb");
  if (!f) std::abort();
  std::fputs("BOOTSTRAP", f);
  std::fclose(f);
  describeFlash();
  g_image.resize(kImageSize);
  for (std::uint32_t i = 0; i < kImageSize; ++i)
    g_image[i] = static_cast<std::uint8_t>(i * 2654435761u >> 24);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  platform::ScriptedRs232 port;
  port.reply(std::vector<std::uint8_t>(data + 2, data + size));
  dumper::programSettings() = {&port, fuzzClock, {}};
  const std::uint8_t options = data[1];
  switch (data[0] % 4) {
    case 0:
      runWrite(options, port);
      break;
    case 1:
      runDump(options);
      break;
    case 2:
      runErase(options);
      break;
    default:
      runCommands(options, port);
      break;
  }
  // Whatever happened, the flow closed its port.
  require(!port.isOpen());
  dumper::programSettings() = {};
  return 0;
}
