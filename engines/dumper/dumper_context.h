// The dumper's record: the dump and erase settings, the fields the library reads, and the
// operation in progress.
#pragma once

#include <cstdint>

#include "dwl/dwl_context.h"

namespace dumper {

inline constexpr int kFirstSector = 0;
inline constexpr int kLastSector = 283;
// The whole-flash erase leaves the sixteen highest sectors alone.
inline constexpr int kWholeFlashLastSector = 267;

// OperationMode values.
inline constexpr std::int32_t kModeDump = 0;
inline constexpr std::int32_t kModeErase = 1;
// EraseSelection values.
inline constexpr std::int32_t kEraseWholeFlash = 0;
inline constexpr std::int32_t kEraseSectorRange = 1;

struct DumperContext : dwl::SharedContext {
  DumperContext() {
    ComPort = 4;
    Speed = 2;
    ProductType = 2;
    Profile = &dwl::kDumperProfile;
  }

  std::int32_t DumpFirstSector = kFirstSector;
  std::int32_t DumpLastSector = kLastSector;
  std::int32_t Reserved = 1;  // kept for the record's layout; nothing reads it
  std::int32_t EraseFirstSector = kFirstSector;
  std::int32_t EraseLastSector = kLastSector;
  std::int32_t EraseSelection = kEraseWholeFlash;
  std::int32_t OperationMode = kModeDump;
};

}  // namespace dumper
