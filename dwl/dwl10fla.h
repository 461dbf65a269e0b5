// The flash description file flash.txt and the sector geometry taken from it.
#pragma once

#include <cstdint>
#include <string>

#include "dwl/dwl_result.h"
#include "platform/data_files.h"

namespace dwl {

inline constexpr int kMaxFlash = 20;
inline constexpr int kMaxSectors = 300;
inline constexpr int kNameSize = 15;  // 14 characters and the terminator

struct SectorDescription {
  std::uint8_t Bank = 0;
  std::uint32_t Size = 0;
};

struct FlashDescription {
  char ManufacturerName[kNameSize] = {};
  char DeviceName[kNameSize] = {};
  std::uint8_t ManufacturerId = 0;
  std::uint8_t DeviceId = 0;
  std::uint8_t NbBanks = 0;
  std::uint32_t NbSectors = 0;
  std::uint32_t FlashSize = 0;
  SectorDescription Sectors[kMaxSectors];
};

struct FlashDescriptionTable {
  std::uint8_t NbFlash = 0;
  FlashDescription Flash[kMaxFlash];
};

// Parses flash.txt (the working directory, then the program's data folders) into the table (the
// program's vg_FlashDescritpion); 1 or the code of the first faulty line. failure, when given,
// says why the file could not be read (it names the file and the reason); it is left empty when
// the file was read, whatever its contents.
ResultCode dwl10_100InitFlashDescription(FlashDescriptionTable& table,
                                         std::string* failure = nullptr,
                                         const platform::DataFolders& dataFolders = {});
// The same parser on the file at path.
ResultCode loadFlashDescription(const std::string& path, FlashDescriptionTable& table,
                                std::string* failure = nullptr);
// The table the geometry queries read: the one the bound job was handed. Without a job, or for a
// job handed none, an empty table: every flash is unknown.
const FlashDescriptionTable& flashTable();
// flash.txt is a few kilobytes; anything this large is not one.
inline constexpr std::uint64_t kMaxFlashFileSize = 1024 * 1024;
// The same parser on bytes already in memory, into any table (the emulator, the fuzzer).
ResultCode parseFlashDescription(const std::uint8_t* data, std::uint32_t size,
                                 FlashDescriptionTable& table);

// Sector list: word 0 the count, word 1 the total size, then the sector numbers.
inline constexpr int kSectorListWords = 2 + kMaxSectors;

ResultCode dwl10_500GetFlashIndex(std::uint8_t manufacturer, std::uint8_t device,
                                  std::uint8_t* index);
ResultCode dwl10_1GetNumberOfSector(std::uint8_t manufacturer, std::uint8_t device,
                                    std::uint32_t* count);
ResultCode dwl10_0GetSectorSize(std::uint8_t manufacturer, std::uint8_t device,
                                std::uint32_t sector, std::uint32_t* size);
ResultCode dwl10_4GetSectorBank(std::uint8_t manufacturer, std::uint8_t device,
                                std::uint16_t sector, std::uint8_t* bank);
ResultCode dwl10_5GetFlashSize(std::uint8_t manufacturer, std::uint8_t device, std::uint32_t* size);
ResultCode dwl10_2GetSectorNumberWithStartAddr(std::uint8_t manufacturer, std::uint8_t device,
                                               std::uint32_t offset, std::uint32_t* sector);
ResultCode dwl10_2GetSectorNumberWithStartAddr_ogm(std::uint8_t manufacturer, std::uint8_t device,
                                                   std::uint32_t offset, std::uint32_t* sector);
ResultCode dwl10_3GetSectorList(std::uint8_t manufacturer, std::uint8_t device,
                                std::uint32_t offset, std::uint32_t length, std::uint32_t* list);
// Both buffers hold at least kNameSize characters.
ResultCode dwl10_6GetManufacturerAndFlashName(std::uint8_t manufacturer, std::uint8_t device,
                                              char* manufacturerName, char* deviceName);

}  // namespace dwl
