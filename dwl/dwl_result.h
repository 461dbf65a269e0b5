// Result codes of single operations and result records of whole operations.
#pragma once

#include <cstdint>

namespace dwl {

// 1 is success; failures are small positive numbers per layer; a port that cannot be opened
// gives a negative value.
using ResultCode = std::int32_t;
inline constexpr ResultCode kOk = 1;

// Families: which layer a failed operation stopped in.
inline constexpr std::int32_t RESULT_SUCCESS = 0;
inline constexpr std::int32_t RESULT_DOWNLOAD_ERROR = 1;
inline constexpr std::int32_t RESULT_FLASH_FILE = 2;
inline constexpr std::int32_t RESULT_CONFIG_FILE = 3;
inline constexpr std::int32_t RESULT_LIB_PC = 5;
inline constexpr std::int32_t RESULT_BOOT = 6;
inline constexpr std::int32_t RESULT_COMMAND = 8;
inline constexpr std::int32_t RESULT_SECTOR_START_ACK = 9;
inline constexpr std::int32_t RESULT_SECTOR_ERROR = 10;
inline constexpr std::int32_t RESULT_SECTOR_ACK = 11;
inline constexpr std::int32_t RESULT_SECTOR_CHECKSUM = 12;
inline constexpr std::int32_t RESULT_DOWNLOAD_TIMEOUT = 13;
// The images read back after a download differ from what was sent. No window of its own: the
// command line reports it.
inline constexpr std::int32_t RESULT_VERIFY = 20;
// The user stopped the job (a Cancel button, Ctrl-C). No window of the result table: the front
// ends show "Cancelled by the user".
inline constexpr std::int32_t RESULT_CANCELLED = 14;

struct DownloadResult {
  std::int32_t Family = RESULT_SUCCESS;
  std::int32_t Code = 0;
  friend bool operator==(const DownloadResult&, const DownloadResult&) = default;
};

// Handset address of flash offset 0.
inline constexpr std::uint32_t FlashBase = 0x02000000;

// The time-out byte: the low 8 bits of a read that timed out.
inline constexpr std::uint8_t kTimeoutByte = 0x9D;

}  // namespace dwl
