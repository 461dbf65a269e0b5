// Loading the image files into the four slots of the record: Bin1 (the CLA file), Bin2, Ogm1,
// Ogm2. A slot holds the file's bytes exactly as the file has them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "dwl/dwl_display.h"
#include "dwl/dwl_result.h"
#include "engines/downloader/download_context.h"

namespace dwl {
struct FlashDescriptionTable;
}

namespace downloader {

// PC library code shown when an image buffer cannot be allocated.
inline constexpr dwl::ResultCode kLibPcNoMemory = 6;

// Each loader reads the file named by its slot's path field of the record. On success the slot
// holds the new image (flag 1, path box, size and byte-sum displays updated). On failure the PC
// library window tells why (and c.State.imageFileFailure, when the file could not be read) and
// the slot stays exactly as it was, path field included. An image is refused from its size when
// it is larger than the largest flash c.State.flash describes.
void dwl51_0InitLoadFile(DownloadContext& c);
void dwl51_0InitLoadFile_2(DownloadContext& c);
void dwl51_0InitLoadFile_ogm(DownloadContext& c);
void dwl51_0InitLoadFile_ogm_2(DownloadContext& c);

// Puts path into the slot's path field of the record and loads it; 1 when the slot now holds that
// file, otherwise the PC library code its window showed. The Load buttons call it with the file
// their dialog chose, the command line without a dialog.
dwl::ResultCode loadImageFile(DownloadContext& c, dwl::Slot slot, const std::string& path);

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
