// Write, verify and dump cycles against one emulated handset whose flash lives on from cycle to
// cycle, each session with random faults (seeded). Every cycle must end either with the image
// verified and dumped back identical, or with one clear error window; never with a wrong image or
// a wrong dump reported as success.
//
// KELVANE_SOAK_CYCLES sets the number of cycles (small by default, for CI), KELVANE_SOAK_SEED the
// seed. The counts of each outcome are printed at the end.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "apps/dumper/dumper_app.h"
#include "apps/guikit/display.h"
#include "dwl/dwl10fla.h"
#include "dwl/dwl11command.h"
#include "dwl/dwl12pclib.h"
#include "dwl/dwl1boot.h"
#include "dwl/dwl52display.h"
#include "emulator/emulator_rs232.h"
#include "emulator/faults.h"
#include "emulator/handset_core.h"
#include "emulator/nor_flash.h"
#include "engines/downloader/download_context.h"
#include "engines/downloader/dwl3spm87.h"
#include "engines/dumper/dumper.h"
#include "support/bound_job.h"
#include "support/recording_display.h"
#include "support/samples.h"
#include "support/temp_dir.h"

namespace {

// The test's own record, as each program keeps its own.
downloader::DownloadContext sg_DownloadContext;

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

int envNumber(const char* name, int fallback) {
  const char* v = std::getenv(name);
  return v && *v ? std::atoi(v) : fallback;
}

// A random fault for one session, as handset-emulator takes it; empty for a clean session.
std::string randomFault(std::mt19937& rng, std::uint32_t sectors, std::uint32_t blocks) {
  auto pick = [&](std::uint32_t n) {
    return std::uniform_int_distribution<std::uint32_t>(0, n - 1)(rng);
  };
  const std::string s = std::to_string(pick(sectors));
  const std::string b = std::to_string(1 + pick(blocks + 2));
  switch (pick(14)) {
    case 0:
      return "sector-checksum:" + s + "@1";
    case 1:
      return "sector-checksum:" + s;
    case 2:
      return "sector-error:" + s + "@" + std::to_string(1 + pick(3)) + "=0x" +
             std::to_string(10 + pick(80));
    case 3:
      return "wrong:sector-ack=0x" + std::to_string(10 + pick(80)) + "#" +
             std::to_string(1 + pick(sectors));
    case 4:
      return "silence:sector-write#" + std::to_string(1 + pick(sectors));
    case 5:
      return "corrupt:" + s + "@" + std::to_string(pick(0x2000));
    case 6:
      return "read-checksum:" + b;
    case 7:
      return "silence:read#" + b;
    case 8:
      return "wrong:read-ack=0x00#" + b;
    case 9:
      return "wrong:speed-verdict=0x01#1";
    case 10:
      return "noise:0x00,0x55,0xAA";
    case 11:
      return "silence:upload-ack";
    case 12:
      return "disconnect:" + std::to_string(5000 + pick(200000));
    default:
      return "";
  }
}

class Soak : public ::testing::Test {
 protected:
  void SetUp() override {
    testsupport::copySamples();
    ASSERT_EQ(dwl::dwl10_100InitFlashDescription(testsupport::flashDescriptions()), dwl::kOk);
    dwl::FlashDescription d;
    std::string why;
    ASSERT_TRUE(emulator::loadFlashDescription("flash.txt", std::nullopt, d, &why)) << why;
    flash = std::make_unique<emulator::NorFlash>(d);
  }
  void TearDown() override { sg_DownloadContext = downloader::DownloadContext{}; }

  // One session (port opened, flow, port closed) with the given fault.
  template <typename Flow>
  dwl::DownloadResult session(const std::string& fault, Flow flow) {
    emulator::HandsetConfig config;
    std::string why;
    if (!fault.empty()) {
      EXPECT_TRUE(emulator::parseFault(fault, config.faults, &why)) << why;
    }
    emulator::HandsetCore core(*flash, config);
    emulator::EmulatorRs232 link(core);
    // The link's virtual time: every wait on the line, a vanished handset's included, moves it.
    const std::function<double()> clock = [&link] { return 1'000'000 + link.seconds(); };
    job.state.serial = &link;
    job.state.clock = clock;
    dumper::programSettings() = {&link, clock, {}};
    rec.windows.clear();
    const dwl::DownloadResult r = flow();
    EXPECT_FALSE(link.isOpen());
    job.state.serial = nullptr;
    job.state.clock = {};
    dumper::programSettings() = {};
    return r;
  }

  // An outcome that is not a success must have shown exactly one window that says so.
  void expectClearError(const dwl::DownloadResult& r, const std::string& what) {
    if (r.Family == dwl::RESULT_VERIFY) return;  // reported by the caller, as the CLI does
    ASSERT_EQ(rec.windows.size(), 1u) << what;
    const dwl::Window w = rec.windows[0].window;
    EXPECT_NE(w, dwl::Window::Success) << what;
    EXPECT_TRUE(w == dwl::Window::Timeout || !rec.windows[0].message.empty()) << what;
  }

  testsupport::TempDir dir;
  testsupport::ScopedRecorder display;
  testsupport::RecordingDisplay& rec = display.rec;
  // The sector lists of the cycles come from the flash descriptions this job is handed.
  testsupport::BoundJob job{&rec};
  std::unique_ptr<emulator::NorFlash> flash;
};

TEST_F(Soak, EveryCycleEndsVerifiedOrWithAClearError) {
  const int cycles = envNumber("KELVANE_SOAK_CYCLES", 80);
  const auto seed = static_cast<std::uint32_t>(envNumber("KELVANE_SOAK_SEED", 20240607));
  std::mt19937 rng(seed);
  std::map<std::string, int> outcomes;

  for (int cycle = 0; cycle < cycles; ++cycle) {
    const std::uint32_t length = std::uniform_int_distribution<std::uint32_t>(1, 0x48000)(rng);
    Bytes image(length);
    for (auto& b : image) b = static_cast<std::uint8_t>(rng());
    std::uint32_t list[dwl::kSectorListWords] = {};
    ASSERT_EQ(
        dwl::dwl10_3GetSectorList(flash->manufacturerId(), flash->deviceId(), 0, length, list),
        dwl::kOk);
    const std::uint32_t sectors = list[0];
    const std::uint32_t blocks = (length + dumper::kBlockSize - 1) / dumper::kBlockSize;
    const std::string writeFault = randomFault(rng, sectors, blocks);
    const std::string dumpFault = randomFault(rng, sectors, blocks);
    SCOPED_TRACE(::testing::Message()
                 << "cycle " << cycle << " seed " << seed << " length " << length << " faults '"
                 << writeFault << "' '" << dumpFault << "'");

    // Write with read-back verify, as Start does, then the verify before the switch-off.
    const dwl::DownloadResult written = session(writeFault, [&] {
      downloader::DownloadContext& c = sg_DownloadContext;
      c = downloader::DownloadContext{};
      c.ComPort = 4;
      c.Speed = 3;
      c.Mode = 1;
      c.Bin1Data = image.data();
      c.Bin1Length = length;
      c.Bin1Loaded = 1;
      dwl::DownloadResult r = dwl::dwl1_0boot(&c);
      if (r.Family == dwl::RESULT_SUCCESS)
        r = downloader::dwl3_0Generic5087(c,
                                          [](const downloader::DownloadContext& ctx,
                                             const std::vector<downloader::WrittenImage>& images) {
                                            return downloader::readBack(ctx.ComPort, images);
                                          });
      guikit::dwl52_10DisplayResult(r.Family, r.Code);
      dwl::dwl12_1UartStop(4);
      c = downloader::DownloadContext{};
      return r;
    });
    const bool flashHoldsImage = flash->read(0, length) == image;
    if (written.Family == dwl::RESULT_SUCCESS) {
      ASSERT_TRUE(flashHoldsImage) << "a wrong image was reported written and verified";
      ++outcomes["write verified"];
    } else {
      expectClearError(written, "write");
      ++outcomes["write failed, family " + std::to_string(written.Family)];
      continue;
    }

    // Dump the sectors of the image back.
    std::error_code ec;
    fs::remove("dump.txt", ec);
    int last = 0;
    while (dumper::DumperSectorMap::offset(last) + dumper::DumperSectorMap::size(last) < length)
      ++last;
    const dwl::DownloadResult dumped = session(dumpFault, [&] {
      dumper::resetDumperState();
      dumper::sg_DownloadContext.DumpFirstSector = 0;
      dumper::sg_DownloadContext.DumpLastSector = last;
      return dumper::runDump();
    });
    const Bytes file = testsupport::TempDir::read("dump.txt");
    ASSERT_EQ(file.size() % dumper::kBlockSize, 0u) << "dump.txt holds part of a block";
    ASSERT_TRUE(file == flash->read(0, file.size())) << "dump.txt differs from the flash";
    if (dumped.Family == dwl::RESULT_SUCCESS) {
      ASSERT_EQ(file.size(), dumper::blockCount(0, last) * dumper::kBlockSize);
      ASSERT_TRUE(std::equal(image.begin(), image.end(), file.begin()));
      ++outcomes["dump identical"];
    } else {
      expectClearError(dumped, "dump");
      ++outcomes["dump failed, family " + std::to_string(dumped.Family)];
    }
  }

  std::printf("soak: %d cycles, seed %u\n", cycles, seed);
  for (const auto& [what, n] : outcomes) std::printf("  %-28s %d\n", what.c_str(), n);
  EXPECT_GT(outcomes["write verified"], 0);
}

}  // namespace
