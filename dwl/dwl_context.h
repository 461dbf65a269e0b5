// The fields both programs' records carry and the library reads. Each program's record derives
// from this; the library never sees the rest.
#pragma once

#include <cstdint>

namespace dwl {

struct ProgramProfile;

struct SharedContext {
  std::int32_t ComPort = 4;
  std::int32_t PmuOption = 0;
  std::int32_t Speed = 3;
  std::int32_t DownloadType = 0;
  std::int32_t ProductType = 2;
  std::uint8_t WaitState[4] = {0, 0, 0, 0};
  std::uint8_t CpuType = 0;
  std::uint8_t FlashManufacturer = 0;
  std::uint8_t FlashDevice = 0;
  // Where the two programs differ inside the library (speed table, accepted flash makers).
  // Null means the downloader's behaviour.
  const ProgramProfile* Profile = nullptr;
};

inline constexpr int kSpeedRows = 9;

struct ProgramProfile {
  // Per speed index: the three bytes sent to the bootstrap, and the PC's new rate.
  const std::uint8_t (*SpeedParameters)[3];
  const std::int32_t* PCSpeedValue;
  // The flash maker 0xB0 is identified (downloader) or refused (dumper).
  bool AcceptManufacturerB0;
};

extern const ProgramProfile kDownloaderProfile;
extern const ProgramProfile kDumperProfile;

inline const ProgramProfile& profileOf(const SharedContext& ctx) {
  return ctx.Profile ? *ctx.Profile : kDownloaderProfile;
}

}  // namespace dwl
