// The downloader's settings file config.txt in the working directory: the CLA file, the port,
// the power-management option, the product type and the download type.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "dwl/dwl_result.h"
#include "engines/downloader/download_context.h"
#include "engines/downloader/dwl51loader.h"

namespace downloader {

// Configuration file codes (shown by the configuration error window).
inline constexpr dwl::ResultCode kConfNoFile = 2;
inline constexpr dwl::ResultCode kConfNoClaFile = 3;
inline constexpr dwl::ResultCode kConfTooLong = 4;  // a path or value that does not fit its field
inline constexpr dwl::ResultCode kConfComValue = 5;
inline constexpr dwl::ResultCode kConfComKey = 6;
inline constexpr dwl::ResultCode kConfPmuValue = 9;
inline constexpr dwl::ResultCode kConfPmuKey = 10;
inline constexpr dwl::ResultCode kConfProductValue = 11;
inline constexpr dwl::ResultCode kConfProductKey = 12;
inline constexpr dwl::ResultCode kConfDownloadValue = 13;
inline constexpr dwl::ResultCode kConfDownloadKey = 14;

// Longest numeric value text accepted (the old 20-character buffer and its terminator).
inline constexpr int kConfValueMax = 19;

// What a restore changes on the main panel besides the record. The program with panels passes
// its own; without them the restore only fills the record and loads the CLA file unseen.
struct ConfigPanelHooks {
  std::function<void(int port)> showPort;    // the port selector shows the restored port
  std::function<void()> enableAfterRestore;  // the Bin1 Load button and the project control
  // Loads slot Bin1 from the record's path (dwl51_0InitLoadFile) and shows what the load did.
  std::function<LoadOutcome(DownloadContext&)> loadClaFile;
};

// Reads config.txt into the record and loads the CLA file into slot Bin1; 1 or a configuration
// file code. Values are stored before they are checked, as the file always worked. Why the file
// could not be read goes to c.State.configFileFailure.
dwl::ResultCode dwl56_0RestoreConfig(DownloadContext& c, const ConfigPanelHooks& hooks = {});
// A config.txt is a few hundred bytes; a larger file than this is refused unread.
inline constexpr std::uint64_t kMaxConfigFileSize = 64 * 1024;

// Writes config.txt from the record; 1, or 2 when the file cannot be written (why: in
// c.State.configFileFailure). The old file stays untouched unless the new one was written
// completely.
dwl::ResultCode dwl56_1SaveConfig(DownloadContext& c);

}  // namespace downloader
