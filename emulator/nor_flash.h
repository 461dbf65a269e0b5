// The handset's NOR flash: geometry from a flash description, contents in a lazily allocated store
// (erased pages cost nothing), erase to 0xFF and program by clearing bits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "dwl/dwl10fla.h"

namespace emulator {

// Handset address of the flash's first byte.
inline constexpr std::uint32_t kFlashBase = 0x02000000;

class NorFlash {
 public:
  explicit NorFlash(const dwl::FlashDescription& description);

  const std::string& manufacturerName() const { return manufacturerName_; }
  const std::string& deviceName() const { return deviceName_; }
  std::uint8_t manufacturerId() const { return manufacturerId_; }
  std::uint8_t deviceId() const { return deviceId_; }
  std::uint32_t size() const { return size_; }
  std::uint32_t sectorCount() const { return static_cast<std::uint32_t>(sizes_.size()); }
  std::uint32_t sectorSize(std::uint32_t sector) const { return sizes_.at(sector); }
  std::uint32_t sectorOffset(std::uint32_t sector) const { return offsets_.at(sector); }
  // The sector that holds the offset; none past the end or in a sector of size 0.
  std::optional<std::uint32_t> sectorContaining(std::uint32_t offset) const;
  // The sector that starts exactly at the offset (sectors of size 0 never do).
  std::optional<std::uint32_t> sectorStartingAt(std::uint32_t offset) const;

  std::uint8_t at(std::uint32_t offset) const;
  void read(std::uint32_t offset, std::uint8_t* out, std::size_t count) const;
  std::vector<std::uint8_t> read(std::uint32_t offset, std::size_t count) const;
  // NOR programming only clears bits: each cell becomes cell AND data.
  void program(std::uint32_t offset, const std::uint8_t* data, std::size_t count);
  // Sets a cell outright, as a faulty cell would end up; for injected corruption.
  void force(std::uint32_t offset, std::uint8_t value);
  void eraseSector(std::uint32_t sector);
  void eraseAll();
  // Number of 64 KiB pages that hold anything but 0xFF.
  std::size_t allocatedPages() const;

  // Contents from a raw image (shorter files leave the rest erased); false when it cannot be read.
  bool load(const std::string& path, std::string* error = nullptr);
  bool save(const std::string& path, std::string* error = nullptr) const;

 private:
  static constexpr std::uint32_t kPageBits = 16;
  static constexpr std::uint32_t kPageSize = 1u << kPageBits;
  using Page = std::vector<std::uint8_t>;
  Page& page(std::uint32_t index);
  void eraseRange(std::uint32_t offset, std::uint32_t count);

  std::string manufacturerName_;
  std::string deviceName_;
  std::uint8_t manufacturerId_ = 0;
  std::uint8_t deviceId_ = 0;
  std::vector<std::uint32_t> sizes_;
  std::vector<std::uint32_t> offsets_;
  std::uint32_t size_ = 0;
  std::vector<std::unique_ptr<Page>> pages_;
};

// Reads a flash.txt file and picks the description of the given codes (the first description when
// no codes are given). False with a reason when the file does not parse or has no such entry.
bool loadFlashDescription(const std::string& path, std::optional<std::uint16_t> codes,
                          dwl::FlashDescription& out, std::string* error);
// Packs codes as manufacturer << 8 | device.
constexpr std::uint16_t flashCodes(std::uint8_t manufacturer, std::uint8_t device) {
  return static_cast<std::uint16_t>(manufacturer << 8 | device);
}

}  // namespace emulator
