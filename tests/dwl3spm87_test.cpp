// The download sequences against a scripted handset: which images go where, the log lines, the
// switch-off, every way a sequence ends early, the elapsed time and the verify hook.
#include "engines/downloader/dwl3spm87.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>

#include "dwl/dwl11command.h"
#include "dwl/dwl1boot.h"
#include "emulator/emulator_rs232.h"
#include "engines/downloader/dwl51loader.h"
#include "platform/scripted_rs232.h"
#include "support/bound_job.h"
#include "support/emulated_handset.h"
#include "support/flash_geometry.h"
#include "support/recording_display.h"
#include "support/samples.h"
#include "support/temp_dir.h"

namespace {

// The test's own record, as each program keeps its own.
downloader::DownloadContext sg_DownloadContext;

using downloader::DownloadContext;
using dwl::DownloadResult;
using dwl::Slot;
using testsupport::goodReply;
using testsupport::imageBytes;
using testsupport::sectorBytes;
using testsupport::sumOf;

// Speed 1: no GPIO; E0, the frame, then the speed check E9.
const std::vector<std::uint8_t> kSpeedSent = {0xE0, 0x00, 0xFF, 0xF9, 0x01, 0xF8, 0xE9};
const std::vector<int> kSpeedReplies = {0xC0, 0xC3, 0x00, 0xCA};

class Sequence : public ::testing::Test {
 protected:
  void SetUp() override {
    testsupport::setStandardFlash();
    job.state.serial = &port;
    guikit::setDisplay(&rec);
    job.state.clock = [this] { return ++clock; };
    sg_DownloadContext = DownloadContext{};
    DownloadContext& c = sg_DownloadContext;
    c.Speed = 1;
    c.FlashManufacturer = testsupport::kTestMaker;
    c.FlashDevice = testsupport::kTestDevice;
    c.StartTime = c.EndTime = 1000;
    for (int s = 0; s < 4; ++s) images[s] = imageBytes(100 + 7 * s, s + 1);
    c.Bin1Data = images[0].data(), c.Bin1Length = 100;
    c.Bin2Data = images[1].data(), c.Bin2Length = 107;
    c.Ogm1Data = images[2].data(), c.Ogm1Length = 114;
    c.Ogm2Data = images[3].data(), c.Ogm2Length = 121;
  }
  void TearDown() override {
    sg_DownloadContext = DownloadContext{};  // the buffers belong to the test
    guikit::setDisplay(nullptr);
  }
  void flags(int bin1, int bin2, int ogm1, int ogm2) {
    sg_DownloadContext.Bin1Loaded = static_cast<std::uint8_t>(bin1);
    sg_DownloadContext.Bin2Loaded = static_cast<std::uint8_t>(bin2);
    sg_DownloadContext.Ogm1Loaded = static_cast<std::uint8_t>(ogm1);
    sg_DownloadContext.Ogm2Loaded = static_cast<std::uint8_t>(ogm2);
  }
  const std::vector<std::uint8_t>& image(Slot s) { return images[static_cast<int>(s)]; }
  // One small image in one sector at the address: what the PC sends, and the good reply.
  void expectImage(Slot s, std::uint32_t address, std::vector<std::uint8_t>& sent) {
    const auto& img = image(s);
    const std::uint32_t n = static_cast<std::uint32_t>(img.size());
    const std::uint32_t size = address < dwl::FlashBase + 0x10000 ? 0x2000 : 0x10000;
    const auto bytes = sectorBytes(size, address, img.data(), n);
    sent.insert(sent.end(), bytes.begin(), bytes.end());
    port.reply(goodReply(sumOf(img.data(), n)));
  }

  platform::ScriptedRs232 port;
  testsupport::RecordingDisplay rec;
  testsupport::BoundJob job{&rec};
  std::vector<std::uint8_t> images[4];
  std::time_t clock = 1000;
};

struct Placed {
  Slot slot;
  std::uint32_t address;
};

TEST_F(Sequence, WritesTheFlaggedImagesOfTheModeAtTheirAddresses) {
  struct Case {
    const char* name;
    int mode, model;
    int flags[4];
    bool ogmSequence;
    std::vector<Placed> placed;
    std::vector<std::string> comments;
  };
  const Case cases[] = {
      {"mode 1, Bin2 only",
       1,
       0,
       {0, 1, 0, 0},
       false,
       {{Slot::Bin2, 0x02800000}},
       {" Check the compatibility ", " Download the Bin2 File ", " The End "}},
      {"mode 1 leaves flagged ogm images alone",
       1,
       0,
       {1, 0, 1, 1},
       false,
       {{Slot::Bin1, 0x02000000}},
       {" Check the compatibility ", " Download the Bin1 File ", " The End "}},
      {"mode 0, no flags",
       0,
       0,
       {0, 0, 0, 0},
       false,
       {},
       {" Check the compatibility ", " The End "}},
      {"mode 0, all four, model 0",
       0,
       0,
       {1, 1, 1, 1},
       false,
       {{Slot::Bin1, 0x02000000},
        {Slot::Bin2, 0x02800000},
        {Slot::Ogm1, 0x02700000},
        {Slot::Ogm2, 0x02C70000}},
       {" Check the compatibility ", " Download the Bin1 File ", " Download the Bin2 File ",
        " Download ogm1 sector by sector ", " Download ogm2 sector by sector ", " The End "}},
      {"mode 2, model 1",
       2,
       1,
       {1, 1, 1, 1},
       true,
       {{Slot::Ogm1, 0x02B60000}, {Slot::Ogm2, 0x02C70000}},
       {" Check the compatibility ", " Download the Ogm1 File ", " Download the Ogm2 File ",
        " The End "}},
      {"mode 2, model 2, Ogm1 only",
       2,
       2,
       {0, 0, 1, 0},
       true,
       {{Slot::Ogm1, 0x02BB0000}},
       {" Check the compatibility ", " Download the Ogm1 File ", " The End "}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    port = platform::ScriptedRs232{};
    rec = testsupport::RecordingDisplay{};
    sg_DownloadContext.Mode = c.mode;
    sg_DownloadContext.Model = c.model;
    flags(c.flags[0], c.flags[1], c.flags[2], c.flags[3]);
    for (int b : kSpeedReplies) port.reply({b});
    std::vector<std::uint8_t> sent = kSpeedSent;
    for (const Placed& p : c.placed) expectImage(p.slot, p.address, sent);
    port.reply({0xC0});
    sent.push_back(0xE8);

    const DownloadResult r = c.ogmSequence ? downloader::dwl3_0Generic5087_ogm(sg_DownloadContext)
                                           : downloader::dwl3_0Generic5087(sg_DownloadContext);
    EXPECT_EQ(r, (DownloadResult{0, 0}));
    EXPECT_EQ(platform::hexBytes(port.written()), platform::hexBytes(sent));
    EXPECT_EQ(rec.comments, c.comments);
    EXPECT_EQ(port.pending(), 0u);
    // Cleared first, then once per image and once at the end.
    ASSERT_EQ(rec.elapsedTexts.size(), 2 + c.placed.size());
    EXPECT_EQ(rec.elapsedTexts.front(), " ");
  }
}

TEST_F(Sequence, EndsEarlyWithTheFirstFailure) {
  struct Case {
    const char* name;
    int mode, model, downloadType, speed;
    std::vector<int> replies;  // after the speed change; -1 - k: the good reply for image k
    std::uint8_t device;
    std::uint32_t nbSectors;
    DownloadResult result;
    std::vector<std::string> comments;
    std::size_t written;  // bytes the PC sent in all
  };
  const std::uint8_t dev = testsupport::kTestDevice;
  const std::vector<std::string> none;
  const std::vector<std::string> checkAndEnd = {" Check the compatibility ", " The End "};
  const Case cases[] = {
      {"download type 1 in mode 0", 0, 0, 1, 1, {}, dev, 263, {1, 0}, checkAndEnd, 7},
      {"download type 2 in mode 2", 2, 0, 2, 1, {}, dev, 263, {1, 0}, checkAndEnd, 7},
      {"unknown flash", 0, 0, 0, 1, {}, 0x42, 263, {2, 15}, none, 7},
      {"description fails on its last sector", 0, 0, 0, 1, {}, dev, 301, {2, 19}, none, 7},
      {"Bin1 refused stops the rest",
       0,
       0,
       0,
       1,
       {0x41},
       dev,
       263,
       {11, 0x41},
       {" Check the compatibility ", " Download the Bin1 File "},
       7 + 13 + 100},
      {"model 3 has no Ogm1 place",
       2,
       3,
       0,
       1,
       {},
       dev,
       263,
       {2, 18},
       {" Check the compatibility ", " Download the Ogm1 File "},
       7},
      {"switch-off refused after both images",
       1,
       0,
       0,
       1,
       {-1, -2, 0x00},
       dev,
       263,
       {8, 20},
       {" Check the compatibility ", " Download the Bin1 File ", " Download the Bin2 File ",
        " The End "},
       7 + 113 + 120 + 1},
      {"GPIO refused", 0, 0, 0, 3, {0xC0, 0x00}, dev, 263, {8, 21}, none, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    port = platform::ScriptedRs232{};
    rec = testsupport::RecordingDisplay{};
    testsupport::setFlash({{8, 0x2000}, {255, 0x10000}, {c.nbSectors - 263, 0x10000}});
    testsupport::flashDescriptions().Flash[0].NbSectors = c.nbSectors;
    DownloadContext& live = sg_DownloadContext;
    live.Mode = c.mode;
    live.Model = c.model;
    live.DownloadType = c.downloadType;
    live.Speed = c.speed;
    live.FlashDevice = c.device;
    flags(1, 1, 1, 1);
    if (c.speed <= 2)
      for (int b : kSpeedReplies) port.reply({b});
    for (int b : c.replies) {
      if (b >= 0) {
        port.reply({b});
        continue;
      }
      const auto& img = images[-1 - b];
      port.reply(goodReply(sumOf(img.data(), static_cast<std::uint32_t>(img.size()))));
    }
    const DownloadResult r =
        c.mode == 2 ? downloader::dwl3_0Generic5087_ogm(live) : downloader::dwl3_0Generic5087(live);
    EXPECT_EQ(r, c.result);
    EXPECT_EQ(rec.comments, c.comments);
    EXPECT_EQ(port.written().size(), c.written);
    EXPECT_EQ(port.pending(), 0u);
  }
}

TEST_F(Sequence, ElapsedTimeIsMinutesAndSecondsSinceStart) {
  struct Case {
    std::time_t seconds;
    const char* text;
  };
  const Case cases[] = {{0, "0 min 0 sec"},   {59, "0 min 59 sec"},   {60, "1 min 0 sec"},
                        {125, "2 min 5 sec"}, {3600, "60 min 0 sec"}, {-1, "71582788 min 15 sec"}};
  for (const Case& c : cases) EXPECT_EQ(downloader::elapsedText(1000, 1000 + c.seconds), c.text);

  // A whole sequence 60 seconds after Start, nothing to write.
  job.state.clock = [] { return std::time_t{1060}; };
  sg_DownloadContext.Mode = 0;
  for (int b : kSpeedReplies) port.reply({b});
  port.reply({0xC0});
  EXPECT_EQ(downloader::dwl3_0Generic5087(sg_DownloadContext), (DownloadResult{0, 0}));
  EXPECT_EQ(rec.elapsedTexts, (std::vector<std::string>{" ", "1 min 0 sec"}));
  // Every sector of the flash is listed before anything is written.
  ASSERT_EQ(rec.sectors.size(), 263u);
  EXPECT_EQ(rec.sectors.back().address, 0x02FF0000u);
  EXPECT_EQ(rec.sectors.back().state, "N. A.");
}

TEST_F(Sequence, VerifyHookRunsLastAndItsFailureKeepsTheHandsetOn) {
  struct Case {
    const char* name;
    DownloadResult verdict;
    int downloadType;
    bool called, switchedOff;
    DownloadResult result;
  };
  const Case cases[] = {
      {"passes", {0, 0}, 0, true, true, {0, 0}},
      {"fails", {dwl::RESULT_VERIFY, 0x02800010}, 0, true, false, {20, 0x02800010}},
      {"not after a failed download", {0, 0}, 1, false, false, {1, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    port = platform::ScriptedRs232{};
    rec = testsupport::RecordingDisplay{};
    sg_DownloadContext.Mode = 0;
    sg_DownloadContext.DownloadType = c.downloadType;
    flags(0, 1, 0, 1);
    for (int b : kSpeedReplies) port.reply({b});
    std::vector<std::uint8_t> sent;
    if (c.downloadType == 0) {
      expectImage(Slot::Bin2, 0x02800000, sent);
      expectImage(Slot::Ogm2, 0x02C70000, sent);
    }
    port.reply({0xC0});
    std::vector<downloader::WrittenImage> seen;
    std::size_t commentsAtVerify = 0;
    int calls = 0;
    const auto hook = [&](const DownloadContext&, const std::vector<downloader::WrittenImage>& w) {
      ++calls;
      seen = w;
      commentsAtVerify = rec.comments.size();
      return c.verdict;
    };
    EXPECT_EQ(downloader::dwl3_0Generic5087(sg_DownloadContext, hook), c.result);
    EXPECT_EQ(calls, c.called ? 1 : 0);
    EXPECT_EQ(port.written().back() == 0xE8, c.switchedOff);
    if (!c.called) continue;
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].slot, Slot::Bin2);
    EXPECT_EQ(seen[0].address, 0x02800000u);
    EXPECT_EQ(seen[0].data, images[1].data());
    EXPECT_EQ(seen[1].slot, Slot::Ogm2);
    EXPECT_EQ(seen[1].address, 0x02C70000u);
    EXPECT_EQ(seen[1].length, 121u);
    EXPECT_EQ(commentsAtVerify, 3u);  // after the last image, before "The End"
    EXPECT_EQ(rec.comments.back() == " The End ", c.switchedOff);
  }
}

// Whole downloads against the emulated handset: the real loaders, boot, sequence and transfer.
class EndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    testsupport::copySamples(dir.path());
    ASSERT_EQ(dwl::dwl10_100InitFlashDescription(testsupport::flashDescriptions()), dwl::kOk);
    std::string error;
    ASSERT_TRUE(emulator::loadFlashDescription("flash.txt", std::nullopt, description, &error))
        << error;
    guikit::setDisplay(&rec);
    // Every reading a second later: no test waits on the real clock.
    job.state.clock = [this] { return ++clock; };
    downloader::resetImageSlots(sg_DownloadContext);
    sg_DownloadContext = DownloadContext{};
    sg_DownloadContext.ComPort = 1;
    sg_DownloadContext.Mode = 0;
  }
  void TearDown() override {
    downloader::resetImageSlots(sg_DownloadContext);
    sg_DownloadContext = DownloadContext{};
    guikit::setDisplay(nullptr);
  }
  void load(Slot slot, const std::string& name, std::size_t size, std::uint32_t seed) {
    images[static_cast<int>(slot)] = imageBytes(size, seed);
    testsupport::TempDir::write(name, images[static_cast<int>(slot)]);
    ASSERT_EQ(downloader::loadImageFile(sg_DownloadContext, slot, name).code, dwl::kOk);
  }
  // Boots the handset and runs the sequence of the mode, as Start does.
  DownloadResult download(emulator::Faults faults, const downloader::VerifyHook& verify = {}) {
    handset = std::make_unique<testsupport::EmulatedHandset>(description, faults);
    job.state.serial = handset->link.get();
    sg_DownloadContext.StartTime = sg_DownloadContext.EndTime = dwl::now();
    const DownloadResult boot = dwl::dwl1_0boot(&sg_DownloadContext);
    if (boot.Family != dwl::RESULT_SUCCESS) return boot;
    return sg_DownloadContext.Mode == 2
               ? downloader::dwl3_0Generic5087_ogm(sg_DownloadContext, verify)
               : downloader::dwl3_0Generic5087(sg_DownloadContext, verify);
  }
  std::vector<std::uint8_t> flashAt(std::uint32_t address, std::size_t count) const {
    return handset->flash->read(address - dwl::FlashBase, count);
  }
  int errorsShown() const {
    return static_cast<int>(std::count_if(rec.sectors.begin(), rec.sectors.end(),
                                          [](const auto& s) { return s.state == "Error"; }));
  }

  testsupport::TempDir dir;
  testsupport::RecordingDisplay rec;
  testsupport::BoundJob job{&rec};
  dwl::FlashDescription description;
  std::unique_ptr<testsupport::EmulatedHandset> handset;
  std::vector<std::uint8_t> images[4];
  std::time_t clock = 5000;
};

TEST_F(EndToEnd, FourImagesLandAtTheirAddressesByteForByte) {
  load(Slot::Bin1, "cla.bin", 100000, 1);
  load(Slot::Bin2, "second.bin", 70000, 2);
  load(Slot::Ogm1, "first.ogm", 30001, 3);
  load(Slot::Ogm2, "second.ogm", 20000, 4);
  ASSERT_EQ(download({}), (DownloadResult{0, 0}));
  EXPECT_EQ(flashAt(0x02000000, 100000), images[0]);
  EXPECT_EQ(flashAt(0x02800000, 70000), images[1]);
  auto ogm1 = images[2];
  ogm1.push_back(0xFF);  // the spare byte of an odd ogm image
  EXPECT_EQ(flashAt(0x02700000, 30002), ogm1);
  EXPECT_EQ(flashAt(0x02C70000, 20000), images[3]);
  EXPECT_TRUE(handset->core->violations().empty()) << handset->core->violations().front();
  EXPECT_EQ(handset->core->state(), emulator::HandsetCore::State::Off);
  EXPECT_EQ(rec.bytes.back(), 20000u);  // the last image, whole
  EXPECT_EQ(errorsShown(), 0);
}

TEST_F(EndToEnd, HandsetFaultsDuringTheTransfer) {
  struct Case {
    const char* name;
    emulator::Faults faults;
    DownloadResult result;
    int errors;
    bool written;
  };
  using Kind = emulator::Faults::Sector;
  emulator::Faults badSum, refused, silent, gone;
  // Bin1 covers sectors 0..7 (8 KiB) and 8..9 (64 KiB) of the first description.
  badSum.sector = {{Kind::BadChecksum, 8, 1}};
  refused.sector = {{Kind::Error, 3, 0, 0x42}};
  silent.silence = emulator::Faults::Silence{emulator::Step::SectorWrite, 2};
  const Case cases[] = {
      {"bad checksum recovered by a resend", badSum, {0, 0}, 1, true},
      {"sector refused three times", refused, {10, 0x42}, 3, false},
      {"silent after the first sector", silent, {13, 0}, 1, false},
  };
  load(Slot::Bin1, "cla.bin", 0x10000 + 0x10000 + 500, 9);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    rec = testsupport::RecordingDisplay{};
    EXPECT_EQ(download(c.faults), c.result);
    EXPECT_EQ(errorsShown(), c.errors);
    EXPECT_EQ(flashAt(0x02000000, images[0].size()) == images[0], c.written);
    // Switched off only after a complete download.
    EXPECT_EQ(handset->core->state() == emulator::HandsetCore::State::Off, c.written);
  }
}

TEST_F(EndToEnd, VerifyHookReadsBackBeforeTheSwitchOff) {
  load(Slot::Bin2, "second.bin", 20000, 5);
  sg_DownloadContext.Mode = 1;
  // Reads each written image back and reports the address of the first differing byte.
  const auto readBack = [](const DownloadContext& ctx,
                           const std::vector<downloader::WrittenImage>& written) {
    std::vector<std::uint8_t> block(8192);
    for (const auto& w : written)
      for (std::uint32_t at = 0; at < w.length; at += 8192) {
        const std::uint32_t n = std::min<std::uint32_t>(8192, w.length - at);
        const dwl::ResultCode rc =
            dwl::dwl11_6ReadCommand(w.address + at, n, block.data(), ctx.ComPort);
        if (rc != dwl::kOk) return DownloadResult{dwl::RESULT_COMMAND, rc};
        for (std::uint32_t i = 0; i < n; ++i)
          if (block[i] != w.data[at + i])
            return DownloadResult{dwl::RESULT_VERIFY,
                                  static_cast<std::int32_t>(w.address + at + i)};
      }
    return DownloadResult{0, 0};
  };
  EXPECT_EQ(download({}, readBack), (DownloadResult{0, 0}));
  EXPECT_EQ(handset->core->state(), emulator::HandsetCore::State::Off);

  emulator::Faults corrupt;
  corrupt.corrupt = {{142, 0x1234}};  // the sector at 0x02800000
  EXPECT_EQ(download(corrupt, readBack), (DownloadResult{dwl::RESULT_VERIFY, 0x02801234}));
  EXPECT_NE(handset->core->state(), emulator::HandsetCore::State::Off);
}

}  // namespace
