#include "dwl/dwl11command.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "dwl/dwl10fla.h"
#include "dwl/dwl12pclib.h"
#include "dwl/dwl1boot.h"
#include "emulator/handset_core.h"
#include "emulator/nor_flash.h"
#include "emulator/pty_server.h"
#include "platform/native_rs232.h"
#include "platform/scripted_rs232.h"
#include "support/bound_job.h"
#include "support/observed_rs232.h"
#include "support/temp_dir.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using platform::hexBytes;
using Events = std::vector<std::string>;

constexpr int S = 0x100;  // a silent read in a script

class Command : public ::testing::Test {
 protected:
  void SetUp() override { job.state.serial = &port; }
  void script(std::initializer_list<int> items) {
    for (int i : items) {
      if (i == S) {
        port.silence();
      } else {
        port.reply({i});
      }
    }
  }
  std::string sent() const { return hexBytes(port.written()); }

  platform::ScriptedRs232 port;
  testsupport::BoundJob job;
};

TEST_F(Command, GpioOnlyForFastSpeeds) {
  struct Case {
    int speed;
    std::initializer_list<int> replies;
    dwl::ResultCode rc;
    const char* sent;
    std::size_t left;  // replies not consumed
  } cases[] = {
      {0, {0xC0, 0xC9}, 1, "", 2},   {2, {0xC0, 0xC9}, 1, "", 2},    {3, {0xC0, 0xC9}, 1, "EB", 0},
      {8, {0xC0, 0xC9}, 1, "EB", 0}, {3, {0xC0, 0xC8}, 21, "EB", 0}, {3, {0xC1, 0xC9}, 2, "EB", 1},
      {3, {S}, 2, "EB", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.speed);
    platform::ScriptedRs232 p;
    job.state.serial = &p;
    for (int i : c.replies) i == S ? (void)p.silence() : (void)p.reply({i});
    dwl::SharedContext ctx;
    ctx.Speed = c.speed;
    EXPECT_EQ(dwl::dwl11_8SetGPIO(ctx), c.rc);
    EXPECT_EQ(hexBytes(p.written()), c.sent);
    EXPECT_EQ(p.pending(), c.left);
  }
}

TEST_F(Command, EverySpeedRowOfBothPrograms) {
  struct Case {
    int speed;
    bool dumper;
    const char* frame;
    long baud;
  } cases[] = {
      {0, false, "00 FF EB 01 EA", 38400},  {1, false, "00 FF F9 01 F8", 115200},
      {2, false, "80 FF FD 02 7C", 230400}, {3, false, "C0 FF FF 02 BE", 460800},
      {4, false, "B0 FF FD 02 AC", 220338}, {5, false, "60 FF FD 02 5C", 240740},
      {6, false, "20 FF FD 02 1C", 260000}, {7, false, "00 FF FD 01 FC", 270833},
      {8, false, "B0 FF FE 02 AD", 302325}, {0, true, "00 FF EB 01 EA", 38400},
      {1, true, "00 FF F9 01 F8", 115200},  {2, true, "80 FF FD 02 7C", 230400},
      {3, true, "00 FF FC 01 FB", 203125},  {4, true, "B0 FF FD 02 AC", 220338},
      {5, true, "60 FF FD 02 5C", 240740},  {6, true, "20 FF FD 02 1C", 260000},
      {7, true, "00 FF FD 01 FC", 270833},  {8, true, "B0 FF FE 02 AD", 302325},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.speed) + (c.dumper ? " dumper" : " downloader"));
    platform::ScriptedRs232 p;
    job.state.serial = &p;
    p.reply({0xC0, 0xC3, 0x00, 0xCA});
    dwl::SharedContext ctx;
    ctx.Speed = c.speed;
    ctx.Profile = c.dumper ? &dwl::kDumperProfile : nullptr;
    EXPECT_EQ(dwl::dwl11_0SetSpeedAndPMU(ctx), 1);
    EXPECT_EQ(p.events(),
              (Events{"tx E0 " + std::string(c.frame), "open COM4 " + std::to_string(c.baud) + " 0",
                      "dtr 0", "time 10", "tx E9"}));
    EXPECT_EQ(p.baud(), c.baud);
    EXPECT_EQ(p.parity(), 0);
  }
}

TEST_F(Command, ChangeSpeedFailures) {
  struct Case {
    const char* name;
    std::initializer_list<int> replies;
    dwl::ResultCode rc;
    const char* sent;
    bool reopened;
  } cases[] = {
      {"refused", {0xC1}, 2, "E0", false},
      {"silent", {S}, 2, "E0", false},
      {"no C3", {0xC0, 0xC4}, 7, "E0 00 FF F9 01 F8", false},
      {"bad sum verdict", {0xC0, 0xC3, 0x01}, 8, "E0 00 FF F9 01 F8", false},
      {"speed check third time lucky",
       {0xC0, 0xC3, 0x00, 0x11, S, 0xCA},
       1,
       "E0 00 FF F9 01 F8 E9 E9 E9",
       true},
      {"speed check never answered",
       {0xC0, 0xC3, 0x00, S, S, 0x00, S, 0xCA},
       9,
       "E0 00 FF F9 01 F8 E9 E9 E9 E9",
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    platform::ScriptedRs232 p;
    job.state.serial = &p;
    for (int i : c.replies) i == S ? (void)p.silence() : (void)p.reply({i});
    EXPECT_EQ(dwl::dwl11_50ChangeSpeed(10, 4, 1), c.rc);
    EXPECT_EQ(hexBytes(p.written()), c.sent);
    EXPECT_EQ(p.isOpen(), c.reopened);
    if (c.reopened) {
      EXPECT_EQ(p.baud(), 115200);
    }
  }
}

TEST_F(Command, SpeedWithoutATableRowSendsNothing) {
  for (int speed : {-1, 9, 100}) {
    EXPECT_EQ(dwl::dwl11_50ChangeSpeed(10, 4, speed), 9) << speed;
    EXPECT_TRUE(port.written().empty());
  }
}

TEST_F(Command, SpeedChangeRetries) {
  dwl::SharedContext ctx;
  ctx.Speed = 1;
  // Four attempts, each re-opening and checking four times: sixteen checks, then 9.
  for (int attempt = 0; attempt < 4; ++attempt) script({0xC0, 0xC3, 0x00, S, S, S, S});
  EXPECT_EQ(dwl::dwl11_0SetSpeedAndPMU(ctx), 9);
  std::string one = "E0 00 FF F9 01 F8 E9 E9 E9 E9";
  EXPECT_EQ(sent(), one + " " + one + " " + one + " " + one);
  int opens = 0;
  for (const std::string& e : port.events()) opens += e.rfind("open ", 0) == 0;
  EXPECT_EQ(opens, 4);
  EXPECT_EQ(port.pending(), 0u);
}

TEST_F(Command, SpeedChangeReturnsTheLastFailure) {
  struct Case {
    std::initializer_list<int> replies;
    dwl::ResultCode rc;
    int e0;  // speed change commands sent
  } cases[] = {
      {{0xC1, 0xC0, 0xC4, 0xC0, 0xC3, 0x01, 0xC1}, 2, 4},
      {{0xC1, 0xC1, 0xC1, 0xC0, 0xC3, 0x01}, 8, 4},
      {{0xC0, 0xC3, 0x01, 0xC0, 0xC3, 0x00, 0xCA}, 1, 2},
  };
  for (const Case& c : cases) {
    platform::ScriptedRs232 p;
    job.state.serial = &p;
    for (int i : c.replies) p.reply({i});
    dwl::SharedContext ctx;
    ctx.Speed = 1;
    EXPECT_EQ(dwl::dwl11_0SetSpeedAndPMU(ctx), c.rc);
    int e0 = 0;
    for (std::uint8_t b : p.written()) e0 += b == 0xE0;
    EXPECT_EQ(e0, c.e0);
    EXPECT_EQ(p.pending(), 0u);
    // A retry after a failed parameter exchange starts at the old settings: no re-opening
    // happens before the last, successful attempt.
    if (c.rc == 1) {
      EXPECT_EQ(p.events(), (Events{"tx E0 00 FF F9 01 F8 E0 00 FF F9 01 F8", "open COM4 115200 0",
                                    "dtr 0", "time 10", "tx E9"}));
    }
  }
}

TEST_F(Command, PowerManagement) {
  struct Case {
    const char* name;
    int pmu;
    std::initializer_list<int> pmuReplies;
    dwl::ResultCode rc;
    const char* pmuSent;
  } cases[] = {
      {"off", 0, {0xC0, 0xCF, 0x00}, 1, ""},
      {"accepted", 1, {0xC0, 0xCF, 0x5A}, 1, " EF"},
      {"second attempt", 1, {0xC1, 0xC0, 0xCF, 0x5A}, 1, " EF EF"},
      {"three refusals", 1, {0xC1, 0xC1, 0xC0, 0xCE}, 10, " EF EF EF"},
      {"silent", 1, {S, S, S}, 2, " EF EF EF"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    platform::ScriptedRs232 p;
    job.state.serial = &p;
    p.reply({0xC0, 0xC3, 0x00, 0xCA});
    for (int i : c.pmuReplies) i == S ? (void)p.silence() : (void)p.reply({i});
    dwl::SharedContext ctx;
    ctx.Speed = 2;
    ctx.PmuOption = c.pmu;
    EXPECT_EQ(dwl::dwl11_0SetSpeedAndPMU(ctx), c.rc);
    EXPECT_EQ(hexBytes(p.written()), std::string("E0 80 FF FD 02 7C E9") + c.pmuSent);
    if (c.pmu) {
      EXPECT_EQ(p.pending(), 0u);
    }
  }
}

TEST_F(Command, NoPowerManagementAfterAFailedSpeedChange) {
  script({0xC1, 0xC1, 0xC1, 0xC1, 0xC0, 0xCF, 0x00});
  dwl::SharedContext ctx;
  ctx.PmuOption = 1;
  EXPECT_EQ(dwl::dwl11_0SetSpeedAndPMU(ctx), 2);
  EXPECT_EQ(sent(), "E0 E0 E0 E0");
}

TEST_F(Command, ReopensOnlyOnceTheOutputHasLeft) {
  testsupport::ObservedRs232 observed(port);
  job.state.serial = &observed;
  observed.queuedOutputPolls = 3;
  script({0xC0, 0xC3, 0x00, 0xCA});
  EXPECT_EQ(dwl::dwl11_50ChangeSpeed(10, 4, 1), 1);
  EXPECT_EQ(observed.calls, (Events{"wrt 5", "outq", "drain 100", "outq", "drain 100", "outq",
                                    "drain 100", "outq"}));
  EXPECT_EQ(port.events()[1], "open COM4 115200 0");
}

TEST_F(Command, AQueueThatNeverDrainsIsGivenUpAfterTheTimeOut) {
  testsupport::ObservedRs232 observed(port);
  job.state.serial = &observed;
  observed.queuedOutputPolls = -1;
  std::time_t t = 0;
  job.state.clock = [&t] { return t++; };
  script({0xC0, 0xC3, 0x00, 0xCA});
  EXPECT_EQ(dwl::dwl11_50ChangeSpeed(10, 4, 1), 1);
  EXPECT_EQ(std::count(observed.calls.begin(), observed.calls.end(), "outq"), 11);
  EXPECT_EQ(port.baud(), 115200);
}

TEST_F(Command, SectorWriteHeader) {
  struct Case {
    std::uint32_t address, size, length;
    const char* sent;
  } cases[] = {
      {0x02010000, 0x10000, 0x8000, "EA 00 01 00 00 02 01 00 00 00 00 80 00"},
      {0x02000000, 0x2000, 1, "EA 00 00 20 00 02 00 00 00 00 00 00 01"},
      {0x12345678, 0x9ABCDEF0, 0x0F1E2D3C, "EA 9A BC DE F0 12 34 56 78 0F 1E 2D 3C"},
  };
  for (const Case& c : cases) {
    port.clearRecord();
    EXPECT_EQ(dwl::dwl11_3DownloadSectorCommand(c.address, c.size, c.length, 4), 1);
    EXPECT_EQ(sent(), c.sent);
    EXPECT_EQ(port.reads(), 0);
  }
}

TEST_F(Command, Erase) {
  struct Case {
    const char* name;
    std::uint8_t code;
    int reply;
    dwl::ResultCode rc;
    const char* sent;
  } cases[] = {
      {"whole flash", 0xE2, 0xC0, 1, "E2"},
      {"whole flash refused", 0xE2, 0xC1, 11, "E2"},
      {"block", 0xE3, 0xC0, 1, "E3 02 7F 00 00"},
      {"block refused", 0xE3, 0xC1, 11, "E3"},
      {"block, wrong reply", 0xE3, 0xC7, 11, "E3 02 7F 00 00"},
      {"sector", 0xE4, 0xC0, 1, "E4 01 00 01 00 00 02 7F 00 00"},
      {"sector refused", 0xE4, 0xC1, 11, "E4"},
      {"sector, time-out", 0xE4, S, 11, "E4 01 00 01 00 00 02 7F 00 00"},
      {"unknown erase code", 0xE5, 0xC0, 11, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    platform::ScriptedRs232 p;
    job.state.serial = &p;
    c.reply == S ? (void)p.silence() : (void)p.reply({c.reply});
    EXPECT_EQ(dwl::dwl11_4EraseFlash(c.code, 0x027F0000, 0x10000, 1, 4), c.rc);
    EXPECT_EQ(hexBytes(p.written()), c.sent);
  }
}

TEST_F(Command, EraseOutcome) {
  struct Case {
    int productType;
    std::initializer_list<int> replies;
    dwl::ResultCode rc;
    std::size_t consumed;
  } cases[] = {
      {2, {0xC5, 0xF6}, 1, 2},  {2, {0xC5, 0xF3}, 13, 2}, {2, {0xC5, 0xF4}, 14, 2},
      {2, {0xC5, 0xF5}, 15, 2}, {2, {0xC5, 0xF7}, 16, 2}, {2, {0xC5, S}, 16, 2},
      {2, {0xC4, 0xF6}, 12, 1}, {1, {0xF6, 0xF6}, 12, 1}, {0, {0xF6, 0xC5}, 1, 1},
      {0, {0xC5, 0xF6}, 16, 1},
  };
  for (const Case& c : cases) {
    platform::ScriptedRs232 p;
    job.state.serial = &p;
    for (int i : c.replies) i == S ? (void)p.silence() : (void)p.reply({i});
    dwl::SharedContext ctx;
    ctx.ProductType = c.productType;
    EXPECT_EQ(dwl::dwl11_5FlashEraseResult(ctx), c.rc);
    EXPECT_EQ(c.replies.size() - p.pending(), c.consumed);
    EXPECT_TRUE(p.written().empty());
  }
}

TEST_F(Command, ReadMemory) {
  struct Case {
    const char* name;
    std::vector<int> replies;
    std::uint32_t length;
    dwl::ResultCode rc;
    const char* sent;
  } cases[] = {
      {"four bytes", {0xC0, 0xC7, 1, 2, 3, 4, 0x0A, 0, 0, 0}, 4, 1, "E6 00 00 00 04 02 7B 00 00"},
      {"bad sum", {0xC0, 0xC7, 1, 2, 3, 4, 0x0B, 0, 0, 0}, 4, 19, "E6 00 00 00 04 02 7B 00 00"},
      {"sum bytes out of order",
       {0xC0, 0xC7, 1, 2, 3, 4, 0, 0, 0, 0x0A},
       4,
       19,
       "E6 00 00 00 04 02 7B 00 00"},
      {"data bytes equal to the time-out byte",
       {0xC0, 0xC7, 0x9D, 0x9D, 0x3A, 0x01, 0, 0},
       2,
       1,
       "E6 00 00 00 02 02 7B 00 00"},
      {"refused", {0xC1, 0xC7}, 4, 17, "E6"},
      {"silent", {S}, 4, 17, "E6"},
      {"no C7", {0xC0, 0xC8}, 4, 18, "E6 00 00 00 04 02 7B 00 00"},
      {"short checksum",
       {0xC0, 0xC7, 1, 2, 3, 4, 0x0A, 0, 0, S},
       4,
       19,
       "E6 00 00 00 04 02 7B 00 00"},
      {"empty read", {0xC0, 0xC7, 0, 0, 0, 0}, 0, 1, "E6 00 00 00 00 02 7B 00 00"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    platform::ScriptedRs232 p;
    job.state.serial = &p;
    for (int i : c.replies) i == S ? (void)p.silence() : (void)p.reply({i});
    Bytes buffer(c.length + 1, 0xEE);
    EXPECT_EQ(dwl::dwl11_6ReadCommand(0x027B0000, c.length, buffer.data(), 4), c.rc);
    EXPECT_EQ(hexBytes(p.written()), c.sent);
    EXPECT_EQ(buffer[c.length], 0xEE);  // nothing beyond the length
    if (c.rc == 1) {
      for (std::uint32_t i = 0; i < c.length; ++i) EXPECT_EQ(buffer[i], c.replies[2 + i]);
    }
  }
}

TEST_F(Command, ReadOfAFullBlockWithAMultiByteSum) {
  Bytes data(8192);
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < data.size(); ++i) sum += data[i] = static_cast<std::uint8_t>(~i);
  ASSERT_GT(sum, 0xFFFFu);
  port.reply({0xC0, 0xC7}).reply(data);
  port.reply({static_cast<int>(sum & 0xFF), static_cast<int>((sum >> 8) & 0xFF),
              static_cast<int>((sum >> 16) & 0xFF), static_cast<int>(sum >> 24)});
  Bytes buffer(8192);
  EXPECT_EQ(dwl::dwl11_6ReadCommand(0x02000000, 8192, buffer.data(), 4), 1);
  EXPECT_EQ(buffer, data);
  EXPECT_EQ(sent(), "E6 00 00 20 00 02 00 00 00");
}

TEST_F(Command, ReadStopsAtTheFirstSilence) {
  port.reply({0xC0, 0xC7}).reply(Bytes(100, 0x42)).silence(10000);
  Bytes buffer(8192, 0);
  EXPECT_EQ(dwl::dwl11_6ReadCommand(0x02000000, 8192, buffer.data(), 4), 19);
  // A handset that fell silent costs at most two time-outs, not one per missing byte.
  EXPECT_GE(port.pending(), 9998u);
}

TEST_F(Command, SwitchOff) {
  struct Case {
    int reply;
    dwl::ResultCode rc;
  } cases[] = {{0xC0, 1}, {0xC1, 20}, {S, 20}};
  for (const Case& c : cases) {
    platform::ScriptedRs232 p;
    job.state.serial = &p;
    c.reply == S ? (void)p.silence() : (void)p.reply({c.reply});
    EXPECT_EQ(dwl::dwl11_7SwitchOffCommand(4), c.rc);
    EXPECT_EQ(hexBytes(p.written()), "E8");
    EXPECT_EQ(p.pending(), 0u);
  }
}

// The library on the real serial port code, against the emulated handset on a pseudo-terminal:
// boot, GPIO, speed change with PMU, a read of flash, switch-off.
TEST(CommandsOnAPseudoTerminal, BootSpeedReadAndSwitchOff) {
  std::ifstream in(KELVANE_SOURCE_DIR "/samples/flash.txt", std::ios::binary);
  const Bytes text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  dwl::FlashDescriptionTable table;
  ASSERT_EQ(dwl::parseFlashDescription(text.data(), static_cast<std::uint32_t>(text.size()), table),
            1);
  ASSERT_GE(table.NbFlash, 2);
  emulator::NorFlash flash(table.Flash[1]);
  Bytes block(8192);
  for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<std::uint8_t>(i * 13 + 5);
  flash.program(0x10000, block.data(), block.size());
  emulator::HandsetCore core(flash, {});
  emulator::PtyServer server(core);
  std::string error;
  ASSERT_TRUE(server.open(&error)) << error;
  std::thread serving([&server] { server.serve(); });

  testsupport::TempDir dir;
  testsupport::TempDir::write("dwl87.spm", Bytes(700, 0x5A));
  ::setenv("KELVANE_COM7", server.slavePath().c_str(), 1);
  platform::NativeRs232 real;
  testsupport::LineJob job(&real);
  dwl::SharedContext ctx;
  ctx.ComPort = 7;
  ctx.Speed = 3;
  ctx.PmuOption = 1;
  for (auto& w : ctx.WaitState) w = 2;

  EXPECT_EQ(dwl::dwl1_0boot(&ctx), (dwl::DownloadResult{0, 0}));
  EXPECT_EQ(ctx.FlashManufacturer, flash.manufacturerId());
  EXPECT_EQ(ctx.FlashDevice, flash.deviceId());
  EXPECT_EQ(dwl::dwl11_8SetGPIO(ctx), 1);
  EXPECT_EQ(dwl::dwl11_0SetSpeedAndPMU(ctx), 1);
  Bytes got(8192);
  EXPECT_EQ(dwl::dwl11_6ReadCommand(dwl::FlashBase + 0x10000, 8192, got.data(), 7), 1);
  EXPECT_EQ(got, block);
  EXPECT_EQ(dwl::dwl11_7SwitchOffCommand(7), 1);
  dwl::dwl12_1UartStop(7);

  ::unsetenv("KELVANE_COM7");
  server.stop();
  serving.join();
  EXPECT_TRUE(core.violations().empty()) << core.violations().front();
}

}  // namespace
