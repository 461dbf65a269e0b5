// The download sequences: prepare the running bootstrap, check the flash description, write the
// loaded images one after the other, switch the handset off.
#pragma once

#include <array>
#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "dwl/dwl_result.h"
#include "dwl/dwl_window.h"
#include "engines/downloader/download_context.h"

namespace downloader {

// Handset addresses of the image slots. Ogm1 depends on the model (see ogm1Address).
inline constexpr std::uint32_t kBin1Address = dwl::FlashBase;
inline constexpr std::uint32_t kBin2Address = 0x02800000;
inline constexpr std::uint32_t kOgm2Address = 0x02C70000;

// Where the Ogm1 image goes for a model; false for a model that has no place for it.
bool ogm1Address(std::int32_t model, std::uint32_t* address);
// Where a slot's image goes; false for Ogm1 on a model without its place.
bool slotAddress(dwl::Slot slot, std::int32_t model, std::uint32_t* address);
// Ogm1 and Ogm2.
bool isOgm(dwl::Slot slot);
// The length a slot's image is sent with: an odd ogm image goes with one spare byte.
std::uint64_t sentLength(dwl::Slot slot, std::uint64_t length);

// "bin1", "bin2", "ogm1", "ogm2".
const char* slotName(dwl::Slot slot);

// One image a sequence has written.
struct WrittenImage {
  dwl::Slot slot;
  std::uint32_t address;
  const std::uint8_t* data;
  std::uint32_t length;
};

// Called after the last image and before the switch-off, only when every image was written; a
// result with a non-zero family ends the sequence with that result and the handset stays on.
using VerifyHook = std::function<dwl::DownloadResult(const DownloadContext& ctx,
                                                     const std::vector<WrittenImage>& images)>;

// The read-back verify: reads every written image back and compares it with what was sent. The
// first failed read or difference ends it; a difference is noted as a failure of the image
// ("bin1 image" and its file from files, by slot) with its address.
dwl::DownloadResult readBack(int port, const std::vector<WrittenImage>& images,
                             const std::array<std::string, 4>& files = {});

// Mode 0 (bin and ogm images) and 1 (bin images only).
dwl::DownloadResult dwl3_0Generic5087(DownloadContext ctx, const VerifyHook& verify = {});
// Mode 2 (ogm images only).
dwl::DownloadResult dwl3_0Generic5087_ogm(DownloadContext ctx, const VerifyHook& verify = {});

// One image slot each; on success the elapsed time is shown.
dwl::DownloadResult dwl3_1DownloadSoftware(DownloadContext ctx);
dwl::DownloadResult dwl3_1DownloadSoftware_2(DownloadContext ctx);
dwl::DownloadResult dwl3_1DownloadSoftware_ogm(DownloadContext ctx);
dwl::DownloadResult dwl3_1DownloadSoftware_ogm_2(DownloadContext ctx);

// "2 min 5 sec" for the seconds from start to end.
std::string elapsedText(std::time_t start, std::time_t end);

}  // namespace downloader
