#include "engines/dumper/dumper.h"

#include <cstdio>
#include <string>

#include "dwl/dwl11command.h"
#include "dwl/dwl12pclib.h"
#include "dwl/dwl1boot.h"
#include "dwl/dwl_job.h"
#include "platform/append_file.h"
#include "platform/rs232.h"

namespace dumper {

namespace {

constexpr char kDumpFile[] = "dump.txt";
constexpr std::uint8_t kEraseCodeSectors = 0xE4;
constexpr std::uint8_t kEraseAck = 0xC5;
constexpr std::uint8_t kEraseDone = 0xF6;

// Blocks are read into the library's serial buffer after its first 20 bytes.
constexpr std::size_t kBlockOffsetInBuffer = 20;
static_assert(dwl::kBufferSLSize >= kBlockOffsetInBuffer + kBlockSize);

// A reply byte as the protocol sees it: a time-out reads as 0x9D.
std::uint8_t readByte(int port) {
  return static_cast<std::uint8_t>(dwl::JobPort()->ComRdByte(port));
}

void keepFirst(std::int32_t* first, std::int32_t code) {
  if (*first == 0) *first = code;
}

}  // namespace

DumpPlan planForSectors(int first, int last, const std::string& output) {
  DumpPlan plan;
  plan.offset = DumperSectorMap::offset(first);
  plan.length = blockCount(first, last) * kBlockSize;
  plan.firstSector = first;
  plan.lastSector = last;
  plan.output = output;
  return plan;
}

dwl::DownloadResult dumpRange(const DumperContext& ctx, const DumpPlan& plan) {
  if (plan.firstSector >= 0 && !validRange(plan.firstSector, plan.lastSector))
    return {dwl::RESULT_DOWNLOAD_ERROR, 0};
  if (plan.length == 0 || plan.offset > kFlashBytes || plan.length > kFlashBytes - plan.offset) {
    dwl::noteReason("the range is off the flash");
    return {dwl::RESULT_DOWNLOAD_ERROR, 0};
  }

  platform::AppendFile file;
  std::string why;
  if (!file.open(plan.output, &why)) {
    dwl::noteFile(plan.output, why);
    return {dwl::RESULT_LIB_PC, kDumpFileError};
  }

  dwl::JobState& job = dwl::boundJob();
  std::uint8_t* const block = job.v_BufferSL + kBlockOffsetInBuffer;
  const std::uint32_t blocks = (plan.length + kBlockSize - 1) / kBlockSize;
  std::uint32_t address = dwl::FlashBase + plan.offset;
  int sector = plan.firstSector;
  if (sector >= 0)
    dwl::noteSector(static_cast<std::uint32_t>(sector), DumperSectorMap::address(sector),
                    DumperSectorMap::size(sector));
  for (std::uint32_t i = 0; i < blocks; ++i) {
    // Between two blocks: the file keeps whole blocks only.
    if (dwl::cancelled()) return dwl::kCancelledResult;
    const std::uint32_t left = plan.offset + plan.length - (address - dwl::FlashBase);
    const std::uint32_t n = left < kBlockSize ? left : kBlockSize;
    if (sector < 0) dwl::noteSector(dwl::kNoSector, address, n);
    const dwl::ResultCode rc = dwl::dwl11_6ReadCommand(address, n, block, ctx.ComPort);
    if (rc != dwl::kOk)
      return dwl::cancelled() ? dwl::kCancelledResult
                              : dwl::DownloadResult{dwl::RESULT_COMMAND, rc};
    if (!file.append(block, n, &why)) {
      dwl::noteFile(plan.output, why);
      return {dwl::RESULT_LIB_PC, kDumpFileError};
    }
    dwl::reportBytes(n, address);
    job.SoftPourcent = static_cast<int>(static_cast<unsigned>(100.0 * (i + 1) / blocks));
    address += n;
    if (sector >= 0 &&
        address == DumperSectorMap::address(sector) + DumperSectorMap::size(sector)) {
      dwl::reportSector(static_cast<std::uint32_t>(sector), DumperSectorMap::address(sector),
                        DumperSectorMap::size(sector), dwl::SectorState::Read);
      if (sector < plan.lastSector) {
        ++sector;
        dwl::noteSector(static_cast<std::uint32_t>(sector), DumperSectorMap::address(sector),
                        DumperSectorMap::size(sector));
      }
    }
  }
  job.inSector = false;
  return {dwl::RESULT_SUCCESS, 0};
}

dwl::DownloadResult dump_flash(DumperContext ctx) {
  if (!validRange(ctx.DumpFirstSector, ctx.DumpLastSector)) return {dwl::RESULT_DOWNLOAD_ERROR, 0};
  return dumpRange(ctx, planForSectors(ctx.DumpFirstSector, ctx.DumpLastSector, kDumpFile));
}

dwl::DownloadResult dwl3_1DownloadSoftware(DumperContext ctx) {
  return dump_flash(ctx);
}

dwl::DownloadResult dumpSequence(const DumperContext& ctx, const DumpPlan& plan) {
  dwl::reportStage({dwl::Stage::Speed, 0, 0, {}, 0});
  dwl::ResultCode rc = dwl::dwl11_8SetGPIO(ctx);
  if (rc != dwl::kOk) return {dwl::RESULT_COMMAND, rc};
  rc = dwl::dwl11_0SetSpeedAndPMU(ctx);
  if (rc != dwl::kOk) return {dwl::RESULT_COMMAND, rc};
  // The dump is the only download type the dumper knows.
  if (ctx.DownloadType != 0) return {dwl::RESULT_DOWNLOAD_ERROR, 0};
  dwl::reportStage({dwl::Stage::Dump, 0, 0, describePlan(plan), plan.length});
  dwl::DownloadResult result = dumpRange(ctx, plan);
  if (result.Family == dwl::RESULT_SUCCESS) {
    dwl::reportStage({dwl::Stage::SwitchOff, 0, 0, {}, 0});
    rc = dwl::dwl11_7SwitchOffCommand(ctx.ComPort);
    if (rc != dwl::kOk) result = {dwl::RESULT_COMMAND, rc};
  }
  return result;
}

dwl::DownloadResult dwl3_0Generic5087(DumperContext ctx) {
  return dumpSequence(ctx, planForSectors(ctx.DumpFirstSector, ctx.DumpLastSector, kDumpFile));
}

std::string describePlan(const DumpPlan& plan) {
  char text[96];
  if (plan.firstSector >= 0)
    std::snprintf(text, sizeof text, "sectors %d..%d", plan.firstSector, plan.lastSector);
  else
    std::snprintf(text, sizeof text, "0x%06X..0x%06X", plan.offset, plan.offset + plan.length - 1);
  return text;
}

SectorGeometry mapGeometry() {
  return {[](int s) { return DumperSectorMap::offset(s); },
          [](int s) { return DumperSectorMap::size(s); }, kLastSector + 1};
}

dwl::DownloadResult flash_erase(DumperContext ctx) {
  return eraseSectors(ctx, mapGeometry());
}

dwl::DownloadResult eraseSectors(const DumperContext& ctx, const SectorGeometry& geometry,
                                 bool failedSectorFails) {
  const int first = ctx.EraseFirstSector;
  const int last = ctx.EraseLastSector;
  if (first < 0 || first > last || last >= geometry.count) return {dwl::RESULT_DOWNLOAD_ERROR, 0};

  dwl::reportStage({dwl::Stage::Speed, 0, 0, {}, 0});
  dwl::ResultCode rc = dwl::dwl11_8SetGPIO(ctx);
  if (rc != dwl::kOk) return {dwl::RESULT_COMMAND, rc};
  rc = dwl::dwl11_0SetSpeedAndPMU(ctx);
  if (rc != dwl::kOk) return {dwl::RESULT_COMMAND, rc};

  std::uint64_t bytes = 0;
  for (int sector = first; sector <= last; ++sector) bytes += geometry.size(sector);
  dwl::reportStage({dwl::Stage::Erase, 0, 0,
                    "sectors " + std::to_string(first) + ".." + std::to_string(last), bytes});

  dwl::JobState* const job = dwl::currentJob();
  const int port = ctx.ComPort;
  std::int32_t firstFailure = 0;
  // The cause of the first failure, kept while the walk goes on.
  dwl::FailureReason firstReason;
  dwl::SectorEvent firstSector;
  std::uint32_t address = dwl::FlashBase + geometry.offset(first);
  for (int sector = first; sector <= last; ++sector) {
    if (dwl::cancelled()) return dwl::kCancelledResult;
    const std::uint32_t size = geometry.size(sector);
    const std::uint32_t number = static_cast<std::uint32_t>(sector);
    dwl::noteSector(number, address, size);
    if (job) job->reason = {};  // a check that fails notes its own
    const std::int32_t before = firstFailure;
    std::string failures;  // this sector's failed checks, as the list of failed sectors says them
    const auto failed = [&](const char* box, std::int32_t code) {
      dwl::reportCheckFailed(box);
      keepFirst(&firstFailure, code);
      if (!failures.empty()) failures += "; ";
      failures += box;
      if (job && job->reason.kind != dwl::FailureKind::None)
        failures += ": " + dwl::reasonText(job->reason);
    };
    rc = dwl::dwl11_4EraseFlash(kEraseCodeSectors, address, size, 1, port);
    if (dwl::cancelled()) return dwl::kCancelledResult;
    // No answer at all to the command: the handset is gone, and walking on would cost two more
    // time-outs per sector for nothing (hours for the whole flash), so the walk stops here.
    if (rc != dwl::kOk && dwl::lastReadSilent()) {
      dwl::reportSector(number, address, size, dwl::SectorState::Failed);
      return {dwl::RESULT_DOWNLOAD_TIMEOUT, 0};
    }
    if (rc != dwl::kOk) failed(kErasingErrorText, kEraseRefused);
    if (!dwl::expectByte(readByte(port), kEraseAck, "erase acknowledge")) {
      if (dwl::cancelled()) return dwl::kCancelledResult;
      failed(kAckErrorText, kEraseNoAck);
    }
    const std::uint8_t outcome = readByte(port);
    if (outcome != kEraseDone) {
      dwl::expectByte(outcome, kEraseDone, "erase outcome");
      if (dwl::cancelled()) return dwl::kCancelledResult;
      failed(kClearErrorText, dwl::eraseOutcomeCode(outcome));
    }
    if (failures.empty()) {
      dwl::reportSector(number, address, size, dwl::SectorState::Erased);
      dwl::reportBytes(size, address);
    } else {
      dwl::reportSector(number, address, size, dwl::SectorState::Failed);
      if (job) job->failedSectors.push_back({number, address, failures});
      if (before == 0 && job) {
        firstReason = job->reason;
        firstSector = job->sector;
      }
    }
    address += size;
  }

  if (firstFailure != 0 && failedSectorFails) {
    if (job && firstReason.kind != dwl::FailureKind::None) {
      job->reason = firstReason;
      job->sector = firstSector;
      job->inSector = true;
    }
    return {dwl::RESULT_COMMAND, firstFailure};
  }
  dwl::reportStage({dwl::Stage::SwitchOff, 0, 0, {}, 0});
  rc = dwl::dwl11_7SwitchOffCommand(port);
  if (rc != dwl::kOk) return {dwl::RESULT_COMMAND, rc};
  return {dwl::RESULT_SUCCESS, 0};
}

}  // namespace dumper
