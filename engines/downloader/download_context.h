// The downloader's record: every setting, identified-handset value and loaded image of one
// download, and what the loaders and the configuration keep beside it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <string>

#include "dwl/dwl11transfer.h"
#include "dwl/dwl_context.h"
#include "dwl/dwl_result.h"

namespace dwl {
struct FlashDescriptionTable;
}

namespace downloader {

inline constexpr int kPathSize = 260;

// What the image loaders and the configuration keep for a record besides its fields.
struct RecordState {
  // The flash descriptions an image must fit (the program's); null: none described.
  const dwl::FlashDescriptionTable* flash = nullptr;
  // The path of the image each slot holds (indexed by dwl::Slot), so that a failed load can put
  // the path field back.
  std::string heldPath[4];
  // Allocates an image buffer (released with free); empty: malloc. Tests make it fail.
  std::function<void*(std::size_t)> allocate;
  // Why the last load could not read its file (names the file and the reason); empty after a
  // success.
  std::string imageFileFailure;
  // Why the last restore or save could not read or write config.txt (names the file and the
  // reason); empty when the file itself was fine.
  std::string configFileFailure;
};

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
  RecordState State;
};

// Frees the four image buffers and sets their lengths to 0 (program end, tests).
void releaseImages(DownloadContext& ctx);

}  // namespace downloader
