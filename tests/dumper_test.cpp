// The dumper's engine against a scripted line: the sector map, the dump into dump.txt, the erase
// walk, the two flows and the callbacks' input logic.
#include "engines/dumper/dumper.h"
#include "apps/dumper/dumper_app.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/resource.h>
#endif

#include <csignal>
#include <deque>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "dwl/dwl1boot.h"
#include "dwl/dwl52display.h"
#include "platform/forwarding_rs232.h"
#include "platform/scripted_rs232.h"
#include "support/bound_job.h"
#include "support/recording_display.h"
#include "support/recording_panel.h"
#include "support/temp_dir.h"

namespace {

using dumper::DumperSectorMap;
using platform::ScriptedRs232;

// A scripted line whose replies are queued as chunks and put on the line only when the previous
// ones are used up, so a whole-flash dump never holds 16 MB of canned bytes.
class ChunkedLine final : public platform::ForwardingRs232 {
 public:
  using Chunk = std::function<void(ScriptedRs232&)>;
  ScriptedRs232 line;
  // The base only keeps a reference; the line is built before any operation reaches it.
  ChunkedLine() : ForwardingRs232(line) {}

  ChunkedLine& then(std::vector<std::uint8_t> bytes) {
    chunks_.push_back([b = std::move(bytes)](ScriptedRs232& l) { l.reply(b); });
    return *this;
  }
  ChunkedLine& thenSilence(int reads = 1) {
    chunks_.push_back([reads](ScriptedRs232& l) { l.silence(reads); });
    return *this;
  }
  ChunkedLine& then(Chunk chunk) {
    chunks_.push_back(std::move(chunk));
    return *this;
  }

  int ComRdByte(int p) override { return refill(), line.ComRdByte(p); }
  int ComRd(int p, std::uint8_t* d, int c) override { return refill(), line.ComRd(p, d, c); }
  int GetInQLen(int p) override { return refill(), line.GetInQLen(p); }
  bool WaitInput(int p, int ms) override { return refill(), line.WaitInput(p, ms); }

 private:
  void refill() {
    if (line.pending() == 0 && !chunks_.empty()) {
      chunks_.front()(line);
      chunks_.pop_front();
    }
  }
  std::deque<Chunk> chunks_;
};

// The handset's flash contents in these tests: every block differs from its neighbours.
std::uint8_t flashByte(std::uint32_t offset) {
  return static_cast<std::uint8_t>((offset & 0xFF) + 7 * (offset >> 13));
}

std::vector<std::uint8_t> flashBytes(std::uint32_t offset, std::uint32_t count) {
  std::vector<std::uint8_t> out(count);
  for (std::uint32_t i = 0; i < count; ++i) out[i] = flashByte(offset + i);
  return out;
}

enum class ReadFault { None, NoAccept, NoData, BadSum };

// The bootstrap's answer to one read command of a block.
std::vector<std::uint8_t> readReply(std::uint32_t offset, ReadFault fault = ReadFault::None) {
  if (fault == ReadFault::NoAccept) return {0x9D};
  if (fault == ReadFault::NoData) return {0xC0, 0x00};
  std::vector<std::uint8_t> r = {0xC0, 0xC7};
  std::uint32_t sum = 0;
  for (std::uint8_t b : flashBytes(offset, dumper::kBlockSize)) {
    r.push_back(b);
    sum += b;
  }
  if (fault == ReadFault::BadSum) ++sum;
  for (int i = 0; i < 4; ++i) r.push_back(static_cast<std::uint8_t>(sum >> (8 * i)));
  return r;
}

void thenBlocks(ChunkedLine& port, std::uint32_t offset, std::uint32_t count) {
  for (std::uint32_t i = 0; i < count; ++i)
    port.then([o = offset + i * dumper::kBlockSize](ScriptedRs232& l) { l.reply(readReply(o)); });
}

std::uint32_t be32(const std::vector<std::uint8_t>& w, std::size_t at) {
  return std::uint32_t{w[at]} << 24 | std::uint32_t{w[at + 1]} << 16 |
         std::uint32_t{w[at + 2]} << 8 | w[at + 3];
}

// The addresses of the read commands found in what the PC wrote from index `from`.
std::vector<std::uint32_t> readAddresses(const std::vector<std::uint8_t>& w, std::size_t from = 0) {
  std::vector<std::uint32_t> out;
  for (std::size_t i = from; i + 9 <= w.size(); i += 9) {
    EXPECT_EQ(w[i], 0xE6);
    EXPECT_EQ(be32(w, i + 1), dumper::kBlockSize);
    out.push_back(be32(w, i + 5));
  }
  return out;
}

struct EraseCommand {
  std::uint32_t size, address;
};

std::vector<EraseCommand> eraseCommands(const std::vector<std::uint8_t>& w, std::size_t from) {
  std::vector<EraseCommand> out;
  std::size_t i = from;
  while (i < w.size() && w[i] == 0xE4) {
    if (i + 10 <= w.size() && w[i + 1] == 0x01) {  // one sector per command
      out.push_back({be32(w, i + 2), be32(w, i + 6)});
      i += 10;
    } else {  // refused: the parameters were not sent
      out.push_back({0, 0});
      i += 1;
    }
  }
  return out;
}

// Speed 2: E0, accepted, frame checked, then the link check at the new speed.
const std::vector<std::uint8_t> kSpeedReplies = {0xC0, 0xC3, 0x00, 0xCA};
const std::vector<std::uint8_t> kSpeedBytes = {0xE0, 0x80, 0xFF, 0xFD, 0x02, 0x7C, 0xE9};
// The boot ROM, the bootstrap's reports and an AMD flash.
const std::vector<std::uint8_t> kBootReplies = {0xBE, 0x44, 0xA0, 0x00, 0x00, 0xC2, 0x01, 0x7E};

class DumperTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dumper::resetDumperState();
    job.state.serial = &port;
    job.state.clock = [] { return 1000.0; };
    // The flows run as the program runs them, on its port and clock.
    dumper::programSettings() = {&port, job.state.clock, {}};
  }
  void TearDown() override { dumper::programSettings() = {}; }
  const std::vector<std::uint8_t>& written() const { return port.line.written(); }

  // The dump of a context's range, as the sequence reports it: its stage gives the panel the
  // dump's size.
  static dwl::DownloadResult dumpRange(const dumper::DumperContext& ctx) {
    dwl::reportStage({dwl::Stage::Dump,
                      0,
                      0,
                      {},
                      std::uint64_t{dumper::blockCount(ctx.DumpFirstSector, ctx.DumpLastSector)} *
                          dumper::kBlockSize});
    return dumper::dump_flash(ctx);
  }

  testsupport::TempDir dir;
  testsupport::ScopedRecorder display;
  testsupport::RecordingDisplay& rec = display.rec;
  // The program's panel, and the sink of what the tests call without the operation layer.
  testsupport::ScopedPanel panel{rec};
  testsupport::BoundJob job{&panel.panel};
  ChunkedLine port;
};

// --- the sector map ---------------------------------------------------------------------------

TEST(DumperSectorMap, RegionBordersHaveTheirOffsetAndSize) {
  struct Row {
    int sector;
    std::uint32_t offset, size;
  };
  const Row rows[] = {
      {0, 0x000000, 0x2000},    {7, 0x00E000, 0x2000},    {8, 0x010000, 0x10000},
      {133, 0x7E0000, 0x10000}, {134, 0x7F0000, 0x2000},  {149, 0x80E000, 0x2000},
      {150, 0x810000, 0x10000}, {275, 0xFE0000, 0x10000}, {276, 0xFF0000, 0x2000},
      {283, 0xFFE000, 0x2000},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.sector);
    EXPECT_EQ(DumperSectorMap::offset(r.sector), r.offset);
    EXPECT_EQ(DumperSectorMap::size(r.sector), r.size);
    EXPECT_EQ(DumperSectorMap::address(r.sector), 0x02000000u + r.offset);
  }
}

TEST(DumperSectorMap, SectorsTileSixteenMegabytesWithoutGap) {
  std::uint32_t next = 0;
  int small = 0, large = 0;
  for (int s = 0; s <= 283; ++s) {
    ASSERT_EQ(DumperSectorMap::offset(s), next) << "sector " << s;
    next += DumperSectorMap::size(s);
    (DumperSectorMap::size(s) == 0x2000 ? small : large)++;
  }
  EXPECT_EQ(next, 0x1000000u);
  EXPECT_EQ(small, 32);
  EXPECT_EQ(large, 252);
  for (int s : {-1, 284, 1000}) {
    EXPECT_FALSE(DumperSectorMap::contains(s));
    EXPECT_EQ(DumperSectorMap::size(s), 0u);
  }
}

// --- the dump ----------------------------------------------------------------------------------

TEST_F(DumperTest, DumpReadsEachBlockOfTheRangeAndAppendsItToDumpTxt) {
  struct Range {
    int first, last;
    std::uint32_t blocks, address;
  };
  const Range ranges[] = {
      {0, 0, 1, 0x02000000},     {8, 8, 8, 0x02010000},      {130, 140, 39, 0x027B0000},
      {276, 283, 8, 0x02FF0000}, {0, 283, 2048, 0x02000000},
  };
  for (const Range& r : ranges) {
    SCOPED_TRACE(::testing::Message() << r.first << ".." << r.last);
    std::filesystem::remove("dump.txt");
    port.line.clearRecord();
    rec.progressValues.clear();
    rec.calls.clear();
    const std::uint32_t offset = r.address - dwl::FlashBase;
    thenBlocks(port, offset, r.blocks);

    dumper::DumperContext ctx;
    ctx.DumpFirstSector = r.first;
    ctx.DumpLastSector = r.last;
    EXPECT_EQ(dumpRange(ctx), (dwl::DownloadResult{0, 0}));

    EXPECT_EQ(dumper::blockCount(r.first, r.last), r.blocks);
    const std::vector<std::uint32_t> addresses = readAddresses(written());
    ASSERT_EQ(addresses.size(), r.blocks);
    for (std::uint32_t i = 0; i < r.blocks; ++i)
      ASSERT_EQ(addresses[i], r.address + i * 0x2000) << "block " << i;
    EXPECT_EQ(testsupport::TempDir::read("dump.txt"),
              flashBytes(offset, r.blocks * dumper::kBlockSize));
    EXPECT_EQ(rec.progressValues.back(), 100);
    EXPECT_EQ(rec.calls.back(),
              "offset " + std::to_string(offset + (r.blocks - 1) * dumper::kBlockSize));
    EXPECT_EQ(port.line.pending(), 0u);
  }
}

TEST_F(DumperTest, ProgressOfThreeBlocksIsTruncated) {
  thenBlocks(port, 0, 3);
  dumper::DumperContext ctx;
  ctx.DumpFirstSector = 0;
  ctx.DumpLastSector = 2;
  dumpRange(ctx);
  EXPECT_EQ(rec.progressValues, (std::vector<int>{33, 66, 100}));
  EXPECT_EQ(rec.calls, (std::vector<std::string>{"offset 0", "offset 8192", "offset 16384"}));
  EXPECT_EQ(job.state.SoftPourcent, 100);
}

TEST_F(DumperTest, DumpAppendsToWhatTheFileHeld) {
  testsupport::TempDir::write("dump.txt", std::string("earlier dump"));
  thenBlocks(port, 0x8000, 1);
  dumper::DumperContext ctx;
  ctx.DumpFirstSector = ctx.DumpLastSector = 4;
  ASSERT_EQ(dumper::dump_flash(ctx).Family, 0);
  std::vector<std::uint8_t> expected = {'e', 'a', 'r', 'l', 'i', 'e', 'r', ' ', 'd', 'u', 'm', 'p'};
  const std::vector<std::uint8_t> block = flashBytes(0x8000, dumper::kBlockSize);
  expected.insert(expected.end(), block.begin(), block.end());
  EXPECT_EQ(testsupport::TempDir::read("dump.txt"), expected);
}

TEST_F(DumperTest, FailedReadStopsTheDumpAndKeepsTheBlocksBefore) {
  struct Case {
    ReadFault fault;
    std::int32_t code;
  };
  for (const Case c :
       {Case{ReadFault::NoAccept, 17}, Case{ReadFault::NoData, 18}, Case{ReadFault::BadSum, 19}}) {
    SCOPED_TRACE(c.code);
    std::filesystem::remove("dump.txt");
    port.line.clearRecord();
    rec.progressValues.clear();
    thenBlocks(port, 0, 2);
    port.then([f = c.fault](ScriptedRs232& l) { l.reply(readReply(0x4000, f)); });

    dumper::DumperContext ctx;
    ctx.DumpFirstSector = 0;
    ctx.DumpLastSector = 7;
    EXPECT_EQ(dumpRange(ctx), (dwl::DownloadResult{8, c.code}));
    EXPECT_EQ(testsupport::TempDir::read("dump.txt"), flashBytes(0, 2 * dumper::kBlockSize));
    EXPECT_EQ(readAddresses(written()).size(), c.fault == ReadFault::NoAccept ? 2u : 3u);
    EXPECT_EQ(rec.progressValues, (std::vector<int>{12, 25}));
    EXPECT_EQ(port.line.pending(), 0u);
  }
}

TEST_F(DumperTest, DumpFileThatCannotBeOpenedStopsBeforeAnyRead) {
  std::filesystem::create_directory("dump.txt");
  dumper::DumperContext ctx;
  EXPECT_EQ(dumper::dump_flash(ctx), (dwl::DownloadResult{dwl::RESULT_LIB_PC, 6}));
  EXPECT_TRUE(written().empty());
}

// A device (here one that is always full) is not a dump file: refused before anything is read.
TEST_F(DumperTest, DeviceAsDumpFileIsRefusedBeforeAnyRead) {
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  std::filesystem::create_symlink("/dev/full", "dump.txt");
  thenBlocks(port, 0, 2);
  dumper::DumperContext ctx;
  ctx.DumpFirstSector = 0;
  ctx.DumpLastSector = 1;
  EXPECT_EQ(dumper::dump_flash(ctx), (dwl::DownloadResult{dwl::RESULT_LIB_PC, 6}));
  EXPECT_EQ(readAddresses(written()).size(), 0u);
  EXPECT_TRUE(rec.progressValues.empty());
  EXPECT_TRUE(rec.calls.empty());  // no offset shown for a block that was not saved
}

// Windows has no file size limit to play a full disk with.
#ifndef _WIN32
// A file size limit makes the kernel accept part of a block and refuse the rest.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    oldHandler_ = std::signal(SIGXFSZ, SIG_IGN);
    ::getrlimit(RLIMIT_FSIZE, &old_);
    rlimit lim = old_;
    lim.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &lim);
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &old_);
    std::signal(SIGXFSZ, oldHandler_);
  }

 private:
  rlimit old_{};
  void (*oldHandler_)(int);
};

TEST_F(DumperTest, BlockWrittenOnlyInPartIsCutBackAndStopsTheDump) {
  testsupport::TempDir::write("dump.txt", std::string(100, 'x'));
  thenBlocks(port, 0, 3);
  dumper::DumperContext ctx;
  ctx.DumpFirstSector = 0;
  ctx.DumpLastSector = 2;
  dwl::DownloadResult result;
  {
    FileSizeLimit limit(100 + dumper::kBlockSize + 1000);
    result = dumpRange(ctx);
  }
  EXPECT_EQ(result, (dwl::DownloadResult{dwl::RESULT_LIB_PC, 6}));
  std::vector<std::uint8_t> expected(100, 'x');
  const std::vector<std::uint8_t> block = flashBytes(0, dumper::kBlockSize);
  expected.insert(expected.end(), block.begin(), block.end());
  EXPECT_EQ(testsupport::TempDir::read("dump.txt"), expected);
  EXPECT_EQ(rec.progressValues, (std::vector<int>{33}));
  EXPECT_EQ(readAddresses(written()).size(), 2u);
}
#endif

TEST_F(DumperTest, RangeOffTheMapOrInvertedIsRefusedWithoutTouchingTheLine) {
  for (auto [first, last] : {std::pair{5, 4}, std::pair{-1, 3}, std::pair{0, 284}}) {
    dumper::DumperContext ctx;
    ctx.DumpFirstSector = first;
    ctx.DumpLastSector = last;
    EXPECT_EQ(dumper::dump_flash(ctx), (dwl::DownloadResult{dwl::RESULT_DOWNLOAD_ERROR, 0}));
    ctx.EraseFirstSector = first;
    ctx.EraseLastSector = last;
    EXPECT_EQ(dumper::flash_erase(ctx), (dwl::DownloadResult{dwl::RESULT_DOWNLOAD_ERROR, 0}));
  }
  EXPECT_FALSE(std::filesystem::exists("dump.txt"));
  EXPECT_TRUE(written().empty());
}

// --- the dumper's sequence ---------------------------------------------------------------------

TEST_F(DumperTest, SequenceSetsTheSpeedDumpsAndSwitchesOff) {
  port.then(kSpeedReplies);
  thenBlocks(port, 0, 1);
  port.then({0xC0});
  dumper::DumperContext ctx;
  ctx.DumpFirstSector = ctx.DumpLastSector = 0;
  EXPECT_EQ(dumper::dwl3_0Generic5087(ctx), (dwl::DownloadResult{0, 0}));
  std::vector<std::uint8_t> expected = kSpeedBytes;
  for (std::uint8_t b : {0xE6, 0x00, 0x00, 0x20, 0x00, 0x02, 0x00, 0x00, 0x00, 0xE8})
    expected.push_back(b);
  EXPECT_EQ(platform::hexBytes(written()), platform::hexBytes(expected));
  EXPECT_EQ(port.line.baud(), 230400);
}

TEST_F(DumperTest, SequenceFailuresAndWhatTheyLeaveUndone) {
  struct Case {
    const char* name;
    int speed;
    int downloadType;
    std::function<void(ChunkedLine&)> script;
    dwl::DownloadResult result;
    bool dumped, switchedOff;
  };
  const Case cases[] = {
      {"GPIO refused", 3, 0, [](ChunkedLine& p) { p.thenSilence(); }, {8, 2}, false, false},
      {"speed refused", 2, 0, [](ChunkedLine& p) { p.thenSilence(4); }, {8, 2}, false, false},
      {"read refused",
       2,
       0,
       [](ChunkedLine& p) { p.then(kSpeedReplies).thenSilence(); },
       {8, 17},
       false,
       false},
      {"switch-off refused",
       2,
       0,
       [](ChunkedLine& p) {
         p.then(kSpeedReplies);
         thenBlocks(p, 0, 1);
         p.thenSilence();
       },
       {8, 20},
       true,
       true},
      {"download type not a dump",
       2,
       1,
       [](ChunkedLine& p) { p.then(kSpeedReplies); },
       {dwl::RESULT_DOWNLOAD_ERROR, 0},
       false,
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove("dump.txt");
    port.line.clearRecord();
    c.script(port);
    dumper::DumperContext ctx;
    ctx.Speed = c.speed;
    ctx.DownloadType = c.downloadType;
    ctx.DumpFirstSector = ctx.DumpLastSector = 0;
    EXPECT_EQ(dumper::dwl3_0Generic5087(ctx), c.result);
    EXPECT_EQ(testsupport::TempDir::read("dump.txt").size(), c.dumped ? 0x2000u : 0u);
    EXPECT_EQ(!written().empty() && written().back() == 0xE8, c.switchedOff);
  }
}

TEST_F(DumperTest, DumperRecordUsesTheDumpersOwnSpeedRowThree) {
  port.then({0xC0, 0xC9, 0xC0, 0xC3, 0x00, 0xCA});
  dumper::DumperContext ctx;
  ctx.Speed = 3;
  ctx.DumpFirstSector = ctx.DumpLastSector = 0;
  thenBlocks(port, 0, 1);
  port.then({0xC0});
  EXPECT_EQ(dumper::dwl3_0Generic5087(ctx), (dwl::DownloadResult{0, 0}));
  EXPECT_EQ(platform::hexBytes(std::vector<std::uint8_t>(written().begin(), written().begin() + 7)),
            "EB E0 00 FF FC 01 FB");
  EXPECT_EQ(port.line.baud(), 203125);
}

// --- the erase walk ----------------------------------------------------------------------------

std::vector<std::uint8_t> eraseReplies(int sectors) {
  std::vector<std::uint8_t> r;
  for (int i = 0; i < sectors; ++i) r.insert(r.end(), {0xC0, 0xC5, 0xF6});
  return r;
}

TEST_F(DumperTest, EraseWalksEverySectorOfTheRangeAcrossRegions) {
  struct Range {
    int first, last;
    std::size_t commands;
    EraseCommand firstCommand, lastCommand;
  };
  const Range ranges[] = {
      {0, 0, 1, {0x2000, 0x02000000}, {0x2000, 0x02000000}},
      {7, 8, 2, {0x2000, 0x0200E000}, {0x10000, 0x02010000}},
      {0, 267, 268, {0x2000, 0x02000000}, {0x10000, 0x02F60000}},
      {0, 283, 284, {0x2000, 0x02000000}, {0x2000, 0x02FFE000}},
  };
  for (const Range& r : ranges) {
    SCOPED_TRACE(::testing::Message() << r.first << ".." << r.last);
    port.line.clearRecord();
    rec.calls.clear();
    dumper::sg_DownloadContext.EraseFirstSector = r.first;
    dumper::sg_DownloadContext.EraseLastSector = r.last;
    port.then(kSpeedReplies).then(eraseReplies(static_cast<int>(r.commands))).then({0xC0});

    EXPECT_EQ(dumper::flash_erase(dumper::sg_DownloadContext), (dwl::DownloadResult{0, 0}));

    const std::vector<EraseCommand> commands = eraseCommands(written(), kSpeedBytes.size());
    ASSERT_EQ(commands.size(), r.commands);
    std::uint32_t address = commands.front().address;
    for (std::size_t i = 0; i < commands.size(); ++i) {
      const int sector = r.first + static_cast<int>(i);
      ASSERT_EQ(commands[i].address, address) << "sector " << sector;
      ASSERT_EQ(commands[i].size, DumperSectorMap::size(sector)) << "sector " << sector;
      address += commands[i].size;
    }
    EXPECT_EQ(commands.front().address, r.firstCommand.address);
    EXPECT_EQ(commands.front().size, r.firstCommand.size);
    EXPECT_EQ(commands.back().address, r.lastCommand.address);
    EXPECT_EQ(commands.back().size, r.lastCommand.size);
    EXPECT_EQ(written().back(), 0xE8);
    EXPECT_EQ(rec.calls.size(), r.commands);
    EXPECT_EQ(rec.calls.back(), "erase " + std::to_string(r.lastCommand.address - dwl::FlashBase) +
                                    " " + std::to_string(r.last));
    EXPECT_TRUE(rec.popups.empty());
  }
}

// Failed checks change nothing of the result: the walk goes on, the handset is switched off.
TEST_F(DumperTest, FailedChecksShowTheirBoxesAndTheEraseGoesOnToTheSwitchOff) {
  using Boxes = std::vector<std::string>;
  struct Case {
    const char* name;
    std::vector<std::uint8_t> sector1, sector2;  // replies for sectors 1 and 2 of 0..2
    int silentReads;                             // after sector 1's bytes
    Boxes boxes;
    std::int32_t code;
  };
  const std::vector<std::uint8_t> ok = {0xC0, 0xC5, 0xF6};
  const Case cases[] = {
      {"refused", {0xC1}, ok, 2, {"erasing error", "ack receiving error", "flash clear error"}, 11},
      {"no C5", {0xC0, 0xC4, 0xF6}, ok, 0, {"ack receiving error"}, 12},
      {"F3", {0xC0, 0xC5, 0xF3}, ok, 0, {"flash clear error"}, 13},
      {"F4", {0xC0, 0xC5, 0xF4}, ok, 0, {"flash clear error"}, 14},
      {"F5", {0xC0, 0xC5, 0xF5}, ok, 0, {"flash clear error"}, 15},
      {"00", {0xC0, 0xC5, 0x00}, ok, 0, {"flash clear error"}, 16},
      {"silent outcome", {0xC0, 0xC5}, ok, 1, {"flash clear error"}, 16},
      {"two sectors fail",
       {0xC0, 0xC5, 0xF3},
       {0xC0, 0xC5, 0xF4},
       0,
       {"flash clear error", "flash clear error"},
       13},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    port.line.clearRecord();
    rec.popups.clear();
    dumper::sg_DownloadContext.EraseFirstSector = 0;
    dumper::sg_DownloadContext.EraseLastSector = 2;
    port.then(kSpeedReplies).then(ok).then(c.sector1);
    if (c.silentReads > 0) port.thenSilence(c.silentReads);
    port.then(c.sector2).then({0xC0});

    EXPECT_EQ(dumper::flash_erase(dumper::sg_DownloadContext), (dwl::DownloadResult{0, 0}));

    Boxes boxes;
    for (const auto& [title, text] : rec.popups) {
      EXPECT_EQ(title, "ERROR");
      boxes.push_back(text);
    }
    EXPECT_EQ(boxes, c.boxes);
    EXPECT_EQ(eraseCommands(written(), kSpeedBytes.size()).size(), 3u);  // the walk went on
    EXPECT_EQ(written().back(), 0xE8);
    EXPECT_EQ(port.line.pending(), 0u);

    // The command line's rule: the first failure is the result and the handset stays on.
    port.line.clearRecord();
    port.then(kSpeedReplies).then(ok).then(c.sector1);
    if (c.silentReads > 0) port.thenSilence(c.silentReads);
    port.then(c.sector2);
    EXPECT_EQ(dumper::eraseSectors(dumper::sg_DownloadContext, dumper::mapGeometry(), true),
              (dwl::DownloadResult{8, c.code}));
    EXPECT_NE(written().back(), 0xE8);
  }
}

// --- the whole flows -----------------------------------------------------------------------------

class FlowTest : public DumperTest {
 protected:
  void SetUp() override {
    DumperTest::SetUp();
    testsupport::TempDir::write("dwl87.spm", std::vector<std::uint8_t>(16, 0x5A));
    switchOn.show = [this] { shownAfterEvents = port.line.events().size(); };
    switchOn.discard = [this] { writtenAtDiscard = written().size(); };
  }
  dumper::SwitchOnPanel switchOn;
  std::size_t shownAfterEvents = 99;
  std::size_t writtenAtDiscard = 0;
};

TEST_F(FlowTest, DumpBootsDumpsShowsSuccessAndClosesThePort) {
  dumper::sg_DownloadContext.DumpFirstSector = dumper::sg_DownloadContext.DumpLastSector = 0;
  port.then(kBootReplies).then(kSpeedReplies);
  thenBlocks(port, 0, 1);
  port.then({0xC0});

  EXPECT_EQ(dumper::runDump(switchOn), (dwl::DownloadResult{0, 0}));

  EXPECT_EQ(dumper::sg_DownloadContext.OperationMode, dumper::kModeDump);
  EXPECT_EQ(shownAfterEvents, 0u);  // shown before the port is opened
  ASSERT_LT(writtenAtDiscard, written().size());
  EXPECT_EQ(written()[writtenAtDiscard], 0xE0);  // discarded after the boot, before the speed
  ASSERT_EQ(rec.windows.size(), 1u);
  EXPECT_EQ(rec.windows[0].window, dwl::Window::Success);
  EXPECT_EQ(rec.calls.front(), "offset 0");  // InitControls
  EXPECT_EQ(rec.calls[1], "lock");
  EXPECT_EQ(rec.progressValues, (std::vector<int>{0, 100}));
  EXPECT_EQ(port.line.events().back(), "close");
  EXPECT_EQ(testsupport::TempDir::read("dump.txt").size(), 0x2000u);
  EXPECT_EQ(dumper::lockDimming().panel, dumper::Panel::Main);
}

TEST_F(FlowTest, BootTimeOutOpensTheTimeOutPanelAndTouchesNoFlash) {
  port.thenSilence();
  EXPECT_EQ(dumper::runErase(switchOn), dwl::kNoHandsetResult);
  ASSERT_EQ(rec.windows.size(), 1u);
  EXPECT_EQ(rec.windows[0].window, dwl::Window::Timeout);
  EXPECT_EQ(rec.calls.front(), "erase 0 0");  // InitControls_erase
  EXPECT_EQ(port.line.events().back(), "close");
  for (std::uint8_t b : written()) EXPECT_NE(b, 0xE4);
  EXPECT_EQ(dumper::lockDimming().panel, dumper::Panel::Erase);

  rec.calls.clear();
  dumper::resetAndUnlock();
  EXPECT_EQ(rec.calls, (std::vector<std::string>{"erase 0 0", "unlock"}));
}

TEST_F(FlowTest, EraseWithAFailedSectorEndsInTheEraseSuccessfulPanel) {
  dumper::sg_DownloadContext.EraseFirstSector = 0;
  dumper::sg_DownloadContext.EraseLastSector = 1;
  port.then(kBootReplies).then(kSpeedReplies).then({0xC0, 0xC5, 0x00, 0xC0, 0xC5, 0xF6, 0xC0});

  EXPECT_EQ(dumper::runErase(switchOn), (dwl::DownloadResult{0, 0}));

  ASSERT_EQ(rec.windows.size(), 1u);
  EXPECT_EQ(rec.windows[0].window, dwl::Window::Success);
  EXPECT_EQ(rec.popups.size(), 1u);
  EXPECT_EQ(written().back(), 0xE8);
  EXPECT_EQ(port.line.events().back(), "close");
}

TEST_F(FlowTest, ClosingAWindowAfterADumpResetsAndUnlocksTheMainPanel) {
  port.thenSilence();
  dumper::runDump(switchOn);
  rec.calls.clear();
  rec.progressValues.clear();
  dumper::resetAndUnlock();
  EXPECT_EQ(rec.calls, (std::vector<std::string>{"offset 0", "unlock"}));
  EXPECT_EQ(rec.progressValues, (std::vector<int>{0}));
  EXPECT_EQ(
      dumper::unlockDimming(),
      (dumper::Dimming{dumper::Panel::Main, {4, 5, 11, 10, 12, 17, 13, 7, 6, 9}, false, true}));
}

// --- the record and the callbacks' input logic -------------------------------------------------

TEST(DumperRecord, StartsWithThePanelsDefaults) {
  dumper::resetDumperState();
  const dumper::DumperContext& c = dumper::sg_DownloadContext;
  EXPECT_EQ(c.DumpFirstSector, 0);
  EXPECT_EQ(c.DumpLastSector, 283);
  EXPECT_EQ(c.EraseFirstSector, 0);
  EXPECT_EQ(c.EraseLastSector, 283);
  EXPECT_EQ(c.EraseSelection, 0);
  EXPECT_EQ(c.ComPort, 4);
  EXPECT_EQ(c.Speed, 2);
  EXPECT_EQ(c.ProductType, 2);
  EXPECT_EQ(c.Profile, &dwl::kDumperProfile);
}

TEST(DumperCallbacks, RangeInputsStoreThenFlagAnInvertedRange) {
  using V = dumper::InputVerdict;
  struct Step {
    dumper::InputVerdict (*set)(int);
    int value;
    V verdict;
    int first, last;  // the dump or erase range afterwards
  };
  struct Case {
    const char* name;
    bool erase;
    std::vector<Step> steps;
  };
  const Case cases[] = {
      {"dump, equal ends", false, {{dumper::setDumpFirstSector, 283, V::Accepted, 283, 283}}},
      {"dump, first above last",
       false,
       {{dumper::setDumpLastSector, 10, V::Accepted, 0, 10},
        {dumper::setDumpFirstSector, 11, V::Inverted, 11, 10}}},
      {"dump, last below first",
       false,
       {{dumper::setDumpFirstSector, 5, V::Accepted, 5, 283},
        {dumper::setDumpLastSector, 4, V::Inverted, 5, 4}}},
      {"erase, range",
       true,
       {{dumper::setEraseFirstSector, 7, V::Accepted, 7, 283},
        {dumper::setEraseLastSector, 7, V::Accepted, 7, 7}}},
      {"erase, last below first",
       true,
       {{dumper::setEraseFirstSector, 9, V::Accepted, 9, 283},
        {dumper::setEraseLastSector, 8, V::Inverted, 9, 8}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    dumper::resetDumperState();
    for (const Step& s : c.steps) {
      EXPECT_EQ(s.set(s.value), s.verdict);
      const dumper::DumperContext& r = dumper::sg_DownloadContext;
      EXPECT_EQ(c.erase ? r.EraseFirstSector : r.DumpFirstSector, s.first);
      EXPECT_EQ(c.erase ? r.EraseLastSector : r.DumpLastSector, s.last);
    }
  }
  EXPECT_EQ(dumper::prior_value_start, 9);
  EXPECT_EQ(dumper::prior_value_end, 8);
}

TEST(DumperCallbacks, EraseSelectionSwitchesBetweenWholeFlashAndTheTypedRange) {
  dumper::resetDumperState();
  const dumper::DumperContext& r = dumper::sg_DownloadContext;
  const std::vector<int> range = {8, 7, 13};

  auto d = dumper::setEraseSelection(0);
  ASSERT_TRUE(d);
  EXPECT_EQ(*d, (dumper::Dimming{dumper::Panel::Erase, range, true, false}));
  EXPECT_EQ(std::pair(r.EraseFirstSector, r.EraseLastSector), std::pair(0, 267));

  d = dumper::setEraseSelection(1);
  ASSERT_TRUE(d);
  EXPECT_FALSE(d->dim);
  EXPECT_EQ(std::pair(r.EraseFirstSector, r.EraseLastSector), std::pair(0, 283));

  dumper::setEraseFirstSector(12);
  dumper::setEraseLastSector(20);
  dumper::setEraseSelection(0);
  EXPECT_FALSE(dumper::setEraseSelection(5));
  EXPECT_EQ(std::pair(r.EraseFirstSector, r.EraseLastSector), std::pair(0, 267));
  dumper::setEraseSelection(1);
  EXPECT_EQ(std::pair(r.EraseFirstSector, r.EraseLastSector), std::pair(12, 20));

  // While erasing a typed range its controls are dimmed with the buttons.
  dumper::sg_DownloadContext.OperationMode = dumper::kModeErase;
  EXPECT_EQ(dumper::lockDimming().controls, (std::vector<int>{2, 3, 4, 12, 8, 7, 13}));
}

TEST(DumperCallbacks, OpeningTheErasePanelSelectsWholeFlashButKeepsTheRange) {
  dumper::resetDumperState();
  dumper::setEraseSelection(1);
  const dumper::Dimming open = dumper::openErasePanel();
  EXPECT_EQ(dumper::sg_DownloadContext.EraseSelection, 0);
  EXPECT_EQ(std::pair(dumper::sg_DownloadContext.EraseFirstSector,
                      dumper::sg_DownloadContext.EraseLastSector),
            std::pair(0, 283));
  EXPECT_EQ(open.controls.size(), 15u);
  EXPECT_TRUE(open.dim && open.menuBar);
  const dumper::Dimming close = dumper::closeErasePanel();
  EXPECT_EQ(close.controls, open.controls);
  EXPECT_FALSE(close.dim);
}

}  // namespace
