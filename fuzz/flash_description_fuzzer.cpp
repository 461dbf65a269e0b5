// Feeds any bytes to the flash.txt parser as a whole file, then asks every geometry query about
// every description it kept, and checks the answers against the table.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "dwl/dwl10fla.h"
#include "dwl/dwl_job.h"

namespace {

void require(bool ok) {
  if (!ok) std::abort();
}

using namespace dwl;

// The fuzzer's own table, handed to the job the geometry queries run in.
FlashDescriptionTable vg_FlashDescritpion;

std::uint64_t sumUpTo(const FlashDescription& f, std::uint32_t sectors) {
  std::uint64_t sum = 0;
  for (std::uint32_t i = 0; i < sectors; ++i) sum += f.Sectors[i].Size;
  return sum;
}

void checkList(std::uint8_t m, std::uint8_t d, const FlashDescription& f, std::uint32_t offset,
               std::uint32_t length) {
  std::uint32_t list[kSectorListWords + 1];
  list[kSectorListWords] = 0xC0FFEE;  // a guard word past the caller's room
  const ResultCode rc = dwl10_3GetSectorList(m, d, offset, length, list);
  require(list[kSectorListWords] == 0xC0FFEE);
  require(rc == 1 || rc == 18 || rc == 20);
  if (rc != 1) {
    require(list[0] == 0 && list[1] == 0);
    return;
  }
  require(list[0] <= static_cast<std::uint32_t>(kMaxSectors));
  std::uint64_t total = 0;
  for (std::uint32_t i = 0; i < list[0]; ++i) {
    const std::uint32_t s = list[2 + i];
    require(s < f.NbSectors);
    if (i > 0) require(s == list[2 + i - 1] + 1);
    total += f.Sectors[s].Size;
  }
  require(total == list[1]);
  require(total >= length);
}

void checkStart(std::uint8_t m, std::uint8_t d, const FlashDescription& f, std::uint32_t offset) {
  std::uint32_t sector = 0xFFFFFFFF;
  const ResultCode rc = dwl10_2GetSectorNumberWithStartAddr(m, d, offset, &sector);
  require(rc == 1 || rc == 18);
  if (rc == 1) {
    require(sector <= f.NbSectors);
    require(sumUpTo(f, sector) >= offset);
  } else {
    require(sumUpTo(f, f.NbSectors) < offset);
  }
  std::uint32_t exact = 0xFFFFFFFF;
  const ResultCode rcOgm = dwl10_2GetSectorNumberWithStartAddr_ogm(m, d, offset, &exact);
  require(rcOgm == 1 || rcOgm == 18);
  if (rcOgm == 1) require(rc == 1 && exact == sector && sumUpTo(f, exact) == offset);
  checkList(m, d, f, offset, 0);
  checkList(m, d, f, offset, 1);
}

void checkDescription(int index, const FlashDescription& f) {
  const std::uint8_t m = f.ManufacturerId, d = f.DeviceId;
  require(f.NbSectors <= static_cast<std::uint32_t>(kMaxSectors));
  require(std::memchr(f.ManufacturerName, 0, kNameSize) != nullptr);
  require(std::memchr(f.DeviceName, 0, kNameSize) != nullptr);

  std::uint8_t found = 0xFF;
  require(dwl10_500GetFlashIndex(m, d, &found) == 1);
  require(found <= index);
  if (found != index) return;  // an earlier description answers for this pair

  std::uint32_t count = 0;
  require(dwl10_1GetNumberOfSector(m, d, &count) == 1 && count == f.NbSectors);
  std::uint32_t flashSize = 1;
  require(dwl10_5GetFlashSize(m, d, &flashSize) == 1);
  require(flashSize == static_cast<std::uint32_t>(sumUpTo(f, f.NbSectors)));
  for (std::uint32_t s = 0; s <= count; ++s) {
    std::uint32_t size = 0;
    const ResultCode rc = dwl10_0GetSectorSize(m, d, s, &size);
    require(s < count ? rc == 1 && size == f.Sectors[s].Size : rc == 19);
  }
  for (std::uint32_t s = 0; s <= kMaxSectors; s += 37) {
    std::uint8_t bank = 0;
    const ResultCode rc = dwl10_4GetSectorBank(m, d, static_cast<std::uint16_t>(s), &bank);
    require(s < kMaxSectors ? rc == 1 && bank == f.Sectors[s].Bank : rc == 19);
  }
  char maker[kNameSize + 1], device[kNameSize + 1];
  maker[kNameSize] = device[kNameSize] = 'G';
  require(dwl10_6GetManufacturerAndFlashName(m, d, maker, device) == 1);
  require(maker[kNameSize] == 'G' && device[kNameSize] == 'G');
  require(std::strcmp(maker, f.ManufacturerName) == 0);

  // Offsets around the first sector boundaries, the end of the flash and beyond it.
  std::uint64_t boundary = 0;
  for (std::uint32_t s = 0; s < count && s < 8; ++s) {
    boundary += f.Sectors[s].Size;
    if (boundary > 0xFFFFFFFFu) break;
    const auto b = static_cast<std::uint32_t>(boundary);
    checkStart(m, d, f, b);
    checkStart(m, d, f, b - 1);
    checkStart(m, d, f, b + 1);
  }
  checkStart(m, d, f, 0);
  checkStart(m, d, f, flashSize);
  checkStart(m, d, f, flashSize + 1);
  checkStart(m, d, f, 0xFFFFFFFF);
  checkList(m, d, f, 0, flashSize);
  checkList(m, d, f, 0, flashSize + 1);
  checkList(m, d, f, 1, flashSize);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 0xFFFFFFFFu) return 0;
  JobState job;
  job.flash = &vg_FlashDescritpion;
  JobScope scope(job);
  const ResultCode rc =
      parseFlashDescription(data, static_cast<std::uint32_t>(size), vg_FlashDescritpion);
  require(rc == 1 || (rc >= 3 && rc <= 14) || rc == 16 || rc == 17);
  require(vg_FlashDescritpion.NbFlash <= kMaxFlash);
  for (int i = 0; i < vg_FlashDescritpion.NbFlash; ++i)
    checkDescription(i, vg_FlashDescritpion.Flash[i]);
  if (rc == 1) {
    for (int i = 0; i < vg_FlashDescritpion.NbFlash; ++i) {
      const FlashDescription& f = vg_FlashDescritpion.Flash[i];
      require(f.FlashSize == sumUpTo(f, f.NbSectors));
    }
  }
  return 0;
}
