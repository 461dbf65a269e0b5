#include "dwl/dwl12pclib.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>
#include <filesystem>

#include "dwl/dwl11command.h"
#include "platform/scripted_rs232.h"
#include "support/bound_job.h"
#include "support/temp_dir.h"

namespace {

using testsupport::TempDir;

struct SpmCase {
  const char* name;
  int fileSize;  // -1: no file
  int productType;
  dwl::ResultCode result;
  std::uint32_t length;
};

TEST(LoadSpmFile, SizesAndProductTypes) {
  const SpmCase cases[] = {
      {"empty file", 0, 2, 3, 0},  // nothing to boot: refused, by name
      {"largest bootstrap", 8191, 2, 1, 8191},
      {"one byte too long", 8192, 2, 4, 0},  // refused from its size, unread
      {"product type 1", 1000, 1, 1, 1000},
      {"no file", -1, 2, 3, 0},
      {"product type without a bootstrap", 1000, 0, 3, 0},
      {"product type 3", 1000, 3, 3, 0},
  };
  for (const SpmCase& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    testsupport::BoundJob job;
    std::vector<std::uint8_t> content;
    for (int i = 0; i < c.fileSize; ++i) content.push_back(static_cast<std::uint8_t>(i * 7 + 3));
    if (c.fileSize >= 0) TempDir::write("dwl87.spm", content);
    std::vector<std::uint8_t> buffer(dwl::kSpmBufferSize, 0xEE);
    std::uint32_t length = 0;
    EXPECT_EQ(dwl::dwl12_4LoadSpmFile(&length, buffer.data(), c.productType), c.result);
    EXPECT_EQ(length, c.length);
    for (std::uint32_t i = 0; i < c.length; ++i) ASSERT_EQ(buffer[i], content[i]) << i;
    // Nothing is written past the largest bootstrap.
    EXPECT_EQ(buffer[8191], 0xEE);
  }
}

// The cause goes with the code, and a FIFO in place of the file gives 3 at once.
TEST(LoadSpmFile, SaysWhyTheFileWasRefused) {
  TempDir dir;
  testsupport::BoundJob job;
  std::vector<std::uint8_t> buffer(dwl::kSpmBufferSize);
  std::uint32_t length = 0;
  ASSERT_EQ(testsupport::makeFifo("dwl87.spm"), 0);
  EXPECT_EQ(dwl::dwl12_4LoadSpmFile(&length, buffer.data(), 2), 3);
  EXPECT_EQ(dwl::spmFileFailure(), "dwl87.spm: not a regular file");
  std::filesystem::remove("dwl87.spm");
  TempDir::write("dwl87.spm", std::string(9000, 'x'));
  EXPECT_EQ(dwl::dwl12_4LoadSpmFile(&length, buffer.data(), 2), 4);
  EXPECT_EQ(dwl::spmFileFailure(), "dwl87.spm: larger than 8191 bytes");
  EXPECT_EQ(length, 0u);
}

TEST(CalculateLengthOfFile, ExistingAndMissing) {
  TempDir dir;
  TempDir::write("five", std::string("12345"));
  std::uint32_t length = 99;
  EXPECT_EQ(dwl::dwl12_2CalculateLengthOfFile("five", &length), 1);
  EXPECT_EQ(length, 5u);
  EXPECT_EQ(dwl::dwl12_2CalculateLengthOfFile("missing", &length), 2);
  EXPECT_EQ(dwl::dwl12_2CalculateLengthOfFile(".", &length), 2);
}

TEST(ConversionLittleBig, Widths) {
  struct Case {
    std::uint32_t in;
    int width;
    dwl::ResultCode result;
    std::uint32_t out;
  } cases[] = {
      {0x12345678, 4, 1, 0x78563412}, {0x1234, 2, 1, 0x3412},
      {0x123456, 3, 1, 0x563412},     {0xAB, 1, 1, 0xAB},
      {0x12345678, 0, 5, 0},          {0x12345678, 5, 5, 0},
      {0x12345678, -1, 5, 0},         {0xAABB1234, 2, 1, 0x00AABF12},
  };
  for (const Case& c : cases) {
    std::uint32_t out = 0xDEAD;
    EXPECT_EQ(dwl::dwl12_5ConversionLittleBig(c.in, &out, c.width), c.result) << c.width;
    EXPECT_EQ(out, c.out) << std::hex << c.in << " width " << c.width;
  }
}

TEST(InitializeDefaultPath, CopiesTheDirectoryAndTerminatesIt) {
  char dest[64];
  std::memset(dest, 'x', sizeof dest);
  dest[63] = '\0';
  dwl::dwl12_6InitializeDefaultPath(dest, "c:\\varnel\\image.bin");
  EXPECT_STREQ(dest, "c:\\varnel");

  std::strcpy(dest, "previous");
  dwl::dwl12_6InitializeDefaultPath(dest, "image.bin");
  EXPECT_STREQ(dest, "previous");

  std::strcpy(dest, "a much longer earlier directory");
  dwl::dwl12_6InitializeDefaultPath(dest, "c:\\d\\x");
  EXPECT_STREQ(dest, "c:\\d");
}

TEST(UartInit, OpensWithTheStatedSettingsInOrder) {
  platform::ScriptedRs232 port;
  testsupport::LineJob job(&port);
  EXPECT_EQ(dwl::dwl12_0UartInit(4, 38400, 2, 5), 1);
  EXPECT_EQ(port.events(), (std::vector<std::string>{"open COM4 38400 2", "dtr 0", "time 5"}));
  EXPECT_EQ(port.baud(), 38400);
  EXPECT_EQ(port.parity(), 2);
  dwl::dwl12_1UartStop(4);
  EXPECT_FALSE(port.isOpen());
  EXPECT_EQ(port.events().back(), "close");
}

// Outside a job, or in a job without a port, nothing opens and only silence is heard, as on a
// port that cannot be opened.
TEST(UartInit, WithoutAPortNothingOpensAndNothingAnswers) {
  const auto closed = [] {
    EXPECT_EQ(static_cast<std::uint32_t>(dwl::dwl12_0UartInit(4, 38400, 2, 5)), 0xFFFFFFFAu);
    EXPECT_EQ(dwl::dwl11_7SwitchOffCommand(4), 20);
    dwl::dwl12_1UartStop(4);
  };
  {
    SCOPED_TRACE("no job");
    closed();
  }
  {
    SCOPED_TRACE("a job without a port");
    testsupport::BoundJob job;
    closed();
  }
}

TEST(UartInit, RefusedOpeningGivesTheErrorWithBit31AndConfiguresNothing) {
  platform::ScriptedRs232 port;
  testsupport::LineJob job(&port);
  port.failOpenWith(-2);
  EXPECT_EQ(static_cast<std::uint32_t>(dwl::dwl12_0UartInit(9, 38400, 2, 5)), 0xFFFFFFFEu);
  EXPECT_EQ(port.events(), (std::vector<std::string>{"open COM9 38400 2"}));
  port.failOpenWith(6);
  EXPECT_EQ(static_cast<std::uint32_t>(dwl::dwl12_0UartInit(9, 38400, 2, 5)), 0x80000006u);
}

}  // namespace
