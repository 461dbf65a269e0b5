// config.txt: the save's bytes, the restore's codes and edge cases, and the safety of both.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/resource.h>
#include <sys/stat.h>
#endif

#include <csignal>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "engines/downloader/download_context.h"
#include "engines/downloader/dwl51loader.h"
#include "engines/downloader/dwl56conf.h"
#include "support/recording_display.h"
#include "support/temp_dir.h"

namespace {

// The test's own record, as each program keeps its own.
downloader::DownloadContext sg_DownloadContext;
// What a restore changes on the panel, as the program passes it.
downloader::ConfigPanelHooks g_panelHooks;

using downloader::dwl56_0RestoreConfig;
using downloader::dwl56_1SaveConfig;
using testsupport::TempDir;

class ConfigFile : public ::testing::Test {
 protected:
  void SetUp() override {
    downloader::resetImageSlots(sg_DownloadContext);
    sg_DownloadContext = downloader::DownloadContext{};
    g_panelHooks = downloader::ConfigPanelHooks(
        {[this](int port) { shownPorts.push_back(port); }, [this] { ++enabled; },
         [this](downloader::DownloadContext& c) {
           claLoads.push_back(downloader::dwl51_0InitLoadFile(c));
           return claLoads.back();
         }});
  }
  void TearDown() override {
    g_panelHooks = downloader::ConfigPanelHooks({});
    downloader::resetImageSlots(sg_DownloadContext);
    sg_DownloadContext = downloader::DownloadContext{};
  }

  static std::string configText() {
    const std::vector<std::uint8_t> bytes = TempDir::read("config.txt");
    return {bytes.begin(), bytes.end()};
  }
  static std::string file(const std::string& cla, const std::string& com = "4",
                          const std::string& pmu = "0", const std::string& product = "2",
                          const std::string& download = "0") {
    return "* ***********************\r\n* Configuration save file\r\n"
           "* ***********************\r\nCLA File : " +
           cla + "\r\nCOM : " + com + "\r\nPMU : " + pmu + "\r\nProduct Type : " + product +
           "\r\nDownload Type : " + download + "\r\n";
  }

  TempDir dir;
  testsupport::ScopedRecorder shown;
  std::vector<int> shownPorts;
  int enabled = 0;
  std::vector<downloader::LoadOutcome> claLoads;  // what each CLA file load gave the front end
};

TEST_F(ConfigFile, SaveWritesTheEightLinesWithCarriageReturns) {
  std::strcpy(sg_DownloadContext.Bin1Path, "/images/cla.bin");
  sg_DownloadContext.ComPort = 3;
  sg_DownloadContext.PmuOption = 1;
  sg_DownloadContext.ProductType = 1;
  sg_DownloadContext.DownloadType = -2;
  ASSERT_EQ(dwl56_1SaveConfig(sg_DownloadContext), 1);
  EXPECT_EQ(configText(), file("/images/cla.bin", "3", "1", "1", "-2"));
}

TEST_F(ConfigFile, RoundTripRestoresTheFiveValuesAndLoadsTheClaFile) {
  TempDir::write("cla.bin", std::vector<std::uint8_t>{0xFF, 0x01, 0x02});
  const std::string cla = (dir.path() / "cla.bin").string();
  std::strcpy(sg_DownloadContext.Bin1Path, cla.c_str());
  sg_DownloadContext.ComPort = 2;
  sg_DownloadContext.PmuOption = 1;
  sg_DownloadContext.ProductType = 1;
  sg_DownloadContext.DownloadType = 3;
  ASSERT_EQ(dwl56_1SaveConfig(sg_DownloadContext), 1);

  sg_DownloadContext = downloader::DownloadContext{};
  ASSERT_EQ(dwl56_0RestoreConfig(sg_DownloadContext, g_panelHooks), 1);
  EXPECT_STREQ(sg_DownloadContext.Bin1Path, cla.c_str());
  EXPECT_EQ(sg_DownloadContext.ComPort, 2);
  EXPECT_EQ(sg_DownloadContext.PmuOption, 1);
  EXPECT_EQ(sg_DownloadContext.ProductType, 1);
  EXPECT_EQ(sg_DownloadContext.DownloadType, 3);
  EXPECT_EQ(sg_DownloadContext.Bin1Loaded, 1);
  EXPECT_EQ(sg_DownloadContext.Bin1Length, 3u);
  EXPECT_EQ(shownPorts, std::vector<int>{2});
  EXPECT_EQ(enabled, 1);
  ASSERT_EQ(claLoads.size(), 1u);
  EXPECT_EQ(claLoads[0].code, dwl::kOk);
  EXPECT_EQ(claLoads[0].size, 3u);
}

struct RestoreCase {
  const char* name;
  std::string text;
  int code;
};

void PrintTo(const RestoreCase& c, std::ostream* os) {
  *os << c.name;
}

class RestoreCodes : public ConfigFile, public ::testing::WithParamInterface<RestoreCase> {};

TEST_P(RestoreCodes, ReturnsTheCodeOfTheFirstProblem) {
  TempDir::write("a.bin", std::vector<std::uint8_t>{1});
  TempDir::write("config.txt", GetParam().text);
  EXPECT_EQ(dwl56_0RestoreConfig(sg_DownloadContext, g_panelHooks), GetParam().code);
  // Only a restore that reached the last entry readies the panel.
  const bool complete =
      GetParam().code == 1 && GetParam().text.find("Download Type : ") != std::string::npos;
  EXPECT_EQ(enabled, complete ? 1 : 0);
}

const std::string kTail = "\r\nPMU : 0\r\nProduct Type : 2\r\nDownload Type : 0\r\n";

INSTANTIATE_TEST_SUITE_P(
    Table, RestoreCodes,
    ::testing::Values(
        RestoreCase{"FirstEntryNotCla", "COM : 4\r\n", 3},
        RestoreCase{"ClaKeyMisspelt", "CLA file : a.bin\r\n", 3},
        RestoreCase{"ComKeyMissing", "CLA File : a.bin\r\nPMU : 0\r\n", 6},
        RestoreCase{"ComWithoutBlankAfterColon", "CLA File : a.bin\r\nCOM :4" + kTail, 6},
        RestoreCase{"ComAboveFour", "CLA File : a.bin\r\nCOM : 5" + kTail, 5},
        RestoreCase{"PmuKeyMissing", "CLA File : a.bin\r\nCOM : 1\r\nPMU: 0\r\n", 10},
        RestoreCase{"PmuAboveOne", "CLA File : a.bin\r\nCOM : 1\r\nPMU : 2\r\n", 9},
        RestoreCase{"ProductKeyMissing", "CLA File : a.bin\r\nCOM : 1\r\nPMU : 1\r\n", 12},
        RestoreCase{"ProductAboveTwo",
                    "CLA File : a.bin\r\nCOM : 1\r\nPMU : 1\r\nProduct Type : 3\r\n", 11},
        RestoreCase{"DownloadKeyMissing",
                    "CLA File : a.bin\r\nCOM : 1\r\nPMU : 1\r\nProduct Type : 0\r\nDownload\r\n",
                    14},
        RestoreCase{"DownloadAboveFour",
                    "CLA File : a.bin\r\nCOM : 1\r\nPMU : 1\r\nProduct Type : 0\r\n"
                    "Download Type : 5\r\n",
                    13},
        RestoreCase{"ComMinusThreeAccepted", "CLA File : a.bin\r\nCOM : -3" + kTail, 1},
        RestoreCase{"BlankLineBeforeClaSkipped",
                    "\r\n* note\r\nCLA File : a.bin\r\nCOM : 1" + kTail, 1},
        RestoreCase{"BlankLineBetweenEntries", "CLA File : a.bin\r\n\r\nCOM : 1" + kTail, 6},
        RestoreCase{"CommentBetweenEntries", "CLA File : a.bin\r\nCOM : 1\r\n* x" + kTail, 10},
        RestoreCase{"OnlyComments", "* one\r\n* two\r\n", 1}, RestoreCase{"EmptyFile", "", 1},
        RestoreCase{"AnythingAfterTheFifthEntryIgnored",
                    "CLA File : a.bin\r\nCOM : 1" + kTail + "garbage without end", 1},
        // Input that ends where the old scans would have run off the buffer.
        RestoreCase{"CommentWithoutLineFeedAtEnd", "* comment", 1},
        RestoreCase{"LineFeedsOnly", "CLA File : a.bin\nCOM : 1\nPMU : 0\n", 3},
        RestoreCase{"ClaValueWithoutCarriageReturn", "CLA File : a.bin", 3},
        RestoreCase{"CarriageReturnAsLastByte", "CLA File : a.bin\r", 6},
        RestoreCase{"KeyCutByTheEnd", "CLA File : a.bin\r\nCO", 6},
        RestoreCase{"LastValueWithoutCarriageReturn",
                    "CLA File : a.bin\r\nCOM : 1\r\nPMU : 0\r\nProduct Type : 2\r\n"
                    "Download Type : 0",
                    14},
        // Values that do not fit their field are refused, never cut.
        RestoreCase{"ValueOfTwentyCharacters",
                    "CLA File : a.bin\r\nCOM : 00000000000000000001" + kTail, 4},
        RestoreCase{"ValueOfNineteenCharacters",
                    "CLA File : a.bin\r\nCOM : 0000000000000000001" + kTail, 1},
        RestoreCase{"PathOf260Characters", "CLA File : " + std::string(260, 'p') + kTail, 4},
        // Numbers that do not fit 32 bits, of any length, are out of range: never wrapped.
        RestoreCase{"ComOf2To32Plus1", "CLA File : a.bin\r\nCOM : 4294967297" + kTail, 5},
        RestoreCase{"ComOf2To31", "CLA File : a.bin\r\nCOM : 2147483648" + kTail, 5},
        RestoreCase{"ComBelowMinus2To31", "CLA File : a.bin\r\nCOM : -2147483649" + kTail, 5},
        RestoreCase{"ComOf30Digits", "CLA File : a.bin\r\nCOM : " + std::string(30, '9') + kTail,
                    5},
        RestoreCase{"ComOfMinus2To31", "CLA File : a.bin\r\nCOM : -2147483648" + kTail, 1},
        RestoreCase{"PmuOf2To32", "CLA File : a.bin\r\nCOM : 1\r\nPMU : 4294967296\r\n", 9},
        RestoreCase{"ProductOf2To32Plus2",
                    "CLA File : a.bin\r\nCOM : 1\r\nPMU : 1\r\nProduct Type : 4294967298\r\n", 11},
        RestoreCase{"DownloadOf2To33",
                    "CLA File : a.bin\r\nCOM : 1\r\nPMU : 1\r\nProduct Type : 0\r\n"
                    "Download Type : 8589934592\r\n",
                    13},
        RestoreCase{"NumberThenText", "CLA File : a.bin\r\nCOM :  +3x" + kTail, 1}),
    [](const ::testing::TestParamInfo<RestoreCase>& row) { return row.param.name; });

TEST_F(ConfigFile, NoFileGivesTwo) {
  EXPECT_EQ(dwl56_0RestoreConfig(sg_DownloadContext, g_panelHooks), 2);
}

// What stands in the place of config.txt is refused at once, unread, with a cause naming it.
TEST_F(ConfigFile, SomethingElseThanAConfigurationFileIsRefused) {
  struct Case {
    const char* name;
    void (*make)();
    int code;
    const char* why;
  } cases[] = {
      {"FIFO", [] { ASSERT_EQ(testsupport::makeFifo("config.txt"), 0); }, 2,
       "config.txt: not a regular file"},
      {"directory", [] { std::filesystem::create_directory("config.txt"); }, 2,
       "config.txt: not a regular file"},
      {"too large",
       [] { TempDir::write("config.txt", file("a.bin") + std::string(64 * 1024, '*')); }, 4,
       "config.txt: larger than 65536 bytes"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all("config.txt");
    c.make();
    EXPECT_EQ(dwl56_0RestoreConfig(sg_DownloadContext, g_panelHooks), c.code);
    EXPECT_EQ(sg_DownloadContext.State.configFileFailure, c.why);
    EXPECT_EQ(sg_DownloadContext.Bin1Path[0], '\0');
  }
}

TEST_F(ConfigFile, OutOfRangeNumberIsNotStored) {
  TempDir::write("a.bin", std::vector<std::uint8_t>{1});
  TempDir::write("config.txt", file("a.bin", "4294967297"));
  sg_DownloadContext.ComPort = 2;
  EXPECT_EQ(dwl56_0RestoreConfig(sg_DownloadContext, g_panelHooks), 5);
  EXPECT_EQ(sg_DownloadContext.ComPort, 2);
  EXPECT_TRUE(shownPorts.empty());
}

// A configuration saved before any CLA file was chosen: the empty path is loaded, and that load
// fails as the load of a missing file does (its window; the slot keeps what it holds).
TEST_F(ConfigFile, EmptyClaPathIsLoadedAndFailsAsAMissingFile) {
  struct Case {
    const char* name;
    bool loadedBefore;
    const char* pathAfter;
    std::uint32_t lengthAfter;
  };
  const Case cases[] = {{"slot never loaded", false, "", 0}, {"slot loaded", true, "cla.bin", 2}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    downloader::resetImageSlots(sg_DownloadContext);
    TempDir::write("cla.bin", std::vector<std::uint8_t>{5, 6});
    if (c.loadedBefore) {
      ASSERT_EQ(downloader::loadImageFile(sg_DownloadContext, dwl::Slot::Bin1, "cla.bin").code, 1);
    }
    TempDir::write("config.txt", file("", "3"));
    claLoads.clear();
    EXPECT_EQ(dwl56_0RestoreConfig(sg_DownloadContext, g_panelHooks), 1);
    ASSERT_EQ(claLoads.size(), 1u);
    EXPECT_EQ(dwl::resultMessage(dwl::RESULT_LIB_PC, claLoads[0].code), "LIB_PC : File not found");
    EXPECT_EQ(sg_DownloadContext.ComPort, 3);
    EXPECT_STREQ(sg_DownloadContext.Bin1Path, c.pathAfter);
    EXPECT_EQ(sg_DownloadContext.Bin1Length, c.lengthAfter);
  }
}

TEST_F(ConfigFile, OutOfRangePortIsStoredButNotShown) {
  TempDir::write("a.bin", std::vector<std::uint8_t>{1});
  TempDir::write("config.txt", file("a.bin", "7"));
  EXPECT_EQ(dwl56_0RestoreConfig(sg_DownloadContext, g_panelHooks), 5);
  EXPECT_EQ(sg_DownloadContext.ComPort, 7);
  EXPECT_TRUE(shownPorts.empty());
  // The CLA file was loaded before the port entry failed.
  EXPECT_EQ(sg_DownloadContext.Bin1Loaded, 1);
}

TEST_F(ConfigFile, NegativePortIsStoredAndShown) {
  TempDir::write("a.bin", std::vector<std::uint8_t>{1});
  TempDir::write("config.txt", file("a.bin", "-3"));
  EXPECT_EQ(dwl56_0RestoreConfig(sg_DownloadContext, g_panelHooks), 1);
  EXPECT_EQ(sg_DownloadContext.ComPort, -3);
  EXPECT_EQ(shownPorts, std::vector<int>{-3});
}

TEST_F(ConfigFile, ShorterPathAfterALongerOneLeavesNoTrace) {
  TempDir::write("a-much-longer-name.bin", std::vector<std::uint8_t>{1, 2});
  TempDir::write("b.bin", std::vector<std::uint8_t>{3});
  TempDir::write("config.txt", file("a-much-longer-name.bin"));
  ASSERT_EQ(dwl56_0RestoreConfig(sg_DownloadContext, g_panelHooks), 1);
  TempDir::write("config.txt", file("b.bin"));
  ASSERT_EQ(dwl56_0RestoreConfig(sg_DownloadContext, g_panelHooks), 1);
  EXPECT_STREQ(sg_DownloadContext.Bin1Path, "b.bin");
  const char* p = sg_DownloadContext.Bin1Path;
  EXPECT_TRUE(std::all_of(p + 5, p + downloader::kPathSize, [](char c) { return c == 0; }));
  EXPECT_EQ(sg_DownloadContext.Bin1Length, 1u);
}

TEST_F(ConfigFile, TooLongPathLeavesTheFieldAsItWas) {
  std::strcpy(sg_DownloadContext.Bin1Path, "kept.bin");
  TempDir::write("config.txt", file(std::string(300, 'x')));
  EXPECT_EQ(dwl56_0RestoreConfig(sg_DownloadContext, g_panelHooks), 4);
  EXPECT_STREQ(sg_DownloadContext.Bin1Path, "kept.bin");
  EXPECT_EQ(sg_DownloadContext.ComPort, 4);
}

TEST_F(ConfigFile, LongestPathIsSavedWholeAndRestored) {
  // 259 characters: the most the path field holds. Its line is longer than the old 200-character
  // line buffer.
  namespace fs = std::filesystem;
  const std::string a(120, 'a'), b(120, 'b');
  fs::create_directories(fs::path(a) / b);
  std::string path = a + "/" + b + "/";
  path += std::string(259 - path.size() - 4, 'c') + ".bin";
  ASSERT_EQ(path.size(), 259u);
  TempDir::write(path, std::vector<std::uint8_t>{7, 7});
  std::strcpy(sg_DownloadContext.Bin1Path, path.c_str());
  ASSERT_EQ(dwl56_1SaveConfig(sg_DownloadContext), 1);
  EXPECT_EQ(configText(), file(path));

  sg_DownloadContext = downloader::DownloadContext{};
  ASSERT_EQ(dwl56_0RestoreConfig(sg_DownloadContext, g_panelHooks), 1);
  EXPECT_STREQ(sg_DownloadContext.Bin1Path, path.c_str());
  EXPECT_EQ(sg_DownloadContext.Bin1Length, 2u);
}

// Windows has no file size limit to play a full disk with.
#ifndef _WIN32
TEST_F(ConfigFile, SaveThatFailsHalfWayKeepsTheOldFile) {
  TempDir::write("config.txt", file("old.bin"));
  std::memset(sg_DownloadContext.Bin1Path, 'n', 250);
  // The file system refuses everything past 64 bytes, as a full disk would.
  rlimit old{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit small = old;
  small.rlim_cur = 64;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const int rc = dwl56_1SaveConfig(sg_DownloadContext);
  setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, oldHandler);

  EXPECT_EQ(rc, 2);
  EXPECT_EQ(sg_DownloadContext.State.configFileFailure, "config.txt: File too large");
  EXPECT_EQ(configText(), file("old.bin"));
  int files = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir.path())) ++files;
  EXPECT_EQ(files, 1) << "no temporary file is left behind";
}
#endif

// Windows does not remove the working directory of a running program.
#ifndef _WIN32
TEST_F(ConfigFile, SaveIntoAMissingDirectoryGivesTwo) {
  std::filesystem::create_directory("gone");
  std::filesystem::current_path("gone");
  std::filesystem::remove(dir.path() / "gone");
  EXPECT_EQ(dwl56_1SaveConfig(sg_DownloadContext), 2);
}
#endif

}  // namespace
