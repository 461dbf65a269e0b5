// The operation layer against emulated handsets in process: the events of each job, cancel at each
// stage, the cause of each failure, and two jobs at once on two handsets.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <memory>
#include <thread>
#ifndef _WIN32
#include <unistd.h>
#endif

#include "dwl/dwl10fla.h"
#include "ops/operations.h"
#include "ops/service.h"
#include "platform/cancel.h"
#include "platform/forwarding_rs232.h"
#include "platform/guarded_rs232.h"
#include "platform/scripted_rs232.h"
#include "support/emulated_handset.h"
#include "support/recording_display.h"
#include "support/temp_dir.h"

namespace {

const std::string kSamples = KELVANE_SOURCE_DIR "/samples/";
using Bytes = std::vector<std::uint8_t>;
using Handset = testsupport::EmulatedHandset;
using testsupport::pattern;

// Every event as a line, with what the checks need; optionally cancels the job at one event.
class Recorder final : public dwl::ProgressSink {
 public:
  explicit Recorder(Handset* handset = nullptr) : handset_(handset) {}

  void jobStarted(const dwl::JobTotals& t) override {
    totals = t;
    add("started " + std::to_string(t.bytes));
  }
  void totalsKnown(const dwl::JobTotals& t) override { totals = t; }
  void stageStarted(const dwl::StageInfo& s) override {
    stages.push_back(
        std::string(dwl::stageName(s.stage)) +
        (s.count ? " " + std::to_string(s.index) + "/" + std::to_string(s.count) : ""));
    add("stage " + stages.back());
  }
  void bytesDone(const dwl::ByteProgress& b) override {
    last = b;
    ++byteEvents;
    add("bytes");
  }
  void sectorChanged(const dwl::SectorEvent& s) override {
    add(std::string("sector ") + dwl::sectorStateName(s.state));
  }
  void heartbeat(double) override {
    if (handset_) beats.push_back(handset_->link->seconds());
    add("beat");
  }
  void jobFinished(const dwl::JobResult& r) override {
    finishedAt = handset_ ? handset_->link->seconds() : 0;
    result = r;
    add("finished");
  }

  // Cancels when the n-th event whose line starts with prefix comes.
  void cancelAt(const std::string& prefix, int n = 1) {
    cancelPrefix_ = prefix;
    cancelCount_ = n;
  }

  dwl::JobTotals totals;
  std::vector<std::string> events, stages;
  dwl::ByteProgress last;
  int byteEvents = 0;
  std::vector<double> beats;
  dwl::JobResult result;
  double finishedAt = 0;
  platform::CancelToken token;
  double cancelledAt = -1;
  std::size_t sentAtCancel = 0;

 private:
  void add(const std::string& line) {
    events.push_back(line);
    if (cancelCount_ > 0 && line.rfind(cancelPrefix_, 0) == 0 && --cancelCount_ == 0 && handset_) {
      token.cancel();
      cancelledAt = handset_->link->seconds();
      sentAtCancel = handset_->link->written().size();
    }
  }
  Handset* handset_;
  std::string cancelPrefix_;
  int cancelCount_ = 0;
};

class Ops : public ::testing::Test {
 public:
  void SetUp() override {
    ASSERT_EQ(dwl::loadFlashDescription(kSamples + "flash.txt", table), dwl::kOk);
    std::filesystem::copy_file(kSamples + "dwl87.spm", "dwl87.spm");
  }

  ops::LinkInput link(int speed = 3) {
    ops::LinkInput l;
    l.port = {"COM4", 4, "emulated"};
    l.speed = speed;
    l.flash = &table;
    return l;
  }
  ops::Context context(Handset& h, Recorder& rec) {
    ops::Context c;
    c.serial = h.link.get();
    c.progress = &rec;
    c.cancel = &rec.token;
    c.clock = [&h] { return h.link->seconds(); };
    return c;
  }
  // bin1 of 100000 bytes (sectors 0..7 and 8 of the map) and an odd ogm2 of 1001 bytes.
  ops::WriteInput writeInput(bool verify) {
    ops::WriteInput in;
    in.link = link();
    in.mode = ops::FileMode::BinAndOgm;
    in.verify = verify;
    in.images.push_back({dwl::Slot::Bin1, "a.bin", pattern(100000, 1)});
    in.images.push_back({dwl::Slot::Ogm2, "b.ogm", pattern(1001, 2)});
    return in;
  }

  testsupport::TempDir dir;
  dwl::FlashDescriptionTable table;
};

TEST_F(Ops, EachJobReportsItsStagesAndBytesAddingUpToItsTotal) {
  struct Case {
    std::string name;
    std::function<dwl::JobResult(Ops&, Handset&, Recorder&)> run;
    std::vector<std::string> stages;
    std::uint64_t bytes;
  };
  const Case cases[] = {
      {"write",
       [](Ops& t, Handset& h, Recorder& r) {
         return ops::write(t.writeInput(false), t.context(h, r));
       },
       {"boot", "speed", "image 1/2", "image 2/2", "switch-off"},
       100000 + 1002},
      {"write and verify",
       [](Ops& t, Handset& h, Recorder& r) {
         return ops::write(t.writeInput(true), t.context(h, r));
       },
       {"boot", "speed", "image 1/2", "image 2/2", "verify 1/2", "verify 2/2", "switch-off"},
       2 * (100000 + 1002)},
      {"dump of sectors",
       [](Ops& t, Handset& h, Recorder& r) {
         ops::DumpInput in;
         in.link = t.link(2);
         in.sectors = ops::SectorRange{7, 8};
         in.output = "d.bin";
         return ops::dump(in, t.context(h, r));
       },
       {"boot", "speed", "dump", "switch-off"},
       0x12000},
      {"dump of bytes",
       [](Ops& t, Handset& h, Recorder& r) {
         ops::DumpInput in;
         in.link = t.link(2);
         in.offset = 0x1234;
         in.length = 20000;
         in.output = "e.bin";
         return ops::dump(in, t.context(h, r));
       },
       {"boot", "speed", "dump", "switch-off"},
       20000},
      {"erase",
       [](Ops& t, Handset& h, Recorder& r) {
         ops::EraseInput in;
         in.link = t.link(2);
         in.firstSector = 6;
         in.lastSector = 8;
         return ops::erase(in, t.context(h, r));
       },
       {"boot", "speed", "erase", "switch-off"},
       0x14000},
      {"info",
       [](Ops& t, Handset& h, Recorder& r) {
         ops::InfoInput in;
         in.link = t.link();
         return ops::info(in, t.context(h, r));
       },
       {"boot", "switch-off"},
       0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Handset h;
    Recorder rec(&h);
    const dwl::JobResult r = c.run(*this, h, rec);
    EXPECT_EQ(r.result.Family, dwl::RESULT_SUCCESS)
        << r.message << " " << ops::failureText(r.detail);
    EXPECT_EQ(rec.stages, c.stages);
    EXPECT_EQ(rec.totals.bytes, c.bytes);
    EXPECT_EQ(rec.last.jobDone, c.bytes);
    ASSERT_FALSE(rec.events.empty());
    EXPECT_EQ(rec.events.front().rfind("started", 0), 0u);
    EXPECT_EQ(rec.events.back(), "finished");
    EXPECT_FALSE(h.link->isOpen());
  }
}

TEST_F(Ops, WriteCountsTheImageBytesAndSectorsTheHandsetConfirmed) {
  Handset h;
  Recorder rec(&h);
  const dwl::JobResult r = ops::write(writeInput(true), context(h, rec));
  ASSERT_EQ(r.result.Family, dwl::RESULT_SUCCESS);
  EXPECT_TRUE(r.verified);
  // The odd ogm's spare byte is not the image's.
  EXPECT_EQ(r.bytesWritten, 100000u + 1001u);
  EXPECT_EQ(r.sectors, (std::vector<std::uint32_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 220}));
  EXPECT_EQ(rec.totals.sectors, 10u);
  EXPECT_EQ(h.flash->read(0, 100000), pattern(100000, 1));
}

TEST_F(Ops, HeartbeatsComeWhileTheHandsetIsAwaited) {
  Handset h({}, {.switchOnDelayMs = 3000, .pace = true});
  Recorder rec(&h);
  ops::InfoInput in;
  in.link = link();
  ASSERT_EQ(ops::info(in, context(h, rec)).result.Family, dwl::RESULT_SUCCESS);
  ASSERT_GE(rec.beats.size(), 12u);
  double gap = 0;
  for (std::size_t i = 1; i < rec.beats.size(); ++i)
    if (rec.beats[i] < 3.0) gap = std::max(gap, rec.beats[i] - rec.beats[i - 1]);
  EXPECT_LE(gap, 0.25);
}

TEST_F(Ops, CancelAtEachStageEndsWithinASecondAndSendsNothingMore) {
  struct Case {
    std::string name;
    std::string at;
    int nth;
    char job;  // w write, v write and verify, d dump, e erase
    int switchOnDelayMs;
  };
  const Case cases[] = {
      {"while the handset is awaited", "beat", 5, 'w', 3000},
      {"at the speed change", "stage speed", 1, 'w', 0},
      {"in the middle of an image", "bytes", 3, 'w', 0},
      {"in the middle of a sector", "sector writing", 4, 'w', 0},
      {"at the read-back", "stage verify", 1, 'v', 0},
      {"in the middle of a dump", "bytes", 5, 'd', 0},
      {"in the middle of an erase", "sector erased", 2, 'e', 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove("cancel.bin");
    Handset h({}, {.switchOnDelayMs = c.switchOnDelayMs, .pace = true});
    Recorder rec(&h);
    rec.cancelAt(c.at, c.nth);
    dwl::JobResult r;
    if (c.job == 'w' || c.job == 'v') {
      r = ops::write(writeInput(c.job == 'v'), context(h, rec));
    } else if (c.job == 'd') {
      ops::DumpInput in;
      in.link = link(2);
      in.sectors = ops::SectorRange{0, 20};
      in.output = "cancel.bin";
      r = ops::dump(in, context(h, rec));
    } else {
      ops::EraseInput in;
      in.link = link(2);
      in.firstSector = 0;
      in.lastSector = 20;
      r = ops::erase(in, context(h, rec));
    }
    ASSERT_GE(rec.cancelledAt, 0) << "the cancel never came";
    EXPECT_EQ(r.result, (dwl::DownloadResult{dwl::RESULT_CANCELLED, 0}));
    EXPECT_EQ(r.message, "Cancelled by the user");
    EXPECT_EQ(r.detail.reason.kind, dwl::FailureKind::Cancelled);
    EXPECT_LE(rec.finishedAt - rec.cancelledAt, 1.0);
    EXPECT_EQ(h.link->written().size(), rec.sentAtCancel);
    EXPECT_FALSE(h.link->isOpen());
    if (c.job == 'd') {
      const auto size = std::filesystem::file_size("cancel.bin");
      EXPECT_EQ(size % 0x2000, 0u);
      EXPECT_EQ(size, r.bytesWritten);
      EXPECT_GT(size, 0u);
    }
    if (c.name == "in the middle of an image") {
      EXPECT_FALSE(r.sectors.empty());
      EXPECT_EQ(r.bytesWritten, std::uint64_t{0x2000} * r.sectors.size());
    }
  }
}

TEST_F(Ops, EachFailureNamesItsObjectAndReason) {
  struct Case {
    std::string name;
    std::vector<std::string> faults;
    char job;  // w write, d dump, i info
    std::string message;
    std::string detail;
  };
  const Case cases[] = {
      {"no handset",
       {"silence:announce"},
       'i',
       "BOOT : The handset did not answer (is it connected to this port and switched on?)",
       "port COM4 (emulated): no answer from the handset's boot ROM"},
      {"refused speed",
       {"wrong:speed-accept=0x00"},
       'i',
       "",
       ""},  // info does not change the speed: no failure
      {"refused speed on a dump",
       {"wrong:speed-accept=0x00"},
       'd',
       "COMMAND : Bad command acknowledge ",
       // After the wrong answer the handset waits for the speed's parameters: the last of the
       // attempts finds it silent.
       "port COM4 (emulated): the handset stopped answering"},
      {"bad sums",
       {"sector-checksum:1"},
       'w',
       "Problem : Bad checksum",
       "port COM4 (emulated), sector 1 at 0x02002000: the handset's sum"},
      {"silent in a read",
       {"silence:read#2"},
       'd',
       "COMMAND : bad read command acknowledge ",
       "port COM4 (emulated), sector 1 at 0x02002000: the handset stopped answering"},
      {"gone in a read",
       {"disconnect:in the second read"},
       'd',
       "COMMAND : bad read command parameter",
       "port COM4 (emulated), sector 1 at 0x02002000: the handset stopped answering"},
  };
  // Where the second read command's data starts on a good dump, to pull the device there.
  std::size_t secondRead = 0;
  {
    Handset good;
    Recorder rec(&good);
    ops::DumpInput in;
    in.link = link(2);
    in.sectors = ops::SectorRange{0, 3};
    in.output = "good.bin";
    ASSERT_EQ(ops::dump(in, context(good, rec)).result.Family, dwl::RESULT_SUCCESS);
    // Four read commands of 9 bytes each, then the switch-off's one byte.
    secondRead = good.link->written().size() - 1 - 3 * 9;
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> faults = c.faults;
    for (std::string& f : faults)
      if (f == "disconnect:in the second read") f = "disconnect:" + std::to_string(secondRead + 9);
    Handset h(faults);
    Recorder rec(&h);
    dwl::JobResult r;
    if (c.job == 'w') {
      r = ops::write(writeInput(false), context(h, rec));
    } else if (c.job == 'd') {
      ops::DumpInput in;
      in.link = link(2);
      in.sectors = ops::SectorRange{0, 3};
      in.output = "fail.bin";
      r = ops::dump(in, context(h, rec));
    } else {
      ops::InfoInput in;
      in.link = link();
      r = ops::info(in, context(h, rec));
    }
    EXPECT_EQ(r.message, c.message);
    EXPECT_EQ(ops::failureText(r.detail).substr(0, c.detail.size()), c.detail)
        << ops::failureText(r.detail);
  }
}

TEST_F(Ops, FileAndPortFailuresNameTheFileOrDevice) {
  Handset h;
  Recorder rec(&h);
  std::filesystem::create_directory("out");
  ops::DumpInput dump;
  dump.link = link(2);
  dump.sectors = ops::SectorRange{0, 0};
  dump.output = "out";
  dwl::JobResult r = ops::dump(dump, context(h, rec));
  EXPECT_EQ(r.result, (dwl::DownloadResult{dwl::RESULT_LIB_PC, 6}));
  EXPECT_EQ(ops::failureText(r.detail), "out: not a regular file");

  // An image larger than the largest flash: the image, its size and that flash.
  testsupport::TempDir::write("big.bin", std::string());
  std::filesystem::resize_file("big.bin", 0x1000001);  // sparse
  const auto loaded = ops::loadImage(dwl::Slot::Bin1, "big.bin", &table);
  const auto* problem = std::get_if<ops::ImageProblem>(&loaded);
  ASSERT_NE(problem, nullptr);
  EXPECT_EQ(problem->code, 2);
  const std::string& why = problem->text;
  EXPECT_EQ(why.rfind("big.bin: 16777217 bytes, larger than the largest flash in flash.txt, ", 0),
            0u)
      << why;
  EXPECT_NE(why.find("(16777216 bytes)"), std::string::npos) << why;

  ops::InfoInput info;
  info.link = link();
  info.link.bootstrapPath = "missing.spm";
  r = ops::info(info, context(h, rec));
  EXPECT_EQ(r.result, (dwl::DownloadResult{dwl::RESULT_LIB_PC, 3}));
  EXPECT_EQ(ops::failureText(r.detail), "missing.spm: No such file or directory");

  platform::ScriptedRs232 closed;
  closed.failOpenWith(platform::kErrPermission);
  ops::Context cx;
  cx.serial = &closed;
  info.link.bootstrapPath = "dwl87.spm";
  r = ops::info(info, cx);
  EXPECT_EQ(r.message, "LIB_PC : Default error number _ 0xfffffffb");
  EXPECT_EQ(ops::failureObjectText(r.detail.object), "port COM4 (emulated)");
}

TEST_F(Ops, WritesThatCannotBeRightAreRefusedBeforeAnythingIsWritten) {
  struct Case {
    std::string name;
    std::function<void(ops::WriteInput&)> change;
    dwl::DownloadResult result;
    std::string detail;
    bool boots;
  };
  const Case cases[] = {
      {"empty image",
       [](ops::WriteInput& in) { in.images[1].bytes.clear(); },
       {dwl::RESULT_DOWNLOAD_ERROR, 0},
       "the ogm2 image b.ogm is empty",
       false},
      {"Ogm1 on model 3",
       [](ops::WriteInput& in) {
         in.model = 3;
         in.images[1].slot = dwl::Slot::Ogm1;
       },
       {dwl::RESULT_DOWNLOAD_ERROR, 0},
       "model 3 has no place for an Ogm1 image",
       false},
      {"overlapping images",
       [](ops::WriteInput& in) {
         in.images[0].bytes = pattern(9 << 20, 3);
         in.images[1] = {dwl::Slot::Bin2, "c.bin", pattern(1000, 4)};
       },
       {dwl::RESULT_DOWNLOAD_ERROR, 0},
       "the bin1 image a.bin and the bin2 image c.bin overlap at 0x02800000..0x028003E7",
       false},
      {"image past the end of the flash",
       [](ops::WriteInput& in) {
         in.images[1] = {dwl::Slot::Bin2, "c.bin", pattern(9 << 20, 4)};
       },
       {dwl::RESULT_FLASH_FILE, 20},
       "bin2 image c.bin: 9437184 bytes from 0x02800000 do not fit the 16777216-byte flash",
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Handset h;
    Recorder rec(&h);
    ops::WriteInput in = writeInput(false);
    c.change(in);
    const dwl::JobResult r = ops::write(in, context(h, rec));
    EXPECT_EQ(r.result, c.result);
    EXPECT_EQ(ops::failureText(r.detail), c.detail);
    EXPECT_EQ(!h.link->written().empty(), c.boots);
    // Nothing was written: no sector write command went out.
    EXPECT_EQ(std::count(h.link->written().end() -
                             std::min<std::ptrdiff_t>(
                                 50, static_cast<std::ptrdiff_t>(h.link->written().size())),
                         h.link->written().end(), 0xEA),
              0);
    EXPECT_EQ(r.bytesWritten, 0u);
  }
}

// A download type other than 0 boots, writes nothing, shows the time and "The End", and leaves
// the handset on; the checks and the job's totals look only at the slots the file mode writes.
TEST_F(Ops, WriteSendsTheImagesOfTheModeAndTheDownloadType) {
  struct Case {
    std::string name;
    std::function<void(ops::WriteInput&)> change;
    dwl::DownloadResult result;
    std::vector<std::uint32_t> written;  // flash offsets of the images that must be there
    std::uint64_t total;                 // the job's bytes
  };
  const Case cases[] = {
      {"type 1, bin and ogm", [](ops::WriteInput& in) { in.downloadType = 1; }, {1, 0}, {}, 0},
      {"type 4, ogm only",
       [](ops::WriteInput& in) {
         in.downloadType = 4;
         in.mode = ops::FileMode::OgmOnly;
       },
       {1, 0},
       {},
       0},
      {"bin only, stale Ogm1 on model 3",
       [](ops::WriteInput& in) {
         in.mode = ops::FileMode::BinOnly;
         in.model = 3;
         in.images[1].slot = dwl::Slot::Ogm1;
       },
       {0, 0},
       {0},
       100000},
      {"bin only, empty Ogm2 left over",
       [](ops::WriteInput& in) {
         in.mode = ops::FileMode::BinOnly;
         in.images[1].bytes.clear();
       },
       {0, 0},
       {0},
       100000},
      {"ogm only, a Bin2 that overlaps Ogm2 and does not fit",
       [](ops::WriteInput& in) {
         in.mode = ops::FileMode::OgmOnly;
         in.images[0] = {dwl::Slot::Bin2, "c.bin", pattern(9 << 20, 4)};
       },
       {0, 0},
       {0xC70000},
       1002},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Handset h;
    Recorder rec(&h);
    testsupport::RecordingDisplay shown;
    ops::WriteInput in = writeInput(false);
    c.change(in);
    ops::Context cx = context(h, rec);
    dwl::ProgressTee both({&rec, &shown});
    cx.progress = &both;
    const dwl::JobResult r = ops::write(in, cx);
    EXPECT_EQ(r.result, c.result) << ops::failureText(r.detail);
    if (in.downloadType != 0) {
      EXPECT_EQ(r.detail.reason.text, "download type " + std::to_string(in.downloadType) +
                                          " writes nothing; only type 0 writes the images");
    }
    EXPECT_EQ(rec.totals.bytes, c.total);
    for (std::uint32_t at : c.written) {
      const Bytes& bytes = at == 0 ? in.images[0].bytes : in.images[1].bytes;
      EXPECT_EQ(h.flash->read(at, static_cast<std::uint32_t>(bytes.size())), bytes) << at;
    }
    const bool wrote = !c.written.empty();
    ASSERT_FALSE(h.link->written().empty()) << "the handset was booted";
    EXPECT_EQ(h.link->written().back() == 0xE8, wrote) << "switched off only after a download";
    ASSERT_FALSE(shown.comments.empty());
    EXPECT_NE(shown.comments.back().find("The End"), std::string::npos) << shown.comments.back();
    EXPECT_FALSE(shown.elapsedTexts.empty());
    // Nothing of a slot outside the mode (or of any slot, for a type other than 0) was written.
    if (!wrote || in.mode == ops::FileMode::OgmOnly) {
      EXPECT_EQ(h.flash->read(0, 16), Bytes(16, 0xFF));
    }
    if (!wrote || in.mode == ops::FileMode::BinOnly) {
      EXPECT_EQ(h.flash->read(0xC70000, 16), Bytes(16, 0xFF));
    }
  }
}

// Every front end makes its write input here: the File mode follows the images given unless the
// window set one, files are read, and what cannot be taken is listed, not written.
TEST(WriteInput, ModeImagesAndProblemsFollowWhatTheFrontEndGives) {
  testsupport::TempDir dir;
  testsupport::TempDir::write("a.bin", Bytes{1, 2, 3});
  const Bytes held = {7, 8, 9};
  using S = dwl::Slot;
  struct Case {
    std::string name;
    std::optional<ops::FileMode> mode;
    std::vector<ops::ImageSource> images;
    ops::FileMode wantMode;
    std::vector<S> wantSlots;
    std::vector<std::string> problems;
    dwl::ResultCode firstCode;
  };
  const Case cases[] = {
      {"bin only",
       std::nullopt,
       {{S::Bin1, "a.bin", {}}},
       ops::FileMode::BinOnly,
       {S::Bin1},
       {},
       0},
      {"ogm only",
       std::nullopt,
       {{S::Ogm2, "h.ogm", held}},
       ops::FileMode::OgmOnly,
       {S::Ogm2},
       {},
       0},
      {"bin and ogm",
       std::nullopt,
       {{S::Ogm1, "h.ogm", held}, {S::Bin1, "a.bin", {}}},
       ops::FileMode::BinAndOgm,
       {S::Ogm1, S::Bin1},
       {},
       0},
      {"the window's mode is kept",
       ops::FileMode::BinOnly,
       {{S::Ogm2, "h.ogm", held}},
       ops::FileMode::BinOnly,
       {S::Ogm2},
       {},
       0},
      {"missing file",
       std::nullopt,
       {{S::Bin2, "none.bin", {}}, {S::Bin1, "a.bin", {}}},
       ops::FileMode::BinOnly,
       {S::Bin1},
       {"the bin2 image none.bin"},
       3},
      {"two of a slot",
       std::nullopt,
       {{S::Bin1, "a.bin", {}}, {S::Bin1, "h.bin", held}},
       ops::FileMode::BinOnly,
       {S::Bin1},
       {"two images for bin1"},
       0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ops::WriteSettings settings;
    settings.model = 2;
    settings.verify = true;
    settings.mode = c.mode;
    std::vector<ops::ImageProblem> problems;
    const ops::WriteInput in = ops::makeWriteInput(settings, c.images, &problems);
    EXPECT_EQ(in.mode, c.wantMode);
    EXPECT_EQ(in.model, 2);
    EXPECT_TRUE(in.verify);
    std::vector<S> slots;
    for (const ops::Image& image : in.images) {
      slots.push_back(image.slot);
      EXPECT_EQ(image.bytes, image.path == "a.bin" ? Bytes({1, 2, 3}) : held) << image.path;
    }
    EXPECT_EQ(slots, c.wantSlots);
    ASSERT_EQ(problems.size(), c.problems.size());
    for (std::size_t i = 0; i < problems.size(); ++i)
      EXPECT_EQ(problems[i].text.rfind(c.problems[i], 0), 0u) << problems[i].text;
    if (!problems.empty()) {
      EXPECT_EQ(problems.front().code, c.firstCode);
    }
  }
}

TEST_F(Ops, EraseUsesTheSectorsOfTheFlashTheHandsetReports) {
  // The Intel flash of the samples: eight 8 KiB sectors, then 64 KiB ones.
  const std::uint16_t intel = emulator::flashCodes(0x89, 0x18);
  ops::EraseInput in;
  in.link = link(2);
  in.firstSector = 8;
  in.lastSector = 9;
  {
    Handset h({}, {.pace = true}, intel);
    h.flash->program(0x10000, pattern(0x20000, 5).data(), 0x20000);
    Recorder rec(&h);
    in.link.flash = nullptr;  // no description: the fixed map's sectors are not this flash's
    const dwl::JobResult r = ops::erase(in, context(h, rec));
    EXPECT_EQ(r.result, (dwl::DownloadResult{dwl::RESULT_FLASH_FILE, 15}));
    EXPECT_NE(r.detail.reason.text.find("flash 0x89:0x18"), std::string::npos)
        << ops::failureText(r.detail);
    EXPECT_EQ(h.flash->read(0x10000, 0x20000), pattern(0x20000, 5));
  }
  {
    Handset h({}, {.pace = true}, intel);
    h.flash->program(0x10000, pattern(0x30000, 5).data(), 0x30000);
    Recorder rec(&h);
    in.link.flash = &table;
    const dwl::JobResult r = ops::erase(in, context(h, rec));
    ASSERT_EQ(r.result.Family, dwl::RESULT_SUCCESS) << ops::failureText(r.detail);
    EXPECT_EQ(r.sectors, (std::vector<std::uint32_t>{8, 9}));
    EXPECT_EQ(h.flash->read(0x10000, 0x20000), Bytes(0x20000, 0xFF));
    const Bytes programmed = pattern(0x30000, 5);
    EXPECT_EQ(h.flash->read(0x30000, 0x10000),
              Bytes(programmed.begin() + 0x20000, programmed.end()))
        << "sector 10 is not erased";
  }
  {
    // The dumper's rules: the fixed map's sectors 8 and 9 (0x10000..0x2FFFF), no description.
    Handset h({}, {.pace = true}, intel);
    h.flash->program(0x10000, pattern(0x30000, 5).data(), 0x30000);
    Recorder rec(&h);
    in.link.flash = nullptr;
    in.rules = ops::EraseRules::Dumper;
    const dwl::JobResult r = ops::erase(in, context(h, rec));
    ASSERT_EQ(r.result.Family, dwl::RESULT_SUCCESS) << ops::failureText(r.detail);
    EXPECT_EQ(h.flash->read(0x10000, 0x20000), Bytes(0x20000, 0xFF));
    EXPECT_NE(h.flash->read(0x30000, 0x10000), Bytes(0x10000, 0xFF));
  }
}

// Each rule lists the sectors whose check failed; the command line's fails the job and leaves the
// handset on, the dumper's goes on to the switch-off and succeeds.
TEST_F(Ops, EraseListsTheSectorsWhoseCheckFailed) {
  struct Case {
    ops::EraseRules rules;
    dwl::DownloadResult result;
    bool switchedOff;
  };
  const Case cases[] = {{ops::EraseRules::CommandLine, {dwl::RESULT_COMMAND, 13}, false},
                        {ops::EraseRules::Dumper, {0, 0}, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.rules));
    Handset h({"erase-outcome:7=0xF3"});
    Recorder rec(&h);
    ops::EraseInput in;
    in.link = link(2);
    in.firstSector = 6;
    in.lastSector = 8;
    in.rules = c.rules;
    const dwl::JobResult r = ops::erase(in, context(h, rec));
    EXPECT_EQ(r.result, c.result);
    ASSERT_FALSE(h.link->written().empty());
    EXPECT_EQ(h.link->written().back() == 0xE8, c.switchedOff);
    ASSERT_EQ(r.failedSectors.size(), 1u);
    EXPECT_EQ(r.failedSectors[0].number, 7u);
    EXPECT_EQ(r.failedSectors[0].address, 0x0200E000u);
    EXPECT_EQ(r.failedSectors[0].message,
              "flash clear error: the handset answered 0xF3 where 0xF6 was expected (erase "
              "outcome)");
    EXPECT_EQ(r.sectors, (std::vector<std::uint32_t>{6, 8}));
  }
}

TEST_F(Ops, DumpFileRemovedOrNotAFileIsNamed) {
#ifndef _WIN32  // an open file cannot be removed there
  {
    Handset h;
    Recorder rec(&h);
    ops::DumpInput in;
    in.link = link(2);
    in.sectors = ops::SectorRange{0, 7};
    in.output = "gone.bin";
    // The file disappears after the first block.
    struct Remover final : dwl::ProgressSink {
      void bytesDone(const dwl::ByteProgress&) override { std::filesystem::remove("gone.bin"); }
    } remover;
    ops::Context cx = context(h, rec);
    cx.progress = &remover;
    const dwl::JobResult r = ops::dump(in, cx);
    EXPECT_EQ(r.result, (dwl::DownloadResult{dwl::RESULT_LIB_PC, 6}));
    EXPECT_EQ(ops::failureText(r.detail),
              "gone.bin: the file was removed or replaced while it was written");
    EXPECT_EQ(r.bytesWritten, 0x2000u);
  }
#endif
  {
    Handset h;
    Recorder rec(&h);
    ASSERT_EQ(testsupport::makeFifo("fifo.bin"), 0);
    ops::DumpInput in;
    in.link = link(2);
    in.sectors = ops::SectorRange{0, 0};
    in.output = "fifo.bin";
    const dwl::JobResult r = ops::dump(in, context(h, rec));
    EXPECT_EQ(r.result, (dwl::DownloadResult{dwl::RESULT_LIB_PC, 6}));
    EXPECT_EQ(ops::failureText(r.detail), "fifo.bin: not a regular file");
  }
}

// An output that cannot take the dump is named with the system's reason before the handset is
// asked for: nothing goes out on the line.
TEST_F(Ops, DumpOutputThatCannotTakeTheDumpIsRefusedBeforeTheBoot) {
  std::filesystem::create_directory("folder");
  ASSERT_EQ(testsupport::makeFifo("fifo.bin"), 0);
  std::filesystem::create_directory("locked");
  std::filesystem::permissions(
      "locked", std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
  struct Case {
    std::string output, detail;
  };
  std::vector<Case> cases = {
      {"folder", "folder: not a regular file"},
      {"fifo.bin", "fifo.bin: not a regular file"},
      {"", "the file name is empty"},
      {"nowhere/dump.txt", "nowhere/dump.txt: No such file or directory"},
  };
#ifndef _WIN32
  cases.push_back({"/dev/full", "/dev/full: not a regular file"});  // no such device on Windows
  if (::geteuid() != 0)  // permissions do not hold for root
    cases.push_back({"locked/dump.txt", "locked/dump.txt: Permission denied"});
#endif
  for (const Case& c : cases) {
    SCOPED_TRACE(c.output);
    Handset h;
    Recorder rec(&h);
    ops::DumpInput in;
    in.link = link(2);
    in.sectors = ops::SectorRange{0, 0};
    in.output = c.output;
    const dwl::JobResult r = ops::dump(in, context(h, rec));
    EXPECT_EQ(r.result, (dwl::DownloadResult{dwl::RESULT_LIB_PC, 6}));
    EXPECT_EQ(ops::failureText(r.detail), c.detail);
    EXPECT_TRUE(h.link->written().empty());
    EXPECT_EQ(rec.events.back(), "finished");
  }
  std::filesystem::permissions("locked", std::filesystem::perms::owner_all);
  EXPECT_FALSE(std::filesystem::exists("locked/dump.txt"));
}

TEST_F(Ops, TwoJobsRunAtOnceOnTwoHandsets) {
  Handset a, b;
  Recorder ra(&a), rb(&b);
  ops::WriteInput ina = writeInput(true), inb = writeInput(true);
  inb.images[0].bytes = pattern(100000, 99);
  dwl::JobResult resultA, resultB;
  std::thread ta([&] { resultA = ops::write(ina, context(a, ra)); });
  std::thread tb([&] { resultB = ops::write(inb, context(b, rb)); });
  ta.join();
  tb.join();
  EXPECT_EQ(resultA.result.Family, dwl::RESULT_SUCCESS) << ops::failureText(resultA.detail);
  EXPECT_EQ(resultB.result.Family, dwl::RESULT_SUCCESS) << ops::failureText(resultB.detail);
  EXPECT_TRUE(resultA.verified && resultB.verified);
  EXPECT_EQ(a.flash->read(0, 100000), pattern(100000, 1));
  EXPECT_EQ(b.flash->read(0, 100000), pattern(100000, 99));
  EXPECT_EQ(ra.last.jobDone, rb.last.jobDone);
}

// The service panel's session keeps its handset in the bootstrap, port open, while a write runs on
// another port; its steps see its own flash descriptions and its port only.
TEST_F(Ops, AServiceSessionRunsBesideAJob) {
  Handset a, b;
  Recorder ra(&a), rb(&b);
  const ops::WriteInput in = writeInput(true);
  dwl::JobResult written;
  std::thread ta([&] { written = ops::write(in, context(a, ra)); });

  ops::ServiceSession session;
  dwl::SharedContext record;
  record.ComPort = 4;
  record.Speed = 3;
  record.ProductType = 2;
  record.Profile = &dwl::kDownloaderProfile;
  const dwl::DownloadResult boot = session.switchOn(record, context(b, rb), &table);
  std::uint32_t sectors = 0;
  const dwl::ResultCode counted = session.run([&] {
    return dwl::dwl10_1GetNumberOfSector(record.FlashManufacturer, record.FlashDevice, &sectors);
  });
  EXPECT_EQ(session.port(), 4);
  EXPECT_EQ(b.core->state(), emulator::HandsetCore::State::Bootstrap);
  const dwl::ResultCode off = session.switchOff();
  EXPECT_TRUE(b.link->isOpen()) << "the port stays open until the session closes";
  session.close();
  ta.join();

  EXPECT_EQ(boot.Family, dwl::RESULT_SUCCESS);
  EXPECT_EQ(counted, dwl::kOk);
  EXPECT_EQ(sectors, 284u);
  EXPECT_EQ(off, dwl::kOk);
  EXPECT_EQ(b.core->state(), emulator::HandsetCore::State::Off);
  EXPECT_FALSE(b.link->isOpen());
  EXPECT_EQ(session.port(), 0);
  EXPECT_EQ(written.result.Family, dwl::RESULT_SUCCESS) << ops::failureText(written.detail);
  EXPECT_EQ(a.flash->read(0, 100000), pattern(100000, 1));
}

// After a cancel, what is queued for the handset is dropped before the close: a driver would
// otherwise send it all first, seconds of sectors on a slow line.
TEST(GuardedLine, ACancelDropsTheQueuedOutputBeforeTheClose) {
  struct Line final : platform::ForwardingRs232 {
    using ForwardingRs232::ForwardingRs232;
    std::vector<std::string> calls;
    int FlushOutQ(int port) override {
      calls.push_back("flush");
      return inner().FlushOutQ(port);
    }
    int CloseCom(int port) override {
      calls.push_back("close");
      return inner().CloseCom(port);
    }
  };
  platform::ScriptedRs232 scripted;
  Line line(scripted);
  platform::CancelToken token;
  platform::GuardedRs232 guarded(line, &token, {});
  guarded.CloseCom(1);
  token.cancel();
  guarded.CloseCom(1);
  EXPECT_EQ(line.calls, (std::vector<std::string>{"close", "flush", "close"}));
}

}  // namespace
