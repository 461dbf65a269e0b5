#include "engines/downloader/dwl3spm87.h"

#include <cstdio>
#include <vector>

#include "dwl/dwl10fla.h"
#include "dwl/dwl11command.h"
#include "dwl/dwl11transfer.h"
#include "dwl/dwl52display.h"
#include "dwl/dwl_job.h"

namespace downloader {

using dwl::DownloadResult;

namespace {

void showElapsed(const DownloadContext& ctx) {
  dwl::reportElapsed(static_cast<std::uint32_t>(ctx.EndTime - ctx.StartTime));
}

// Writes one slot and, when it went well, shows the time since Start.
DownloadResult writeSlot(DownloadContext& ctx, std::uint32_t length, const std::uint8_t* data,
                         std::uint32_t address) {
  const DownloadResult result = dwl::dwl11_54Download(ctx, length, data, address);
  if (result.Family != dwl::RESULT_SUCCESS) return result;
  ctx.EndTime = static_cast<std::time_t>(dwl::now());
  showElapsed(ctx);
  return {dwl::RESULT_SUCCESS, 0};
}

// GPIO, speed and power management, then the flash description of the identified flash.
DownloadResult prepare(const DownloadContext& ctx) {
  dwl::reportElapsed(std::nullopt);
  dwl::reportStage({dwl::Stage::Speed, 0, 0, {}, 0});
  dwl::ResultCode rc = dwl::dwl11_8SetGPIO(ctx);
  if (rc != dwl::kOk) return {dwl::RESULT_COMMAND, rc};
  rc = dwl::dwl11_0SetSpeedAndPMU(ctx);
  if (rc != dwl::kOk) return {dwl::RESULT_COMMAND, rc};

  std::uint32_t count = 0;
  rc = dwl::dwl10_1GetNumberOfSector(ctx.FlashManufacturer, ctx.FlashDevice, &count);
  if (rc != dwl::kOk) return {dwl::RESULT_FLASH_FILE, rc};
  std::uint32_t address = dwl::FlashBase;
  for (std::uint32_t i = 0; i < count; ++i) {
    std::uint32_t size = 0;
    rc = dwl::dwl10_0GetSectorSize(ctx.FlashManufacturer, ctx.FlashDevice, i, &size);
    if (rc != dwl::kOk) return {dwl::RESULT_FLASH_FILE, rc};
    dwl::reportPlanned(i, address, size, dwl::SectorPlan::Listed);
    address += size;
  }
  dwl::logComment("Check the compatibility");
  return {dwl::RESULT_SUCCESS, 0};
}

// The images of one phase, in order: log line, writer, and what the verify needs.
struct Step {
  bool loaded;
  const char* comment;
  DownloadResult (*write)(DownloadContext);
  dwl::Slot slot;
  std::uint32_t length;
  const std::uint8_t* data;
};

const char* pathOf(const DownloadContext& ctx, dwl::Slot slot) {
  switch (slot) {
    case dwl::Slot::Bin1:
      return ctx.Bin1Path;
    case dwl::Slot::Bin2:
      return ctx.Bin2Path;
    case dwl::Slot::Ogm1:
      return ctx.Ogm1Path;
    case dwl::Slot::Ogm2:
      return ctx.Ogm2Path;
  }
  return "";
}

// Adds the image's bytes the handset confirmed to the job's count. An odd ogm image is sent with
// one spare byte that is not the image's own.
void imageEnded(dwl::JobState& job, dwl::Slot slot, std::uint32_t storedLength) {
  const std::uint32_t own = job.imageLengths[static_cast<int>(slot)];
  const std::uint32_t length = own ? own : storedLength;
  job.imageBytes += job.confirmed < length ? job.confirmed : length;
  job.confirmed = 0;
}

// Images written so far and to write in the whole sequence, for "image k of n".
struct Count {
  int done = 0;
  int total = 0;
};

// Runs the steps whose slot is loaded; the first failure stops the phase.
DownloadResult runPhase(const DownloadContext& ctx, const Step* steps, int n,
                        std::vector<WrittenImage>& written, Count& count) {
  DownloadResult result{dwl::RESULT_SUCCESS, 0};
  for (int k = 0; k < n; ++k) {
    const Step& s = steps[k];
    if (!s.loaded) continue;
    if (dwl::cancelled()) return dwl::kCancelledResult;
    dwl::logComment(s.comment);
    std::uint32_t address = 0;
    if (!slotAddress(s.slot, ctx.Model, &address)) address = 0;
    dwl::reportStage({dwl::Stage::Image, ++count.done, count.total,
                      std::string(slotName(s.slot)) + " " + pathOf(ctx, s.slot), s.length});
    if (dwl::JobState* job = dwl::currentJob()) job->confirmed = 0;
    result = s.write(ctx);
    if (dwl::JobState* job = dwl::currentJob()) imageEnded(*job, s.slot, s.length);
    if (result.Family != dwl::RESULT_SUCCESS) return result;
    written.push_back({s.slot, address, s.data, s.length});
  }
  return result;
}

// The ogm slots, logged with the sequence's own comments. A download type other than 0 writes
// nothing.
DownloadResult ogmPhase(const DownloadContext& ctx, const char* ogm1Comment,
                        const char* ogm2Comment, std::vector<WrittenImage>& written, Count& count) {
  if (ctx.DownloadType != 0) return {dwl::RESULT_DOWNLOAD_ERROR, 0};
  const Step ogms[] = {
      {ctx.Ogm1Loaded == 1, ogm1Comment, dwl3_1DownloadSoftware_ogm, dwl::Slot::Ogm1,
       ctx.Ogm1Length, ctx.Ogm1Data},
      {ctx.Ogm2Loaded == 1, ogm2Comment, dwl3_1DownloadSoftware_ogm_2, dwl::Slot::Ogm2,
       ctx.Ogm2Length, ctx.Ogm2Data},
  };
  return runPhase(ctx, ogms, 2, written, count);
}

int loadedOgms(const DownloadContext& ctx) {
  return (ctx.Ogm1Loaded == 1) + (ctx.Ogm2Loaded == 1);
}

// Verify, elapsed time, "The End" and the switch-off.
DownloadResult finish(DownloadContext& ctx, DownloadResult result,
                      const std::vector<WrittenImage>& written, const VerifyHook& verify) {
  if (result.Family == dwl::RESULT_SUCCESS && verify) {
    const DownloadResult checked = verify(ctx, written);
    if (checked.Family != dwl::RESULT_SUCCESS) return checked;
  }
  ctx.EndTime = static_cast<std::time_t>(dwl::now());
  showElapsed(ctx);
  dwl::logComment("The End");
  if (result.Family == dwl::RESULT_SUCCESS) {
    dwl::reportStage({dwl::Stage::SwitchOff, 0, 0, {}, 0});
    const dwl::ResultCode rc = dwl::dwl11_7SwitchOffCommand(ctx.ComPort);
    if (rc != dwl::kOk) result = {dwl::RESULT_COMMAND, rc};
  }
  return result;
}

}  // namespace

bool isOgm(dwl::Slot slot) {
  return slot == dwl::Slot::Ogm1 || slot == dwl::Slot::Ogm2;
}

std::uint64_t sentLength(dwl::Slot slot, std::uint64_t length) {
  return length + (isOgm(slot) ? length % 2 : 0);
}

const char* slotName(dwl::Slot slot) {
  switch (slot) {
    case dwl::Slot::Bin1:
      return "bin1";
    case dwl::Slot::Bin2:
      return "bin2";
    case dwl::Slot::Ogm1:
      return "ogm1";
    case dwl::Slot::Ogm2:
      return "ogm2";
  }
  return "image";
}

bool slotAddress(dwl::Slot slot, std::int32_t model, std::uint32_t* address) {
  switch (slot) {
    case dwl::Slot::Bin1:
      *address = kBin1Address;
      return true;
    case dwl::Slot::Bin2:
      *address = kBin2Address;
      return true;
    case dwl::Slot::Ogm1:
      return ogm1Address(model, address);
    case dwl::Slot::Ogm2:
      *address = kOgm2Address;
      return true;
  }
  return false;
}

bool ogm1Address(std::int32_t model, std::uint32_t* address) {
  static constexpr std::uint32_t kOffsets[] = {0x00700000, 0x00B60000, 0x00BB0000};
  if (model < 0 || model > 2) return false;
  *address = dwl::FlashBase + kOffsets[model];
  return true;
}

std::string elapsedText(std::time_t start, std::time_t end) {
  const std::uint32_t seconds = static_cast<std::uint32_t>(end - start);
  char buf[40];
  std::snprintf(buf, sizeof buf, "%u min %u sec", seconds / 60, seconds % 60);
  return buf;
}

DownloadResult dwl3_1DownloadSoftware(DownloadContext ctx) {
  return writeSlot(ctx, ctx.Bin1Length, ctx.Bin1Data, kBin1Address);
}

DownloadResult dwl3_1DownloadSoftware_2(DownloadContext ctx) {
  return writeSlot(ctx, ctx.Bin2Length, ctx.Bin2Data, kBin2Address);
}

DownloadResult dwl3_1DownloadSoftware_ogm(DownloadContext ctx) {
  std::uint32_t address = 0;
  // A model without an Ogm1 place must not fall back to the flash base: that is Bin1's place.
  if (!ogm1Address(ctx.Model, &address)) {
    dwl::noteReason("model " + std::to_string(ctx.Model) + " has no place for an Ogm1 image");
    return {dwl::RESULT_FLASH_FILE, 18};
  }
  return writeSlot(ctx, ctx.Ogm1Length, ctx.Ogm1Data, address);
}

DownloadResult dwl3_1DownloadSoftware_ogm_2(DownloadContext ctx) {
  return writeSlot(ctx, ctx.Ogm2Length, ctx.Ogm2Data, kOgm2Address);
}

DownloadResult dwl3_0Generic5087(DownloadContext ctx, const VerifyHook& verify) {
  DownloadResult result = prepare(ctx);
  if (result.Family != dwl::RESULT_SUCCESS) return result;
  const DownloadContext& live = ctx;
  std::vector<WrittenImage> written;
  Count count;
  if (ctx.DownloadType == 0) {
    count.total = (live.Bin1Loaded == 1) + (live.Bin2Loaded == 1);
    if (live.Mode == 0) count.total += loadedOgms(live);
  }

  if (ctx.DownloadType != 0) {
    result = {dwl::RESULT_DOWNLOAD_ERROR, 0};
  } else {
    const Step bins[] = {
        {live.Bin1Loaded == 1, "Download the Bin1 File", dwl3_1DownloadSoftware, dwl::Slot::Bin1,
         ctx.Bin1Length, ctx.Bin1Data},
        {live.Bin2Loaded == 1, "Download the Bin2 File", dwl3_1DownloadSoftware_2, dwl::Slot::Bin2,
         ctx.Bin2Length, ctx.Bin2Data},
    };
    result = runPhase(ctx, bins, 2, written, count);
    if (result.Family != dwl::RESULT_SUCCESS) return result;
  }

  if (live.Mode == 0) {
    result = ogmPhase(ctx, "Download ogm1 sector by sector", "Download ogm2 sector by sector",
                      written, count);
    if (ctx.DownloadType == 0 && result.Family != dwl::RESULT_SUCCESS) return result;
  }
  return finish(ctx, result, written, verify);
}

DownloadResult dwl3_0Generic5087_ogm(DownloadContext ctx, const VerifyHook& verify) {
  DownloadResult result = prepare(ctx);
  if (result.Family != dwl::RESULT_SUCCESS) return result;
  const DownloadContext& live = ctx;
  std::vector<WrittenImage> written;
  Count count;
  if (ctx.DownloadType == 0) count.total = loadedOgms(live);
  result = ogmPhase(ctx, "Download the Ogm1 File", "Download the Ogm2 File", written, count);
  if (ctx.DownloadType == 0 && result.Family != dwl::RESULT_SUCCESS) return result;
  return finish(ctx, result, written, verify);
}

namespace {
// One read command fetches this much of an image during a read-back.
constexpr std::uint32_t kVerifyBlock = 8192;
}  // namespace

dwl::DownloadResult readBack(int port, const std::vector<WrittenImage>& images,
                             const std::array<std::string, 4>& files) {
  std::vector<std::uint8_t> block(kVerifyBlock);
  int k = 0;
  for (const WrittenImage& image : images) {
    dwl::reportStage({dwl::Stage::Verify, ++k, static_cast<int>(images.size()),
                      slotName(image.slot), image.length});
    for (std::uint32_t at = 0; at < image.length; at += kVerifyBlock) {
      if (dwl::cancelled()) return dwl::kCancelledResult;
      const std::uint32_t n = image.length - at < kVerifyBlock ? image.length - at : kVerifyBlock;
      dwl::noteSector(dwl::kNoSector, image.address + at, n);
      const dwl::ResultCode rc = dwl::dwl11_6ReadCommand(image.address + at, n, block.data(), port);
      if (rc != dwl::kOk) return {dwl::RESULT_COMMAND, rc};
      for (std::uint32_t i = 0; i < n; ++i) {
        if (block[i] == image.data[at + i]) continue;
        const std::uint32_t address = image.address + at + i;
        char text[160];
        std::snprintf(text, sizeof text,
                      "differs at address 0x%08X (offset %u): flash 0x%02X, image 0x%02X", address,
                      at + i, block[i], image.data[at + i]);
        std::string object = std::string(slotName(image.slot)) + " image";
        if (const std::string& file = files[static_cast<std::size_t>(image.slot)]; !file.empty())
          object += " " + file;
        dwl::noteFile(object, text);
        if (dwl::JobState* job = dwl::currentJob()) job->inSector = false;
        return {dwl::RESULT_VERIFY, static_cast<std::int32_t>(address)};
      }
      dwl::reportBytes(n);
    }
  }
  if (dwl::JobState* job = dwl::currentJob()) job->inSector = false;
  return {dwl::RESULT_SUCCESS, 0};
}

}  // namespace downloader
