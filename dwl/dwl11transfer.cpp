#include "dwl/dwl11transfer.h"

#include <cstdio>
#include <string>

#include "dwl/dwl10fla.h"
#include "dwl/dwl11command.h"
#include "dwl/dwl_job.h"
#include "platform/rs232.h"

namespace dwl {

namespace {

std::uint32_t byteSum(const std::uint8_t* data, std::uint32_t count) {
  std::uint32_t sum = 0;
  for (std::uint32_t i = 0; i < count; ++i) sum += data[i];
  return sum;
}

DownloadResult timedOut(JobState& job) {
  job.mv_ResultDownload.Family = RESULT_DOWNLOAD_TIMEOUT;
  job.mv_ResultDownload.Code = 0;
  return job.mv_ResultDownload;
}

// A sector whose data could not be sent or whose reply never came.
DownloadResult stopped(JobState& job, std::uint32_t sector, std::uint32_t size,
                       std::uint32_t address) {
  if (cancelled()) return kCancelledResult;
  reportSector(sector, address, size, SectorState::Failed);
  return timedOut(job);
}

// Waits until the bytes written have left the PC, keeping the window alive. A queue that does not
// drain for longer than the reply time-out means the line is gone.
bool drainOutput(platform::Rs232& com, int port) {
  if (com.GetOutQLen(port) <= 0) return true;
  const double start = now();
  do {
    if (cancelled()) return false;
    if (now() - start > kReplyTimeoutSeconds) {
      noteReason("the port did not send its data within 10 s");
      return false;
    }
    com.WaitOutputDrained(port, kPollMs);
  } while (com.GetOutQLen(port) > 0);
  return true;
}

// Waits for the first reply byte; false after more than the reply time-out.
bool waitReply(JobState& job, platform::Rs232& com, int port) {
  job.mv_Qlength = 0;
  job.mv_TimeOut = now();
  while ((job.mv_Qlength = com.GetInQLen(port)) <= 0) {
    if (cancelled()) return false;
    job.mv_TimeOutEnd = now();
    if (job.mv_TimeOutEnd - job.mv_TimeOut > kReplyTimeoutSeconds || com.Vanished(port)) {
      noteSilent();
      return false;
    }
    com.WaitInput(port, kPollMs);
  }
  return true;
}

// Reports every sector the image will occupy as queued. Purely informative: a size that cannot be
// had stops the marking, and the transfer reports it when it reaches that sector.
void markWaiting(const SharedContext& ctx, const std::uint32_t* list, std::uint32_t address) {
  for (std::uint32_t i = 0; i < list[0]; ++i) {
    std::uint32_t size = 0;
    if (dwl10_0GetSectorSize(ctx.FlashManufacturer, ctx.FlashDevice, list[2 + i], &size) != kOk)
      return;
    reportPlanned(list[2 + i], address, size, SectorPlan::Queued);
    address += size;
  }
}

}  // namespace

DownloadResult dwl11_54Download(SharedContext ctx, std::uint32_t length, const std::uint8_t* data,
                                std::uint32_t address) {
  const std::uint8_t maker = ctx.FlashManufacturer;
  const std::uint8_t device = ctx.FlashDevice;
  const int port = ctx.ComPort;
  const JobPort line;
  platform::Rs232& com = *line;
  JobState& job = boundJob();

  // The sectors are counted from the start address on, so it has to be a sector boundary; a
  // misplaced image would otherwise be written across the wrong sectors.
  const std::uint32_t offset = address - FlashBase;
  std::uint32_t first = 0;
  ResultCode rc = dwl10_2GetSectorNumberWithStartAddr_ogm(maker, device, offset, &first);
  if (rc != kOk) return {RESULT_FLASH_FILE, rc};

  std::uint32_t list[kSectorListWords] = {};
  rc = dwl10_3GetSectorList(maker, device, offset, length, list);
  if (rc != kOk) return {RESULT_FLASH_FILE, rc};
  const std::uint32_t count = list[0];
  markWaiting(ctx, list, address);

  std::uint32_t position = 0;
  std::uint32_t announced = 0;
  int sectorRetries = 0;
  int totalRetries = 0;
  std::string why;
  std::uint32_t i = 0;
  while (i < count) {
    const std::uint32_t sector = list[2 + i];
    std::uint32_t size = 0;
    rc = dwl10_0GetSectorSize(maker, device, sector, &size);
    if (rc != kOk) return {RESULT_FLASH_FILE, rc};

    const std::uint32_t byteCount = size < length - announced ? size : length - announced;
    announced += byteCount;
    // Between two sectors: a cancel leaves the handset with whole sectors only.
    if (cancelled()) return kCancelledResult;
    reportSector(sector, address, size, SectorState::Writing);
    dwl11_3DownloadSectorCommand(address, size, byteCount, port);

    std::uint32_t checksum = 0;
    for (std::uint32_t b = 0; b < byteCount / kWriteBlock; ++b) {
      com.ComWrt(port, data + position, static_cast<int>(kWriteBlock));
      checksum += byteSum(data + position, kWriteBlock);
      position += kWriteBlock;
      if (!drainOutput(com, port)) return stopped(job, sector, size, address);
    }
    const std::uint32_t tail = byteCount % kWriteBlock;
    com.ComWrt(port, data + position, static_cast<int>(tail));
    checksum += byteSum(data + position, tail);
    position += tail;

    if (!waitReply(job, com, port)) return stopped(job, sector, size, address);

    // A read that times out gives the time-out byte, as everywhere on this line.
    const std::uint8_t reply = static_cast<std::uint8_t>(com.ComRdByte(port));
    DownloadResult failure;
    if (reply == kSectorGood) {
      std::uint8_t sum[4] = {};
      // A short checksum cannot confirm the sector, whatever the missing bytes would have been.
      const int got = com.ComRd(port, sum, 4);
      const std::uint32_t received =
          static_cast<std::uint32_t>(sum[0]) | static_cast<std::uint32_t>(sum[1]) << 8 |
          static_cast<std::uint32_t>(sum[2]) << 16 | static_cast<std::uint32_t>(sum[3]) << 24;
      if (got == 4 && received == checksum) {
        job.mv_SoftPourcent =
            static_cast<int>(static_cast<unsigned>(100.0 * static_cast<double>(position) / length));
        job.confirmed += byteCount;
        reportSector(sector, address, size, SectorState::Written);
        reportBytes(byteCount, address);
        address += size;
        sectorRetries = 0;
        ++i;
        continue;
      }
      failure = {RESULT_SECTOR_CHECKSUM, kSectorGood};
      char text[120];
      if (got == 4)
        std::snprintf(text, sizeof text, "the handset's sum 0x%08X differs from the data's 0x%08X",
                      received, checksum);
      else
        std::snprintf(text, sizeof text, "the handset sent %d of the 4 bytes of its sum",
                      got < 0 ? 0 : got);
      why = text;
    } else if (reply == kSectorFailed) {
      const std::uint8_t error = static_cast<std::uint8_t>(com.ComRdByte(port));
      failure = {RESULT_SECTOR_ERROR, error};
      char text[80];
      std::snprintf(text, sizeof text, "the handset reported error 0x%02X for the sector", error);
      why = text;
    } else {
      reportSector(sector, address, size, SectorState::Failed);
      expectByte(reply, kSectorGood, "sector write reply");
      return {RESULT_SECTOR_ACK, reply};
    }

    ++sectorRetries;
    ++totalRetries;
    if (sectorRetries >= kSectorAttempts || totalRetries >= kImageFailures) {
      reportSector(sector, address, size, SectorState::Failed);
      noteReason(why + " (after " + std::to_string(sectorRetries) + " attempts)");
      return failure;
    }
    reportSector(sector, address, size, SectorState::Resent);
    // Send the same sector again, at the same address.
    position -= byteCount;
    announced -= byteCount;
  }
  return {RESULT_SUCCESS, 0};
}

}  // namespace dwl
