#include "emulator/nor_flash.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

namespace emulator {

NorFlash::NorFlash(const dwl::FlashDescription& d)
    : manufacturerName_(d.ManufacturerName, strnlen(d.ManufacturerName, dwl::kNameSize)),
      deviceName_(d.DeviceName, strnlen(d.DeviceName, dwl::kNameSize)),
      manufacturerId_(d.ManufacturerId),
      deviceId_(d.DeviceId) {
  const std::uint32_t count = std::min<std::uint32_t>(d.NbSectors, dwl::kMaxSectors);
  std::uint64_t offset = 0;
  for (std::uint32_t i = 0; i < count; ++i) {
    // A description larger than the 32-bit address space cannot be a handset's flash; stop there.
    if (offset + d.Sectors[i].Size > 0xFFFFFFFFull - kFlashBase) break;
    offsets_.push_back(static_cast<std::uint32_t>(offset));
    sizes_.push_back(d.Sectors[i].Size);
    offset += d.Sectors[i].Size;
  }
  size_ = static_cast<std::uint32_t>(offset);
  pages_.resize((size_ + kPageSize - 1) / kPageSize);
}

std::optional<std::uint32_t> NorFlash::sectorContaining(std::uint32_t offset) const {
  if (offset >= size_) return std::nullopt;
  auto it = std::upper_bound(offsets_.begin(), offsets_.end(), offset);
  // Sectors of size 0 share their offset with the next one: the last of equal offsets holds it.
  return static_cast<std::uint32_t>(std::distance(offsets_.begin(), it) - 1);
}

std::optional<std::uint32_t> NorFlash::sectorStartingAt(std::uint32_t offset) const {
  auto s = sectorContaining(offset);
  if (!s || offsets_[*s] != offset || sizes_[*s] == 0) return std::nullopt;
  return s;
}

NorFlash::Page& NorFlash::page(std::uint32_t index) {
  auto& p = pages_[index];
  if (!p) p = std::make_unique<Page>(kPageSize, 0xFF);
  return *p;
}

std::uint8_t NorFlash::at(std::uint32_t offset) const {
  if (offset >= size_) return 0xFF;
  const auto& p = pages_[offset >> kPageBits];
  return p ? (*p)[offset & (kPageSize - 1)] : 0xFF;
}

void NorFlash::read(std::uint32_t offset, std::uint8_t* out, std::size_t count) const {
  while (count > 0) {
    if (offset >= size_) {
      std::memset(out, 0xFF, count);
      return;
    }
    const std::uint32_t inPage = offset & (kPageSize - 1);
    const std::size_t n = std::min<std::size_t>({count, kPageSize - inPage, size_ - offset});
    const auto& p = pages_[offset >> kPageBits];
    if (p) {
      std::memcpy(out, p->data() + inPage, n);
    } else {
      std::memset(out, 0xFF, n);
    }
    out += n;
    offset += static_cast<std::uint32_t>(n);
    count -= n;
  }
}

std::vector<std::uint8_t> NorFlash::read(std::uint32_t offset, std::size_t count) const {
  std::vector<std::uint8_t> out(count);
  read(offset, out.data(), count);
  return out;
}

void NorFlash::program(std::uint32_t offset, const std::uint8_t* data, std::size_t count) {
  for (std::size_t i = 0; i < count && offset < size_; ++offset, ++i) {
    if (data[i] == 0xFF) continue;  // clears nothing; keeps erased pages unallocated
    Page& p = page(offset >> kPageBits);
    p[offset & (kPageSize - 1)] &= data[i];
  }
}

void NorFlash::force(std::uint32_t offset, std::uint8_t value) {
  if (offset >= size_) return;
  page(offset >> kPageBits)[offset & (kPageSize - 1)] = value;
}

void NorFlash::eraseRange(std::uint32_t offset, std::uint32_t count) {
  const std::uint32_t end = std::min(size_, offset + count);
  while (offset < end) {
    const std::uint32_t index = offset >> kPageBits;
    const std::uint32_t inPage = offset & (kPageSize - 1);
    const std::uint32_t n = std::min(kPageSize - inPage, end - offset);
    if (n == kPageSize) {
      pages_[index].reset();
    } else if (pages_[index]) {
      std::memset(pages_[index]->data() + inPage, 0xFF, n);
    }
    offset += n;
  }
}

void NorFlash::eraseSector(std::uint32_t sector) {
  if (sector < sizes_.size()) eraseRange(offsets_[sector], sizes_[sector]);
}

void NorFlash::eraseAll() {
  for (auto& p : pages_) p.reset();
}

std::size_t NorFlash::allocatedPages() const {
  return static_cast<std::size_t>(
      std::count_if(pages_.begin(), pages_.end(), [](const auto& p) { return p != nullptr; }));
}

bool NorFlash::load(const std::string& path, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    if (error) *error = "cannot open " + path;
    return false;
  }
  eraseAll();
  std::vector<std::uint8_t> buf(kPageSize);
  for (std::uint32_t index = 0; index < pages_.size(); ++index) {
    std::fill(buf.begin(), buf.end(), 0xFF);
    in.read(reinterpret_cast<char*>(buf.data()), kPageSize);
    const std::streamsize got = in.gcount();
    if (got <= 0) break;
    if (std::any_of(buf.begin(), buf.begin() + got, [](std::uint8_t b) { return b != 0xFF; })) {
      pages_[index] = std::make_unique<Page>(buf);
    }
    if (got < static_cast<std::streamsize>(kPageSize)) break;
  }
  return true;
}

bool NorFlash::save(const std::string& path, std::string* error) const {
  // Written beside the target and renamed, so a crash never leaves half an image.
  const std::string tmp = path + ".part";
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    if (!out) {
      if (error) *error = "cannot write " + path;
      return false;
    }
    const Page erased(kPageSize, 0xFF);
    std::uint32_t left = size_;
    for (const auto& p : pages_) {
      const std::uint32_t n = std::min(left, kPageSize);
      const Page& src = p ? *p : erased;
      out.write(reinterpret_cast<const char*>(src.data()), n);
      left -= n;
    }
    if (!out) {
      if (error) *error = "cannot write " + path;
      return false;
    }
  }
  if (std::rename(tmp.c_str(), path.c_str()) != 0) {
    if (error) *error = "cannot replace " + path;
    return false;
  }
  return true;
}

bool loadFlashDescription(const std::string& path, std::optional<std::uint16_t> codes,
                          dwl::FlashDescription& out, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    if (error) *error = "cannot open " + path;
    return false;
  }
  const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in),
                                        std::istreambuf_iterator<char>()};
  auto table = std::make_unique<dwl::FlashDescriptionTable>();
  const dwl::ResultCode rc =
      dwl::parseFlashDescription(bytes.data(), static_cast<std::uint32_t>(bytes.size()), *table);
  if (rc != dwl::kOk) {
    if (error) *error = path + ": flash description error " + std::to_string(rc);
    return false;
  }
  for (int i = 0; i < table->NbFlash; ++i) {
    const dwl::FlashDescription& d = table->Flash[i];
    if (!codes || flashCodes(d.ManufacturerId, d.DeviceId) == *codes) {
      out = d;
      return true;
    }
  }
  if (error) {
    char buf[96];
    if (codes) {
      std::snprintf(buf, sizeof buf, ": no description for 0x%02X:0x%02X", *codes >> 8,
                    *codes & 0xFF);
    } else {
      std::snprintf(buf, sizeof buf, ": no flash description");
    }
    *error = path + buf;
  }
  return false;
}

}  // namespace emulator
