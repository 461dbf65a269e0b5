// Writing one image into the handset flash, sector by sector, through the running bootstrap.
#pragma once

#include <cstdint>
#include <ctime>

#include "dwl/dwl_context.h"
#include "dwl/dwl_result.h"

namespace dwl {

// Attempts a sector may take, and failed attempts an image may have, before the transfer stops.
inline constexpr int kSectorAttempts = 3;
inline constexpr int kImageFailures = 5;
// Seconds without a reply after a sector's data before the handset counts as gone.
inline constexpr double kReplyTimeoutSeconds = 10;
// Data goes out in writes of this size, each drained before the next.
inline constexpr std::uint32_t kWriteBlock = 8192;
// How long one blocking wait lasts between two event pumps.
inline constexpr int kPollMs = 5;

// Reply bytes of the sector write.
inline constexpr std::uint8_t kSectorGood = 0xCC;
inline constexpr std::uint8_t kSectorFailed = 0xCD;

// Writes length bytes of data at the handset address, which must be the start of a sector of the
// identified flash. Uses ComPort, FlashManufacturer and FlashDevice of the record, and keeps its
// counters (mv_ResultDownload, mv_SoftPourcent, mv_TimeOut, mv_TimeOutEnd, mv_Qlength) in the
// bound job.
DownloadResult dwl11_54Download(SharedContext ctx, std::uint32_t length, const std::uint8_t* data,
                                std::uint32_t address);

}  // namespace dwl
