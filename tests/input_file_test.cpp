// Opening the files a user hands us: only regular files, never blocking, measured before read.
#include "platform/input_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "support/temp_dir.h"

namespace {

using platform::InputStatus;
using testsupport::TempDir;

TEST(InputFile, RefusesWhatIsNotARegularFileOfTheRightSize) {
  TempDir dir;
  TempDir::write("ten", std::string("0123456789"));
  TempDir::write("empty", std::string());
  std::filesystem::create_directory("folder");
  ASSERT_EQ(::mkfifo("fifo", 0600), 0);
  struct Case {
    const char* path;
    std::uint64_t max;
    InputStatus status;
    const char* why;  // empty after a success
    std::size_t size;
  } cases[] = {
      {"ten", 10, InputStatus::Ok, "", 10},
      {"empty", 0, InputStatus::Ok, "", 0},
      {"ten", 9, InputStatus::TooLarge, "ten: larger than 9 bytes", 0},
      {"missing", 10, InputStatus::CannotOpen, "missing: No such file or directory", 0},
      {"folder", 10, InputStatus::NotRegularFile, "folder: not a regular file", 0},
      // A FIFO without a writer: an open that blocked would hang the test here.
      {"fifo", 10, InputStatus::NotRegularFile, "fifo: not a regular file", 0},
      {"/dev/null", 10, InputStatus::NotRegularFile, "/dev/null: not a regular file", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    std::vector<std::uint8_t> bytes{1};
    std::string why;
    EXPECT_EQ(platform::readInputFile(c.path, c.max, &bytes, &why), c.status);
    EXPECT_EQ(why, c.why);
    EXPECT_EQ(bytes.size(), c.size);
  }
  std::vector<std::uint8_t> bytes;
  ASSERT_EQ(platform::readInputFile("ten", 10, &bytes), InputStatus::Ok);
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "0123456789");
}

TEST(InputFile, AFileThatShrinksAfterItWasMeasuredIsAReadError) {
  TempDir dir;
  TempDir::write("image", std::string(100, 'x'));
  platform::InputFile file;
  ASSERT_EQ(file.open("image", 1000), InputStatus::Ok);
  ASSERT_EQ(file.size(), 100u);
  ASSERT_EQ(::truncate("image", 40), 0);
  std::vector<std::uint8_t> buffer(100);
  std::string why;
  EXPECT_EQ(file.readAll(buffer.data(), &why), InputStatus::ReadError);
  EXPECT_EQ(why.rfind("image: ", 0), 0u) << why;
}

}  // namespace
