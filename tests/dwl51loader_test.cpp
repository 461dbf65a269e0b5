// Loading image files into the four slots: what a slot holds and shows, the file dialogs, and
// failed loads that must leave the slot as it was. Also the panel indicators the loads and the
// Start flow use.
#include "engines/downloader/dwl51loader.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "dwl/dwl52display.h"
#include "support/flash_geometry.h"
#include "support/temp_dir.h"

namespace {

// The test's own record, as each program keeps its own.
downloader::DownloadContext sg_DownloadContext;

// Replaces the allocation of the record's image buffers; empty restores malloc.
void setImageAllocator(std::function<void*(std::size_t)> allocate) {
  sg_DownloadContext.State.allocate = std::move(allocate);
}

using dwl::Slot;

struct SlotView {
  const char* path;
  std::uint8_t* data;
  std::uint32_t length;
  std::uint8_t loaded;
};

SlotView view(Slot s) {
  const auto& c = sg_DownloadContext;
  switch (s) {
    case Slot::Bin1:
      return {c.Bin1Path, c.Bin1Data, c.Bin1Length, c.Bin1Loaded};
    case Slot::Bin2:
      return {c.Bin2Path, c.Bin2Data, c.Bin2Length, c.Bin2Loaded};
    case Slot::Ogm1:
      return {c.Ogm1Path, c.Ogm1Data, c.Ogm1Length, c.Ogm1Loaded};
    default:
      return {c.Ogm2Path, c.Ogm2Data, c.Ogm2Length, c.Ogm2Loaded};
  }
}

class Loader : public ::testing::Test {
 protected:
  void SetUp() override { sg_DownloadContext.State.flash = &testsupport::flashDescriptions(); }
  void TearDown() override {
    downloader::resetImageSlots(sg_DownloadContext);
    setImageAllocator({});
  }
  testsupport::TempDir dir;
};

TEST_F(Loader, SlotHoldsTheFileAndShowsItsSizeAndSum) {
  struct Case {
    const char* name;
    Slot slot;
    std::vector<std::uint8_t> bytes;
    std::uint32_t stored, sum;
  };
  const Case cases[] = {
      {"odd ogm gets an erased spare byte", Slot::Ogm1, {1, 2, 3, 4, 5}, 6, 15 + 0xFF},
      {"odd bin keeps its length", Slot::Bin1, {1, 2, 3, 4, 5}, 5, 15},
      {"even ogm", Slot::Ogm2, {9, 9, 9, 9}, 4, 36},
      {"unsigned byte sum", Slot::Bin2, {0xFF, 0x01}, 2, 256},
      {"empty file", Slot::Ogm2, {}, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::TempDir::write("image.bin", c.bytes);
    const downloader::LoadOutcome out =
        downloader::loadImageFile(sg_DownloadContext, c.slot, "image.bin");
    ASSERT_EQ(out.code, dwl::kOk);
    const SlotView v = view(c.slot);
    EXPECT_EQ(v.loaded, 1);
    EXPECT_STREQ(v.path, "image.bin");
    ASSERT_NE(v.data, nullptr);
    EXPECT_EQ(v.length, c.stored);
    EXPECT_EQ(std::vector<std::uint8_t>(v.data, v.data + c.bytes.size()), c.bytes);
    EXPECT_EQ(v.data[c.bytes.size()], 0xFF);
    // What the slot's displays show: the path, the file's size, the sum of the bytes sent.
    EXPECT_EQ(out.path, "image.bin");
    EXPECT_EQ(out.size, c.bytes.size());
    EXPECT_EQ(out.sum, c.sum);
  }
}

TEST_F(Loader, LogLineOfEachSlot) {
  std::vector<std::string> lines;
  for (Slot s : {Slot::Bin1, Slot::Bin2, Slot::Ogm1, Slot::Ogm2})
    lines.push_back(downloader::loadingText(s));
  EXPECT_EQ(lines,
            (std::vector<std::string>{
                "Bin1 file loading, please wait... ", "Bin2 file loading, please wait... ",
                "Ogm1 file loading, please wait... ", "Ogm2 file loading, please wait... "}));
}

TEST_F(Loader, LoadingTwiceKeepsOnlyTheSecondFile) {
  testsupport::TempDir::write("first.bin", std::vector<std::uint8_t>(3000, 0x11));
  testsupport::TempDir::write("second.bin", std::vector<std::uint8_t>{7, 8});
  ASSERT_EQ(downloader::loadImageFile(sg_DownloadContext, Slot::Bin2, "first.bin").code, dwl::kOk);
  ASSERT_EQ(downloader::loadImageFile(sg_DownloadContext, Slot::Bin2, "second.bin").code, dwl::kOk);
  const SlotView v = view(Slot::Bin2);
  EXPECT_EQ(v.length, 2u);
  EXPECT_EQ(v.data[0], 7);
  EXPECT_EQ(v.data[1], 8);
  EXPECT_STREQ(v.path, "second.bin");
}

TEST_F(Loader, FailedLoadLeavesTheSlotAsItWasAndSaysWhy) {
  struct Case {
    const char* name;
    std::string path;
    bool allocationFails;
    dwl::ResultCode code;
    const char* message;
  };
  std::filesystem::create_directory("folder.bin");
  const Case cases[] = {
      {"missing file", "missing.bin", false, 3, "LIB_PC : File not found"},
      {"size unavailable", "folder.bin", false, 2,
       "LIB_PC : The calculation of the file size create an error"},
      {"no memory", "new.bin", true, 6, "LIB_PC : Default error number _ 0x       6"},
      {"path too long for the field", std::string(300, 'x'), false, 3, "LIB_PC : File not found"},
  };
  testsupport::TempDir::write("old.ogm", std::vector<std::uint8_t>{1, 2, 3});
  testsupport::TempDir::write("new.bin", std::vector<std::uint8_t>{4, 5, 6});
  for (const Case& c : cases) {
    for (const bool loadedBefore : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (loadedBefore ? ", slot loaded" : ", empty slot"));
      downloader::resetImageSlots(sg_DownloadContext);
      if (loadedBefore) {
        ASSERT_EQ(downloader::loadImageFile(sg_DownloadContext, Slot::Ogm1, "old.ogm").code,
                  dwl::kOk);
      }
      const SlotView before = view(Slot::Ogm1);
      const std::string pathBefore = before.path;
      setImageAllocator(c.allocationFails ? [](std::size_t) -> void* { return nullptr; }
                                          : std::function<void*(std::size_t)>{});

      const downloader::LoadOutcome out =
          downloader::loadImageFile(sg_DownloadContext, Slot::Ogm1, c.path);
      EXPECT_EQ(out.code, c.code);
      setImageAllocator({});
      const SlotView after = view(Slot::Ogm1);
      EXPECT_EQ(after.path, pathBefore);
      EXPECT_EQ(after.loaded, before.loaded);
      EXPECT_EQ(after.data, before.data);
      EXPECT_EQ(after.length, before.length);
      // The window the front end opens; no slot display changes.
      dwl::Window window{};
      ASSERT_TRUE(dwl::resultWindow(dwl::RESULT_LIB_PC, out.code, &window));
      EXPECT_EQ(window, dwl::Window::LibPcErr);
      EXPECT_EQ(dwl::resultMessage(dwl::RESULT_LIB_PC, out.code), c.message);
      EXPECT_EQ(out.path, "");
      EXPECT_EQ(out.size, 0u);
      EXPECT_EQ(out.sum, 0u);
    }
  }
}

// Refused from what the file is and from its size, before a buffer is allocated or a byte read.
TEST_F(Loader, ImageThatCannotBeOneIsRefusedUnread) {
  ASSERT_EQ(testsupport::makeFifo("fifo.bin"), 0);
  testsupport::TempDir::write("big.bin", std::vector<std::uint8_t>(0x10001, 0x55));
  testsupport::TempDir::write("huge.bin", std::string());
  std::filesystem::resize_file("huge.bin", downloader::kMaxImageSize + 1);  // sparse
  struct Case {
    const char* name;
    bool flashDescribed;  // one of 64 KiB, else none
    const char* path;
    dwl::ResultCode code;
    const char* why;
  } cases[] = {
      {"FIFO", false, "fifo.bin", 2, "fifo.bin: not a regular file"},
      {"larger than the flash", true, "big.bin", 2,
       "big.bin: 65537 bytes, larger than the largest flash in flash.txt, TESTMAKER TEST128 "
       "(65536 bytes)"},
      {"no flash described", false, "big.bin", 1, ""},
      {"larger than any image", false, "huge.bin", 2,
       "huge.bin: 33554433 bytes, larger than any image (33554432 bytes)"},
      {"empty path", false, "", 3, "no image file named (the path is empty)"},
      {"missing", false, "missing.bin", 3, "missing.bin: No such file or directory"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.flashDescribed) {
      testsupport::setFlash({{1, 0x10000}});
    } else {
      testsupport::flashDescriptions() = dwl::FlashDescriptionTable{};
    }
    int allocations = 0;
    setImageAllocator([&](std::size_t n) {
      ++allocations;
      return std::malloc(n);
    });
    EXPECT_EQ(downloader::loadImageFile(sg_DownloadContext, Slot::Bin1, c.path).code, c.code);
    EXPECT_EQ(sg_DownloadContext.State.imageFileFailure, c.why);
    EXPECT_EQ(allocations, c.code == 1 ? 1 : 0);
  }
  testsupport::flashDescriptions() = dwl::FlashDescriptionTable{};
}

TEST_F(Loader, PathWrittenByTheConfigurationRestoreIsPutBackWhenItFails) {
  testsupport::TempDir::write("cla.bin", std::vector<std::uint8_t>{1, 2});
  ASSERT_EQ(downloader::loadImageFile(sg_DownloadContext, Slot::Bin1, "cla.bin").code, dwl::kOk);
  std::strcpy(sg_DownloadContext.Bin1Path, "gone.bin");
  downloader::dwl51_0InitLoadFile(sg_DownloadContext);
  EXPECT_STREQ(sg_DownloadContext.Bin1Path, "cla.bin");
  EXPECT_EQ(sg_DownloadContext.Bin1Length, 2u);
}

#ifndef _WIN32  // counts the descriptors in /proc
TEST_F(Loader, ReadabilityCheckLeavesNoFileOpen) {
  const auto openFiles = [] {
    return std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                         std::filesystem::directory_iterator{});
  };
  testsupport::TempDir::write("a.bin", std::vector<std::uint8_t>{1});
  const auto before = openFiles();
  for (int i = 0; i < 5; ++i) downloader::loadImageFile(sg_DownloadContext, Slot::Bin1, "a.bin");
  EXPECT_EQ(openFiles(), before);
}
#endif

TEST(PanelIndicators, ProcessorAndFlashTexts) {
  testsupport::BoundJob job;
  testsupport::setFlash({{4, 0x2000}}, 0x01, 0x7E, "AM29PDL128G");
  const std::pair<std::string, std::string> cases[] = {
      {dwl::cpuTypeText(0x9D), "Unknown boot"},
      {dwl::cpuTypeText(0xBE), "BOOT FROM A PCF5087"},
      {dwl::flashTypeText(0x01, 0x7E), " Flash AM29PDL128G"},
      {dwl::flashTypeText(0x01, 0x55), " Flash unknown (manufacturer 0x01, device 0x55)"},
  };
  for (const auto& [shown, expected] : cases) EXPECT_EQ(shown, expected);
}

}  // namespace
