// The job log's lines and hashes, its failure when the disk refuses, and the progress stream.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "ops/job_log.h"
#include "ops/jsonl_progress.h"
#include "support/json_lines.h"
#include "support/temp_dir.h"

namespace {

TEST(JobLog, Sha256MatchesTheStandardVectors) {
  const struct {
    std::string input;
    const char* digest;
  } cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
      // 55 and 56 bytes: the padding fits in the last block or needs one more.
      {std::string(55, 'x'), "d5e285683cd4efc02d021a5c62014694958901005d6f71e89e0989fac77e4072"},
      {std::string(56, 'x'), "04c26261370ee7541549d16dee320c723e3fd14671e66a099afe0a377c16888e"},
  };
  for (const auto& c : cases) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(c.input.data());
    EXPECT_EQ(ops::sha256Hex(p, c.input.size()), c.digest) << c.input.size() << " bytes";
  }
}

ops::WriteInput twoImages() {
  ops::WriteInput in;
  in.link.port = {"COM7", 7, "/dev/ttyUSB6"};
  in.link.speed = 3;
  in.model = 2;
  in.verify = true;
  in.images.push_back({dwl::Slot::Bin1, "a.bin", {'a', 'b', 'c'}});
  in.images.push_back({dwl::Slot::Ogm2, "b\xff.ogm", {}});
  return in;
}

TEST(JobLog, EachJobIsOneLineWithItsImagesAndResult) {
  testsupport::TempDir dir;
  ops::JobLog log;
  std::string why;
  ASSERT_TRUE(log.open("sub/jobs.jsonl", &why)) << why;
  dwl::JobResult failed;
  failed.result = {dwl::RESULT_SECTOR_CHECKSUM, 2};
  failed.message = "checksum";
  failed.detail.object.port = "COM7";
  failed.detail.object.sector = 3;
  failed.detail.object.address = 0x01030000;
  failed.detail.reason = {dwl::FailureKind::UnexpectedReply, "sector sum", 0xC7, 0xC0};
  failed.identified = true;
  failed.handset = {0x87, 0x01, 0x7E, "AMD x", false, 0, 0, 0};
  const auto t0 = ops::WallClock::time_point(std::chrono::milliseconds(1765204507123));
  const auto t1 = t0 + std::chrono::seconds(12);
  // Several threads at once: each line still whole.
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i)
    threads.emplace_back([&] {
      for (int k = 0; k < 25; ++k)
        EXPECT_TRUE(log.append(ops::recordOf("write", twoImages(), failed, t0, t1)));
    });
  for (auto& t : threads) t.join();

  const auto lines = testsupport::jsonLinesOf("sub/jobs.jsonl");
  ASSERT_EQ(lines.size(), 100u);
  const nlohmann::json& j = lines[0];
  EXPECT_EQ(j["start"], "2025-12-08T14:35:07.123Z");
  EXPECT_EQ(j["end"], "2025-12-08T14:35:19.123Z");
  EXPECT_EQ(j["device"], "/dev/ttyUSB6");
  EXPECT_EQ(j["handset"]["flash_device"], "0x7E");
  EXPECT_EQ(j["images"][0]["sha256"],
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(j["images"][1]["slot"], "ogm2");
  EXPECT_EQ(j["images"][1]["path"], "b\xEF\xBF\xBD.ogm");  // an invalid byte replaced
  EXPECT_EQ(j["result"]["family"], dwl::RESULT_SECTOR_CHECKSUM);
  EXPECT_EQ(j["result"]["detail"],
            "port COM7, sector 3 at 0x01030000: the handset answered 0xC7 where 0xC0 was expected "
            "(sector sum)");
  EXPECT_TRUE(j["verify"].get<bool>());
  EXPECT_FALSE(j["version"].get<std::string>().empty());
}

TEST(JobLog, ALogThatCannotBeWrittenFailsAndStaysFailed) {
  ops::JobLog full, missing;
  std::string why;
  ASSERT_TRUE(full.open("/dev/full", &why)) << why;
  EXPECT_FALSE(full.append(ops::recordOf("info", ops::LinkInput{}, {}, {}, {}), &why));
  EXPECT_NE(why.find("No space"), std::string::npos) << why;
  EXPECT_TRUE(full.failed());
  EXPECT_FALSE(missing.open("/proc/no/such/jobs.jsonl", &why));
  EXPECT_FALSE(missing.append(ops::recordOf("info", ops::LinkInput{}, {}, {}, {})));
  EXPECT_TRUE(missing.failed());
  // A device takes the lines without a disk to flush them to.
  ops::JobLog null;
  ASSERT_TRUE(null.open("/dev/null", &why)) << why;
  EXPECT_TRUE(null.append(ops::recordOf("info", ops::LinkInput{}, {}, {}, {}), &why)) << why;
  // A FIFO with no reader is refused at once rather than holding the station's first job.
  testsupport::TempDir dir;
  ASSERT_EQ(testsupport::makeFifo("jobs.fifo"), 0);
  ops::JobLog fifo;
  EXPECT_FALSE(fifo.open("jobs.fifo", &why));
  EXPECT_EQ(why, "cannot open the job log jobs.fifo: not a regular file");
}

// Log rotation renames the log, or a cleaner removes it: the next line goes to a new file of the
// log's name. A line that cannot be written is handed over with the reason, never dropped unseen.
TEST(JobLog, ARenamedLogIsOpenedAgainAndALostLineIsHandedOver) {
  testsupport::TempDir dir;
  const auto record = ops::recordOf("info", ops::LinkInput{}, {}, {}, {});
  ops::JobLog log;
  ASSERT_TRUE(log.open("jobs.jsonl", nullptr));
  ASSERT_TRUE(log.append(record));
  std::filesystem::rename("jobs.jsonl", "jobs.jsonl.1");
  std::string why;
  EXPECT_TRUE(log.append(record, &why)) << why;
  std::filesystem::remove("jobs.jsonl");
  EXPECT_TRUE(log.append(record, &why)) << why;
  EXPECT_EQ(testsupport::jsonLinesOf("jobs.jsonl.1").size(), 1u);
  EXPECT_EQ(testsupport::jsonLinesOf("jobs.jsonl").size(), 1u);

  ops::JobLog full;
  std::vector<std::pair<std::string, std::string>> lost;
  full.whenLost = [&](const std::string& line, const std::string& reason) {
    lost.emplace_back(line, reason);
  };
  ASSERT_TRUE(full.open("/dev/full", nullptr));
  for (int i = 0; i < 2; ++i) EXPECT_FALSE(full.append(record));
  ASSERT_EQ(lost.size(), 2u);
  EXPECT_EQ(nlohmann::json::parse(lost[1].first), ops::toJson(record));
  EXPECT_EQ(lost[1].second, "cannot write the job log /dev/full: No space left on device");
}

TEST(JsonlProgress, EveryEventIsOneObjectOnItsOwnLine) {
  std::string out;
  double now = 10;
  ops::JsonlProgress sink([&](const std::string& line) { out += line; }, "COM4",
                          [&] { return now; });
  sink.jobStarted({2048, 2});
  now = 10.5;
  sink.totalsKnown({2048, 5});
  sink.stageStarted({dwl::Stage::Image, 1, 2, "bin1 a.bin", 1024});
  sink.bytesDone({512, 1024, 512, 2048});
  sink.sectorChanged({3, 0x02030000, 0x10000, dwl::SectorState::Resent});
  sink.heartbeat(0.25);
  dwl::JobResult r;
  r.result = {dwl::RESULT_CANCELLED, 0};
  sink.jobFinished(r);

  std::istringstream in(out);
  std::vector<nlohmann::json> lines = testsupport::jsonLines(in);
  ASSERT_EQ(lines.size(), 7u);
  lines.erase(lines.begin() + 1);
  EXPECT_EQ(lines[0]["event"], "started");
  EXPECT_EQ(lines[0]["bytes"], 2048);
  for (const auto& line : lines) EXPECT_EQ(line["port"], "COM4");
  EXPECT_EQ(lines[1]["stage"], "image");
  EXPECT_DOUBLE_EQ(lines[1]["t"].get<double>(), 0.5);
  EXPECT_EQ(lines[2]["job_done"], 512);
  EXPECT_EQ(lines[3]["state"], "resent");
  EXPECT_EQ(lines[3]["address"], 0x02030000);
  EXPECT_EQ(lines[4]["event"], "heartbeat");
  EXPECT_EQ(lines[5]["result"]["family"], dwl::RESULT_CANCELLED);
  EXPECT_FALSE(lines[5]["result"]["success"].get<bool>());
}

}  // namespace
