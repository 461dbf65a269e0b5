// The downloader's record: every setting, identified-handset value and loaded image of one
// download, and the globals the engine and the display share beside it.
#pragma once

#include <cstdint>
#include <ctime>

#include "dwl/dwl11transfer.h"
#include "dwl/dwl_context.h"
#include "dwl/dwl_result.h"

namespace downloader {

inline constexpr int kPathSize = 260;

struct DownloadContext : dwl::SharedContext {
  std::int32_t Model = 0;
  std::int32_t Mode = 1;
  std::time_t StartTime = 0;
  std::time_t EndTime = 0;
  char Bin1Path[kPathSize] = {};
  char Bin2Path[kPathSize] = {};
  char Ogm1Path[kPathSize] = {};
  char Ogm2Path[kPathSize] = {};
  std::int32_t Bin1Handle = 0, Bin2Handle = 0;
  std::uint8_t* Bin1Data = nullptr;
  std::uint8_t* Bin2Data = nullptr;
  std::uint32_t Bin1Length = 0, Bin2Length = 0;
  std::int32_t Ogm1Handle = 0, Ogm2Handle = 0;
  std::uint8_t* Ogm1Data = nullptr;
  std::uint32_t Ogm1Length = 0;
  std::uint8_t* Ogm2Data = nullptr;
  std::uint32_t Ogm2Length = 0;
  std::uint8_t Bin1Loaded = 0, Bin2Loaded = 0, Ogm1Loaded = 0, Ogm2Loaded = 0;
};

// The one live record. Initial values: Mode 1, ComPort 4, Speed 3, ProductType 2.
extern DownloadContext sg_DownloadContext;

// Frees the four image buffers and sets their lengths to 0 (program end, tests).
void releaseImages(DownloadContext& ctx);

}  // namespace downloader
