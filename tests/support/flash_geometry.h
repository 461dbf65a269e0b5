// Flash descriptions put straight into the table, and the bytes of the sector write exchange.
#pragma once

#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "dwl/dwl10fla.h"
#include "support/bound_job.h"

namespace testsupport {

inline constexpr std::uint8_t kTestMaker = 0x89;
inline constexpr std::uint8_t kTestDevice = 0x18;

// Replaces the table by one description made of runs of (count, size) sectors.
inline void setFlash(const std::vector<std::pair<std::uint32_t, std::uint32_t>>& runs,
                     std::uint8_t maker = kTestMaker, std::uint8_t device = kTestDevice,
                     const char* name = "TEST128") {
  dwl::FlashDescriptionTable& table = flashDescriptions();
  table = dwl::FlashDescriptionTable{};
  dwl::FlashDescription& f = table.Flash[0];
  std::strncpy(f.ManufacturerName, "TESTMAKER", dwl::kNameSize - 1);
  std::strncpy(f.DeviceName, name, dwl::kNameSize - 1);
  f.ManufacturerId = maker;
  f.DeviceId = device;
  f.NbBanks = 1;
  std::uint32_t n = 0;
  for (const auto& [count, size] : runs)
    for (std::uint32_t i = 0; i < count && n < dwl::kMaxSectors; ++i) {
      f.Sectors[n].Size = size;
      f.FlashSize += size;
      ++n;
    }
  f.NbSectors = n;
  table.NbFlash = 1;
}

// 8 sectors of 8 KiB then 255 of 64 KiB: 16 MiB.
inline void setStandardFlash() {
  setFlash({{8, 0x2000}, {255, 0x10000}});
}

inline void put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(v >> shift));
}

// What the PC sends for one sector: EA, size, address, count (big-endian), then the data.
inline std::vector<std::uint8_t> sectorBytes(std::uint32_t size, std::uint32_t address,
                                             const std::uint8_t* data, std::uint32_t count) {
  std::vector<std::uint8_t> out{0xEA};
  put32(out, size);
  put32(out, address);
  put32(out, count);
  out.insert(out.end(), data, data + count);
  return out;
}

inline std::uint32_t sumOf(const std::uint8_t* data, std::uint32_t count) {
  std::uint32_t sum = 0;
  for (std::uint32_t i = 0; i < count; ++i) sum += data[i];
  return sum;
}

// The handset's good reply: CC and the sum, least significant byte first.
inline std::vector<std::uint8_t> goodReply(std::uint32_t sum) {
  return {0xCC, static_cast<std::uint8_t>(sum), static_cast<std::uint8_t>(sum >> 8),
          static_cast<std::uint8_t>(sum >> 16), static_cast<std::uint8_t>(sum >> 24)};
}

// Deterministic image bytes.
inline std::vector<std::uint8_t> imageBytes(std::size_t n, std::uint32_t seed = 1) {
  std::vector<std::uint8_t> out(n);
  std::uint32_t x = seed * 2654435761u + 1;
  for (auto& b : out) {
    x = x * 1103515245u + 12345u;
    b = static_cast<std::uint8_t>(x >> 16);
  }
  return out;
}

}  // namespace testsupport
