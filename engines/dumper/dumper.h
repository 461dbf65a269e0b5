// The dumper's engine: the fixed sector map, the dump into dump.txt and the sector erase.
//
// Nothing here touches a panel. Everything shown derives from the job's events: the dump's
// bytesDone (percentage and offset of the block just written), the erase walk's sectorChanged
// (offset and number of the sector just erased) and checkFailed (the text of each failed check's
// box, shown by the dumper's window while the walk waits).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "dwl/dwl_result.h"
#include "engines/dumper/dumper_context.h"

namespace dwl {
class ProgressSink;
struct JobResult;
}  // namespace dwl

namespace platform {
class CancelToken;
}

namespace dumper {

// ---------------------------------------------------------------------------------------------
// The fixed map of the 128-Mbit flash: 284 sectors in five regions, offsets from dwl::FlashBase.

struct SectorRegion {
  int first, last;       // sector numbers, inclusive
  std::uint32_t size;    // bytes per sector
  std::uint32_t offset;  // flash offset of the region's first sector
};

struct DumperSectorMap {
  static constexpr std::uint32_t kSmallSector = 0x2000;
  static constexpr std::uint32_t kLargeSector = 0x10000;
  static constexpr std::array<SectorRegion, 5> kRegions = {{
      {0, 7, kSmallSector, 0x000000},
      {8, 133, kLargeSector, 0x010000},
      {134, 149, kSmallSector, 0x7F0000},
      {150, 275, kLargeSector, 0x810000},
      {276, 283, kSmallSector, 0xFF0000},
  }};

  static constexpr bool contains(int sector) {
    return sector >= kFirstSector && sector <= kLastSector;
  }
  // Offset and size of a sector of the map; 0 for numbers outside it.
  static constexpr std::uint32_t offset(int sector) {
    for (const SectorRegion& r : kRegions)
      if (sector >= r.first && sector <= r.last)
        return r.offset + static_cast<std::uint32_t>(sector - r.first) * r.size;
    return 0;
  }
  static constexpr std::uint32_t size(int sector) {
    for (const SectorRegion& r : kRegions)
      if (sector >= r.first && sector <= r.last) return r.size;
    return 0;
  }
  static constexpr std::uint32_t address(int sector) { return dwl::FlashBase + offset(sector); }
};

// One read command fetches one block.
inline constexpr std::uint32_t kBlockSize = 0x2000;
// Bytes of the flash the map describes.
inline constexpr std::uint32_t kFlashBytes = 0x1000000;

// A range both ends of which lie on the map, the first not after the last.
constexpr bool validRange(int first, int last) {
  return DumperSectorMap::contains(first) && DumperSectorMap::contains(last) && first <= last;
}
// Blocks from the start of sector first to the end of sector last (0 for an invalid range).
constexpr std::uint32_t blockCount(int first, int last) {
  if (!validRange(first, last)) return 0;
  return (DumperSectorMap::offset(last) + DumperSectorMap::size(last) -
          DumperSectorMap::offset(first)) /
         kBlockSize;
}

// ---------------------------------------------------------------------------------------------
// Results of our own beyond the library's codes.

// dump.txt could not be opened or a block could not be appended to it (disk full, no
// permission): family dwl::RESULT_LIB_PC with this code. The dump stops there; the file keeps the
// whole blocks written before, never part of one.
inline constexpr std::int32_t kDumpFileError = 6;

// Codes of the first failed check of an erase walk (family dwl::RESULT_COMMAND), for the front
// ends whose erase fails when a sector did (eraseSectors).
inline constexpr std::int32_t kEraseRefused = 11;  // the erase command was not accepted
inline constexpr std::int32_t kEraseNoAck = 12;    // no 0xC5 after the command
// An outcome byte other than 0xF6 gives dwl::eraseOutcomeCode's code.

// Texts of the dumper's message boxes.
inline constexpr char kErrorTitle[] = "ERROR";
inline constexpr char kInvalidValueText[] = "Invalid value";
inline constexpr char kErasingErrorText[] = "erasing error";
inline constexpr char kAckErrorText[] = "ack receiving error";
inline constexpr char kClearErrorText[] = "flash clear error";

// ---------------------------------------------------------------------------------------------
// The operations. Each takes the record by value and leaves the serial port open.

// Reads DumpFirstSector..DumpLastSector block by block and appends each block to dump.txt in the
// working directory. {0, 0}; {RESULT_COMMAND, 17/18/19} for a failed read;
// {RESULT_LIB_PC, kDumpFileError} when dump.txt cannot take a block; {RESULT_DOWNLOAD_ERROR, 0}
// for a range off the map or inverted (nothing is sent then).
dwl::DownloadResult dump_flash(DumperContext ctx);
// What a dump reads and where it goes: a byte range of the flash (offsets from dwl::FlashBase),
// and, when the range was given as map sectors, those sectors (-1 otherwise).
struct DumpPlan {
  std::uint32_t offset = 0;
  std::uint32_t length = 0;
  int firstSector = -1;
  int lastSector = -1;
  std::string output;
};
// The plan of the map sectors first..last (length 0 for an invalid range).
DumpPlan planForSectors(int first, int last, const std::string& output);
// "sectors 8..20" or "0x010000..0x01FFFF".
std::string describePlan(const DumpPlan& plan);
// Reads the plan's range block by block (the last block may be shorter) and appends each block to
// the plan's output, which must be a regular file or a new one. Results as dump_flash.
dwl::DownloadResult dumpRange(const DumperContext& ctx, const DumpPlan& plan);
// GPIO, speed and power management, the dump of the plan, switch-off: the dumper's sequence on
// any plan.
dwl::DownloadResult dumpSequence(const DumperContext& ctx, const DumpPlan& plan);
// The dumper's image "transfer": the dump.
dwl::DownloadResult dwl3_1DownloadSoftware(DumperContext ctx);
// The dumper's sequence after the boot: GPIO, speed and power management, the dump, switch-off.
// The first failure ends it ({RESULT_COMMAND, code}, or the dump's result) and leaves the handset
// on; a DownloadType other than 0 dumps nothing and gives {RESULT_DOWNLOAD_ERROR, 0}.
dwl::DownloadResult dwl3_0Generic5087(DumperContext ctx);
// GPIO, speed and power management, then one erase command per sector of the record's erase
// range, then switch-off. Every failed check shows its box and the walk goes on; the failures do
// not change the result, so the erase ends switched off with {0, 0}. A sector whose command gets
// no answer at all (the handset is gone) ends the walk with {RESULT_DOWNLOAD_TIMEOUT, 0}.
dwl::DownloadResult flash_erase(DumperContext ctx);
// Where the sectors of a flash lie: offset and size of a sector number, and how many there are.
struct SectorGeometry {
  std::function<std::uint32_t(int)> offset;
  std::function<std::uint32_t(int)> size;
  int count = 0;
};
// The fixed map's geometry.
SectorGeometry mapGeometry();
// flash_erase on any geometry (a flash described in flash.txt). The sectors whose check failed go
// to the job's failedSectors. failedSectorFails: such a sector makes the result
// {RESULT_COMMAND, code of the first failure} and the handset is left on (the command line's
// rule, for scripts that must not take a partly erased flash for an erased one).
dwl::DownloadResult eraseSectors(const DumperContext& ctx, const SectorGeometry& geometry,
                                 bool failedSectorFails = false);

}  // namespace dumper
