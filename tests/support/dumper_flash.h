// The 128-Mbit flash of the dumper's fixed sector map, described sector by sector as flash.txt
// would describe it, so the emulated handset erases exactly the dumper's sectors.
#pragma once

#include <cstring>

#include "dwl/dwl10fla.h"
#include "engines/dumper/dumper.h"

namespace testsupport {

inline constexpr std::uint32_t kDumperFlashSize = 0x1000000;

inline dwl::FlashDescription dumperFlash() {
  dwl::FlashDescription d;
  std::strcpy(d.ManufacturerName, "AMD");
  std::strcpy(d.DeviceName, "AM29DL128");
  d.ManufacturerId = 0x01;
  d.DeviceId = 0x7E;
  d.NbBanks = 2;
  d.NbSectors = dumper::kLastSector + 1;
  d.FlashSize = kDumperFlashSize;
  for (int s = 0; s <= dumper::kLastSector; ++s) {
    d.Sectors[s].Size = dumper::DumperSectorMap::size(s);
    d.Sectors[s].Bank = dumper::DumperSectorMap::offset(s) < kDumperFlashSize / 2 ? 0 : 1;
  }
  return d;
}

}  // namespace testsupport
