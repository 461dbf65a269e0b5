// The result of one command on one port, as the exit status, standard error and JSON tell it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "dwl/dwl_job.h"
#include "dwl/dwl_result.h"

namespace cli {

// Families of our own for the command line, beyond the result families: a command line that
// cannot be run as written (also the exit status), and a local file or folder of the command line
// itself that cannot be used (the -C folder, the trace).
inline constexpr std::int32_t kFamilyUsage = 64;
inline constexpr std::int32_t kFamilyLocalFile = 15;

struct FlashInfo {
  bool identified = false;
  std::uint8_t manufacturer = 0;
  std::uint8_t device = 0;
  std::string name;  // "<manufacturer name> <device name>" from flash.txt, empty when unknown
};

struct Outcome {
  std::string port;
  dwl::DownloadResult result;
  // The text of the result's window, or our sentence where it has none; empty for success.
  std::string message;
  // Why a port could not be opened, where a verify found a difference, ...: said after the
  // message. A verify failure carries the handset address of the first difference as its code.
  std::string detail;
  FlashInfo flash;
  // Image bytes the handset confirmed (write); bytes appended, whole blocks (dump).
  std::uint64_t bytesWritten = 0;
  // Sectors written (write) or erased (erase).
  std::vector<std::uint32_t> sectors;
  // Erase: the sectors the walk went past although a check failed.
  std::vector<dwl::FailedSector> failedSectors;
  double seconds = 0;
  bool verified = false;
};

// The text of a result exactly as its window shows it; for the results whose window has no text
// (the boot time-out) or that have no window, a sentence of our own. Empty for success.
std::string outcomeMessage(const dwl::DownloadResult& result);

// 0 for success, the family for a failure a layer reported, 20 for a verify failure, 1 for
// anything else that failed.
int exitStatusOf(const dwl::DownloadResult& result);

nlohmann::json toJson(const Outcome& outcome);
// JSON text for any bytes: invalid UTF-8 (a port or file name in another encoding) is replaced,
// never thrown on.
std::string jsonText(const nlohmann::json& value);

// The JSON text of a value, on one line. Port names, paths and system messages are bytes that need
// not be UTF-8: an invalid sequence becomes U+FFFD rather than an exception that ends the program
// without a result.
std::string jsonText(const nlohmann::json& value);

// The lines standard error gets for a failed outcome (nothing for success).
std::string errorText(const Outcome& outcome);

}  // namespace cli
