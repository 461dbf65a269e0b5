// Every command's outcome against the emulated handset in process: each injected fault ends with
// its exit status and exactly the message its window shows, and the read-back catches a flash
// that does not hold what it acknowledged.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "apps/cli/app.h"
#include "emulator/emulator_rs232.h"
#include "emulator/faults.h"
#include "emulator/handset_core.h"
#include "emulator/nor_flash.h"
#include "ops/job_log.h"
#include "support/emulated_handset.h"
#include "support/json_lines.h"
#include "support/samples.h"
#include "support/temp_dir.h"

namespace {

const std::string kSamples = KELVANE_SOURCE_DIR "/samples/";

using testsupport::pattern;

// One emulated handset (the 284-sector AMD part of the samples) on an in-process line whose
// time-outs move a virtual clock, which the engines' clock follows.
class Bench {
 public:
  explicit Bench(const std::vector<std::string>& faults,
                 std::optional<std::uint16_t> reportedCodes = std::nullopt) {
    std::string why;
    EXPECT_TRUE(emulator::loadFlashDescription(
        kSamples + "flash.txt", emulator::flashCodes(0x01, 0x7E), description_, &why))
        << why;
    flash_ = std::make_unique<emulator::NorFlash>(description_);
    emulator::HandsetConfig config;
    for (const std::string& fault : faults)
      EXPECT_TRUE(emulator::parseFault(fault, config.faults, &why)) << fault << ": " << why;
    if (reportedCodes) {
      config.manufacturer = static_cast<std::uint8_t>(*reportedCodes >> 8);
      config.device = static_cast<std::uint8_t>(*reportedCodes);
    }
    core_ = std::make_unique<emulator::HandsetCore>(*flash_, config);
    link_ = std::make_unique<emulator::EmulatorRs232>(*core_);
  }

  int run(std::vector<std::string> args) {
    args.insert(args.begin(), "kelvane");
    std::vector<const char*> argv;
    for (const std::string& a : args) argv.push_back(a.c_str());
    cli::Environment env;
    env.serial = link_.get();
    env.clock = [this] { return 1000 + link_->seconds(); };
    return cli::runCli(static_cast<int>(argv.size()), argv.data(), out, err, env);
  }

  emulator::NorFlash& flash() { return *flash_; }
  const emulator::EmulatorRs232& link() const { return *link_; }
  std::ostringstream out, err;

 private:
  dwl::FlashDescription description_;
  std::unique_ptr<emulator::NorFlash> flash_;
  std::unique_ptr<emulator::HandsetCore> core_;
  std::unique_ptr<emulator::EmulatorRs232> link_;
};

class CliEmulator : public ::testing::Test {
 protected:
  void SetUp() override {
    namespace fs = std::filesystem;
    testsupport::copySamples();
    // 100000 bytes: sectors 0..7 (8 KiB each) and 8 (64 KiB) of the map.
    image = pattern(100000, 11);
    testsupport::TempDir::write("a.bin", image);
  }
  testsupport::TempDir dir;
  std::vector<std::uint8_t> image;
};

// The line of standard error that is the result's message: the sectors that failed or were sent
// again come before it, its detail after it.
std::string messageLine(const std::string& text) {
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line))
    if (line.rfind("sector ", 0) != 0) return line;
  return {};
}

TEST_F(CliEmulator, EachFailureExitsWithItsFamilyAndWindowText) {
  const std::vector<std::string> write = {"write", "--bin1", "a.bin"};
  const std::vector<std::string> verify = {"write", "--bin1", "a.bin", "--verify"};
  const std::vector<std::string> dump = {"dump", "--first", "0", "--last", "3"};
  const std::vector<std::string> erase = {"erase", "--first", "6", "--last", "8"};
  struct Case {
    std::string fault;
    std::vector<std::string> command;
    int exit;
    std::string message;
  };
  const Case cases[] = {
      {"", write, 0, ""},
      {"", verify, 0, ""},
      {"", dump, 0, ""},
      {"", erase, 0, ""},
      {"", {"info"}, 0, ""},
      {"silence:announce",
       {"info"},
       6,
       "BOOT : The handset did not answer (is it connected to this port and switched on?)"},
      {"silence:upload-ack", write, 6, "BOOT : Problem during the boot sequence"},
      {"wrong:start-report=0xA1", dump, 6,
       "BOOT : Problem with program in external RAM : StackPointer not set"},
      {"wrong:identify=0x00", write, 6,
       "BOOT : Bad acknowledgement during the identification of the flash"},
      {"wrong:gpio-accept=0x00", write, 8, "COMMAND : Bad command acknowledge "},
      {"wrong:gpio=0x00", write, 8, "COMMAND : Command error "},
      {"wrong:speed-accept=0x00", erase, 8, "COMMAND : Bad command acknowledge "},
      {"wrong:speed-verdict=0x01", write, 8, "COMMAND : Bad change speed checksum "},
      {"wrong:speed-check=0x00", dump, 8, "COMMAND : Speed control err "},
      {"sector-checksum:0", write, 12, "Problem : Bad checksum"},
      {"sector-error:1=0x22", write, 10, "Problem : Error during the sector donwload"},
      {"wrong:sector-ack=0x55", write, 11,
       "Problem : Error acknowledge during the sector donwload"},
      {"silence:sector-write", write, 13, "Timeout during the download"},
      {"wrong:switch-off=0x00", write, 8, "COMMAND : Switch off error "},
      {"wrong:switch-off=0x00", {"info"}, 8, "COMMAND : Switch off error "},
      {"read-checksum:1", verify, 8, "COMMAND : Checksum error during the read command "},
      {"wrong:read-accept=0x00", dump, 8, "COMMAND : bad read command acknowledge "},
      {"read-checksum:2", dump, 8, "COMMAND : Checksum error during the read command "},
      // The walk goes on past a failed sector, but the erase does not end as a success.
      {"erase-outcome:7=0xF3", erase, 8, "COMMAND : Erase processing failed "},
      {"wrong:erase-ack=0x00", erase, 8, "COMMAND : Erase processing aborted "},
      {"wrong:erase-accept=0xC1", erase, 8, "COMMAND : bad erase command acknowledge "},
      {"corrupt:8@1234", verify, 20, "VERIFY : The flash differs from the image written"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fault + " " + c.command.front());
    Bench bench(c.fault.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.fault});
    std::vector<std::string> args = {"-q"};
    args.insert(args.end(), c.command.begin(), c.command.end());
    EXPECT_EQ(bench.run(args), c.exit) << bench.err.str();
    EXPECT_EQ(messageLine(bench.err.str()), c.message);
  }
}

// A dump or an erase says what it did in one line, only when it succeeded and only to a person.
TEST_F(CliEmulator, DumpAndEraseSayWhatTheyDidOnlyOnSuccess) {
  struct Case {
    std::string fault;
    std::vector<std::string> args;
    std::string said;
  };
  const Case cases[] = {
      {"",
       {"dump", "--first", "0", "--last", "1"},
       "Dumped sectors 0..1: 16384 bytes appended to dump.txt\n"},
      {"",
       {"dump", "--offset", "0x10", "--length", "0x20", "--output", "b.txt"},
       "Dumped bytes 0x000010..0x00002F: 32 bytes appended to b.txt\n"},
      {"", {"erase", "--first", "6", "--last", "8"}, "Erased sectors 6..8\n"},
      {"wrong:read-accept=0x00", {"dump", "--first", "0", "--last", "1"}, ""},
      {"wrong:erase-accept=0xC1", {"erase", "--first", "6", "--last", "8"}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fault + " " + c.args.front());
    Bench bench(c.fault.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.fault});
    std::vector<std::string> args = {"-q"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    bench.run(args);
    EXPECT_EQ(bench.out.str(), c.said) << bench.err.str();
  }
}

TEST_F(CliEmulator, UnknownFlashIsAFlashDescriptionError) {
  Bench bench({}, emulator::flashCodes(0x20, 0x99));
  EXPECT_EQ(bench.run({"--json", "info"}), 2);
  const nlohmann::json j = nlohmann::json::parse(bench.out.str());
  EXPECT_EQ(j["family"], 2);
  EXPECT_EQ(j["code"], 15);
  EXPECT_EQ(j["flash"]["manufacturer"], 0x20);
  EXPECT_EQ(j["flash"]["name"], "");
}

TEST_F(CliEmulator, VerifyNamesTheFirstDifferenceAndLeavesTheHandsetOn) {
  // Sector 8 starts at 0x10000: the image's byte 0x10000 + 1234 is not what the flash holds.
  Bench bench({"corrupt:8@1234"});
  EXPECT_EQ(bench.run({"-q", "--json", "write", "--bin1", "a.bin", "--verify"}), 20);
  const nlohmann::json j = nlohmann::json::parse(bench.out.str());
  EXPECT_EQ(j["family"], 20);
  EXPECT_EQ(j["code"], 0x02000000 + 0x10000 + 1234);
  EXPECT_EQ(j["verified"], false);
  EXPECT_EQ(j["bytes_written"], 100000);
  EXPECT_NE(
      j["detail"].get<std::string>().find("bin1 image a.bin: differs at address 0x020104D2 (offset "
                                          "66770)"),
      std::string::npos)
      << j["detail"];
  // The last command on the line is the read that found the difference: no switch-off.
  const auto& sent = bench.link().written();
  ASSERT_GE(sent.size(), 9u);
  EXPECT_EQ(sent[sent.size() - 9], 0xE6);
  // Without the read-back the same flash is reported written.
  Bench unchecked({"corrupt:8@1234"});
  EXPECT_EQ(unchecked.run({"-q", "write", "--bin1", "a.bin"}), 0);
  EXPECT_NE(unchecked.flash().at(0x10000 + 1234), image[0x10000 + 1234]);
}

TEST_F(CliEmulator, WrittenImageIsInTheFlashAndDumpedBack) {
  Bench bench({});
  ASSERT_EQ(bench.run({"-q", "write", "--bin1", "a.bin", "--verify"}), 0) << bench.err.str();
  EXPECT_EQ(bench.flash().read(0, image.size()), image);
  ASSERT_EQ(bench.run({"-q", "dump", "--first", "0", "--last", "8"}), 0) << bench.err.str();
  const auto dumped = testsupport::TempDir::read("dump.txt");
  ASSERT_EQ(dumped.size(), 8u * 0x2000 + 0x10000);
  EXPECT_TRUE(std::equal(image.begin(), image.end(), dumped.begin()));
  // A dump that fails part-way keeps the blocks read before it.
  Bench failing({"read-checksum:3"});
  ASSERT_EQ(failing.run({"-q", "dump", "--first", "0", "--last", "7", "--output", "part.bin"}), 8);
  EXPECT_EQ(testsupport::TempDir::read("part.bin").size(), 2u * 0x2000);
}

TEST_F(CliEmulator, EraseClearsTheRangeOnly) {
  Bench bench({});
  ASSERT_EQ(bench.run({"-q", "write", "--bin1", "a.bin"}), 0) << bench.err.str();
  ASSERT_EQ(bench.run({"-q", "erase", "--first", "1", "--last", "7"}), 0) << bench.err.str();
  // Sector 0 keeps the image; sectors 1..7 (0x2000..0xFFFF) are erased; sector 8 keeps it.
  EXPECT_EQ(bench.flash().read(0, 0x2000),
            std::vector<std::uint8_t>(image.begin(), image.begin() + 0x2000));
  EXPECT_EQ(bench.flash().read(0x2000, 0xE000), std::vector<std::uint8_t>(0xE000, 0xFF));
  EXPECT_EQ(bench.flash().read(0x10000, 100000 - 0x10000),
            std::vector<std::uint8_t>(image.begin() + 0x10000, image.end()));
}

TEST_F(CliEmulator, ProgressAsJsonLinesAndOneLogLinePerJob) {
  Bench bench({});
  ASSERT_EQ(bench.run({"--progress", "jsonl", "--log", "jobs.jsonl", "write", "--bin1", "a.bin"}),
            0)
      << bench.err.str();
  std::istringstream lines(bench.out.str());
  const std::vector<nlohmann::json> events = testsupport::jsonLines(lines);
  ASSERT_GE(events.size(), 4u);
  EXPECT_EQ(events.front()["event"], "started");
  EXPECT_EQ(events.back()["event"], "finished");
  EXPECT_TRUE(events.back()["result"]["success"].get<bool>());
  EXPECT_TRUE(std::any_of(events.begin(), events.end(),
                          [](const nlohmann::json& e) { return e.value("stage", "") == "image"; }));

  std::ifstream log("jobs.jsonl");
  std::string line;
  ASSERT_TRUE(std::getline(log, line));
  EXPECT_EQ(nlohmann::json::parse(line)["images"][0]["sha256"], ops::sha256Hex(image));
  EXPECT_FALSE(std::getline(log, line));

  // A log that cannot be written fails a job that otherwise succeeded, and says why.
  Bench full({});
  EXPECT_EQ(full.run({"-q", "--log", "/dev/full", "write", "--bin1", "a.bin"}), 15);
  EXPECT_NE(full.err.str().find("cannot write the job log"), std::string::npos) << full.err.str();
}

}  // namespace
