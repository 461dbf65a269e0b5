#include "dwl/dwl10fla.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "support/bound_job.h"
#include "support/temp_dir.h"

namespace {

using dwl::FlashDescriptionTable;
using testsupport::TempDir;

// The table the tests' jobs are handed, under the program's name for it.
dwl::FlashDescriptionTable& vg_FlashDescritpion = testsupport::flashDescriptions();
// Why the latest loading of flash.txt could not read it.
std::string g_failure;

// The lines of one description of the example flash: eight 8192-byte sectors in bank 0, then
// thirty-one 65536-byte sectors in bank 1.
std::vector<std::string> exampleLines(int manufacturer = 137, int device = 24) {
  return {"NEW_FLASH",
          "MANUFACTURER_NAME : INTEL",
          "DEVICE_NAME : 28F160B3",
          "PHILIPS_PRODUCT : yes",
          "MANUFACTURER_ID : " + std::to_string(manufacturer),
          "DEVICE_ID : " + std::to_string(device),
          "NB_BANKS : 2",
          "NB_SECTORS : 39",
          "START_SECTOR_DESCRITPION",
          "0-7*8192*0",
          "8-38*65536*1",
          "END_SECTOR_DESCRIPTION",
          "END_FLASH"};
}

std::string join(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& l : lines) text += l + "\r\n";
  return text;
}

std::string example(int manufacturer = 137, int device = 24) {
  return join(exampleLines(manufacturer, device));
}

// Parses from a buffer of exactly the text's size, so that a read past it is caught by the
// address sanitizer.
dwl::ResultCode parse(const std::string& text, FlashDescriptionTable& table) {
  std::vector<std::uint8_t> bytes(text.begin(), text.end());
  return dwl::parseFlashDescription(bytes.data(), static_cast<std::uint32_t>(bytes.size()), table);
}

dwl::ResultCode parseGlobal(const std::string& text) {
  return parse(text, vg_FlashDescritpion);
}

std::string replaceLine(std::vector<std::string> lines, std::size_t index,
                        const std::string& line) {
  lines[index] = line;
  return join(lines);
}

std::string insertLine(std::vector<std::string> lines, std::size_t index, const std::string& line) {
  lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(index), line);
  return join(lines);
}

struct CodeCase {
  const char* name;
  std::string text;
  dwl::ResultCode code;
};

TEST(FlashDescriptionParser, EachLineHasItsCode) {
  const auto L = exampleLines();
  const CodeCase cases[] = {
      {"example", example(), 1},
      {"text instead of NEW_FLASH", "NEW_FLASK\r\n", 3},
      {"blank before NEW_FLASH", " NEW_FLASH\r\n", 3},
      {"MANUFACTURER_NAME", replaceLine(L, 1, "MANUFACTURER : INTEL"), 4},
      {"DEVICE_NAME", replaceLine(L, 2, "DEVICE : 28F160B3"), 5},
      {"PHILIPS_PRODUCT", replaceLine(L, 3, "PHILIPS : yes"), 6},
      {"MANUFACTURER_ID", replaceLine(L, 4, "MANUFACTURER_ID: 137"), 7},
      {"DEVICE_ID", replaceLine(L, 5, "device_id : 24"), 8},
      {"NB_BANKS without its trailing blank", replaceLine(L, 6, "NB_BANKS :"), 9},
      {"NB_SECTORS", replaceLine(L, 7, "NB_SECTOR : 39"), 10},
      {"START spelled correctly", replaceLine(L, 8, "START_SECTOR_DESCRIPTION"), 11},
      {"END_FLASH", replaceLine(L, 12, "END_FLASK"), 12},
      {"line after the sector lines", insertLine(L, 12, "0*8192*0"), 12},
      {"first sector not below NB_SECTORS", replaceLine(L, 10, "39*65536*1"), 13},
      {"range end not below NB_SECTORS", replaceLine(L, 10, "30-39*65536*1"), 14},
      {"NB_SECTORS above 300", replaceLine(L, 7, "NB_SECTORS : 301"), 17},
      {"comment among the keyword lines", insertLine(L, 3, "# product"), 6},
      {"empty line among the keyword lines", insertLine(L, 5, ""), 8},
      // Keyword lines begin with their keyword; the rest of the line is not read.
      {"blank after NEW_FLASH", replaceLine(L, 0, "NEW_FLASH "), 1},
      {"blank after END_FLASH", replaceLine(L, 12, "END_FLASH "), 1},
  };
  for (const CodeCase& c : cases) {
    SCOPED_TRACE(c.name);
    FlashDescriptionTable table;
    EXPECT_EQ(parse(c.text, table), c.code);
  }
}

TEST(FlashDescriptionParser, FileOnDisk) {
  TempDir dir;
  vg_FlashDescritpion.NbFlash = 5;
  EXPECT_EQ(dwl::dwl10_100InitFlashDescription(vg_FlashDescritpion, &g_failure), 2);
  EXPECT_EQ(vg_FlashDescritpion.NbFlash, 0);

  TempDir::write("flash.txt", "# flashes of the handset\r\n\r\n" + example());
  EXPECT_EQ(dwl::dwl10_100InitFlashDescription(vg_FlashDescritpion, &g_failure), 1);
  ASSERT_EQ(vg_FlashDescritpion.NbFlash, 1);
  EXPECT_EQ(vg_FlashDescritpion.Flash[0].FlashSize, 2097152u);

  TempDir::write("flash.txt", std::string(""));
  EXPECT_EQ(dwl::dwl10_100InitFlashDescription(vg_FlashDescritpion, &g_failure), 1);
  EXPECT_EQ(vg_FlashDescritpion.NbFlash, 0);
  EXPECT_EQ(g_failure, "");
}

// A FIFO would block the start-up forever; a huge file is not read at all. Both give 2 and a
// cause that names the file.
TEST(FlashDescriptionParser, FileThatIsNoFlashDescription) {
  TempDir dir;
  ASSERT_EQ(testsupport::makeFifo("flash.txt"), 0);
  EXPECT_EQ(dwl::dwl10_100InitFlashDescription(vg_FlashDescritpion, &g_failure), 2);
  EXPECT_EQ(g_failure, "flash.txt: not a regular file");
  std::filesystem::remove("flash.txt");
  TempDir::write("flash.txt", example() + std::string(dwl::kMaxFlashFileSize, '#'));
  EXPECT_EQ(dwl::dwl10_100InitFlashDescription(vg_FlashDescritpion, &g_failure), 2);
  EXPECT_EQ(g_failure, "flash.txt: larger than 1048576 bytes");
  EXPECT_EQ(vg_FlashDescritpion.NbFlash, 0);
}

TEST(FlashDescriptionParser, FieldsOfTheExample) {
  FlashDescriptionTable table;
  ASSERT_EQ(parse(example(), table), 1);
  ASSERT_EQ(table.NbFlash, 1);
  const dwl::FlashDescription& f = table.Flash[0];
  EXPECT_STREQ(f.ManufacturerName, "INTEL");
  EXPECT_STREQ(f.DeviceName, "28F160B3");
  EXPECT_EQ(f.ManufacturerId, 0x89);
  EXPECT_EQ(f.DeviceId, 0x18);
  EXPECT_EQ(f.NbBanks, 2);
  EXPECT_EQ(f.NbSectors, 39u);
  EXPECT_EQ(f.FlashSize, 2097152u);
}

TEST(FlashDescriptionParser, OnlyCommentsAndEmptyLines) {
  const std::string texts[] = {"", "# one\r\n", "\r\n\r\n# two\r\n", "#no line feed"};
  for (const std::string& t : texts) {
    FlashDescriptionTable table;
    table.NbFlash = 3;
    EXPECT_EQ(parse(t, table), 1) << t;
    EXPECT_EQ(table.NbFlash, 0) << t;
  }
}

TEST(FlashDescriptionParser, NumbersAreReadLikeAtoi) {
  struct Case {
    std::string value;
    int expected;  // the stored byte
  } cases[] = {
      {"137", 0x89}, {"0x89", 0}, {"  +24", 24}, {"12abc", 12},
      {"", 0},       {"none", 0}, {"393", 0x89}, {"-1", 0xFF},
  };
  for (const Case& c : cases) {
    FlashDescriptionTable table;
    ASSERT_EQ(parse(replaceLine(exampleLines(), 4, "MANUFACTURER_ID : " + c.value), table), 1)
        << c.value;
    EXPECT_EQ(table.Flash[0].ManufacturerId, c.expected) << c.value;
  }
}

TEST(FlashDescriptionParser, NumberOfSectorsLimit) {
  struct Case {
    const char* value;
    dwl::ResultCode code;
  } cases[] = {
      {"300", 1}, {"301", 17}, {"-1", 17}, {"4294967296", 17}, {"99999999999999999999", 17},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    auto lines = exampleLines();
    lines[7] = std::string("NB_SECTORS : ") + c.value;
    lines[10] = "8-299*65536*1";
    FlashDescriptionTable table;
    EXPECT_EQ(parse(join(lines), table), c.code);
    if (c.code == 1) {
      EXPECT_EQ(table.Flash[0].NbSectors, 300u);
      EXPECT_EQ(table.Flash[0].FlashSize, 8u * 8192 + 292u * 65536);
    } else {
      EXPECT_EQ(table.Flash[0].NbSectors, 0u);  // too many rows never reach the table
    }
  }
}

TEST(FlashDescriptionParser, SectorLines) {
  struct Case {
    const char* line;
    dwl::ResultCode code;
    int sector;  // a sector to inspect when accepted
    std::uint32_t size;
    int bank;
  } cases[] = {
      {"38*65536*1", 1, 38, 65536, 1},
      {"38*4096*7", 1, 38, 4096, 7},
      {"38-38*1024*3", 1, 38, 1024, 3},
      {"20-10*1*1", 1, 10, 65536, 1},    // a reversed range stores nothing (line 9 stays)
      {"38*1024*300", 1, 38, 1024, 44},  // the bank keeps its low 8 bits
      {"38*1024*", 1, 38, 1024, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    auto lines = exampleLines();
    lines.insert(lines.begin() + 11, c.line);
    FlashDescriptionTable table;
    ASSERT_EQ(parse(join(lines), table), c.code);
    EXPECT_EQ(table.Flash[0].Sectors[c.sector].Size, c.size);
    EXPECT_EQ(table.Flash[0].Sectors[c.sector].Bank, c.bank);
  }
}

// Missing sector lines leave sectors of size 0, also when the table held rows before.
TEST(FlashDescriptionParser, FewerSectorLinesThanSectors) {
  FlashDescriptionTable table;
  ASSERT_EQ(parse(example(), table), 1);
  auto lines = exampleLines();
  lines.erase(lines.begin() + 10);
  ASSERT_EQ(parse(join(lines), table), 1);
  EXPECT_EQ(table.Flash[0].FlashSize, 65536u);
  EXPECT_EQ(table.Flash[0].Sectors[8].Size, 0u);
}

TEST(FlashDescriptionParser, TwentyDescriptionsAndNoMore) {
  testsupport::BoundJob job;
  std::string text;
  for (int i = 0; i < 20; ++i) text += "# flash " + std::to_string(i) + "\r\n" + example(1, i);
  ASSERT_EQ(parseGlobal(text), 1);
  EXPECT_EQ(vg_FlashDescritpion.NbFlash, 20);

  ASSERT_EQ(parseGlobal(text + example(1, 20)), 16);
  EXPECT_EQ(vg_FlashDescritpion.NbFlash, 20);
  std::uint8_t index = 0;
  EXPECT_EQ(dwl::dwl10_500GetFlashIndex(1, 19, &index), 1);
  EXPECT_EQ(index, 19);
  std::uint32_t size = 0;
  EXPECT_EQ(dwl::dwl10_5GetFlashSize(1, 19, &size), 1);
  EXPECT_EQ(size, 2097152u);
  EXPECT_EQ(dwl::dwl10_500GetFlashIndex(1, 20, &index), 15);
}

TEST(FlashDescriptionParser, AFailedDescriptionStaysCounted) {
  FlashDescriptionTable table;
  const std::string text = example(1, 1) + replaceLine(exampleLines(1, 2), 7, "NB_SECTORS 39");
  EXPECT_EQ(parse(text, table), 10);
  ASSERT_EQ(table.NbFlash, 2);
  EXPECT_EQ(table.Flash[0].FlashSize, 2097152u);
  EXPECT_STREQ(table.Flash[1].DeviceName, "28F160B3");
  EXPECT_EQ(table.Flash[1].NbBanks, 2);
  EXPECT_EQ(table.Flash[1].NbSectors, 0u);
}

// Lines the format does not allow: every one is refused with the nearest code, none is cut short.
TEST(FlashDescriptionParser, MalformedLinesAreRefused) {
  const auto L = exampleLines();
  const std::string longLine = "8-38*65536*1" + std::string(26, '0');  // 39 characters with CR
  const std::string tooLong = "8-38*65536*1" + std::string(27, '0');   // 40
  std::string text = example();
  const CodeCase cases[] = {
      {"name of 14 characters", replaceLine(L, 1, "MANUFACTURER_NAME : ABCDEFGHIJKLMN"), 1},
      {"manufacturer name of 15", replaceLine(L, 1, "MANUFACTURER_NAME : ABCDEFGHIJKLMNO"), 4},
      {"device name of 200", replaceLine(L, 2, "DEVICE_NAME : " + std::string(200, 'D')), 5},
      {"sector line of 39 characters", replaceLine(L, 10, longLine), 1},
      {"sector line of 40 characters", replaceLine(L, 10, tooLong), 13},
      {"sector line of 5000 characters", replaceLine(L, 10, std::string(5000, '1')), 13},
      {"sector line without separator", replaceLine(L, 10, "8"), 13},
      {"range without its star", replaceLine(L, 10, "8-38"), 14},
      {"range without its second star", replaceLine(L, 10, "8-38*65536"), 13},
      {"single sector without its second star", replaceLine(L, 10, "8*65536"), 13},
      {"comment among the sector lines", insertLine(L, 10, "# bank 1"), 13},
      {"empty line among the sector lines", insertLine(L, 10, ""), 13},
      {"sector number that wraps in 16 bits", replaceLine(L, 10, "65536*65536*1"), 13},
      {"range end that wraps in 16 bits", replaceLine(L, 10, "8-65574*65536*1"), 14},
      {"range to a negative sector", replaceLine(L, 10, "8--1*65536*1"), 14},
      {"negative size", replaceLine(L, 10, "8-38*-65536*1"), 13},
      {"sectors beyond 32-bit offsets", replaceLine(L, 10, "8-38*2147483647*1"), 13},
      {"size beyond 32 bits", replaceLine(L, 10, "8-38*6553632768*1"), 13},
      {"size of 2^31", replaceLine(L, 10, "38*2147483648*1"), 13},
      {"number text of 40 characters",
       replaceLine(L, 5, "DEVICE_ID : " + std::string(38, '0') + "24"), 8},
      {"number text of 39 characters",
       replaceLine(L, 5, "DEVICE_ID : " + std::string(37, '0') + "24"), 1},
      {"sector line without CR", text.replace(text.find("0-7*8192*0\r\n"), 12, "0-7*8192*0\n"), 13},
      {"keyword line without CR", "NEW_FLASH\n" + join(std::vector(L.begin() + 1, L.end())), 3},
      {"value line without CR",
       join(std::vector(L.begin(), L.begin() + 6)) + "NB_BANKS : 2\n" +
           join(std::vector(L.begin() + 7, L.end())),
       9},
      {"CR without LF", replaceLine(L, 4, "MANUFACTURER_ID : 137\rDEVICE_ID : 24"), 7},
      {"text after a keyword", replaceLine(L, 8, "START_SECTOR_DESCRITPION please"), 1},
      {"keyword with a lone CR", replaceLine(L, 8, "START_SECTOR_DESCRITPION\rx"), 11},
      // A sector line begins with digits; atoi would read these as sector 0.
      {"commented-out sector line", insertLine(L, 10, "#30-38*4096*1"), 13},
      {"sector line with a sign", insertLine(L, 10, "-5*4096*0"), 13},
      {"sector line without a first number", insertLine(L, 10, "  *4096*0"), 13},
      {"blanks before the first number", replaceLine(L, 9, " \t0-7*8192*0"), 1},
      {"file ends inside the sector lines", join(std::vector(L.begin(), L.begin() + 11)), 12},
      {"file ends in a sector line", join(std::vector(L.begin(), L.begin() + 10)) + "8-38*65", 13},
      {"file ends after NEW_FLASH", "NEW_FLASH", 4},
      {"last line without CR LF", example().substr(0, example().size() - 2), 1},
      {"last line without LF", example().substr(0, example().size() - 1), 1},
      {"binary garbage", std::string("\x00\xff\x13NEW_FLASH\x00", 13), 3},
      {"NUL inside a name", replaceLine(L, 2, std::string("DEVICE_NAME : A\0B", 17)), 1},
      {"LF-only file", "NEW_FLASH\nMANUFACTURER_NAME : X\n", 3},
      {"stray LF between descriptions", example() + "\n" + example(), 3},
  };
  for (const CodeCase& c : cases) {
    SCOPED_TRACE(c.name);
    FlashDescriptionTable table;
    EXPECT_EQ(parse(c.text, table), c.code);
  }
}

// Whatever the cut, a truncated file is never taken for a complete description.
TEST(FlashDescriptionParser, EveryTruncationIsRefused) {
  const std::string text = example();
  const std::size_t complete = text.size() - 2;  // END_FLASH without its CR LF
  for (std::size_t n = 1; n <= text.size(); ++n) {
    FlashDescriptionTable table;
    const dwl::ResultCode rc = parse(text.substr(0, n), table);
    if (n >= complete) {
      EXPECT_EQ(rc, 1) << n;
    } else {
      EXPECT_NE(rc, 1) << n;
      EXPECT_GE(rc, 3) << n;
      EXPECT_LE(rc, 14) << n;
    }
  }
}

class Geometry : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(parseGlobal(example(0x89, 0x18)), 1); }
  static constexpr std::uint8_t M = 0x89, D = 0x18;
  testsupport::BoundJob job;
};

TEST_F(Geometry, StartSectors) {
  struct Case {
    std::uint32_t offset;
    dwl::ResultCode rc;
    std::uint32_t sector;
    dwl::ResultCode ogmRc;
    std::uint32_t ogmSector;
  } cases[] = {
      {0, 1, 0, 1, 0},         {8192, 1, 1, 1, 1},      {100, 1, 1, 18, 0},
      {65536, 1, 8, 1, 8},     {65537, 1, 9, 18, 0},    {2097152, 1, 39, 1, 39},
      {2097151, 1, 39, 18, 0}, {3000000, 18, 0, 18, 0}, {2097153, 18, 0, 18, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.offset);
    std::uint32_t sector = 777;
    EXPECT_EQ(dwl::dwl10_2GetSectorNumberWithStartAddr(M, D, c.offset, &sector), c.rc);
    EXPECT_EQ(sector, c.rc == 1 ? c.sector : 777u);
    sector = 777;
    EXPECT_EQ(dwl::dwl10_2GetSectorNumberWithStartAddr_ogm(M, D, c.offset, &sector), c.ogmRc);
    EXPECT_EQ(sector, c.ogmRc == 1 ? c.ogmSector : 777u);
  }
}

TEST_F(Geometry, SectorLists) {
  struct Case {
    std::uint32_t offset, length;
    dwl::ResultCode rc;
    std::vector<std::uint32_t> sectors;
    std::uint32_t total;
  } cases[] = {
      {0, 10000, 1, {0, 1}, 16384}, {65536, 65536, 1, {8}, 65536},
      {100, 1, 1, {1}, 8192},       {0, 0, 1, {}, 0},
      {2097152, 0, 1, {}, 0},       {0, 2097152, 1, {}, 2097152},  // filled below: all 39
      {0, 2097153, 20, {}, 0},      {2097152, 1, 20, {}, 0},
      {3000000, 1, 18, {}, 0},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.offset) + "+" + std::to_string(c.length));
    if (c.total == 2097152)
      for (std::uint32_t s = 0; s < 39; ++s) c.sectors.push_back(s);
    std::vector<std::uint32_t> list(dwl::kSectorListWords, 0xAAAAAAAA);
    EXPECT_EQ(dwl::dwl10_3GetSectorList(M, D, c.offset, c.length, list.data()), c.rc);
    EXPECT_EQ(list[0], c.sectors.size());
    EXPECT_EQ(list[1], c.total);
    if (c.rc == 1) {
      std::vector<std::uint32_t> got(list.begin() + 2, list.begin() + 2 + list[0]);
      EXPECT_EQ(got, c.sectors);
    }
  }
}

TEST_F(Geometry, SizesCountsBanksAndNames) {
  std::uint32_t v = 0;
  EXPECT_EQ(dwl::dwl10_0GetSectorSize(M, D, 38, &v), 1);
  EXPECT_EQ(v, 65536u);
  EXPECT_EQ(dwl::dwl10_0GetSectorSize(M, D, 7, &v), 1);
  EXPECT_EQ(v, 8192u);
  v = 5;
  EXPECT_EQ(dwl::dwl10_0GetSectorSize(M, D, 39, &v), 19);
  EXPECT_EQ(v, 5u);
  EXPECT_EQ(dwl::dwl10_1GetNumberOfSector(M, D, &v), 1);
  EXPECT_EQ(v, 39u);
  EXPECT_EQ(dwl::dwl10_5GetFlashSize(M, D, &v), 1);
  EXPECT_EQ(v, 2097152u);

  std::uint8_t bank = 9;
  EXPECT_EQ(dwl::dwl10_4GetSectorBank(M, D, 8, &bank), 1);
  EXPECT_EQ(bank, 1);
  EXPECT_EQ(dwl::dwl10_4GetSectorBank(M, D, 7, &bank), 1);
  EXPECT_EQ(bank, 0);
  bank = 9;
  EXPECT_EQ(dwl::dwl10_4GetSectorBank(M, D, 299, &bank), 1);  // not compared with NB_SECTORS
  EXPECT_EQ(bank, 0);
  bank = 9;
  EXPECT_EQ(dwl::dwl10_4GetSectorBank(M, D, 300, &bank), 19);  // outside the table
  EXPECT_EQ(bank, 9);

  char maker[dwl::kNameSize];
  char device[dwl::kNameSize];
  std::memset(maker, 'x', sizeof maker);
  std::memset(device, 'x', sizeof device);
  EXPECT_EQ(dwl::dwl10_6GetManufacturerAndFlashName(M, D, maker, device), 1);
  EXPECT_STREQ(maker, "INTEL");
  EXPECT_STREQ(device, "28F160B3");
}

TEST_F(Geometry, UnknownFlashGivesFifteenEverywhere) {
  for (int emptyTable = 0; emptyTable < 2; ++emptyTable) {
    SCOPED_TRACE(emptyTable ? "empty table" : "unknown pair");
    if (emptyTable) {
      ASSERT_EQ(parseGlobal(""), 1);
    }
    const std::uint8_t m = emptyTable ? M : 0x89, d = emptyTable ? D : 0x19;
    std::uint8_t b = 0;
    std::uint32_t v = 0;
    std::uint32_t list[dwl::kSectorListWords];
    list[0] = list[1] = 7;
    char n1[dwl::kNameSize], n2[dwl::kNameSize];
    EXPECT_EQ(dwl::dwl10_500GetFlashIndex(m, d, &b), 15);
    EXPECT_EQ(dwl::dwl10_1GetNumberOfSector(m, d, &v), 15);
    EXPECT_EQ(dwl::dwl10_0GetSectorSize(m, d, 0, &v), 15);
    EXPECT_EQ(dwl::dwl10_4GetSectorBank(m, d, 0, &b), 15);
    v = 7;
    EXPECT_EQ(dwl::dwl10_5GetFlashSize(m, d, &v), 15);
    EXPECT_EQ(v, 0u);
    EXPECT_EQ(dwl::dwl10_2GetSectorNumberWithStartAddr(m, d, 0, &v), 15);
    EXPECT_EQ(dwl::dwl10_2GetSectorNumberWithStartAddr_ogm(m, d, 0, &v), 15);
    EXPECT_EQ(dwl::dwl10_3GetSectorList(m, d, 0, 1, list), 15);
    EXPECT_EQ(list[0], 0u);
    EXPECT_EQ(list[1], 0u);
    EXPECT_EQ(dwl::dwl10_6GetManufacturerAndFlashName(m, d, n1, n2), 15);
  }
}

TEST(FlashLookup, TheFirstOfTwoEqualDescriptionsWins) {
  testsupport::BoundJob job;
  std::string second = example(0x89, 0x18);
  second.replace(second.find("8-38*65536*1"), 12, "8-38*32768*1");
  ASSERT_EQ(parseGlobal(example(0x01, 0x22) + example(0x89, 0x18) + second), 1);
  std::uint8_t index = 0;
  EXPECT_EQ(dwl::dwl10_500GetFlashIndex(0x89, 0x18, &index), 1);
  EXPECT_EQ(index, 1);
  std::uint32_t size = 0;
  EXPECT_EQ(dwl::dwl10_0GetSectorSize(0x89, 0x18, 8, &size), 1);
  EXPECT_EQ(size, 65536u);
}

}  // namespace
