// Loading the image files into the four slots of the record: Bin1 (the CLA file), Bin2, Ogm1,
// Ogm2. A slot holds the file's bytes exactly as the file has them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "dwl/dwl_result.h"
#include "dwl/dwl_window.h"
#include "engines/downloader/download_context.h"

namespace dwl {
struct FlashDescriptionTable;
}

namespace downloader {

// PC library code shown when an image buffer cannot be allocated.
inline constexpr dwl::ResultCode kLibPcNoMemory = 6;

// What a load did, for the front end to show: 1 or the PC library code of the window it opens,
// and on success what the slot's displays show (path box, file size, byte sum of the image as
// it is sent).
struct LoadOutcome {
  dwl::ResultCode code = dwl::kOk;
  std::string path;
  std::uint32_t size = 0;
  std::uint32_t sum = 0;
};

// The comment line a slot's load logs as it starts: "Bin1 file loading, please wait... ".
std::string loadingText(dwl::Slot slot);

// Each loader reads the file named by its slot's path field of the record. On success the slot
// holds the new image (flag 1). On failure c.State.imageFileFailure says why, when the file could
// not be read, and the slot stays exactly as it was, path field included. An image is refused
// from its size when it is larger than the largest flash c.State.flash describes.
LoadOutcome loadSlot(DownloadContext& c, dwl::Slot slot);
LoadOutcome dwl51_0InitLoadFile(DownloadContext& c);
LoadOutcome dwl51_0InitLoadFile_2(DownloadContext& c);
LoadOutcome dwl51_0InitLoadFile_ogm(DownloadContext& c);
LoadOutcome dwl51_0InitLoadFile_ogm_2(DownloadContext& c);

// Puts path into the slot's path field of the record; 1, or the PC library code of "File not
// found" (the field unchanged) when the path does not fit it or holds a NUL.
dwl::ResultCode setImagePath(DownloadContext& c, dwl::Slot slot, const std::string& path);
// setImagePath, then loadSlot. The Load buttons load the file their dialog chose, the command
// line without a dialog.
LoadOutcome loadImageFile(DownloadContext& c, dwl::Slot slot, const std::string& path);

// The largest image worth reading: the largest flash the table describes, or kMaxImageSize when
// it describes none.
std::uint64_t largestImage(const dwl::FlashDescriptionTable& table);

// An image is refused from its size, before it is read, when it is larger than the largest flash
// described in flash.txt, or than this when none is.
inline constexpr std::uint64_t kMaxImageSize = 32 * 1024 * 1024;
// The cause line of an image refused for its size: the file, its size and the largest flash
// described (by name and size), or the limit when none is.
std::string imageTooLargeText(const std::string& path, std::uint64_t size,
                              const dwl::FlashDescriptionTable& table);

// The 32-bit sum of the bytes, each taken unsigned.
std::uint32_t imageByteSum(const std::uint8_t* data, std::uint32_t length);

// Empties the four slots of the record: buffers freed, flags, lengths and paths cleared.
void resetImageSlots(DownloadContext& c);

}  // namespace downloader
