// The dumper's two flows end to end against the emulated handset: what lands in dump.txt and what
// is left in the handset's flash.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "apps/dumper/dumper_app.h"
#include "emulator/emulator_rs232.h"
#include "emulator/handset_core.h"
#include "emulator/nor_flash.h"
#include "engines/dumper/dumper.h"
#include "support/dumper_flash.h"
#include "support/recording_panel.h"
#include "support/temp_dir.h"

namespace {

using dumper::DumperSectorMap;

constexpr std::uint32_t kFlashSize = testsupport::kDumperFlashSize;
using testsupport::dumperFlash;

std::vector<std::uint8_t> pattern(std::uint32_t size) {
  std::vector<std::uint8_t> out(size);
  std::uint32_t x = 0x12345678;
  for (std::uint32_t i = 0; i < size; ++i) {
    x = x * 1103515245u + 12345u;
    out[i] = static_cast<std::uint8_t>(x >> 24);
  }
  return out;
}

std::vector<std::uint8_t> slice(const std::vector<std::uint8_t>& v, std::uint32_t offset,
                                std::uint32_t count) {
  return {v.begin() + offset, v.begin() + offset + count};
}

class DumperEmulator : public ::testing::Test {
 protected:
  void SetUp() override {
    dumper::resetDumperState();
    testsupport::TempDir::write("dwl87.spm", std::vector<std::uint8_t>(600, 0x3C));
    contents = pattern(kFlashSize);
  }
  void TearDown() override { dumper::programSettings() = {}; }

  // A handset whose flash holds `contents`, with the given faults, on the dumper's port.
  void connect(const emulator::Faults& faults = {}, emulator::HandsetConfig config = {}) {
    flash = std::make_unique<emulator::NorFlash>(dumperFlash());
    flash->program(0, contents.data(), contents.size());
    config.faults = faults;
    core = std::make_unique<emulator::HandsetCore>(*flash, config);
    core->onSwitchOff = [this] { ++switchOffs; };
    link = std::make_unique<emulator::EmulatorRs232>(*core);
    dumper::programSettings().serial = link.get();
  }

  dwl::DownloadResult dump(int first, int last) {
    dumper::setDumpFirstSector(first);
    dumper::setDumpLastSector(last);
    return dumper::runDump();
  }

  dwl::DownloadResult erase(int first, int last) {
    dumper::sg_DownloadContext.EraseFirstSector = first;
    dumper::sg_DownloadContext.EraseLastSector = last;
    return dumper::runErase();
  }

  testsupport::TempDir dir;
  testsupport::ScopedRecorder display;
  testsupport::RecordingDisplay& rec = display.rec;
  testsupport::ScopedPanel panel{rec};
  std::vector<std::uint8_t> contents;
  std::unique_ptr<emulator::NorFlash> flash;
  std::unique_ptr<emulator::HandsetCore> core;
  std::unique_ptr<emulator::EmulatorRs232> link;
  int switchOffs = 0;
};

TEST_F(DumperEmulator, DumpWritesExactlyTheFlashOfTheRange) {
  struct Range {
    int first, last;
  };
  for (const Range r :
       {Range{0, 0}, Range{8, 8}, Range{130, 140}, Range{276, 283}, Range{0, 283}}) {
    SCOPED_TRACE(::testing::Message() << r.first << ".." << r.last);
    std::filesystem::remove("dump.txt");
    rec.windows.clear();
    switchOffs = 0;
    connect();

    EXPECT_EQ(dump(r.first, r.last), (dwl::DownloadResult{0, 0}));

    const std::uint32_t from = DumperSectorMap::offset(r.first);
    const std::uint32_t to = DumperSectorMap::offset(r.last) + DumperSectorMap::size(r.last);
    EXPECT_TRUE(testsupport::TempDir::read("dump.txt") == slice(contents, from, to - from));
    ASSERT_EQ(rec.windows.size(), 1u);
    EXPECT_EQ(rec.windows[0].window, dwl::Window::Success);
    EXPECT_EQ(switchOffs, 1);
    EXPECT_TRUE(core->violations().empty()) << core->violations().front();
    EXPECT_FALSE(link->isOpen());
  }
}

TEST_F(DumperEmulator, SecondDumpAppendsToTheFirst) {
  connect();
  ASSERT_EQ(dump(0, 0), (dwl::DownloadResult{0, 0}));
  connect();
  ASSERT_EQ(dump(8, 8), (dwl::DownloadResult{0, 0}));
  std::vector<std::uint8_t> expected = slice(contents, 0, 0x2000);
  const std::vector<std::uint8_t> second = slice(contents, 0x10000, 0x10000);
  expected.insert(expected.end(), second.begin(), second.end());
  EXPECT_TRUE(testsupport::TempDir::read("dump.txt") == expected);
}

TEST_F(DumperEmulator, ReadChecksumErrorKeepsTheBlocksBeforeAndLeavesTheHandsetOn) {
  emulator::Faults faults;
  faults.readChecksum = {5};
  connect(faults);

  // Sectors 6..8: two small sectors and a large one, ten blocks.
  ASSERT_EQ(dumper::blockCount(6, 8), 10u);
  EXPECT_EQ(dump(6, 8), (dwl::DownloadResult{8, 19}));

  EXPECT_TRUE(testsupport::TempDir::read("dump.txt") ==
              slice(contents, DumperSectorMap::offset(6), 4 * dumper::kBlockSize));
  ASSERT_EQ(rec.windows.size(), 1u);
  EXPECT_EQ(rec.windows[0].window, dwl::Window::CommandErr);
  EXPECT_EQ(rec.windows[0].message, "COMMAND : Checksum error during the read command ");
  EXPECT_EQ(switchOffs, 0);
  EXPECT_FALSE(link->isOpen());
  EXPECT_EQ(rec.progressValues.back(), 40);
}

TEST_F(DumperEmulator, EraseClearsExactlyTheSectorsOfTheRange) {
  struct Range {
    int first, last;
  };
  for (const Range r : {Range{0, 0}, Range{7, 8}, Range{0, 267}, Range{0, 283}}) {
    SCOPED_TRACE(::testing::Message() << r.first << ".." << r.last);
    rec.windows.clear();
    switchOffs = 0;
    connect();

    EXPECT_EQ(erase(r.first, r.last), (dwl::DownloadResult{0, 0}));

    std::vector<std::uint8_t> expected = contents;
    const std::uint32_t from = DumperSectorMap::offset(r.first);
    const std::uint32_t to = DumperSectorMap::offset(r.last) + DumperSectorMap::size(r.last);
    std::fill(expected.begin() + from, expected.begin() + to, 0xFF);
    EXPECT_TRUE(flash->read(0, kFlashSize) == expected);
    ASSERT_EQ(rec.windows.size(), 1u);
    EXPECT_EQ(rec.windows[0].window, dwl::Window::Success);
    EXPECT_TRUE(rec.popups.empty());
    EXPECT_EQ(switchOffs, 1);
    EXPECT_TRUE(core->violations().empty()) << core->violations().front();
  }
}

// A failed check shows its box and the walk goes on; the erase still switches the handset off and
// ends with the erase-successful panel.
TEST_F(DumperEmulator, BadOutcomeOfOneSectorShowsItsBoxAndTheEraseGoesOn) {
  emulator::Faults faults;
  faults.eraseOutcome.push_back({1, 0xF3});
  connect(faults);

  EXPECT_EQ(erase(0, 2), (dwl::DownloadResult{0, 0}));

  EXPECT_EQ(rec.popups,
            (std::vector<std::pair<std::string, std::string>>{{"ERROR", "flash clear error"}}));
  ASSERT_EQ(rec.windows.size(), 1u);
  EXPECT_EQ(rec.windows[0].window, dwl::Window::Success);
  EXPECT_TRUE(flash->read(0, 0x2000) == std::vector<std::uint8_t>(0x2000, 0xFF));
  EXPECT_TRUE(flash->read(0x2000, 0x2000) == slice(contents, 0x2000, 0x2000));
  EXPECT_TRUE(flash->read(0x4000, 0x2000) == std::vector<std::uint8_t>(0x2000, 0xFF));
  EXPECT_EQ(switchOffs, 1);
}

// The erase works on the fixed map whatever flash the boot accepted; only the boot's own refusal
// of a maker it does not know stops it.
TEST_F(DumperEmulator, EraseUsesTheFixedMapOnEveryFlashTheBootAccepts) {
  struct Case {
    std::uint8_t maker, device;
    dwl::DownloadResult result;
  };
  const Case cases[] = {
      {0x01, 0x7E, {0, 0}}, {0x89, 0x18, {0, 0}}, {0x20, 0xE3, {0, 0}},  {0x98, 0x45, {0, 0}},
      {0x04, 0x22, {0, 0}}, {0x01, 0xE3, {0, 0}}, {0xB0, 0x18, {6, 15}},  // the dumper's boot
                                                                          // refuses this maker
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << std::hex << int{c.maker} << ":" << int{c.device});
    rec = testsupport::RecordingDisplay{};
    switchOffs = 0;
    emulator::HandsetConfig config;
    config.manufacturer = c.maker;
    config.device = c.device;
    connect({}, config);

    EXPECT_EQ(erase(8, 9), c.result);

    const bool erased = c.result.Family == dwl::RESULT_SUCCESS;
    // Sectors 8 and 9 of the map: 0x10000..0x2FFFF.
    EXPECT_EQ(flash->read(0x10000, 0x20000) == std::vector<std::uint8_t>(0x20000, 0xFF), erased);
    EXPECT_TRUE(flash->read(0x30000, 0x10000) == slice(contents, 0x30000, 0x10000));
    EXPECT_EQ(switchOffs, erased ? 1 : 0);
    ASSERT_EQ(rec.windows.size(), 1u);
    EXPECT_EQ(rec.windows[0].window, erased ? dwl::Window::Success : dwl::Window::BootErr);
  }
}

}  // namespace
