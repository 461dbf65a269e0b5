#include "ops/pg_job_store.h"

#include <gtest/gtest.h>

// Before anything that may bring in Qt, whose emit macro the handset's headers would meet.
#include "support/emulated_handset.h"

#include <algorithm>
#include <fstream>
#include <functional>
#include <set>
#include <thread>

#include "ops/job_log.h"
#include "ops/job_report.h"
#include "platform/forwarding_rs232.h"
#include "station/serial_counter.h"
#include "station/station.h"
#include "support/pg_server.h"
#include "support/samples.h"
#include "support/temp_dir.h"

namespace {

using Store = ops::PgJobStore;

nlohmann::json jobLine(const std::string& id, const std::string& serial) {
  return {{"id", id},
          {"job", "write"},
          {"start", "2026-12-10T08:00:00.000Z"},
          {"end", "2026-12-10T08:00:12.500Z"},
          {"port", "COM7"},
          {"station", "line-1"},
          {"serial", serial},
          {"result", {{"family", 0}, {"code", 0}, {"success", true}, {"message", ""}}},
          {"seconds", 12.5}};
}

std::multiset<std::string> idsIn(Store& store) {
  std::vector<nlohmann::json> lines;
  std::string why;
  EXPECT_TRUE(store.readAll(&lines, &why)) << why;
  std::multiset<std::string> ids;
  for (const auto& line : lines) ids.insert(line.value("id", ""));
  return ids;
}

class PgJobStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const std::string why = server_.missing(); !why.empty()) GTEST_FAIL() << why;
    ASSERT_TRUE(server_.start()) << "the test's PostgreSQL server did not start";
  }
  testsupport::TempDir dir_;
  testsupport::PgServer server_{dir_.path() / "pg"};
};

TEST_F(PgJobStoreTest, StoresEachJobOnceAndKeepsTheLine) {
  Store store(server_.url(), "spool.jsonl");
  std::string why;
  EXPECT_EQ(store.store(jobLine("a1", "LINE00001"), &why), Store::Outcome::Stored) << why;
  // The same job again (a spool sent twice): one row.
  EXPECT_EQ(store.store(jobLine("a1", "LINE00001"), &why), Store::Outcome::Stored) << why;
  nlohmann::json noId = jobLine("", "LINE00002");
  noId.erase("id");
  EXPECT_EQ(store.store(noId, &why), Store::Outcome::Stored) << why;

  std::vector<nlohmann::json> lines;
  ASSERT_TRUE(store.readAll(&lines, &why)) << why;
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].value("serial", ""), "LINE00001");
  EXPECT_EQ(lines[0]["result"]["success"], true);
  EXPECT_EQ(lines[1].value("id", "").size(), 32u);
  EXPECT_EQ(store.spooled(), 0u);
}

TEST_F(PgJobStoreTest, ADatabaseDownMidRunLosesNothingAndDuplicatesNothing) {
  Store store(server_.url(), "spool.jsonl");
  std::string why;
  ASSERT_EQ(store.store(jobLine("b1", "S1"), &why), Store::Outcome::Stored) << why;
  ASSERT_TRUE(server_.stop());
  EXPECT_EQ(store.store(jobLine("b2", "S2"), &why), Store::Outcome::Spooled);
  EXPECT_NE(why.find("cannot be reached"), std::string::npos) << why;
  EXPECT_EQ(store.store(jobLine("b3", "S3"), &why), Store::Outcome::Spooled);
  EXPECT_EQ(store.spooled(), 2u);

  ASSERT_TRUE(server_.start());
  EXPECT_EQ(store.store(jobLine("b4", "S4"), &why), Store::Outcome::Stored) << why;
  EXPECT_EQ(store.spooled(), 0u);
  // A spool resent after a crash (before it was emptied) adds nothing either.
  Store again(server_.url(), "spool2.jsonl");
  ASSERT_EQ(again.store(jobLine("b2", "S2"), &why), Store::Outcome::Stored) << why;
  EXPECT_EQ(idsIn(store), (std::multiset<std::string>{"b1", "b2", "b3", "b4"}));
}

TEST_F(PgJobStoreTest, CountersGiveEveryStationItsOwnNumbers) {
  constexpr int kEach = 40;
  std::vector<std::int64_t> got[2];
  std::vector<std::thread> stations;
  for (int s = 0; s < 2; ++s)
    stations.emplace_back([&, s] {
      Store store(server_.url(), "spool" + std::to_string(s) + ".jsonl");
      for (int i = 0; i < kEach; ++i)
        if (auto n = store.nextNumber("LINE")) got[s].push_back(*n);
    });
  for (auto& t : stations) t.join();
  std::set<std::int64_t> all(got[0].begin(), got[0].end());
  all.insert(got[1].begin(), got[1].end());
  ASSERT_EQ(all.size(), 2u * kEach);
  EXPECT_EQ(*all.begin(), 1);
  EXPECT_EQ(*all.rbegin(), 2 * kEach);
}

// Lines that leave their unit's number to the database, from two stations at once: each gets its
// own, in the transaction that stores it; a line sent again keeps the number it got.
TEST_F(PgJobStoreTest, EachStoredLineGetsItsOwnNumberInItsTransaction) {
  constexpr int kEach = 25;
  const auto numbered = [](const std::string& id) {
    nlohmann::json line = jobLine(id, "");
    line.erase("serial");
    line[Store::kSerialPending] = "R{n:03}";
    return line;
  };
  std::vector<std::string> given[2];
  std::vector<std::thread> stations;
  for (int s = 0; s < 2; ++s)
    stations.emplace_back([&, s] {
      Store store(server_.url(), "spool" + std::to_string(s) + ".jsonl");
      for (int i = 0; i < kEach; ++i) {
        std::string serial, why;
        EXPECT_EQ(store.store(numbered(std::to_string(s) + "-" + std::to_string(i)), &why, &serial),
                  Store::Outcome::Stored)
            << why;
        given[s].push_back(serial);
      }
    });
  for (auto& t : stations) t.join();
  std::set<std::string> expected;
  for (int n = 1; n <= 2 * kEach; ++n)
    expected.insert("R" + std::string(n < 10 ? "00" : "0") + std::to_string(n));
  std::set<std::string> returned(given[0].begin(), given[0].end());
  returned.insert(given[1].begin(), given[1].end());
  EXPECT_EQ(returned, expected);

  Store again(server_.url(), "spool-again.jsonl");
  std::string serial, why;
  ASSERT_EQ(again.store(numbered("0-0"), &why, &serial), Store::Outcome::Stored) << why;
  EXPECT_EQ(serial, given[0][0]);
  ASSERT_EQ(again.store(numbered("next"), &why, &serial), Store::Outcome::Stored) << why;
  EXPECT_EQ(serial, "R051");  // the line sent again used no number
  std::vector<nlohmann::json> lines;
  ASSERT_TRUE(again.readAll(&lines, &why)) << why;
  std::set<std::string> stored;
  for (const auto& line : lines) {
    EXPECT_FALSE(line.contains(Store::kSerialPending)) << line.dump();
    stored.insert(line.value("serial", ""));
  }
  expected.insert("R051");
  EXPECT_EQ(stored, expected);
  EXPECT_EQ(lines.size(), expected.size());
}

TEST(PgJobStore, WithoutADatabaseTheLineWaitsOrIsReportedLost) {
  testsupport::TempDir dir;
  Store store("postgresql:///postgres?host=" + (dir.path() / "none").string(), "spool.jsonl");
  std::string why;
  EXPECT_EQ(store.store(jobLine("c1", "S1"), &why), Store::Outcome::Spooled) << why;
  EXPECT_EQ(store.spooled(), 1u);
  EXPECT_FALSE(store.nextNumber("LINE", &why));
  EXPECT_FALSE(why.empty());
  std::filesystem::create_directory("a-folder");
  Store nowhere("postgresql:///postgres?host=" + (dir.path() / "none").string(), "a-folder");
  EXPECT_EQ(nowhere.store(jobLine("c2", "S2"), &why), Store::Outcome::Lost);
  EXPECT_NE(why.find("a-folder"), std::string::npos) << why;
  EXPECT_TRUE(ops::isDatabaseUrl("postgresql://db/line") && ops::isDatabaseUrl("postgres://x") &&
              !ops::isDatabaseUrl("jobs.jsonl"));
}

}  // namespace

namespace {

// The station's way in: a job log opened on the database's URL, its serials and its report.
TEST_F(PgJobStoreTest, AJobLogOnTheDatabaseKeepsWhatItCannotSendAndReportsFromIt) {
  ::setenv("XDG_DATA_HOME", (dir_.path() / "data").c_str(), 1);
  ops::JobLog log;
  std::string why;
  ASSERT_TRUE(log.open(server_.url(), &why)) << why;
  ASSERT_NE(log.database(), nullptr);
  ops::JobRecord record;
  record.job = "write";
  record.station = "line-1";
  record.port = {"COM7", 7, "/dev/pts/9"};
  record.started = record.ended = ops::WallClock::now();
  std::uint64_t first = 0, second = 0;
  ASSERT_TRUE(station::nextUnitNumber(log, "L{n:04}", &first, &why)) << why;
  ASSERT_TRUE(station::nextUnitNumber(log, "L{n:04}", &second, &why)) << why;
  EXPECT_EQ(second, first + 1);

  record.serial = "L0001";
  ASSERT_TRUE(log.append(record, &why)) << why;
  ASSERT_TRUE(server_.stop());
  record.serial = "L0002";
  record.result.result = {dwl::RESULT_DOWNLOAD_TIMEOUT, 0};
  ASSERT_TRUE(log.append(record, &why)) << why;  // waits in the local file
  EXPECT_NE(log.warning().find(ops::JobLog::pendingPath()), std::string::npos) << log.warning();
  EXPECT_FALSE(station::nextUnitNumber(log, "L{n:04}", &first, &why));

  ASSERT_TRUE(server_.start());
  ops::JobLog later;  // the next run sends what waits before anything else
  ASSERT_TRUE(later.open(server_.url(), &why)) << why;
  EXPECT_EQ(later.warning(), "");
  ops::JobReport report;
  ASSERT_TRUE(ops::readIntoReport(report, server_.url(), std::nullopt, ops::WallClock::now(), &why))
      << why;
  EXPECT_EQ(report.total.passed, 1);
  EXPECT_EQ(report.total.failed, 1);
  EXPECT_EQ(report.stations["line-1"].passed, 1);
}

}  // namespace

namespace {

// Runs hook(k) as the PC closes the port after the handset's k-th switch-off, before the job's
// record is written.
class AtSwitchOff final : public platform::ForwardingRs232 {
 public:
  AtSwitchOff(testsupport::EmulatedHandset& h, std::function<void(int)> hook)
      : ForwardingRs232(*h.link), handset_(h), hook_(std::move(hook)) {}
  int CloseCom(int port) override {
    if (handset_.core->switchedOff()) hook_(++count_);
    return ForwardingRs232::CloseCom(port);
  }

 private:
  testsupport::EmulatedHandset& handset_;
  std::function<void(int)> hook_;
  int count_ = 0;
};

// The database goes down after the first unit and comes back for the fourth: the slot keeps
// going, the units in between wait in the spool for their numbers and get them, each its own,
// when the database takes them.
TEST_F(PgJobStoreTest, AStationKeepsGoingWhileTheDatabaseIsDownAndNumbersEveryUnitOnce) {
  ::setenv("XDG_DATA_HOME", (dir_.path() / "data").c_str(), 1);
  testsupport::copySamples();
  const auto image = testsupport::pattern(20000, 3);
  std::ofstream("a.bin", std::ios::binary)
      .write(reinterpret_cast<const char*>(image.data()),
             static_cast<std::streamsize>(image.size()));
  station::Recipe recipe;
  recipe.images = {{dwl::Slot::Bin1, "a.bin"}};
  std::vector<std::string> problems;
  const auto loaded = station::loadRecipe(recipe, &problems);
  ASSERT_TRUE(loaded) << problems.front();
  ops::JobLog log;
  std::string why;
  ASSERT_TRUE(log.open(server_.url(), &why)) << why;

  testsupport::EmulatedHandset handset({}, {.pace = true, .powerOnAgainMs = 20000});
  station::Station* self = nullptr;
  bool serverUp = true;
  station::Station st(loaded, &log, [&](const ops::PortRef&) {
    return station::Line{std::make_shared<AtSwitchOff>(handset,
                                                       [&](int k) {
                                                         if (k == 2) serverUp = !server_.stop();
                                                         if (k == 4) serverUp = server_.start();
                                                         if (k == 5) self->cancel(0);
                                                       }),
                         [&] { return handset.link->seconds(); }};
  });
  self = &st;
  st.serialFormat = "L{n:04}";
  std::vector<std::string> shown;  // each job's serial as the station says it
  st.jobEnded = [&](int, const ops::JobRecord& record, const std::string&) {
    shown.push_back(record.serial.empty() ? "pending " + record.serialFormat : record.serial);
  };
  ASSERT_EQ(st.addSlot("COM1"), 0);
  ASSERT_TRUE(st.start(0, true));
  st.wait(0);
  ASSERT_TRUE(serverUp);
  const station::SlotStatus s = st.status(0);
  EXPECT_EQ(s.passes, 5) << s.result;
  EXPECT_EQ(s.stage, station::SlotStage::Done) << s.result;
  EXPECT_EQ(shown, (std::vector<std::string>{"L0001", "pending L{n:04}", "pending L{n:04}", "L0004",
                                             "L0005"}));
  std::vector<nlohmann::json> lines;
  ASSERT_TRUE(log.database()->readAll(&lines, &why)) << why;
  std::multiset<std::string> serials;
  for (const auto& line : lines) serials.insert(line.value("serial", ""));
  // The waiting ones took theirs in order, before the unit that found the database again.
  EXPECT_EQ(serials, (std::multiset<std::string>{"L0001", "L0002", "L0003", "L0004", "L0005"}));
  EXPECT_EQ(log.database()->spooled(), 0u);
}

}  // namespace
