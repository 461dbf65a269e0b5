// The result of one command on one port, as the exit status, standard error and JSON tell it.
#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "dwl/dwl_result.h"

namespace cli {

struct FlashInfo {
  bool identified = false;
  std::uint8_t manufacturer = 0;
  std::uint8_t device = 0;
  std::string name;  // "<manufacturer name> <device name>" from flash.txt, empty when unknown
};

struct Outcome {
  std::string port;
  dwl::DownloadResult result;
  // Why a port could not be opened, where a verify found a difference, ...: said after the
  // message. A verify failure carries the handset address of the first difference as its code.
  std::string detail;
  FlashInfo flash;
  std::uint64_t bytesWritten = 0;
  double seconds = 0;
  bool verified = false;
};

// The text of a result exactly as its window shows it; for the boot time-out, whose window has no
// text, a sentence of our own. Empty for success.
std::string outcomeMessage(const dwl::DownloadResult& result);

// 0 for success, the family for a failure a layer reported, 20 for a verify failure, 1 for
// anything else that failed.
int exitStatusOf(const dwl::DownloadResult& result);

nlohmann::json toJson(const Outcome& outcome);

// The JSON text of a value, on one line. Port names, paths and system messages are bytes that need
// not be UTF-8: an invalid sequence becomes U+FFFD rather than an exception that ends the program
// without a result.
std::string jsonText(const nlohmann::json& value);

// The lines standard error gets for a failed outcome (nothing for success).
std::string errorText(const Outcome& outcome);

}  // namespace cli
