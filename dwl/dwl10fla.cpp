#include "dwl/dwl10fla.h"

#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "dwl/dwl12pclib.h"
#include "dwl/dwl_job.h"
#include "platform/data_files.h"
#include "platform/input_file.h"

namespace dwl {

namespace {

constexpr char kNewFlash[] = "NEW_FLASH";
constexpr char kStartSectors[] = "START_SECTOR_DESCRITPION";
constexpr char kEndSectors[] = "END_SECTOR_DESCRIPTION";
constexpr char kEndFlash[] = "END_FLASH";

// The longest number text and the longest sector line (CR included) the file may carry.
constexpr std::size_t kMaxNumberText = 39;
constexpr std::size_t kMaxSectorLine = 39;

template <std::size_t N>
constexpr std::size_t len(const char (&)[N]) {
  return N - 1;
}

// atoi over a span that need not be terminated: leading blanks, a sign, then digits up to the
// first non-digit; no digits reads as 0. Out-of-range values saturate, so a huge count can never
// wrap into a small, plausible one.
std::int32_t readInt(const std::uint8_t* p, const std::uint8_t* end, bool* overflow = nullptr) {
  while (p < end && (*p == ' ' || (*p >= '\t' && *p <= '\r'))) ++p;
  bool negative = false;
  if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';
  std::int64_t v = 0;
  for (; p < end && *p >= '0' && *p <= '9'; ++p) {
    v = v * 10 + (*p - '0');
    if (v > std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1) break;
  }
  if (negative) v = -v;
  const bool over =
      v > std::numeric_limits<std::int32_t>::max() || v < std::numeric_limits<std::int32_t>::min();
  if (overflow) *overflow = over;
  if (v > std::numeric_limits<std::int32_t>::max()) return std::numeric_limits<std::int32_t>::max();
  if (v < std::numeric_limits<std::int32_t>::min()) return std::numeric_limits<std::int32_t>::min();
  return static_cast<std::int32_t>(v);
}

class Parser {
 public:
  Parser(const std::uint8_t* data, std::uint32_t size, FlashDescriptionTable& table)
      : p_(data), end_(data + size), table_(table) {}

  ResultCode run() {
    table_.NbFlash = 0;
    while (p_ < end_) {
      if (*p_ == '#' || *p_ == '\r') {
        skipLine();
        continue;
      }
      const ResultCode rc = description();
      if (rc != kOk) return rc;
    }
    return kOk;
  }

 private:
  bool startsWith(const char* keyword, std::size_t n) const {
    return static_cast<std::size_t>(end_ - p_) >= n && std::memcmp(p_, keyword, n) == 0;
  }

  void skipLine() {
    const void* lf = std::memchr(p_, '\n', static_cast<std::size_t>(end_ - p_));
    p_ = lf ? static_cast<const std::uint8_t*>(lf) + 1 : end_;
  }

  // A line ends with CR LF; the last line of the file may lack them. A lone CR or LF is refused.
  bool endOfLine() {
    if (p_ == end_) return true;
    if (*p_ != '\r') return false;
    if (p_ + 1 == end_) {
      p_ = end_;
      return true;
    }
    if (p_[1] != '\n') return false;
    p_ += 2;
    return true;
  }

  // A line that begins with its keyword; the rest of the line (a trailing blank, say) does not
  // matter, but the line must end as every line does.
  bool keywordLine(const char* keyword, std::size_t n) {
    if (!startsWith(keyword, n)) return false;
    p_ += n;
    while (p_ < end_ && *p_ != '\r' && *p_ != '\n') ++p_;
    return endOfLine();
  }

  // A value line: keyword, then the value up to the CR. Gives the value's span.
  bool valueLine(const char* keyword, const std::uint8_t** begin, const std::uint8_t** stop) {
    const std::size_t n = std::strlen(keyword);
    if (!startsWith(keyword, n)) return false;
    p_ += n;
    *begin = p_;
    while (p_ < end_ && *p_ != '\r' && *p_ != '\n') ++p_;
    *stop = p_;
    return endOfLine();
  }

  bool nameLine(const char* keyword, char (&field)[kNameSize]) {
    const std::uint8_t* b = nullptr;
    const std::uint8_t* e = nullptr;
    if (!valueLine(keyword, &b, &e)) return false;
    const std::size_t n = static_cast<std::size_t>(e - b);
    if (n >= kNameSize) return false;  // would not fit: refused rather than cut short
    std::memcpy(field, b, n);
    field[n] = '\0';
    return true;
  }

  bool numberLine(const char* keyword, std::int32_t* value) {
    const std::uint8_t* b = nullptr;
    const std::uint8_t* e = nullptr;
    if (!valueLine(keyword, &b, &e)) return false;
    if (static_cast<std::size_t>(e - b) > kMaxNumberText) return false;
    *value = readInt(b, e);
    return true;
  }

  ResultCode description() {
    if (!keywordLine(kNewFlash, len(kNewFlash))) return 3;
    if (table_.NbFlash >= kMaxFlash) return 16;
    FlashDescription& f = table_.Flash[table_.NbFlash++];
    f = FlashDescription{};

    if (!nameLine("MANUFACTURER_NAME : ", f.ManufacturerName)) return 4;
    if (!nameLine("DEVICE_NAME : ", f.DeviceName)) return 5;
    const std::uint8_t* b = nullptr;
    const std::uint8_t* e = nullptr;
    if (!valueLine("PHILIPS_PRODUCT : ", &b, &e)) return 6;
    std::int32_t v = 0;
    if (!numberLine("MANUFACTURER_ID : ", &v)) return 7;
    f.ManufacturerId = static_cast<std::uint8_t>(v);
    if (!numberLine("DEVICE_ID : ", &v)) return 8;
    f.DeviceId = static_cast<std::uint8_t>(v);
    if (!numberLine("NB_BANKS : ", &v)) return 9;
    f.NbBanks = static_cast<std::uint8_t>(v);
    if (!numberLine("NB_SECTORS : ", &v)) return 10;
    // Compared as unsigned: a negative count is a huge one. Not stored when too big, so that no
    // query can walk past the table's rows.
    if (static_cast<std::uint32_t>(v) > static_cast<std::uint32_t>(kMaxSectors)) return 17;
    f.NbSectors = static_cast<std::uint32_t>(v);
    if (!keywordLine(kStartSectors, len(kStartSectors))) return 11;

    for (;;) {
      if (p_ == end_) return 12;  // the file ends inside the sector lines
      if (startsWith(kEndSectors, len(kEndSectors))) {
        skipLine();
        break;
      }
      const ResultCode rc = sectorLine(f);
      if (rc != kOk) return rc;
    }

    if (!keywordLine(kEndFlash, len(kEndFlash))) return 12;
    std::uint64_t total = 0;
    for (std::uint32_t i = 0; i < f.NbSectors; ++i) total += f.Sectors[i].Size;
    // Flash offsets are 32-bit: a larger flash could not be addressed.
    if (total > std::numeric_limits<std::uint32_t>::max()) return 12;
    f.FlashSize = static_cast<std::uint32_t>(total);
    return kOk;
  }

  // "first-last*size*bank" or "sector*size*bank", then CR LF.
  ResultCode sectorLine(FlashDescription& f) {
    const std::uint8_t* line = p_;
    const void* lf = std::memchr(p_, '\n', static_cast<std::size_t>(end_ - p_));
    const std::uint8_t* stop = lf ? static_cast<const std::uint8_t*>(lf) : end_;
    p_ = lf ? stop + 1 : end_;
    if (static_cast<std::size_t>(stop - line) > kMaxSectorLine) return 13;
    // The CR must close the line; a comment or empty line here has no separator and fails below.
    if (stop == line || stop[-1] != '\r') return 13;
    const std::uint8_t* cr = stop - 1;
    // Only digits begin a sector line: read like atoi, "#142-149*4096*1" (a commented-out line)
    // or "-5*4096*0" would describe sectors from 0.
    const std::uint8_t* digit = line;
    while (digit < cr && (*digit == ' ' || *digit == '\t')) ++digit;
    if (digit == cr || *digit < '0' || *digit > '9') return 13;

    const std::uint8_t* sep = line;
    while (sep < cr && *sep != '-' && *sep != '*') ++sep;
    if (sep == cr) return 13;
    const std::int32_t first = readInt(line, sep);
    // Checked before narrowing to 16 bits, so 65536 is not taken for sector 0.
    if (first < 0 || static_cast<std::uint32_t>(first) >= f.NbSectors) return 13;

    std::int32_t last = first;
    const std::uint8_t* star = sep;
    if (*sep == '-') {
      star = sep + 1;
      while (star < cr && *star != '*') ++star;
      if (star == cr) return 14;
      last = readInt(sep + 1, star);
      if (last < 0 || static_cast<std::uint32_t>(last) >= f.NbSectors) return 14;
    }
    const std::uint8_t* star2 = star + 1;
    while (star2 < cr && *star2 != '*') ++star2;
    if (star2 == cr) return 13;
    bool overflow = false;
    const std::int32_t size = readInt(star + 1, star2, &overflow);
    if (size < 0 || overflow) return 13;
    const std::uint8_t bank = static_cast<std::uint8_t>(readInt(star2 + 1, cr));
    // Flash offsets are 32-bit: rows adding up to more could not be addressed, and a description
    // that later fails stays in the table, so refuse them here rather than at its end.
    std::uint64_t total = std::uint64_t{static_cast<std::uint32_t>(size)} *
                          static_cast<std::uint64_t>(last >= first ? last - first + 1 : 0);
    for (std::uint32_t i = 0; i < f.NbSectors; ++i)
      if (static_cast<std::int32_t>(i) < first || static_cast<std::int32_t>(i) > last)
        total += f.Sectors[i].Size;
    if (total > std::numeric_limits<std::uint32_t>::max()) return 13;

    for (std::int32_t s = first; s <= last; ++s) {
      f.Sectors[s].Bank = bank;
      f.Sectors[s].Size = static_cast<std::uint32_t>(size);
    }
    return kOk;
  }

  const std::uint8_t* p_;
  const std::uint8_t* end_;
  FlashDescriptionTable& table_;
};

// The description of a flash, or null. Counts are bounded by the table's size even if a caller
// filled the table by hand.
const FlashDescription* find(std::uint8_t manufacturer, std::uint8_t device) {
  const FlashDescriptionTable& table = flashTable();
  const int n = table.NbFlash < kMaxFlash ? table.NbFlash : kMaxFlash;
  for (int i = 0; i < n; ++i) {
    const FlashDescription& f = table.Flash[i];
    if (f.DeviceId == device && f.ManufacturerId == manufacturer) return &f;
  }
  return nullptr;
}

std::uint32_t sectorCount(const FlashDescription& f) {
  return f.NbSectors < static_cast<std::uint32_t>(kMaxSectors)
             ? f.NbSectors
             : static_cast<std::uint32_t>(kMaxSectors);
}

// First sector at or after the offset; with exact set, the offset must be a sector's start.
ResultCode startSector(std::uint8_t manufacturer, std::uint8_t device, std::uint32_t offset,
                       std::uint32_t* sector, bool exact) {
  const FlashDescription* f = find(manufacturer, device);
  if (!f) return 15;
  if (offset == 0) {
    *sector = 0;
    return kOk;
  }
  std::uint64_t sum = 0;
  const std::uint32_t n = sectorCount(*f);
  for (std::uint32_t i = 0; i < n; ++i) {
    sum += f->Sectors[i].Size;
    if (sum >= offset) {
      if (exact && sum != offset) return 18;
      *sector = i + 1;
      return kOk;
    }
  }
  return 18;
}

void copyName(char* dest, const char (&src)[kNameSize]) {
  std::size_t n = 0;
  while (n < kNameSize - 1 && src[n] != '\0') ++n;
  std::memcpy(dest, src, n);
  dest[n] = '\0';
}

}  // namespace

ResultCode parseFlashDescription(const std::uint8_t* data, std::uint32_t size,
                                 FlashDescriptionTable& table) {
  return Parser(data, data ? size : 0, table).run();
}

ResultCode loadFlashDescription(const std::string& path, FlashDescriptionTable& table,
                                std::string* failure) {
  table.NbFlash = 0;
  std::string why;
  if (failure) failure->clear();
  std::vector<std::uint8_t> bytes;
  if (platform::readInputFile(path, kMaxFlashFileSize, &bytes, &why) != platform::InputStatus::Ok) {
    noteFile(path, why);
    if (failure) *failure = why;
    return 2;
  }
  return parseFlashDescription(bytes.data(), static_cast<std::uint32_t>(bytes.size()), table);
}

ResultCode dwl10_100InitFlashDescription(FlashDescriptionTable& table, std::string* failure,
                                         const platform::DataFolders& dataFolders) {
  return loadFlashDescription(platform::dataFilePath("flash.txt", dataFolders), table, failure);
}

const FlashDescriptionTable& flashTable() {
  static const FlashDescriptionTable kNone;
  const JobState* job = currentJob();
  return job && job->flash ? *job->flash : kNone;
}

ResultCode dwl10_500GetFlashIndex(std::uint8_t manufacturer, std::uint8_t device,
                                  std::uint8_t* index) {
  const FlashDescription* f = find(manufacturer, device);
  if (!f) return 15;
  *index = static_cast<std::uint8_t>(f - flashTable().Flash);
  return kOk;
}

ResultCode dwl10_1GetNumberOfSector(std::uint8_t manufacturer, std::uint8_t device,
                                    std::uint32_t* count) {
  const FlashDescription* f = find(manufacturer, device);
  if (!f) return 15;
  *count = f->NbSectors;
  return kOk;
}

ResultCode dwl10_0GetSectorSize(std::uint8_t manufacturer, std::uint8_t device,
                                std::uint32_t sector, std::uint32_t* size) {
  const FlashDescription* f = find(manufacturer, device);
  if (!f) return 15;
  if (sector >= sectorCount(*f)) return 19;
  *size = f->Sectors[sector].Size;
  return kOk;
}

ResultCode dwl10_4GetSectorBank(std::uint8_t manufacturer, std::uint8_t device,
                                std::uint16_t sector, std::uint8_t* bank) {
  const FlashDescription* f = find(manufacturer, device);
  if (!f) return 15;
  // Rows past the description's count are answered as they stand; past the table, refused.
  if (sector >= kMaxSectors) return 19;
  *bank = f->Sectors[sector].Bank;
  return kOk;
}

ResultCode dwl10_5GetFlashSize(std::uint8_t manufacturer, std::uint8_t device,
                               std::uint32_t* size) {
  *size = 0;
  const FlashDescription* f = find(manufacturer, device);
  if (!f) return 15;
  std::uint32_t sum = 0;
  const std::uint32_t n = sectorCount(*f);
  for (std::uint32_t i = 0; i < n; ++i) sum += f->Sectors[i].Size;
  *size = sum;
  return kOk;
}

ResultCode dwl10_2GetSectorNumberWithStartAddr(std::uint8_t manufacturer, std::uint8_t device,
                                               std::uint32_t offset, std::uint32_t* sector) {
  return startSector(manufacturer, device, offset, sector, false);
}

ResultCode dwl10_2GetSectorNumberWithStartAddr_ogm(std::uint8_t manufacturer, std::uint8_t device,
                                                   std::uint32_t offset, std::uint32_t* sector) {
  return startSector(manufacturer, device, offset, sector, true);
}

ResultCode dwl10_3GetSectorList(std::uint8_t manufacturer, std::uint8_t device,
                                std::uint32_t offset, std::uint32_t length, std::uint32_t* list) {
  list[0] = 0;
  list[1] = 0;
  const FlashDescription* f = find(manufacturer, device);
  if (!f) return 15;
  std::uint32_t sector = 0;
  const ResultCode rc = dwl10_2GetSectorNumberWithStartAddr(manufacturer, device, offset, &sector);
  if (rc != kOk) return rc;
  const std::uint32_t n = sectorCount(*f);
  std::uint64_t total = 0;
  std::uint32_t count = 0;
  for (; total < length; ++sector) {
    if (sector >= n) return 20;
    list[2 + count++] = sector;
    total += f->Sectors[sector].Size;
  }
  list[0] = count;
  list[1] = static_cast<std::uint32_t>(total);
  return kOk;
}

ResultCode dwl10_6GetManufacturerAndFlashName(std::uint8_t manufacturer, std::uint8_t device,
                                              char* manufacturerName, char* deviceName) {
  const FlashDescription* f = find(manufacturer, device);
  if (!f) return 15;
  copyName(manufacturerName, f->ManufacturerName);
  copyName(deviceName, f->DeviceName);
  return kOk;
}

}  // namespace dwl
