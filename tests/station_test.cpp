// The station's engine against emulated handsets in process: the recipe check, one faulty handset
// among good ones, cancel of one slot, continuous mode, and the job log of every job.
#include <gtest/gtest.h>

// Before Qt, whose emit macro the handset's headers would meet.
#include "support/emulated_handset.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "apps/station/recipe_settings.h"
#include "apps/station/station_args.h"
#include "platform/forwarding_rs232.h"
#include "platform/scripted_rs232.h"
#include "station/station.h"
#include "support/json_lines.h"
#include "support/samples.h"
#include "support/temp_dir.h"

namespace {

const std::string kSamples = KELVANE_SOURCE_DIR "/samples/";
using Bytes = std::vector<std::uint8_t>;

using testsupport::pattern;
using Handset = testsupport::EmulatedHandset;

void writeFile(const std::string& path, const Bytes& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

// Each slot's line is the handset of the same index (ports "1", "2", ...).
station::LineFactory handsetsOf(std::vector<std::unique_ptr<Handset>>& handsets) {
  return [&handsets](const ops::PortRef& port) {
    Handset& h = *handsets.at(static_cast<std::size_t>(port.number - 1));
    return station::Line{std::shared_ptr<platform::Rs232>(h.link.get(), [](platform::Rs232*) {}),
                         [&h] { return h.link->seconds(); }};
  };
}

class Station : public ::testing::Test {
 public:
  void SetUp() override {
    testsupport::copySamples();
    writeFile("a.bin", pattern(100000, 1));
    writeFile("b.ogm", pattern(1001, 2));
    recipe.images = {{dwl::Slot::Bin1, "a.bin"}, {dwl::Slot::Ogm2, "b.ogm"}};
    recipe.verify = true;
  }
  std::shared_ptr<const station::LoadedRecipe> load() {
    std::vector<std::string> problems;
    auto loaded = station::loadRecipe(recipe, &problems);
    EXPECT_TRUE(loaded) << (problems.empty() ? "" : problems.front());
    return loaded;
  }
  // A station with one slot per handset.
  std::unique_ptr<station::Station> make(std::vector<std::unique_ptr<Handset>>& handsets,
                                         ops::JobLog* log) {
    auto s = std::make_unique<station::Station>(load(), log, handsetsOf(handsets));
    for (std::size_t i = 0; i < handsets.size(); ++i)
      EXPECT_EQ(s->addSlot(std::to_string(i + 1)), static_cast<int>(i));
    return s;
  }

  testsupport::TempDir dir;
  station::Recipe recipe;
};

TEST_F(Station, TheRecipeIsCheckedBeforeItRuns) {
  writeFile("big.bin", Bytes(0x900000));  // 9 MiB from bin1's place reaches past bin2's
  writeFile("huge.bin", Bytes(0x900000));
  writeFile("empty.bin", Bytes());
  const struct {
    const char* name;
    std::vector<station::RecipeImage> images;
    std::string problem;  // empty: runs
  } cases[] = {
      {"good", {{dwl::Slot::Bin1, "a.bin"}, {dwl::Slot::Ogm2, "b.ogm"}}, ""},
      {"missing file", {{dwl::Slot::Bin1, "none.bin"}}, "none.bin"},
      {"no image", {}, "no image"},
      {"overlap", {{dwl::Slot::Bin1, "big.bin"}, {dwl::Slot::Bin2, "a.bin"}}, "overlaps"},
      {"past the end", {{dwl::Slot::Bin2, "huge.bin"}}, "past the end of the flash at 0x03000000"},
      {"same slot twice", {{dwl::Slot::Bin1, "a.bin"}, {dwl::Slot::Bin1, "a.bin"}}, "two images"},
      {"empty image", {{dwl::Slot::Bin1, "a.bin"}, {dwl::Slot::Ogm1, "empty.bin"}}, "is empty"},
  };
  for (const auto& c : cases) {
    recipe.images = c.images;
    std::vector<std::string> problems;
    const auto loaded = station::loadRecipe(recipe, &problems);
    if (c.problem.empty()) {
      EXPECT_TRUE(loaded && problems.empty()) << c.name;
      continue;
    }
    EXPECT_FALSE(loaded) << c.name;
    ASSERT_EQ(problems.size(), 1u) << c.name;
    EXPECT_NE(problems[0].find(c.problem), std::string::npos) << c.name << ": " << problems[0];
  }
}

TEST_F(Station, TheRecipeComesBackFromTheSettings) {
  recipe.model = 2;
  recipe.speed = 7;
  recipe.productType = 1;
  recipe.waitStates = {1, 2, 3, 4};
  recipe.pmu = true;
  recipe.verify = false;
  QSettings settings("station.ini", QSettings::IniFormat);
  station::saveRecipe(settings, recipe);
  settings.sync();
  EXPECT_TRUE(station::restoreRecipe(QSettings("station.ini", QSettings::IniFormat)) == recipe);
}

// A hand-edited settings file: a switch is read as written; a value that cannot be taken is
// named with its key and keeps the recipe from running, until an option replaces it.
TEST_F(Station, HandEditedSettingsAreReadAsWrittenOrRefused) {
  const struct {
    const char* key;
    QVariant value;
    std::function<bool(const station::Recipe&)> taken;  // null: refused
  } cases[] = {
      {"pmu", "no", [](const station::Recipe& r) { return !r.pmu; }},
      {"pmu", "On", [](const station::Recipe& r) { return r.pmu; }},
      {"verify", "no", [](const station::Recipe& r) { return !r.verify; }},
      {"verify", "0", [](const station::Recipe& r) { return !r.verify; }},
      {"verify", "maybe", nullptr},
      {"model", "abc", nullptr},
      {"model", "4", nullptr},
      {"speed", "99999999999999999999", nullptr},
      {"productType", "-5", nullptr},
      {"waitStates", "1,2,3,9", nullptr},
      {"waitStates", QVariantList{1, 2, 3}, nullptr},
      {"speed", " 7", [](const station::Recipe& r) { return r.speed == 7; }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.key) + "=" + c.value.toString().toStdString());
    std::filesystem::remove("station.ini");
    QSettings settings("station.ini", QSettings::IniFormat);
    station::saveRecipe(settings, recipe);
    settings.setValue(QString("recipe/") + c.key, c.value);
    settings.sync();
    const station::Recipe r =
        station::restoreRecipe(QSettings("station.ini", QSettings::IniFormat));
    if (c.taken) {
      EXPECT_TRUE(r.unreadable.empty());
      EXPECT_TRUE(c.taken(r));
      continue;
    }
    ASSERT_EQ(r.unreadable.count(c.key), 1u);
    const std::string why = r.unreadable.at(c.key);
    EXPECT_NE(why.find(std::string("recipe/") + c.key + "="), std::string::npos) << why;
    EXPECT_NE(why.find("station.ini"), std::string::npos) << why;
    std::vector<std::string> problems;
    EXPECT_FALSE(station::loadRecipe(r, &problems));
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_EQ(problems[0], why);
    // The option of the same setting replaces the unreadable value.
    const std::pair<const char*, QStringList> options[] = {
        {"pmu", {"--no-pmu"}},
        {"verify", {"--verify"}},
        {"model", {"--model", "1"}},
        {"speed", {"--speed", "2"}},
        {"productType", {"--product-type", "1"}},
        {"waitStates", {"--wait-states", "0,0,0,0"}}};
    for (const auto& [key, args] : options) {
      if (std::string(key) != c.key) continue;
      station::StationArguments given{r, {}, {}, false};
      EXPECT_EQ(station::parseStationArguments(args, given).toStdString(), "");
      EXPECT_TRUE(given.recipe.unreadable.empty());
    }
  }
}

TEST_F(Station, CommandLinesThatCannotRunAreRefused) {
  std::filesystem::create_symlink("/dev/null", "null-link");
  const struct {
    QStringList args;
    std::string refusal;  // empty: taken
  } cases[] = {
      {{"--log", "jobs.jsonl", "--start", "COM1", "/dev/null"}, ""},
      {{"--log"}, "--log needs a value"},
      {{"--log", "--start", "COM1"}, "--log needs a value"},
      {{"--bin1", "--start"}, "--bin1 needs a value"},
      {{"--model"}, "--model needs a value"},
      {{"--model", "abc"}, "--model takes 0..3, not 'abc'"},
      {{"COM0"}, "no slot for COM0: port number 0 is outside 1..255"},
      {{"COM2", "2"}, "no slot for 2: "},
      {{"/dev/null", "/dev/null"}, "no slot for /dev/null: /dev/null is already the port"},
      {{"/dev/null", "null-link"}, "no slot for null-link: null-link is already the port"},
      {{"--bogus"}, "unknown option --bogus"},
      {{"--serial", "asked"}, "the serial format 'asked' has no {n}"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.join(' ').toStdString());
    station::StationArguments given;
    const std::string refusal = station::parseStationArguments(c.args, given).toStdString();
    if (c.refusal.empty()) {
      EXPECT_EQ(refusal, "");
      EXPECT_TRUE(given.start);
      EXPECT_EQ(given.logPath, "jobs.jsonl");
      EXPECT_EQ(given.ports, (QStringList{"COM1", "/dev/null"}));
      continue;
    }
    EXPECT_EQ(refusal.substr(0, c.refusal.size()), c.refusal) << refusal;
  }
  EXPECT_FALSE(std::filesystem::exists("--start"));
  // "ask": each slot asks for its unit's number instead of a counter's.
  station::StationArguments asked;
  EXPECT_EQ(station::parseStationArguments({"--serial", "ask"}, asked), "");
  EXPECT_EQ(asked.serialFormat, "ask");
}

TEST_F(Station, FaultyHandsetsFailAloneAndEveryJobLeavesOneLine) {
  const std::string faults[] = {
      "", "silence:sector-write#3", "", "disconnect:20000", "sector-checksum:2", ""};
  std::vector<std::unique_ptr<Handset>> handsets;
  for (const std::string& f : faults) handsets.push_back(std::make_unique<Handset>(std::vector{f}));
  ops::JobLog log;
  ASSERT_TRUE(log.open("jobs.jsonl", nullptr));
  auto s = make(handsets, &log);
  s->startAll(false);
  s->waitAll();

  for (std::size_t i = 0; i < handsets.size(); ++i) {
    const station::SlotStatus st = s->status(static_cast<int>(i));
    EXPECT_FALSE(st.running);
    if (faults[i].empty()) {
      EXPECT_EQ(st.stage, station::SlotStage::Done) << i << ": " << st.result;
      EXPECT_EQ(st.passes, 1);
      // Both images at 460800 baud, 10 bits a byte, on the handset's paced clock.
      EXPECT_GE(st.transferSeconds, 101002 * 10 / 460800.0);
      EXPECT_EQ(handsets[i]->flash->read(0, 100000), pattern(100000, 1));
    } else {
      EXPECT_EQ(st.stage, station::SlotStage::Failed) << faults[i];
      EXPECT_EQ(st.failures, 1) << faults[i];
      EXPECT_FALSE(st.result.empty()) << faults[i];
    }
  }
  const auto lines = testsupport::jsonLinesOf("jobs.jsonl");
  ASSERT_EQ(lines.size(), handsets.size());
  for (const auto& line : lines) {
    const std::size_t i = std::stoul(line["port"].get<std::string>()) - 1;
    EXPECT_EQ(line["result"]["success"].get<bool>(), faults[i].empty()) << faults[i];
    EXPECT_EQ(line["result"]["verified"].get<bool>(), faults[i].empty()) << faults[i];
    ASSERT_EQ(line["images"].size(), 2u);
    EXPECT_EQ(line["images"][0]["sha256"], ops::sha256Hex(pattern(100000, 1)));
    EXPECT_EQ(line["images"][1]["sha256"], ops::sha256Hex(pattern(1001, 2)));
  }
}

// Cancels its slot when the PC closes the port after the n-th switch-off.
class CancelAfter final : public platform::ForwardingRs232 {
 public:
  CancelAfter(Handset& h, int n, std::function<void()> cancel)
      : ForwardingRs232(*h.link), handset_(h), left_(n), cancel_(std::move(cancel)) {}
  int CloseCom(int port) override {
    if (handset_.core->switchedOff() && --left_ == 0) cancel_();
    return ForwardingRs232::CloseCom(port);
  }

 private:
  Handset& handset_;
  int left_;
  std::function<void()> cancel_;
};

TEST_F(Station, ContinuousModeRunsHandsetAfterHandsetUntilCancelled) {
  // The next handset comes 20 s after the last one is switched off: longer than a wake-up wait.
  Handset handset({}, {.pace = true, .powerOnAgainMs = 20000});
  ops::JobLog log;
  ASSERT_TRUE(log.open("jobs.jsonl", nullptr));
  station::Station* self = nullptr;
  station::Station s(load(), &log, [&](const ops::PortRef&) {
    return station::Line{std::make_shared<CancelAfter>(handset, 3, [&] { self->cancel(0); }),
                         [&] { return handset.link->seconds(); }};
  });
  self = &s;
  s.addSlot("COM1");
  s.start(0, true);
  s.wait(0);
  const station::SlotStatus st = s.status(0);
  EXPECT_EQ(st.passes, 3);
  EXPECT_EQ(st.failures, 0);  // the waits for the next handset are no failures
  // The stop ended a wait, not a job: the slot still shows its last job, a pass.
  EXPECT_EQ(st.stage, station::SlotStage::Done);
  EXPECT_EQ(st.result, "");
  EXPECT_GE(handset.link->seconds(), 40.0);
  const auto lines = testsupport::jsonLinesOf("jobs.jsonl");
  ASSERT_EQ(lines.size(), 3u);
  for (const auto& line : lines) EXPECT_TRUE(line["result"]["success"].get<bool>());
}

// A slot that asks for each unit's serial number: no job before one is entered, an empty one or
// one for a slot that does not wait is refused, and each number goes into its unit's record.
TEST_F(Station, EachJobWaitsForItsUnitsSerialNumber) {
  Handset handset({}, {.pace = true, .powerOnAgainMs = 20000});
  ops::JobLog log;
  ASSERT_TRUE(log.open("jobs.jsonl", nullptr));
  station::Station* self = nullptr;
  station::Station s(load(), &log, [&](const ops::PortRef&) {
    return station::Line{std::make_shared<CancelAfter>(handset, 3, [&] { self->cancel(0); }),
                         [&] { return handset.link->seconds(); }};
  });
  self = &s;
  s.addSlot("COM1");
  s.askSerial = true;
  std::string why;
  EXPECT_FALSE(s.enterSerial(0, "U-1", &why));
  EXPECT_EQ(why, "COM1 does not wait for a serial number: start the slot first");
  ASSERT_TRUE(s.start(0, true));
  const char* const units[] = {" U-1\r", "U-2", "U-3"};
  for (int k = 0; k < 3; ++k) {
    for (int i = 0; i < 2000 && s.status(0).stage != station::SlotStage::Serial; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(s.status(0).stage, station::SlotStage::Serial) << s.status(0).result;
    EXPECT_EQ(s.status(0).passes, k);
    EXPECT_FALSE(s.enterSerial(0, " \t", &why));
    EXPECT_EQ(why, "COM1: the serial number is empty; scan or type the unit's number");
    EXPECT_TRUE(s.enterSerial(0, units[k], &why)) << why;
    for (int i = 0; i < 2000 && s.status(0).passes == k; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  s.wait(0);
  EXPECT_EQ(s.status(0).passes, 3);
  EXPECT_EQ(s.status(0).serial, "U-3");
  const auto lines = testsupport::jsonLinesOf("jobs.jsonl");
  ASSERT_EQ(lines.size(), 3u);
  for (std::size_t i = 0; i < lines.size(); ++i)
    EXPECT_EQ(lines[i]["serial"], "U-" + std::to_string(i + 1));
}

TEST_F(Station, EachDeviceGetsOneSlot) {
  station::Station s(load(), nullptr, {});
  std::filesystem::create_symlink("/dev/null", "null-link");
  std::string why;
  EXPECT_EQ(s.addSlot("/dev/null"), 0);
  EXPECT_EQ(s.addSlot("COM0", &why), -1);
  EXPECT_EQ(why, "port number 0 is outside 1..255");
  for (const char* again : {"/dev/null", "null-link"}) {
    EXPECT_EQ(s.addSlot(again, &why), -1) << again;
    EXPECT_EQ(why, std::string(again) + " is already the port of slot /dev/null");
  }
  EXPECT_EQ(s.addSlot("/dev/zero"), 1);
}

// Counts the opens tried, for a test to wait on from its own thread.
struct CountingOpens : platform::ForwardingRs232 {
  using ForwardingRs232::ForwardingRs232;
  int OpenComConfig(int port, const std::string& device, long baud, int parity, int dataBits,
                    int stopBits, int inQueue, int outQueue) override {
    ++opens;
    return ForwardingRs232::OpenComConfig(port, device, baud, parity, dataBits, stopBits, inQueue,
                                          outQueue);
  }
  std::atomic<int> opens{0};
};

TEST_F(Station, AnAdapterThatWillNotOpenIsRetriedNotHammered) {
  ops::JobLog log;
  ASSERT_TRUE(log.open("jobs.jsonl", nullptr));
  platform::ScriptedRs232 missing;
  missing.failOpenWith(platform::kErrCannotOpen);
  auto port = std::make_shared<CountingOpens>(missing);
  station::Station s(load(), &log, [&](const ops::PortRef&) { return station::Line{port, {}}; });
  s.retryPause = 0.05;
  s.addSlot("COM1");
  const auto started = std::chrono::steady_clock::now();
  s.start(0, true);
  // Tried again: a bounded wait for the third attempt, however slow the machine.
  while (port->opens < 3 && std::chrono::steady_clock::now() - started < std::chrono::seconds(20))
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  s.cancel(0);
  s.wait(0);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  const station::SlotStatus st = s.status(0);
  // One failure and one line for the missing adapter, however often it was tried meanwhile.
  EXPECT_EQ(st.failures, 1);
  EXPECT_EQ(testsupport::jsonLinesOf("jobs.jsonl").size(), 1u);
  EXPECT_GE(port->opens, 3);
  // Not hammered: about one attempt per pause, never a busy loop.
  EXPECT_LE(port->opens, 2 + seconds / s.retryPause);
  // The stop ended a pause, not a job: the slot keeps the failure and its cause.
  EXPECT_EQ(st.stage, station::SlotStage::Failed);
  EXPECT_EQ(st.result.rfind("LIB_PC : ", 0), 0u) << st.result;
}

TEST_F(Station, CancelOfOneSlotLeavesTheOthers) {
  std::vector<std::unique_ptr<Handset>> handsets;
  handsets.push_back(
      std::make_unique<Handset>(std::vector<std::string>{"silence:announce"}));  // never answers
  handsets.push_back(std::make_unique<Handset>());
  ops::JobLog log;
  ASSERT_TRUE(log.open("jobs.jsonl", nullptr));
  auto s = make(handsets, &log);
  s->start(0, true);
  s->start(1, false);
  s->wait(1);
  EXPECT_TRUE(s->status(0).running);
  s->cancel(0);
  s->wait(0);
  EXPECT_EQ(s->status(0).stage, station::SlotStage::Cancelled);
  EXPECT_EQ(s->status(0).failures, 0);
  EXPECT_EQ(s->status(1).stage, station::SlotStage::Done);
  EXPECT_EQ(testsupport::jsonLinesOf("jobs.jsonl").size(),
            1u);  // a wait that saw no handset is no job
}

TEST_F(Station, ALogThatCannotBeWrittenStopsNewJobs) {
  std::vector<std::unique_ptr<Handset>> handsets;
  handsets.push_back(std::make_unique<Handset>());
  handsets.push_back(std::make_unique<Handset>());
  ops::JobLog log;
  ASSERT_TRUE(log.open("/dev/full", nullptr));
  auto s = make(handsets, &log);
  s->start(0, true);
  s->wait(0);
  EXPECT_EQ(s->status(0).stage, station::SlotStage::Failed);
  // The handset was written; its slot says so, and that its record is missing.
  EXPECT_EQ(s->status(0).passes, 1);
  EXPECT_EQ(s->status(0).result.rfind("passed; not recorded: cannot write the job log", 0), 0u)
      << s->status(0).result;
  EXPECT_FALSE(s->stopReason().empty());
  EXPECT_FALSE(s->start(1, false));
  EXPECT_NE(s->status(1).result.find("No space"), std::string::npos) << s->status(1).result;
  EXPECT_TRUE(handsets[1]->link->written().empty());
}

// Renames the log as the next job opens the port once the first job's line is in it.
class RotateOnSecondOpen final : public platform::ForwardingRs232 {
 public:
  RotateOnSecondOpen(Handset& h, int jobs, std::function<void()> cancel)
      : ForwardingRs232(*h.link), handset_(h), jobs_(jobs), cancel_(std::move(cancel)) {}
  int OpenComConfig(int port, const std::string& device, long baud, int parity, int dataBits,
                    int stopBits, int in, int out) override {
    std::error_code ec;
    if (!renamed_ && std::filesystem::file_size("jobs.jsonl", ec) > 0 && !ec) {
      std::filesystem::rename("jobs.jsonl", "jobs.jsonl.1");
      renamed_ = true;
    }
    return ForwardingRs232::OpenComConfig(port, device, baud, parity, dataBits, stopBits, in, out);
  }
  int CloseCom(int port) override {
    if (handset_.core->switchedOff() && --jobs_ == 0) cancel_();
    return ForwardingRs232::CloseCom(port);
  }

 private:
  Handset& handset_;
  bool renamed_ = false;
  int jobs_;
  std::function<void()> cancel_;
};

// Log rotation renames the log while the line runs: the next jobs go to a new file of the log's
// name, and the line goes on.
TEST_F(Station, ARotatedLogIsOpenedAgain) {
  Handset handset({}, {.powerOnAgainMs = 100});
  ops::JobLog log;
  ASSERT_TRUE(log.open("jobs.jsonl", nullptr));
  log.whenLost = [](const std::string&, const std::string& why) { ADD_FAILURE() << why; };
  station::Station* self = nullptr;
  station::Station s(load(), &log, [&](const ops::PortRef&) {
    return station::Line{std::make_shared<RotateOnSecondOpen>(handset, 3, [&] { self->cancel(0); }),
                         [&] { return handset.link->seconds(); }};
  });
  self = &s;
  s.addSlot("COM1");
  s.start(0, true);
  s.wait(0);
  EXPECT_EQ(s.status(0).passes, 3);
  // The stop came between jobs: the slot keeps its last pass.
  EXPECT_EQ(s.status(0).stage, station::SlotStage::Done) << s.status(0).result;
  EXPECT_FALSE(log.failed()) << log.error();
  EXPECT_EQ(testsupport::jsonLinesOf("jobs.jsonl.1").size(), 1u);
  EXPECT_EQ(testsupport::jsonLinesOf("jobs.jsonl").size(), 2u);
}

}  // namespace
