// The production line: recipe files and their pins, serial numbers from a shared counter, the
// headless station of the command line over emulated handsets, and the yield report.
#include <gtest/gtest.h>

#include "support/emulated_handset.h"

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "apps/cli/app.h"
#include "ops/job_report.h"
#include "platform/forwarding_rs232.h"
#include "station/recipe_file.h"
#include "station/serial_counter.h"
#include "support/json_lines.h"
#include "support/samples.h"
#include "support/temp_dir.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using testsupport::pattern;

void writeFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}
void writeBytes(const std::string& path, const Bytes& bytes) {
  writeFile(path, std::string(bytes.begin(), bytes.end()));
}
std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

class Line : public ::testing::Test {
 public:
  void SetUp() override {
    testsupport::copySamples();
    writeBytes("a.bin", pattern(100000, 1));
    writeBytes("b.ogm", pattern(1001, 2));
    recipe.images = {{dwl::Slot::Bin1, "a.bin"}, {dwl::Slot::Ogm2, "b.ogm"}};
    recipe.name = "LINE-A";
    recipe.revision = "3";
    recipe.verify = true;
  }
  // The recipe pinned and written to path.
  void makeRecipeFile(const std::string& path) {
    std::vector<std::string> problems;
    ASSERT_TRUE(station::pinImages(recipe, &problems)) << problems.front();
    writeFile(path, station::recipeFileText(recipe, "."));
  }

  testsupport::TempDir dir;
  station::Recipe recipe;
};

TEST_F(Line, ARecipeFileReadsBackAsMade) {
  makeRecipeFile("line-a.json");
  station::Recipe read;
  std::vector<std::string> problems;
  ASSERT_TRUE(station::readRecipeFile("line-a.json", &read, &problems)) << problems.front();
  EXPECT_EQ(read.checksum, ops::sha256Hex(readFile("line-a.json")));
  ASSERT_EQ(read.images.size(), 2u);
  EXPECT_EQ(read.images[0].path, (std::filesystem::current_path() / "a.bin").string());
  EXPECT_EQ(read.images[1].sha256, ops::sha256Hex(pattern(1001, 2)));
  EXPECT_EQ(read.images[1].size, 1001u);
  read.checksum.clear();
  for (auto* r : {&read, &recipe})
    for (station::RecipeImage& image : r->images)
      image.path = std::filesystem::path(image.path).filename().string();
  EXPECT_TRUE(read == recipe);
  // Everything the job needs, checked against the pins.
  const auto loaded = station::loadRecipe(read, &problems);
  ASSERT_TRUE(loaded) << problems.front();
  EXPECT_EQ(loaded->name, "LINE-A");
}

// An image that changed since the recipe was made, or went missing, is refused before any slot
// starts, naming the file and both checksums.
TEST_F(Line, AnImageThatIsNotItsPinIsRefused) {
  makeRecipeFile("line-a.json");
  const std::string pinned = ops::sha256Hex(pattern(1001, 2));
  Bytes changed = pattern(1001, 2);
  changed[500] ^= 1;
  const struct {
    const char* name;
    std::function<void()> change;
    std::vector<std::string> said;
  } cases[] = {
      {"one bit",
       [&] { writeBytes("b.ogm", changed); },
       {"b.ogm changed since the recipe was made", pinned, ops::sha256Hex(changed)}},
      {"longer", [&] { writeBytes("b.ogm", pattern(1002, 2)); }, {"(1001 bytes)", "(1002 bytes)"}},
      {"missing", [] { std::filesystem::remove("b.ogm"); }, {"b.ogm", "pins sha256 " + pinned}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    writeBytes("b.ogm", pattern(1001, 2));
    c.change();
    station::Recipe read;
    std::vector<std::string> problems;
    ASSERT_TRUE(station::readRecipeFile("line-a.json", &read, &problems));
    EXPECT_FALSE(station::loadRecipe(read, &problems));
    ASSERT_EQ(problems.size(), 1u);
    for (const std::string& part : c.said)
      EXPECT_NE(problems[0].find(part), std::string::npos) << problems[0];
  }
}

TEST_F(Line, BadRecipeFilesAreRefusedNamingTheLineAndTheKey) {
  makeRecipeFile("good.json");
  const std::string good = readFile("good.json");
  // The good file with one value replaced (the first occurrence of from).
  auto with = [&](const std::string& from, const std::string& to) {
    std::string text = good;
    const std::size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return text.replace(at, from.size(), to);
  };
  // The line of the first occurrence of text in the good file.
  auto lineOf = [&](const std::string& text) {
    const auto at = good.find(text);
    return std::to_string(1 + std::count(good.begin(), good.begin() + at, '\n'));
  };
  const struct {
    std::string text;
    std::string said;
  } cases[] = {
      {with("\"speed\": 3", "\"speed\": 3 3"), ":" + lineOf("\"speed\"") + ": not JSON"},
      {"", ":1: not JSON"},
      {with("\"speed\": 3", "\"speed\": \"3\""),
       ":" + lineOf("\"speed\"") + ": speed: must be a whole number 0..8, not \"3\""},
      {with("\"speed\": 3", "\"speed\": 9"), ":" + lineOf("\"speed\"") + ": speed: 9 is outside"},
      {with("\"speed\": 3", "\"speed\": 2.5"), ": speed: must be a whole number"},
      {with("\"model\": 0", "\"model\": 4"), ": model: 4 is outside 0..3"},
      {with("\"product_type\": 2", "\"product_type\": 0"), ": product_type: 0 is outside 1..2"},
      {with("\"pmu\": false", "\"pmu\": \"no\""), ": pmu: must be true or false"},
      {with("\"pmu\": false", "\"pmu\": false, \"speeed\": 3"),
       ":" + lineOf("\"pmu\"") + ": speeed: unknown key"},
      {with("\"pmu\": false", "\"pmu\": false, \"speed\": 3"),
       ":" + lineOf("\"pmu\"") + ": speed: given twice"},
      {with("\"revision\": \"3\",", ""), ":1: revision: missing"},
      {with("\"revision\": \"3\"", "\"revision\": 3"), ": revision: must be a text"},
      {with("\"images\": [", "\"images\": 5, \"x\": ["), ": images: must be a list"},
      {with("\"slot\": \"bin1\"", "\"slot\": \"bin3\""),
       ":" + lineOf("\"slot\"") + ": images[0].slot: must be \"bin1\""},
      {with("\"slot\": \"ogm2\"", "\"slot\": \"bin1\""), ": images[1].slot: \"bin1\" is already"},
      {with("\"size\": 100000", "\"size\": -1"), ": images[0].size: must be the image's size"},
      {with("\"size\": 100000,", ""), ": images[0].size: missing"},
      {with("\"sha256\": \"", "\"sha256\": \"ab"), ": images[0].sha256: must be 64"},
      {with("0,\n    0,\n    0,\n    0", "0, 0, 0, 5"), ": wait_states[3]: 5 is outside 0..4"},
      {with("0,\n    0,\n    0,\n    0", "0, 0, 0"), ": wait_states: must be four numbers"},
      {"[1, 2]", ":1: the recipe must be an object"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.said);
    writeFile("bad.json", c.text);
    std::vector<std::string> problems;
    EXPECT_FALSE(station::readRecipeFile("bad.json", nullptr, &problems));
    ASSERT_FALSE(problems.empty());
    EXPECT_EQ(problems[0].rfind("bad.json:", 0), 0u) << problems[0];
    std::string all;
    for (const std::string& p : problems) all += p + "\n";
    EXPECT_NE(all.find(c.said), std::string::npos) << all;
  }
  // A FIFO is refused, not waited on.
  ASSERT_EQ(testsupport::makeFifo("fifo.json"), 0);
  std::vector<std::string> problems;
  EXPECT_FALSE(station::readRecipeFile("fifo.json", nullptr, &problems));
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_NE(problems[0].find("fifo.json"), std::string::npos) << problems[0];
}

TEST(SerialNumbers, FormatsAreTakenOrRefused) {
  const struct {
    const char* format;
    const char* serial;  // of 42; null: refused
  } cases[] = {
      {"LINE{n:05}", "LINE00042"}, {"{n}", "42"},        {"A{n:01}-B", "A42-B"},
      {"LINE", nullptr},           {"{n:5}", nullptr},   {"{n:00}", nullptr},
      {"{n}{n}", nullptr},         {"{n:021}", nullptr}, {"L{n", nullptr},
      {"}{n}", nullptr},           {"{n:05x}", nullptr},
  };
  for (const auto& c : cases) {
    station::SerialFormat f;
    std::string why;
    EXPECT_EQ(station::parseSerialFormat(c.format, &f, &why), c.serial != nullptr) << c.format;
    if (c.serial) {
      EXPECT_EQ(station::formatSerial(f, 42), c.serial) << c.format;
    } else {
      EXPECT_NE(why.find(c.format), std::string::npos) << why;
    }
  }
}

// Slots (threads here, processes on a line) that share a counter never get one number twice.
TEST(SerialNumbers, ACounterSharedByManyGivesEachNumberOnce) {
  testsupport::TempDir dir;
  std::vector<std::vector<std::uint64_t>> taken(4);
  std::vector<std::thread> threads;
  for (auto& mine : taken)
    threads.emplace_back([&mine] {
      for (int i = 0; i < 50; ++i) {
        std::uint64_t n = 0;
        std::string why;
        EXPECT_TRUE(station::nextSerialNumber("jobs.jsonl.serial", &n, &why)) << why;
        mine.push_back(n);
      }
    });
  for (auto& t : threads) t.join();
  std::set<std::uint64_t> all;
  for (const auto& mine : taken) all.insert(mine.begin(), mine.end());
  EXPECT_EQ(all.size(), 200u);
  EXPECT_EQ(*all.begin(), 1u);
  EXPECT_EQ(*all.rbegin(), 200u);
  EXPECT_EQ(readFile("jobs.jsonl.serial"), "200\n");
  writeFile("jobs.jsonl.serial", "abc\n");
  std::uint64_t n = 0;
  std::string why;
  EXPECT_FALSE(station::nextSerialNumber("jobs.jsonl.serial", &n, &why));
  EXPECT_NE(why.find("'abc'"), std::string::npos) << why;
}

// Cancels the run when the PC closes the port after the handset's n-th switch-off.
class StopAfter final : public platform::ForwardingRs232 {
 public:
  StopAfter(testsupport::EmulatedHandset& h, int n, platform::CancelToken& stop)
      : ForwardingRs232(*h.link), handset_(h), left_(n), stop_(stop) {}
  int CloseCom(int port) override {
    if (handset_.core->switchedOff() && --left_ == 0) stop_.cancel();
    return ForwardingRs232::CloseCom(port);
  }

 private:
  testsupport::EmulatedHandset& handset_;
  int left_;
  platform::CancelToken& stop_;
};

// kelvane station in continuous mode: three handsets one after another on one slot, each with
// its serial number from the counter, the operator, the station and the recipe in its record.
TEST_F(Line, TheHeadlessStationRunsHandsetAfterHandset) {
  {
    const char* argv[] = {"kelvane",    "recipe", "create",   "--bin1",     "a.bin",
                          "--ogm2",     "b.ogm",  "--verify", "--name",     "LINE-A",
                          "--revision", "3",      "--output", "line-a.json"};
    std::ostringstream out, err;
    ASSERT_EQ(cli::runCli(std::size(argv), argv, out, err, {}), 0) << err.str();
  }
  writeFile("jobs.jsonl.serial", "41\n");  // another station took numbers before
  // The next handset comes 20 s after the last one is switched off: longer than a wake-up wait.
  testsupport::EmulatedHandset handset({}, {.pace = true, .powerOnAgainMs = 20000});
  platform::CancelToken stop;
  cli::Environment env;
  env.cancel = &stop;
  env.newSerial = [&] { return std::make_unique<StopAfter>(handset, 3, stop); };
  env.clock = [&] { return handset.link->seconds(); };
  const char* argv[] = {"kelvane",    "station", "--recipe",   "line-a.json", "--port",
                        "COM1",       "--log",   "jobs.jsonl", "--serial",    "T{n:04}",
                        "--operator", "ann",     "--station",  "st-1",        "--continuous",
                        "--progress", "jsonl"};
  std::ostringstream out, err;
  EXPECT_EQ(cli::runCli(std::size(argv), argv, out, err, env), 0) << err.str();
  const auto lines = testsupport::jsonLinesOf("jobs.jsonl");
  ASSERT_EQ(lines.size(), 3u) << err.str();
  const std::string recipeSha = ops::sha256Hex(readFile("line-a.json"));
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const auto& line = lines[i];
    EXPECT_TRUE(line["result"]["success"].get<bool>());
    EXPECT_EQ(line["serial"], "T00" + std::to_string(42 + i));
    EXPECT_EQ(line["operator"], "ann");
    EXPECT_EQ(line["station"], "st-1");
    EXPECT_EQ(line["recipe"],
              (nlohmann::json{{"name", "LINE-A"}, {"revision", "3"}, {"sha256", recipeSha}}));
  }
  EXPECT_EQ(readFile("jobs.jsonl.serial"), "44\n");
  // The progress events hold standard output, each a JSON line naming its port; the people's
  // lines, one per job and the summary, go to standard error.
  std::istringstream events(out.str());
  int finished = 0;
  for (std::string event; std::getline(events, event);) {
    const auto j = nlohmann::json::parse(event);
    EXPECT_EQ(j["port"], "COM1");
    finished += j["event"] == "finished";
  }
  EXPECT_EQ(finished, 3);
  std::size_t passedLines = 0;
  for (std::size_t at = 0; (at = err.str().find("  COM1  passed  ", at)) != std::string::npos; ++at)
    ++passedLines;
  EXPECT_EQ(passedLines, 3u) << err.str();
  EXPECT_NE(err.str().find("T0044"), std::string::npos) << err.str();
  int passed = -1, failed = -1;
  const std::size_t total = err.str().rfind("\nTotal ");
  ASSERT_NE(total, std::string::npos) << err.str();
  std::istringstream(err.str().substr(total + 7)) >> passed >> failed;
  EXPECT_EQ(passed, 3);
  EXPECT_EQ(failed, 0);
}

// A line's log with a known answer: the test counts as it writes.
TEST(Report, FiguresMatchTheLogTheyCameFrom) {
  testsupport::TempDir dir;
  const auto now = ops::WallClock::now();
  const auto since = now - std::chrono::hours(5);
  ops::JobLog log;
  ASSERT_TRUE(log.open("jobs.jsonl", nullptr));
  std::map<std::string, ops::Tally> slots, recipes, stations;
  std::map<std::pair<int, std::string>, int> causes;
  ops::Tally total;
  int lastHour = 0;
  for (int i = 0; i < 60; ++i) {
    ops::JobRecord r;
    r.job = i % 13 == 0 ? "info" : "write";
    r.started = now - std::chrono::minutes(7 * i + 1);  // 1 min .. 7 h ago
    r.ended = r.started + std::chrono::seconds(30);
    r.port = {"COM" + std::to_string(1 + i % 3), 1 + i % 3, "/dev/ttyS0"};
    r.station = i % 2 ? "st-1" : "st-2";
    r.recipeName = "LINE-A";
    r.recipeRevision = i % 4 ? "3" : "4";
    r.recipeSha256 = "00";
    const bool pass = i % 5 != 0;
    r.result.result = pass ? dwl::DownloadResult{} : dwl::DownloadResult{i % 10 ? 6 : 12, 1};
    r.result.message = pass ? "" : (i % 10 ? "boot" : "checksum");
    ASSERT_TRUE(log.append(r));
    if (r.job != "write" || r.started < since) continue;
    auto count = [&](ops::Tally& t) { ++(pass ? t.passed : t.failed); };
    count(total);
    count(slots[r.station + " " + r.port.name]);
    count(recipes["LINE-A " + r.recipeRevision]);
    count(stations[r.station]);
    if (!pass) ++causes[{r.result.result.Family, r.result.message}];
    lastHour += now - r.ended <= std::chrono::hours(1);
  }
  writeFile("torn.jsonl", "{\"job\": \"wri\n");
  ops::JobReport report;
  ASSERT_TRUE(ops::readIntoReport(report, "jobs.jsonl", since, now, nullptr));
  ASSERT_TRUE(ops::readIntoReport(report, "torn.jsonl", since, now, nullptr));
  EXPECT_EQ(report.total.passed, total.passed);
  EXPECT_EQ(report.total.failed, total.failed);
  EXPECT_EQ(report.lastHour, lastHour);
  EXPECT_EQ(report.causes, causes);
  for (const auto& [mine, theirs] :
       {std::pair{&slots, &report.slots}, std::pair{&recipes, &report.recipes},
        std::pair{&stations, &report.stations}}) {
    ASSERT_EQ(mine->size(), theirs->size());
    for (const auto& [key, t] : *mine) {
      EXPECT_EQ(theirs->at(key).passed, t.passed) << key;
      EXPECT_EQ(theirs->at(key).failed, t.failed) << key;
    }
  }
  EXPECT_EQ(report.unreadable, std::vector<std::string>{"torn.jsonl:1"});
  // The same figures in the CSV.
  const std::string csv = ops::reportCsv(report);
  EXPECT_NE(csv.find("total,," + std::to_string(total.passed) + "," + std::to_string(total.failed) +
                     "\n"),
            std::string::npos)
      << csv;
}

}  // namespace
