// The sector-by-sector transfer against a scripted handset: bytes on the line, blocks, retries,
// the reply time-out, progress and the refusals that come before anything is sent.
#include "dwl/dwl11transfer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>

#include "platform/scripted_rs232.h"
#include "support/bound_job.h"
#include "support/flash_geometry.h"
#include "support/observed_rs232.h"
#include "support/recording_display.h"

namespace {

using dwl::DownloadResult;
using dwl::FlashBase;
using testsupport::goodReply;
using testsupport::imageBytes;
using testsupport::sectorBytes;
using testsupport::sumOf;

class Transfer : public ::testing::Test {
 protected:
  void SetUp() override {
    testsupport::setStandardFlash();
    job.state.serial = &observed;
    // Each reading one second later, so a handset that never answers ends every test.
    job.state.clock = [this] { return readings.empty() ? ++last : (last = popReading()); };
    ctx.ComPort = 4;
    ctx.FlashManufacturer = testsupport::kTestMaker;
    ctx.FlashDevice = testsupport::kTestDevice;
  }
  std::time_t popReading() {
    const std::time_t t = readings.front();
    readings.pop_front();
    return t;
  }
  DownloadResult run(const std::vector<std::uint8_t>& image, std::uint32_t address = FlashBase) {
    return dwl::dwl11_54Download(ctx, static_cast<std::uint32_t>(image.size()), image.data(),
                                 address);
  }
  // The calls between the sector header (three 4-byte writes) and the reply wait.
  std::vector<std::string> dataCalls() const {
    std::vector<std::string> out;
    int headerWrites = 0;
    for (const std::string& c : observed.calls) {
      if (headerWrites < 3) {
        headerWrites += c == "wrt 4";
        continue;
      }
      if (c == "inq") break;
      out.push_back(c);
    }
    return out;
  }

  platform::ScriptedRs232 port;
  testsupport::ObservedRs232 observed{port};
  testsupport::RecordingDisplay rec;
  testsupport::BoundJob job{&rec};
  dwl::SharedContext ctx;
  std::deque<std::time_t> readings;
  std::time_t last = 1000;
};

struct Sector {
  std::uint32_t size, address, offset, count;
};

TEST_F(Transfer, CutsTheImageAlongTheSectorsWithExactBytes) {
  struct Case {
    const char* name;
    std::uint32_t address, length;
    std::vector<Sector> sectors;
  };
  const Case cases[] = {
      {"one short sector", FlashBase, 10, {{0x2000, 0x02000000, 0, 10}}},
      {"ends on a boundary", FlashBase, 0x2000, {{0x2000, 0x02000000, 0, 0x2000}}},
      {"ends inside the second sector",
       FlashBase,
       0x2064,
       {{0x2000, 0x02000000, 0, 0x2000}, {0x2000, 0x02002000, 0x2000, 0x64}}},
      {"large sectors",
       0x02010000,
       0x10001,
       {{0x10000, 0x02010000, 0, 0x10000}, {0x10000, 0x02020000, 0x10000, 1}}},
      {"empty image", FlashBase, 0, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    port.clearRecord();
    const auto image = imageBytes(c.length);
    std::vector<std::uint8_t> expected;
    for (const Sector& s : c.sectors) {
      const auto bytes = sectorBytes(s.size, s.address, image.data() + s.offset, s.count);
      expected.insert(expected.end(), bytes.begin(), bytes.end());
      port.reply(goodReply(sumOf(image.data() + s.offset, s.count)));
    }
    EXPECT_EQ(run(image, c.address), (DownloadResult{0, 0}));
    EXPECT_EQ(platform::hexBytes(port.written()), platform::hexBytes(expected));
    EXPECT_EQ(port.pending(), 0u);
  }
}

TEST_F(Transfer, SendsBlocksOf8192AndDrainsAfterEachFullBlockOnly) {
  struct Case {
    std::uint32_t address, length;
    int queuedPolls;
    std::vector<std::string> calls;
  };
  const Case cases[] = {
      {FlashBase, 100, 0, {"wrt 100"}},
      {FlashBase, 0x2000, 0, {"wrt 8192", "outq", "wrt 0"}},
      {0x02010000, 0x4000, 0, {"wrt 8192", "outq", "wrt 8192", "outq", "wrt 0"}},
      {0x02010000, 0x2005, 0, {"wrt 8192", "outq", "wrt 5"}},
      // A queue still full blocks on the port between event pumps instead of spinning.
      {0x02010000, 0x2005, 2, {"wrt 8192", "outq", "drain 5", "outq", "drain 5", "outq", "wrt 5"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.length);
    observed.calls.clear();
    observed.queuedOutputPolls = c.queuedPolls;
    const auto image = imageBytes(c.length);
    port.reply(goodReply(sumOf(image.data(), c.length)));
    EXPECT_EQ(run(image, c.address), (DownloadResult{0, 0}));
    EXPECT_EQ(dataCalls(), c.calls);
  }
}

enum class Kind { Good, Bad, Error, Short, Other };
struct Reply {
  Kind kind;
  int byte = 0;
};

TEST_F(Transfer, RetriesWithinBothBudgets) {
  struct Case {
    const char* name;
    std::uint32_t sectors;
    std::vector<Reply> replies;
    DownloadResult result;
  };
  const Reply good{Kind::Good}, bad{Kind::Bad};
  const Case cases[] = {
      {"two mismatches then good", 1, {bad, bad, good}, {0, 0}},
      {"three mismatches", 1, {bad, bad, bad}, {12, 0xCC}},
      {"error reply on the third attempt", 1, {bad, bad, {Kind::Error, 5}}, {10, 5}},
      {"error replies only", 1, {{Kind::Error, 1}, {Kind::Error, 2}, {Kind::Error, 3}}, {10, 3}},
      {"sector count restarts, image count does not",
       3,
       {bad, bad, good, bad, bad, good, bad},
       {12, 0xCC}},
      {"four failures over four sectors pass",
       4,
       {bad, good, bad, good, bad, good, bad, good},
       {0, 0}},
      {"the fifth failure over five sectors ends it",
       5,
       {bad, good, bad, good, bad, good, bad, good, {Kind::Error, 7}},
       {10, 7}},
      {"unexpected reply byte", 2, {good, {Kind::Other, 0x41}}, {11, 0x41}},
      {"short checksum is a failed attempt", 1, {{Kind::Short, 2}, good}, {0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    port.clearRecord();
    const auto image = imageBytes(c.sectors * 0x2000, c.sectors);
    std::uint32_t sector = 0;
    for (const Reply& r : c.replies) {
      const std::uint32_t sum = sumOf(image.data() + sector * 0x2000, 0x2000);
      switch (r.kind) {
        case Kind::Good:
          port.reply(goodReply(sum)), ++sector;
          break;
        case Kind::Bad:
          port.reply(goodReply(sum + 1));
          break;
        case Kind::Error:
          port.reply({0xCD, r.byte});
          break;
        case Kind::Other:
          port.reply({r.byte});
          break;
        case Kind::Short: {
          auto bytes = goodReply(sum);
          bytes.resize(1 + static_cast<std::size_t>(r.byte));
          port.reply(bytes).silence();
          break;
        }
      }
    }
    EXPECT_EQ(run(image), c.result);
    EXPECT_EQ(port.pending(), 0u);
    // Every attempt announced a sector: one header per reply.
    std::vector<std::uint8_t> expected;
    sector = 0;
    for (const Reply& r : c.replies) {
      const auto bytes =
          sectorBytes(0x2000, FlashBase + sector * 0x2000, image.data() + sector * 0x2000, 0x2000);
      expected.insert(expected.end(), bytes.begin(), bytes.end());
      sector += r.kind == Kind::Good;
    }
    EXPECT_EQ(port.written(), expected);
  }
}

TEST_F(Transfer, ChecksumIsReadLeastSignificantByteFirstAndMustBeComplete) {
  std::vector<std::uint8_t> image(32, 0xFF);
  image.push_back(0x30);  // sum 0x2010
  struct Case {
    std::vector<int> replies;  // -1 is a read that finds nothing
    DownloadResult result;
  };
  const Case cases[] = {
      {{0xCC, 0x10, 0x20, 0x00, 0x00}, {0, 0}},
      {{0xCC, 0x00, 0x00, 0x20, 0x10, 0xCC, 0x00, 0x00, 0x20, 0x10, 0xCC, 0, 0, 0x20, 0x10},
       {12, 0xCC}},
      // Missing bytes that would have been zero still do not confirm the sector.
      {{0xCC, 0x10, 0x20, -1, 0xCC, 0x10, 0x20, 0x00, -1, 0xCC, 0x10, -1}, {12, 0xCC}},
  };
  for (const Case& c : cases) {
    for (int b : c.replies) b < 0 ? port.silence() : port.reply({b});
    EXPECT_EQ(run(image), c.result);
    EXPECT_EQ(port.pending(), 0u);
  }
}

TEST_F(Transfer, ReplyTimeOutAfterMoreThanTenSeconds) {
  struct Case {
    const char* name;
    std::vector<std::time_t> clock;  // the wait's start, then one reading per empty poll
    int emptyPolls;
    DownloadResult result;
    int blockingWaits;
  };
  const Case cases[] = {
      {"exactly ten seconds still waits", {100, 105, 110, 110}, 3, {0, 0}, 3},
      {"eleven seconds end it", {100, 105, 111}, 5, {13, 0}, 1},
      {"at the first poll", {100, 111}, 5, {13, 0}, 0},
  };
  const auto image = imageBytes(10);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    observed.calls.clear();
    rec.bytes.clear();
    job.state.mv_ResultDownload = {};
    readings.assign(c.clock.begin(), c.clock.end());
    observed.hiddenInputPolls = c.emptyPolls;
    port.reply(goodReply(sumOf(image.data(), 10)));
    EXPECT_EQ(run(image), c.result);
    const auto waits = std::count(observed.calls.begin(), observed.calls.end(), "wait 5");
    EXPECT_EQ(waits, c.blockingWaits);
    // The window repaints from the job's events (the guarded port beats in its waits): the good
    // sector reports its bytes once, and nothing else is shown.
    EXPECT_EQ(rec.bytes.size(), c.result.Family == 0 ? 1u : 0u);
    EXPECT_EQ(job.state.mv_TimeOut, 100);
    EXPECT_EQ(job.state.mv_TimeOutEnd, c.clock.back());
    if (c.result.Family == 13) {
      EXPECT_EQ(job.state.mv_ResultDownload, c.result);
      EXPECT_EQ(rec.sectors.back().state, "Error");
      port = platform::ScriptedRs232{};  // the unread reply
    }
  }
}

TEST_F(Transfer, OutputThatNeverDrainsEndsLikeASilentHandset) {
  observed.queuedOutputPolls = -1;
  const auto image = imageBytes(0x4000);
  EXPECT_EQ(run(image, 0x02010000), (DownloadResult{13, 0}));
  // Nothing after the first block.
  EXPECT_EQ(port.written().size(), 13u + 0x2000);
}

TEST_F(Transfer, ProgressAfterEachGoodSector) {
  const auto image = imageBytes(0x4001);
  port.reply(goodReply(sumOf(image.data(), 0x2000)));
  port.reply(goodReply(0)).reply(goodReply(sumOf(image.data() + 0x2000, 0x2000)));
  port.reply(goodReply(sumOf(image.data() + 0x4000, 1)));
  EXPECT_EQ(run(image), (DownloadResult{0, 0}));
  EXPECT_EQ(rec.bytes, (std::vector<std::uint64_t>{0x2000, 0x4000, 0x4001}));
  EXPECT_EQ(job.state.mv_SoftPourcent, 100);
}

TEST_F(Transfer, ReportsEachSectorsState) {
  const auto image = imageBytes(0x2001);
  port.reply(goodReply(sumOf(image.data(), 0x2000)));
  port.reply({0xCD, 1}).reply(goodReply(image[0x2000]));
  ASSERT_EQ(run(image, 0x02002000), (DownloadResult{0, 0}));
  const std::vector<std::string> expected = {"1 Wait...", "2 Wait...", "1 wait...", "1 Downloaded",
                                             "2 wait...", "2 Error",   "2 wait...", "2 Downloaded"};
  std::vector<std::string> shown;
  for (const auto& s : rec.sectors) {
    EXPECT_EQ(s.size, 0x2000u);
    EXPECT_EQ(s.address, FlashBase + s.index * 0x2000);
    shown.push_back(std::to_string(s.index) + " " + s.state);
  }
  EXPECT_EQ(shown, expected);
}

TEST_F(Transfer, RefusesBeforeSendingAnything) {
  struct Case {
    const char* name;
    std::uint8_t device;
    std::uint32_t address, length;
    DownloadResult result;
  };
  const Case cases[] = {
      {"inside a small sector", testsupport::kTestDevice, FlashBase + 100, 10, {2, 18}},
      {"inside a large sector", testsupport::kTestDevice, 0x02011000, 10, {2, 18}},
      {"below the flash", testsupport::kTestDevice, 0x01000000, 10, {2, 18}},
      {"beyond the flash", testsupport::kTestDevice, 0x03100000, 10, {2, 18}},
      {"unknown flash", 0x55, FlashBase, 10, {2, 15}},
      {"runs past the flash end", testsupport::kTestDevice, 0x02FF0000, 0x20000, {2, 20}},
      {"empty image", testsupport::kTestDevice, 0x02FF0000, 0, {0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ctx.FlashDevice = c.device;
    EXPECT_EQ(run(imageBytes(c.length), c.address), c.result);
    EXPECT_TRUE(port.written().empty());
  }
}

}  // namespace
