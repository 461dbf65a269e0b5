// The command line: parsing, results and their texts, JSON, progress, the trace, and whole
// commands against a scripted handset line.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include "apps/cli/app.h"
#include "apps/cli/commands.h"
#include "apps/cli/multi_port.h"
#include "apps/cli/options.h"
#include "apps/cli/outcome.h"
#include "apps/cli/terminal_display.h"
#include "apps/cli/trace_rs232.h"
#include "dwl/dwl1boot.h"
#include "dwl/dwl52display.h"
#include "engines/dumper/dumper_context.h"
#include "platform/port_map.h"
#include "platform/scripted_rs232.h"
#include "support/config_home.h"
#include "support/temp_dir.h"

namespace {

using cli::Command;
using cli::kExitUsage;
using cli::Options;
using cli::ParseOutcome;

ParseOutcome parse(std::vector<std::string> args) {
  args.insert(args.begin(), "kelvane");
  std::vector<const char*> argv;
  for (const std::string& a : args) argv.push_back(a.c_str());
  return cli::parseArguments(static_cast<int>(argv.size()), argv.data());
}

// ---- argument parsing ---------------------------------------------------------------------

TEST(CliOptions, AcceptedCommandLines) {
  struct Case {
    std::vector<std::string> args;
    std::function<void(const Options&)> check;
  };
  const Case cases[] = {
      {{"info"},
       [](const Options& o) {
         EXPECT_EQ(o.command, Command::Info);
         EXPECT_TRUE(o.ports.empty());
         EXPECT_EQ(cli::speedFor(o), 3);
         EXPECT_EQ(o.productType, 2);
         EXPECT_FALSE(o.pmu);
       }},
      {{"--port", "COM4", "--port", "/dev/pts/7", "--speed", "5", "--pmu", "info"},
       [](const Options& o) {
         EXPECT_EQ(o.ports, (std::vector<std::string>{"COM4", "/dev/pts/7"}));
         EXPECT_EQ(cli::speedFor(o), 5);
         EXPECT_TRUE(o.pmu);
       }},
      {{"--wait-states", "1,2,3,4", "--product-type", "1", "info"},
       [](const Options& o) {
         EXPECT_EQ(o.waitStates, (std::array<std::uint8_t, 4>{1, 2, 3, 4}));
         EXPECT_EQ(o.productType, 1);
       }},
      {{"write", "--bin1", "a.bin", "--ogm2", "b.ogm", "--verify", "--model", "2"},
       [](const Options& o) {
         EXPECT_EQ(o.command, Command::Write);
         EXPECT_EQ(cli::fileModeFor(o), ops::FileMode::BinAndOgm);
         EXPECT_TRUE(o.verify);
         EXPECT_EQ(o.model, 2);
       }},
      {{"write", "--bin2", "a.bin"},
       [](const Options& o) { EXPECT_EQ(cli::fileModeFor(o), ops::FileMode::BinOnly); }},
      {{"write", "--ogm1", "a.ogm"},
       [](const Options& o) { EXPECT_EQ(cli::fileModeFor(o), ops::FileMode::OgmOnly); }},
      {{"dump", "--first", "130", "--last", "140"},
       [](const Options& o) {
         EXPECT_EQ(o.command, Command::Dump);
         EXPECT_EQ(o.first, 130);
         EXPECT_EQ(o.last, 140);
         EXPECT_EQ(o.output, "dump.txt");
         EXPECT_EQ(cli::speedFor(o), 2);
       }},
      {{"erase", "--all"},
       [](const Options& o) {
         EXPECT_EQ(o.first, 0);
         EXPECT_EQ(o.last, 267);
         EXPECT_EQ(cli::speedFor(o), 2);
       }},
      {{"erase", "--first", "7", "--last", "8"},
       [](const Options& o) {
         EXPECT_FALSE(o.all);
         EXPECT_EQ(o.first, 7);
         EXPECT_EQ(o.last, 8);
       }},
      // A leading zero is decimal, not C's octal; 0x is hexadecimal.
      {{"dump", "--offset", "010", "--length", "010"},
       [](const Options& o) {
         EXPECT_EQ(o.offset, 10u);
         EXPECT_EQ(o.length, 10u);
       }},
      {{"dump", "--offset", "0x10", "--length", "0X8"},
       [](const Options& o) {
         EXPECT_EQ(o.offset, 16u);
         EXPECT_EQ(o.length, 8u);
       }},
      {{"--speed", "04", "erase", "--first", "0099", "--last", "099"},
       [](const Options& o) {
         EXPECT_EQ(cli::speedFor(o), 4);
         EXPECT_EQ(o.first, 99);
         EXPECT_EQ(o.last, 99);
       }},
      {{"dump", "--first", "0", "--last", "00"}, [](const Options& o) { EXPECT_EQ(o.last, 0); }},
      // Global options after the command still count.
      {{"dump", "--first", "0", "--last", "0", "--json", "-q"},
       [](const Options& o) {
         EXPECT_TRUE(o.json);
         EXPECT_TRUE(o.quiet);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    const ParseOutcome p = parse(c.args);
    ASSERT_FALSE(p.exitStatus.has_value()) << p.text;
    c.check(p.options);
  }
}

TEST(CliOptions, UsageErrorsExitWith64AndSayWhy) {
  struct Case {
    std::vector<std::string> args;
    std::string says;
  };
  const Case cases[] = {
      {{}, "subcommand is required"},
      {{"flash"}, "subcommand is required"},
      {{"write"}, "at least one image"},
      {{"--speed", "9", "info"}, "--speed"},
      {{"--port", "COM0", "info"}, "COM0"},
      {{"--port", "256", "info"}, "256"},
      {{"--port", "COM4", "--port", "COM4", "info"}, "twice"},
      {{"--wait-states", "1,2,3", "info"}, "wait-states"},
      {{"--wait-states", "1,2,3,5", "info"}, "wait-states"},
      {{"--wait-states", "1,2,3,4,0", "info"}, "wait-states"},
      {{"dump", "--first", "3"}, "--last"},
      {{"dump", "--first", "5", "--last", "4"}, "above the last"},
      {{"dump", "--first", "0", "--last", "284"}, "--last"},
      {{"erase"}, "--all, or --first and --last"},
      {{"erase", "--first", "1"}, "--all, or --first and --last"},
      {{"erase", "--all", "--first", "1", "--last", "2"}, "excludes"},
      {{"write", "--bin1", "a", "--model", "4"}, "--model"},
      {{"info", "--bogus"}, "--bogus"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    const ParseOutcome p = parse(c.args);
    ASSERT_TRUE(p.exitStatus.has_value());
    EXPECT_EQ(*p.exitStatus, kExitUsage);
    EXPECT_NE(p.text.find(c.says), std::string::npos) << p.text;
  }
}

TEST(CliOptions, HelpAndVersionExitWithZero) {
  const std::pair<std::vector<std::string>, std::vector<std::string>> cases[] = {
      // The program's help is complete: every command with its options, files, exit statuses.
      {{"--help"},
       {"--wait-states", "--bin1", "--verify", "--output", "--all", "ports", "KELVANE_COMn",
        "share/kelvane", "Exit status"}},
      {{"dump", "--help"}, {"--first", "--output"}},
      {{"--version"}, {"kelvane " KELVANE_VERSION}},
  };
  for (const auto& [args, says] : cases) {
    SCOPED_TRACE(::testing::PrintToString(args));
    const ParseOutcome p = parse(args);
    ASSERT_TRUE(p.exitStatus.has_value());
    EXPECT_EQ(*p.exitStatus, 0);
    for (const std::string& text : says) EXPECT_NE(p.text.find(text), std::string::npos) << text;
  }
}

TEST(CliOptions, PortNames) {
  const std::pair<std::string, int> cases[] = {
      {"4", 4},        {"COM4", 4},   {"com12", 12}, {"COM255", 255}, {"/dev/ttyUSB0", 0},
      {"./pty", 0},    {"COM", -1},   {"COM0", -1},  {"0", -1},       {"COM256", -1},
      {"ttyUSB0", -1}, {"COM4x", -1}, {"", -1},
  };
  for (const auto& [text, number] : cases) EXPECT_EQ(cli::comNumberOf(text), number) << text;
}

// ---- results ------------------------------------------------------------------------------

TEST(CliOutcome, MessagesAndExitStatuses) {
  struct Case {
    dwl::DownloadResult result;
    std::string message;
    int exit;
  };
  const Case cases[] = {
      {{0, 0}, "", 0},
      {{1, 0}, "Error during the download", 1},
      {{2, 15},
       "FLASH DESCRIPTION : The flash id is not known (Not description in the file flash.txt)",
       2},
      {{5, static_cast<std::int32_t>(0xFFFFFFFAu)},
       "LIB_PC : Default error number _ 0xfffffffa",
       5},
      {dwl::kNoHandsetResult,
       "BOOT : The handset did not answer (is it connected to this port and switched on?)", 6},
      {{6, 0x000A039D}, "BOOT : Problem during the boot sequence", 6},
      {{8, 19}, "COMMAND : Checksum error during the read command ", 8},
      {{8, 21}, "COMMAND : Command error ", 8},
      {{12, 0xCC}, "Problem : Bad checksum", 12},
      {{13, 0}, "Timeout during the download", 13},
      {{dwl::RESULT_VERIFY, 0x02000010}, "VERIFY : The flash differs from the image written", 20},
      {{7, 0}, "Unknown result (family 7, code 0)", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.result.Family) + "/" + std::to_string(c.result.Code));
    EXPECT_EQ(cli::outcomeMessage(c.result), c.message);
    EXPECT_EQ(cli::exitStatusOf(c.result), c.exit);
  }
}

TEST(CliOutcome, JsonCarriesEveryField) {
  cli::Outcome o;
  o.port = "COM4";
  o.result = {8, 20};
  o.flash = {true, 0x89, 0x18, "INTEL 28F128"};
  o.bytesWritten = 123456;
  o.seconds = 2.5;
  const nlohmann::json j = nlohmann::json::parse(cli::toJson(o).dump());
  EXPECT_EQ(j["port"], "COM4");
  EXPECT_EQ(j["family"], 8);
  EXPECT_EQ(j["code"], 20);
  EXPECT_EQ(j["message"], "COMMAND : Switch off error ");
  EXPECT_EQ(j["flash"]["manufacturer"], 0x89);
  EXPECT_EQ(j["flash"]["device"], 0x18);
  EXPECT_EQ(j["flash"]["name"], "INTEL 28F128");
  EXPECT_EQ(j["bytes_written"], 123456);
  EXPECT_DOUBLE_EQ(j["seconds"].get<double>(), 2.5);
  EXPECT_EQ(j["verified"], false);

  o.flash = {};
  EXPECT_TRUE(cli::toJson(o)["flash"].is_null());
}

// Names from the system need not be UTF-8; the JSON still comes out, with U+FFFD in their place.
TEST(CliOutcome, JsonTextOfBytesThatAreNotUtf8) {
  cli::Outcome o;
  o.port = "/dev/tty\xff";
  o.result = {5, 3};
  o.detail = "cannot load the bin1 image \xc3(.bin";
  o.flash = {true, 1, 2, "MAKER \x80"};
  std::string text;
  ASSERT_NO_THROW(text = cli::jsonText(cli::toJson(o)));
  const nlohmann::json j = nlohmann::json::parse(text);
  EXPECT_EQ(j["port"], "/dev/tty\xEF\xBF\xBD");
  EXPECT_EQ(j["detail"], "cannot load the bin1 image \xEF\xBF\xBD(.bin");
  EXPECT_EQ(j["flash"]["name"], "MAKER \xEF\xBF\xBD");
  EXPECT_EQ(text.find('\n'), std::string::npos);
}

// The listing shows where each COM number's device comes from: a window's saved choice, the
// environment (which wins), or the default.
TEST(CliPorts, ListsSavedChoicesAndTheirSource) {
  testsupport::TempDir dir;
  testsupport::ScopedConfigHome home(dir.path());
  std::string why;
  ASSERT_TRUE(platform::savePortDevice(9, "/dev/pts/41", &why)) << why;
  ASSERT_TRUE(platform::savePortDevice(2, "/dev/ttyUSB3", &why)) << why;
  ::setenv("KELVANE_COM2", "/dev/from-env", 1);
  cli::Options o;
  o.json = true;
  std::ostringstream out;
  EXPECT_EQ(cli::runPorts(o, out), 0);
  ::unsetenv("KELVANE_COM2");
  std::map<std::string, std::pair<std::string, std::string>> com;
  const nlohmann::json listing = nlohmann::json::parse(out.str());
  for (const auto& c : listing.at("com"))
    com[c.at("port").get<std::string>()] = {c.at("device").get<std::string>(),
                                            c.at("source").get<std::string>()};
  EXPECT_EQ(com["COM9"], std::make_pair(std::string("/dev/pts/41"), std::string("saved")));
  EXPECT_EQ(com["COM2"], std::make_pair(std::string("/dev/from-env"), std::string("environment")));
  EXPECT_EQ(com["COM1"].second, "default");
}

// ---- several ports ------------------------------------------------------------------------

TEST(CliSeveralPorts, FileNamesPerPort) {
  const std::tuple<std::string, std::string, std::string> cases[] = {
      {"dump.txt", "COM4", "dump-COM4.txt"},
      {"out/trace.log", "/dev/pts/3", "out/trace-dev_pts_3.log"},
      {"trace", "4", "trace-4"},
      {"dir.d/trace", "COM2", "dir.d/trace-COM2"},
      {".hidden", "COM1", ".hidden-COM1"},
  };
  for (const auto& [file, port, expected] : cases)
    EXPECT_EQ(cli::perPortName(file, port), expected);
}

TEST(CliSeveralPorts, PortArgumentsKeepOnePort) {
  const std::vector<std::string> args = {"kelvane", "--port",  "COM4",   "--port=/dev/pts/2",
                                         "--json",  "--trace", "t.log",  "dump",
                                         "--first", "0",       "--last", "1"};
  std::vector<const char*> argv;
  for (const auto& a : args) argv.push_back(a.c_str());
  const Options o = cli::parseArguments(static_cast<int>(argv.size()), argv.data()).options;
  EXPECT_EQ(cli::portArguments(args, o, "/dev/pts/2"),
            (std::vector<std::string>{"kelvane", "--port", "/dev/pts/2", "--trace",
                                      "t-dev_pts_2.log", "dump", "--first", "0", "--last", "1",
                                      "--output", "dump-dev_pts_2.txt"}));
  const std::vector<std::string> write = {"kelvane", "--port", "1",      "--port",
                                          "2",       "write",  "--bin1", "a.bin"};
  EXPECT_EQ(cli::portArguments(write, o, "2")[2], "2");
}

// ---- progress -----------------------------------------------------------------------------

TEST(CliDisplay, PlainOutputHasALinePerStageAndPerTenPercent) {
  std::ostringstream out, err;
  double now = 0;
  cli::TerminalDisplay d(out, err, false, false, [&] { return now; });
  d.stageStarted({dwl::Stage::Speed, 0, 0, {}, 0});
  d.stageStarted({dwl::Stage::Image, 1, 2, "bin1 a.bin", 1000});
  std::uint64_t done = 0;
  for (std::uint64_t step : {30, 60, 10, 50, 270, 50, 530}) {
    now += 1;
    done += step;
    d.bytesDone({done, 1000, done, 2000});
  }
  d.stageStarted({dwl::Stage::SwitchOff, 0, 0, {}, 0});
  const std::string expected =
      "Switching the line to its working speed\n"
      "image 1/2 bin1 a.bin 0% 0 B/1000 B\n"
      "image 1/2 bin1 a.bin 10% 100 B/1000 B 33 B/s 0:27 left\n"
      "image 1/2 bin1 a.bin 42% 420 B/1000 B 84 B/s 0:07 left\n"
      "image 1/2 bin1 a.bin 100% 1000 B/1000 B 143 B/s 0:00 left\n"
      "Switching the handset off\n";
  EXPECT_EQ(out.str(), expected);
  EXPECT_EQ(err.str(), "");
}

TEST(CliDisplay, QuietPrintsNoProgressButSectorFailures) {
  std::ostringstream out, err;
  cli::TerminalDisplay d(out, err, false, true);
  d.stageStarted({dwl::Stage::Erase, 0, 0, "sectors 7..8", 0x12000});
  d.bytesDone({0x2000, 0x12000, 0x2000, 0x12000});
  d.sectorChanged({8, 0x02010000, 0x10000, dwl::SectorState::Failed});
  EXPECT_EQ(out.str(), "");
  EXPECT_EQ(err.str(), "sector 8 at 0x02010000: failed\n");
}

TEST(CliDisplay, TerminalBarRedrawsOneLine) {
  std::ostringstream out, err;
  double now = 0;
  cli::TerminalDisplay d(out, err, true, false, [&] { return now; });
  d.stageStarted({dwl::Stage::Dump, 0, 0, "sectors 0..0", 8192});
  now = 2;
  d.bytesDone({4096, 8192, 4096, 8192});
  d.endStage();
  const std::string s = out.str();
  EXPECT_EQ(std::count(s.begin(), s.end(), '\n'), 1);
  EXPECT_NE(s.find("\r\033[K[##############..............] dump sectors 0..0 50% 4.0 KiB/8.0 KiB "
                   "2.0 KiB/s 0:02 left"),
            std::string::npos)
      << s;
}

// ---- the trace ----------------------------------------------------------------------------

TEST(CliTrace, LogsEveryByteWithTimeAndDirection) {
  platform::ScriptedRs232 line;
  line.reply({0xBE, 0x01, 0x02}).silence();
  std::ostringstream log;
  double now = 0.5;
  cli::TraceRs232 trace(line, log, [&] { return now; });
  std::vector<std::uint8_t> block(20);
  for (int i = 0; i < 20; ++i) block[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i);
  EXPECT_EQ(trace.ComRdByte(1), 0xBE);
  now = 1.25;
  trace.ComWrtByte(1, 0x44);
  trace.ComWrt(1, block.data(), 20);
  std::uint8_t in[4];
  EXPECT_EQ(trace.ComRd(1, in, 4), 2);
  EXPECT_EQ(log.str(),
            "    0.500000 RX BE\n"
            "    1.250000 TX 44\n"
            "    1.250000 TX 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F\n"
            "    1.250000 TX 10 11 12 13\n"
            "    1.250000 RX 01 02\n"
            "    1.250000 RX time-out after 2 of 4 bytes\n");
  // Everything still reached the port underneath.
  EXPECT_EQ(line.written().size(), 21u);
}

// ---- whole commands on a scripted line -----------------------------------------------------

const char kFlashTxt[] =
    "# test flash\r\n"
    "NEW_FLASH\r\n"
    "MANUFACTURER_NAME : INTEL\r\n"
    "DEVICE_NAME : 28F128\r\n"
    "PHILIPS_PRODUCT : 5087\r\n"
    "MANUFACTURER_ID : 137\r\n"
    "DEVICE_ID : 24\r\n"
    "NB_BANKS : 1\r\n"
    "NB_SECTORS : 128\r\n"
    "START_SECTOR_DESCRITPION\r\n"
    "0-127*131072*0\r\n"
    "END_SECTOR_DESCRIPTION\r\n"
    "END_FLASH\r\n";

// The boot of product type 2 with wait states 0 and the 4-byte bootstrap 01 02 03 04.
const std::vector<std::uint8_t> kBootBytes = {
    0x44, 0xC7, 0x00, 0xD6, 0x00, 0xCF, 0x80, 0xCF, 0xC0, 0x00, 0x03, 0xFF, 0xFF,
    0x80, 0x03, 0x40, 0x00, 0x70, 0x00, 0x03, 0x00, 0x00, 0x00, 0x00, 0x40, 0x03,
    0x01, 0x02, 0x03, 0x04, 0x00, 0x03, 0x00, 0x00, 0x00, 0x00, 0x60, 0x00};

class CliRun : public ::testing::Test {
 public:
  void SetUp() override {
    testsupport::TempDir::write("flash.txt", std::string(kFlashTxt));
    testsupport::TempDir::write("dwl87.spm", std::vector<std::uint8_t>{1, 2, 3, 4});
  }

  // The handset's side of a boot up to the flash codes (Intel 28F128).
  void scriptBoot() { line.reply({0xBE, 0x44, 0xA0, 0x00, 0x00, 0xC2, 0x89, 0x18}); }

  // to: standard output, when not the test's string.
  int run(std::vector<std::string> args, std::ostream* to = nullptr) {
    args.insert(args.begin(), "kelvane");
    std::vector<const char*> argv;
    for (const std::string& a : args) argv.push_back(a.c_str());
    cli::Environment env;
    env.serial = &line;
    return cli::runCli(static_cast<int>(argv.size()), argv.data(), to ? *to : out, err, env);
  }

  testsupport::TempDir dir;
  platform::ScriptedRs232 line;
  std::ostringstream out, err;
};

TEST_F(CliRun, InfoIdentifiesAndSwitchesOff) {
  scriptBoot();
  line.reply({0xC0});
  EXPECT_EQ(run({"--port", "COM4", "info"}), 0) << err.str();
  EXPECT_EQ(out.str(),
            "Waiting for the handset on COM4 (/dev/ttyS3) (switch it on)\n"
            "Processor 0xBE (PCF5087)\n"
            "Flash     INTEL 28F128 (manufacturer 0x89, device 0x18)\n"
            "Size      16777216 bytes in 128 sectors, 1 bank\n"
            "Switching the handset off\n"
            "Switched off\n");
  std::vector<std::uint8_t> expected = kBootBytes;
  expected.push_back(0xE8);
  EXPECT_EQ(line.written(), expected);
  EXPECT_FALSE(line.isOpen());
  EXPECT_EQ(err.str(), "");
}

TEST_F(CliRun, InfoAsJson) {
  scriptBoot();
  line.reply({0xC0});
  EXPECT_EQ(run({"--json", "info"}), 0);
  const nlohmann::json j = nlohmann::json::parse(out.str());
  EXPECT_EQ(j["port"], "COM4");
  EXPECT_EQ(j["family"], 0);
  EXPECT_EQ(j["message"], "");
  EXPECT_EQ(j["flash"]["name"], "INTEL 28F128");
  EXPECT_EQ(j["flash"]["manufacturer"], 0x89);
}

TEST_F(CliRun, FailuresGiveTheirFamilyAndMessage) {
  struct Case {
    std::string name;
    std::function<void(CliRun&)> script;
    int exit;
    std::string stderrText;
  };
  const Case cases[] = {
      {"silent handset", [](CliRun&) {}, 6,
       "BOOT : The handset did not answer (is it connected to this port and switched on?)\n"
       "port COM4 (/dev/ttyS3): no answer from the handset's boot ROM\n"},
      {"port cannot open", [](CliRun& t) { t.line.failOpenWith(platform::kErrCannotOpen); }, 5,
       "LIB_PC : Default error number _ 0xfffffffa\n"
       "port COM4 (/dev/ttyS3): the port cannot be opened (error -6)\n"},
      {"no start report",
       [](CliRun& t) {
         t.line.reply({0xBE, 0x44, 0xA1});
       },
       6,
       "BOOT : Problem with program in external RAM : StackPointer not set\n"
       "port COM4 (/dev/ttyS3): the handset answered 0xA1 where 0xA0 was expected (bootstrap "
       "start report)\n"},
      {"silent after the upload",
       [](CliRun& t) {
         t.line.reply({0xBE, 0x44, 0xA0, 0, 0, 0xC2});
       },
       6,
       "BOOT : Timeout during the flash identification\n"
       "port COM4 (/dev/ttyS3): the handset stopped answering\n"},
      {"unknown flash",
       [](CliRun& t) {
         t.line.reply({0xBE, 0x44, 0xA0, 0, 0, 0xC2, 0x20, 0x99, 0xC0});
       },
       2,
       "FLASH DESCRIPTION : The flash id is not known (Not description in the file flash.txt)\n"
       "port COM4 (/dev/ttyS3): no description of flash 0x20:0x99\n"},
      {"switch-off refused",
       [](CliRun& t) {
         t.scriptBoot();
         t.line.reply({0xC1});
       },
       8,
       "COMMAND : Switch off error \n"
       "port COM4 (/dev/ttyS3): the handset answered 0xC1 where 0xC0 was expected (switch-off)\n"},
      {"no flash.txt", [](CliRun&) { std::remove("flash.txt"); }, 2,
       "FLASH DESCRIPTION : The file flash.txt not found\nflash.txt: No such file or directory\n"},
      {"no bootstrap", [](CliRun&) { std::remove("dwl87.spm"); }, 5,
       "LIB_PC : File not found\ndwl87.spm: No such file or directory\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    line = platform::ScriptedRs232();
    out.str("");
    err.str("");
    SetUp();
    c.script(*this);
    EXPECT_EQ(run({"info"}), c.exit);
    EXPECT_EQ(err.str(), c.stderrText);
    EXPECT_FALSE(line.isOpen());
  }
}

TEST_F(CliRun, UnknownFlashIsStillSwitchedOff) {
  line.reply({0xBE, 0x44, 0xA0, 0, 0, 0xC2, 0x20, 0x99, 0xC0});
  EXPECT_EQ(run({"info"}), 2);
  ASSERT_FALSE(line.written().empty());
  EXPECT_EQ(line.written().back(), 0xE8);
}

TEST_F(CliRun, TraceHoldsTheExactBootBytes) {
  scriptBoot();
  line.reply({0xC0});
  ASSERT_EQ(run({"--trace", "boot.trace", "-q", "info"}), 0) << err.str();
  std::istringstream trace(
      std::string(reinterpret_cast<const char*>(testsupport::TempDir::read("boot.trace").data()),
                  testsupport::TempDir::read("boot.trace").size()));
  std::vector<std::uint8_t> sent, received;
  std::string lineText;
  while (std::getline(trace, lineText)) {
    std::istringstream fields(lineText);
    double t;
    std::string direction;
    fields >> t >> direction;
    if (direction != "TX" && direction != "RX") continue;
    std::string hex;
    while (fields >> hex) {
      if (hex == "time-out") break;
      (direction == "TX" ? sent : received)
          .push_back(static_cast<std::uint8_t>(std::stoi(hex, nullptr, 16)));
    }
  }
  std::vector<std::uint8_t> expected = kBootBytes;
  expected.push_back(0xE8);
  EXPECT_EQ(sent, expected);
  EXPECT_EQ(received,
            (std::vector<std::uint8_t>{0xBE, 0x44, 0xA0, 0x00, 0x00, 0xC2, 0x89, 0x18, 0xC0}));
}

TEST_F(CliRun, WorkingDirectoryOption) {
  std::filesystem::create_directory("elsewhere");
  EXPECT_EQ(run({"-C", "missing-dir", "info"}), cli::kFamilyLocalFile);
  EXPECT_NE(err.str().find("cannot work in missing-dir"), std::string::npos);
  // flash.txt is looked for in the directory given.
  err.str("");
  EXPECT_EQ(run({"-C", "elsewhere", "info"}), 2);
  EXPECT_EQ(err.str(),
            "FLASH DESCRIPTION : The file flash.txt not found\nelsewhere/flash.txt: No such file "
            "or directory\n");
}

// A write at speed 0 (no GPIO), one 100-byte image, then the read-back.
class CliWrite : public CliRun {
 protected:
  void SetUp() override {
    CliRun::SetUp();
    for (int i = 0; i < 100; ++i) image.push_back(static_cast<std::uint8_t>(i * 7));
    testsupport::TempDir::write("a.bin", image);
  }
  static std::vector<int> sumBytes(const std::vector<std::uint8_t>& data) {
    std::uint32_t sum = 0;
    for (std::uint8_t b : data) sum += b;
    return {static_cast<int>(sum & 0xFF), static_cast<int>((sum >> 8) & 0xFF),
            static_cast<int>((sum >> 16) & 0xFF), static_cast<int>(sum >> 24)};
  }
  // Boot, speed change with its check, the sector accepted with the right sum.
  void scriptWrite() {
    scriptBoot();
    line.reply({0xC0, 0xC3, 0x00, 0xCA});
    std::vector<std::uint8_t> reply = {0xCC};
    for (int b : sumBytes(image)) reply.push_back(static_cast<std::uint8_t>(b));
    line.reply(reply);
  }
  // The read command's reply for data as the flash holds it.
  void scriptRead(const std::vector<std::uint8_t>& flash) {
    line.reply({0xC0, 0xC7});
    line.reply(flash);
    std::vector<std::uint8_t> sum;
    for (int b : sumBytes(flash)) sum.push_back(static_cast<std::uint8_t>(b));
    line.reply(sum);
  }
  std::vector<std::uint8_t> image;
};

TEST_F(CliWrite, VerifiedWriteReadsBackAndSwitchesOff) {
  scriptWrite();
  scriptRead(image);
  line.reply({0xC0});
  EXPECT_EQ(run({"--speed", "0", "--json", "write", "--bin1", "a.bin", "--verify"}), 0)
      << err.str();
  const nlohmann::json j = nlohmann::json::parse(out.str());
  EXPECT_EQ(j["family"], 0);
  EXPECT_EQ(j["verified"], true);
  EXPECT_EQ(j["bytes_written"], 100);
  // The read command asked for the image's 100 bytes at the flash base, then the switch-off.
  const std::vector<std::uint8_t> tail = {0xE6, 0, 0, 0, 100, 0x02, 0, 0, 0, 0xE8};
  ASSERT_GE(line.written().size(), tail.size());
  EXPECT_TRUE(std::equal(tail.begin(), tail.end(), line.written().end() - 10));
  EXPECT_EQ(line.pending(), 0u);
}

TEST_F(CliWrite, VerifyReportsTheFirstDifferenceAndLeavesTheHandsetOn) {
  scriptWrite();
  std::vector<std::uint8_t> flash = image;
  flash[37] ^= 0x10;
  scriptRead(flash);
  EXPECT_EQ(run({"--speed", "0", "write", "--bin1", "a.bin", "--verify"}), 20);
  char detail[120];
  std::snprintf(detail, sizeof detail,
                "bin1 image a.bin: differs at address 0x02000025 (offset 37): flash 0x%02X, "
                "image 0x%02X\n",
                flash[37], image[37]);
  EXPECT_EQ(err.str(), "VERIFY : The flash differs from the image written\n" + std::string(detail));
  EXPECT_NE(line.written().back(), 0xE8);
}

TEST_F(CliWrite, FailedReadBackIsACommandError) {
  scriptWrite();
  line.reply({0xC1});
  EXPECT_EQ(run({"--speed", "0", "write", "--bin1", "a.bin", "--verify"}), 8);
  EXPECT_EQ(err.str(),
            "COMMAND : bad read command acknowledge \nport COM4 (/dev/ttyS3), address 0x02000000: "
            "the handset answered 0xC1 where 0xC0 was expected (read command)\n");
}

TEST_F(CliWrite, WithoutVerifyNothingIsReadBack) {
  scriptWrite();
  line.reply({0xC0});
  EXPECT_EQ(run({"--speed", "0", "write", "--bin1", "a.bin"}), 0) << err.str();
  EXPECT_EQ(line.written().back(), 0xE8);
  EXPECT_EQ(std::count(line.written().end() - 1, line.written().end(), 0xE6), 0);
  EXPECT_NE(out.str().find("Written 100 bytes"), std::string::npos) << out.str();
}

TEST_F(CliWrite, MissingImageIsAPcLibraryError) {
  EXPECT_EQ(run({"write", "--bin1", "nothere.bin"}), 5);
  EXPECT_EQ(err.str(),
            "LIB_PC : File not found\nthe bin1 image nothere.bin: No such file or directory\n");
  EXPECT_TRUE(line.written().empty());
}

TEST_F(CliRun, DumpAppendsToTheChosenFile) {
  scriptBoot();
  // Speed change (speed 0: no GPIO), then one 8 KiB block of sector 0, then switch-off.
  line.reply({0xC0, 0xC3, 0x00, 0xCA});
  std::vector<std::uint8_t> block(8192);
  for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<std::uint8_t>(i * 31);
  std::uint32_t sum = 0;
  for (std::uint8_t b : block) sum += b;
  line.reply({0xC0, 0xC7});
  line.reply(block);
  std::vector<std::uint8_t> sumBytes;
  for (int k = 0; k < 4; ++k) sumBytes.push_back(static_cast<std::uint8_t>(sum >> (8 * k)));
  line.reply(sumBytes);
  line.reply({0xC0});
  testsupport::TempDir::write("mine.bin", std::string("old"));
  EXPECT_EQ(run({"--speed", "0", "--json", "dump", "--first", "0", "--last", "0", "--output",
                 "mine.bin"}),
            0)
      << err.str();
  std::vector<std::uint8_t> expected(block.size() + 3);
  expected[0] = 'o', expected[1] = 'l', expected[2] = 'd';
  std::copy(block.begin(), block.end(), expected.begin() + 3);
  EXPECT_EQ(testsupport::TempDir::read("mine.bin"), expected);
  EXPECT_FALSE(std::filesystem::exists("dump.txt"));
  EXPECT_EQ(nlohmann::json::parse(out.str())["bytes_written"], 8192);
}

// The handset reports the Intel flash of flash.txt (128 sectors of 128 KiB): its own sectors are
// erased, not those of the fixed map.
TEST_F(CliRun, EraseWithAFailedSectorFails) {
  scriptBoot();
  line.reply({0xC0, 0xC3, 0x00, 0xCA});
  // Sector 7 erased, sector 8 reports a failed clear.
  line.reply({0xC0, 0xC5, 0xF6, 0xC0, 0xC5, 0xF3});
  EXPECT_EQ(run({"--speed", "0", "erase", "--first", "7", "--last", "8"}), 8);
  // Sector 7: 128 KiB at 0x020E0000.
  const std::vector<std::uint8_t> sector7 = {0xE4, 0x01, 0x00, 0x02, 0x00,
                                             0x00, 0x02, 0x0E, 0x00, 0x00};
  EXPECT_NE(
      std::search(line.written().begin(), line.written().end(), sector7.begin(), sector7.end()),
      line.written().end());
  EXPECT_NE(err.str().find("sector 8 at 0x02100000: failed\n"), std::string::npos) << err.str();
  EXPECT_NE(err.str().find("COMMAND : Erase processing failed \n"
                           "port COM4 (/dev/ttyS3), sector 8 at 0x02100000: the handset answered "
                           "0xF3 where 0xF6 was expected (erase outcome)\n"),
            std::string::npos)
      << err.str();

  // The JSON lists the sectors that failed, so a script sees which.
  out.str("");
  line.clearRecord();
  scriptBoot();
  line.reply({0xC0, 0xC3, 0x00, 0xCA});
  line.reply({0xC0, 0xC5, 0xF6, 0xC0, 0xC5, 0xF3});
  EXPECT_EQ(run({"--speed", "0", "--json", "erase", "--first", "7", "--last", "8"}), 8);
  const nlohmann::json j = nlohmann::json::parse(out.str());
  const nlohmann::json failed = {
      {"number", 8},
      {"address", 0x02100000},
      {"message",
       "flash clear error: the handset answered 0xF3 where 0xF6 was expected (erase outcome)"}};
  EXPECT_EQ(j["failed_sectors"], nlohmann::json::array({failed}));
  EXPECT_EQ(j["sectors"], nlohmann::json::parse("[7]"));
}

}  // namespace

namespace {

// Every way the command line can end prints one JSON object with --json, and no text in any
// encoding can break it.
TEST_F(CliRun, EveryExitAnswersInJson) {
  std::filesystem::create_symlink("victim.txt", "link.trace");
  testsupport::TempDir::write("victim.txt", std::string("keep me"));
  std::filesystem::create_directory("logs");
  ASSERT_EQ(testsupport::makeFifo("jobs.fifo"), 0);
  struct Case {
    std::string name;
    std::vector<std::string> args;
    int exit;
    int family;
    std::string port = "COM4";
  };
  const Case cases[] = {
      {"speed out of range", {"--json", "--speed", "9", "info"}, 64, 64},
      {"product type out of range", {"--json", "--product-type", "3", "info"}, 64, 64},
      {"missing folder", {"--json", "-C", "nowhere", "info"}, 15, 15},
      {"trace through a link", {"--json", "--trace", "link.trace", "info"}, 15, 15},
      {"port name not UTF-8",
       {"--json", "--port", "/dev/tty\xff", "info"},
       6,
       6,
       "/dev/tty\xEF\xBF\xBD"},
      {"log is a folder", {"--json", "--log", "logs", "info"}, 15, 15},
      {"log is a FIFO", {"--json", "--log", "jobs.fifo", "info"}, 15, 15},
      {"log name too long", {"--json", "--log", std::string(300, 'n'), "info"}, 15, 15},
      {"log folder cannot be made",
       {"--json", "--log", "/proc/kelvane/jobs.jsonl", "info"},
       15,
       15},
      // The port as given, not the default, even where the command line is refused.
      {"usage error names the port",
       {"--port", "/dev/ttyUSB9", "--json", "dump", "--first", "0", "--last", "0", "--length", "0"},
       64,
       64,
       "/dev/ttyUSB9"},
      {"port given twice",
       {"--port=/dev/ttyUSB9", "--port", "/dev/ttyUSB9", "--json", "info"},
       64,
       64,
       "/dev/ttyUSB9"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    out.str("");
    err.str("");
    EXPECT_EQ(run(c.args), c.exit) << err.str();
    const nlohmann::json j = nlohmann::json::parse(out.str(), nullptr, false);
    ASSERT_TRUE(j.is_object()) << out.str();
    EXPECT_EQ(j["family"], c.family);
    EXPECT_EQ(j["port"], c.port);
    EXPECT_FALSE(j["message"].get<std::string>().empty());
  }
  EXPECT_EQ(testsupport::TempDir::read("victim.txt").size(), 7u) << "the link's target is kept";
}

// With JSON Lines, every way the command ends gives exactly one finished event, and it carries
// the result the exit status reports (a job the log could not record is no success).
TEST_F(CliRun, EveryPathEndsWithOneFinishedEvent) {
  std::filesystem::create_directory("bare");
  testsupport::TempDir::write("empty.bin", std::string());
  testsupport::TempDir::write("a.bin", std::string(100, 'a'));
  struct Case {
    std::string name;
    std::vector<std::string> args;
    std::function<void(CliRun&)> script;
    int exit;
  };
  const Case cases[] = {
      {"missing image", {"write", "--bin1", "missing.bin"}, {}, 5},
      {"folder without flash.txt", {"-C", "bare", "write", "--bin1", "../a.bin"}, {}, 2},
      {"empty image", {"write", "--bin1", "empty.bin"}, {}, 64},
      {"usage error", {"dump", "--first", "3"}, {}, 64},
      {"log that cannot be opened", {"--log", "bare", "info"}, {}, 15},
      {"silent handset", {"info"}, {}, 6},
      {"info",
       {"info"},
       [](CliRun& t) {
         t.scriptBoot();
         t.line.reply({0xC0});
       },
       0},
      {"log that cannot be written",
       {"--log", "/dev/full", "info"},
       [](CliRun& t) {
         t.scriptBoot();
         t.line.reply({0xC0});
       },
       15},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    line = platform::ScriptedRs232();
    out.str("");
    err.str("");
    if (c.script) c.script(*this);
    std::vector<std::string> args = {"--progress", "jsonl"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    EXPECT_EQ(run(args), c.exit) << err.str();
    std::istringstream lines(out.str());
    std::vector<nlohmann::json> finished;
    for (std::string text; std::getline(lines, text);) {
      const nlohmann::json j = nlohmann::json::parse(text, nullptr, false);
      ASSERT_TRUE(j.is_object()) << text;
      if (j["event"] == "finished") finished.push_back(j);
    }
    ASSERT_EQ(finished.size(), 1u) << out.str();
    EXPECT_EQ(finished[0]["result"]["success"], c.exit == 0);
    if (c.exit != 0) {
      EXPECT_FALSE(finished[0]["result"]["message"].get<std::string>().empty());
    }
  }
  // The JSON of a job the log could not record says so too.
  line = platform::ScriptedRs232();
  out.str("");
  scriptBoot();
  line.reply({0xC0});
  EXPECT_EQ(run({"--json", "--log", "/dev/full", "info"}), cli::kFamilyLocalFile);
  const nlohmann::json j = nlohmann::json::parse(out.str());
  EXPECT_EQ(j["family"], cli::kFamilyLocalFile);
  EXPECT_NE(j["message"].get<std::string>().find("cannot write the job log /dev/full"),
            std::string::npos);
}

// Standard output that takes nothing (a full disk, a pipe whose reader left): the job still runs
// to its end, then the command fails and says why.
TEST_F(CliRun, ResultThatCannotBeWrittenFailsTheCommand) {
  struct Refusing : std::streambuf {
    int overflow(int) override { return traits_type::eof(); }
  };
  for (const char* mode : {"--json", "--progress=jsonl"}) {
    SCOPED_TRACE(mode);
    line = platform::ScriptedRs232();
    err.str("");
    scriptBoot();
    line.reply({0xC0});
    Refusing refusing;
    std::ostream full(&refusing);
    EXPECT_EQ(run({mode, "info"}, &full), cli::kFamilyLocalFile);
    EXPECT_EQ(line.written().back(), 0xE8) << "switched off all the same";
    EXPECT_NE(err.str().find("kelvane: the result could not be written to standard output"),
              std::string::npos)
        << err.str();
  }
}

}  // namespace
