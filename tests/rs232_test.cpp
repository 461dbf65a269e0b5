// The real serial port on a pseudo-terminal: one contract, every backend.
#include <asm/termbits.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "dwl/dwl12pclib.h"
#include "platform/native_rs232.h"
#include "platform/port_map.h"
#include "platform/posix_rs232.h"
#include "support/bound_job.h"
#include "support/config_home.h"
#include "support/pty.h"
#include "support/temp_dir.h"

namespace {

using testsupport::Pty;

// The speed the line really runs at, read back from the driver (the master reports the
// terminal's settings).
long deviceSpeed(const Pty& pty) {
  struct termios2 t {};
  return ::ioctl(pty.master(), TCGETS2, &t) == 0 ? static_cast<long>(t.c_ospeed) : -1;
}

struct Backend {
  const char* name;
  std::function<std::unique_ptr<platform::Rs232>()> make;
};

const Backend kBackends[] = {
    {"Native", [] { return std::make_unique<platform::NativeRs232>(); }},
};

class Port : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty.ok());
    ::setenv("KELVANE_COM7", pty.slavePath().c_str(), 1);
    job.state.serial = &port;
  }
  void TearDown() override {
    port.CloseCom(7);
    ::unsetenv("KELVANE_COM7");
  }
  Pty pty;
  std::unique_ptr<platform::Rs232> owned = GetParam().make();
  platform::Rs232& port = *owned;
  testsupport::BoundJob job;
};

INSTANTIATE_TEST_SUITE_P(Backends, Port, ::testing::ValuesIn(kBackends),
                         [](const auto& row) { return std::string(row.param.name); });

TEST_P(Port, EveryRateOfTheSpeedTablesCanBeSet) {
  const long rates[] = {38400,  115200, 230400, 460800, 220338,
                        240740, 260000, 270833, 302325, 203125};
  for (long rate : rates) {
    SCOPED_TRACE(rate);
    ASSERT_EQ(dwl::dwl12_0UartInit(7, static_cast<int>(rate), 0, 1), 1);
    EXPECT_EQ(deviceSpeed(pty), rate);
  }
}

TEST_P(Port, ReopeningAnOpenPortAppliesTheNewRateAndKeepsTheLine) {
  ASSERT_EQ(dwl::dwl12_0UartInit(7, 38400, 2, 1), 1);
  ASSERT_EQ(dwl::dwl12_0UartInit(7, 220338, 0, 1), 1);
  EXPECT_EQ(deviceSpeed(pty), 220338);
  pty.write({0x5A});
  EXPECT_EQ(port.ComRdByte(7), 0x5A);
}

TEST_P(Port, BytesTravelBothWays) {
  ASSERT_EQ(dwl::dwl12_0UartInit(7, 115200, 0, 2), 1);
  const std::uint8_t out[] = {0xE0, 0x00, 0xFF, 0xF9, 0x01, 0xF8};
  EXPECT_EQ(port.ComWrt(7, out, 6), 6);
  port.ComWrtByte(7, 0xE9);
  EXPECT_TRUE(port.WaitOutputDrained(7, 1000));
  EXPECT_EQ(port.GetOutQLen(7), 0);
  EXPECT_EQ(pty.read(1000), (std::vector<std::uint8_t>{0xE0, 0x00, 0xFF, 0xF9, 0x01, 0xF8, 0xE9}));

  pty.write({0xC0, 0xC7, 1, 2, 3});
  ASSERT_TRUE(port.WaitInput(7, 1000));
  EXPECT_EQ(port.ComRdByte(7), 0xC0);
  EXPECT_EQ(port.GetInQLen(7), 4);
  EXPECT_EQ(port.ComRdByte(7), 0xC7);
  std::uint8_t buf[8] = {};
  EXPECT_EQ(port.ComRd(7, buf, 3), 3);
  EXPECT_EQ(buf[2], 3);
  EXPECT_EQ(port.GetInQLen(7), 0);
}

// A block larger than the driver's queue goes out whole, while the far end reads it.
TEST_P(Port, ALargeBlockIsSentWhole) {
  ASSERT_EQ(dwl::dwl12_0UartInit(7, 460800, 0, 5), 1);
  std::vector<std::uint8_t> block(65536);
  for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<std::uint8_t>(i * 7);
  std::vector<std::uint8_t> got;
  std::thread reader([&] { got = pty.read(5000, block.size()); });
  EXPECT_EQ(port.ComWrt(7, block.data(), static_cast<int>(block.size())), 65536);
  EXPECT_TRUE(port.WaitOutputDrained(7, 5000));
  reader.join();
  EXPECT_EQ(got, block);
}

TEST_P(Port, FlushedInputIsGone) {
  ASSERT_EQ(dwl::dwl12_0UartInit(7, 38400, 2, 1), 1);
  pty.write({1, 2, 3});
  ASSERT_TRUE(port.WaitInput(7, 1000));
  EXPECT_EQ(port.FlushInQ(7), 0);
  EXPECT_EQ(port.GetInQLen(7), 0);
  pty.write({4});
  EXPECT_EQ(port.ComRdByte(7), 4);
}

TEST_P(Port, SilenceReadsAsMinus99AfterTheTimeOut) {
  ASSERT_EQ(dwl::dwl12_0UartInit(7, 38400, 2, 1), 1);
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(port.ComRdByte(7), platform::kReadTimeout);
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
          .count();
  EXPECT_GE(ms, 900);
  EXPECT_LT(ms, 3000);
  // A short block read stops at the time-out too, with what it had.
  pty.write({0x0A, 0x00});
  std::uint8_t buf[4] = {};
  EXPECT_EQ(port.ComRd(7, buf, 4), 2);
}

TEST_P(Port, AVanishedDeviceReadsAsSilenceAtOnce) {
  ASSERT_EQ(dwl::dwl12_0UartInit(7, 460800, 0, 5), 1);
  pty.write({0x11});
  EXPECT_EQ(port.ComRdByte(7), 0x11);
  pty.hangUp();
  const auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < 20; ++i) EXPECT_EQ(port.ComRdByte(7), platform::kReadTimeout);
  EXPECT_TRUE(port.Vanished(7));
  std::uint8_t buf[4];
  EXPECT_EQ(port.ComRd(7, buf, 4), 0);
  EXPECT_EQ(port.GetOutQLen(7), 0);
  EXPECT_TRUE(port.WaitOutputDrained(7, 1000));
  EXPECT_LT(port.ComWrtByte(7, 0xE9), 0);
  // Twenty reads with a 5-second time-out: a port that missed the hang-up would take minutes.
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(4));
}

// The DTR line: a pseudo-terminal has none, and the bytes flow as before.
TEST_P(Port, DtrOnALineWithoutModemLinesChangesNothing) {
  ASSERT_EQ(dwl::dwl12_0UartInit(7, 38400, 2, 1), 1);
  port.ComSetEscape(7, 5);
  port.ComSetEscape(7, 6);
  port.ComWrtByte(7, 0x44);
  EXPECT_EQ(pty.read(1000), std::vector<std::uint8_t>{0x44});
}

TEST_P(Port, PortsThatCannotBeOpened) {
  struct Case {
    int port;
    const char* device;
    const char* why;
  } cases[] = {{0, nullptr, "outside 1..255"},
               {256, nullptr, "outside 1..255"},
               {-4, nullptr, "outside 1..255"},
               {9, "/dev/no-such-kelvane-tty", "is the cable plugged in?"},
               {10, "/dev/null", "/dev/null: "}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.port);
    if (c.device) ::setenv(("KELVANE_COM" + std::to_string(c.port)).c_str(), c.device, 1);
    const dwl::ResultCode rc = dwl::dwl12_0UartInit(c.port, 38400, 2, 5);
    EXPECT_LT(rc, 0);
    EXPECT_NE(static_cast<std::uint32_t>(rc) & 0x80000000u, 0u);
    EXPECT_NE(port.LastOpenError(c.port).find(c.why), std::string::npos)
        << port.LastOpenError(c.port);
    // Nothing else works on it, and nothing crashes.
    EXPECT_EQ(port.ComRdByte(c.port), platform::kReadTimeout);
    EXPECT_EQ(port.GetOutQLen(c.port), 0);
    if (c.device) ::unsetenv(("KELVANE_COM" + std::to_string(c.port)).c_str());
  }
}

// A second program that asks for a line in use is told so, even as root; once the line is
// closed, it gets it.
TEST(PosixPort, ALineInUseIsRefusedUntilItIsClosed) {
  Pty pty;
  ASSERT_TRUE(pty.ok());
  platform::PosixRs232 first, second;
  const std::string device = pty.slavePath();
  ASSERT_EQ(first.OpenComConfig(7, device, 38400, 2, 8, 1, 512, 512), 0);
  EXPECT_EQ(second.OpenComConfig(8, device, 38400, 2, 8, 1, 512, 512), platform::kErrPermission);
  EXPECT_EQ(second.LastOpenError(8), device + ": the port is in use by another program");
  first.CloseCom(7);
  EXPECT_EQ(second.OpenComConfig(8, device, 38400, 2, 8, 1, 512, 512), 0)
      << second.LastOpenError(8);
  EXPECT_EQ(first.OpenComConfig(7, device, 38400, 2, 8, 1, 512, 512), platform::kErrPermission);
  second.CloseCom(8);
}

TEST(PortNames, ComNumbersMapToDevices) {
  testsupport::TempDir dir;
  testsupport::ScopedConfigHome home(dir.path());  // none saved, whatever the user has
  ::unsetenv("KELVANE_COM4");
  EXPECT_EQ(platform::comName(4), "COM4");
  EXPECT_EQ(platform::deviceForPort(4), "/dev/ttyS3");
  EXPECT_EQ(platform::deviceForPort(1), "/dev/ttyS0");
  EXPECT_EQ(platform::deviceForPort(0), "");
  EXPECT_EQ(platform::deviceForPort(256), "");
  ::setenv("KELVANE_COM4", "/dev/ttyUSB0", 1);
  EXPECT_EQ(platform::deviceForPort(4), "/dev/ttyUSB0");
  EXPECT_EQ(platform::deviceForName("COM4"), "/dev/ttyUSB0");
  EXPECT_EQ(platform::deviceForName("/dev/pts/3"), "/dev/pts/3");
  EXPECT_EQ(platform::deviceForName("COM4x"), "");
  ::unsetenv("KELVANE_COM4");
}

// The devices the user chose for COM numbers, kept in one file every program reads; the
// environment variable still decides while it is set.
TEST(PortNames, SavedChoicesAreUsedByEveryOpenAndTheEnvironmentWins) {
  testsupport::TempDir dir;
  testsupport::ScopedConfigHome home(dir.path() / "cfg");
  const auto file = platform::portMapPath();
  ASSERT_EQ(file, dir.path() / "cfg" / "kelvane" / "ports.txt");
  ::unsetenv("KELVANE_COM4");
  ::unsetenv("KELVANE_COM12");
  struct Step {
    int port;
    const char* device;  // saved; "" forgets
    const char* env;     // KELVANE_COM<port> during the check, or null
    const char* opened;  // what the port opens then
    platform::PortSource source;
  } steps[] = {
      {4, "/dev/ttyUSB0", nullptr, "/dev/ttyUSB0", platform::PortSource::Saved},
      {12, "/dev/pts/7", nullptr, "/dev/pts/7", platform::PortSource::Saved},
      {4, "/dev/ttyACM1", "/dev/from-env", "/dev/from-env", platform::PortSource::Environment},
      {4, "", nullptr, "/dev/ttyS3", platform::PortSource::Default},
  };
  for (const Step& st : steps) {
    SCOPED_TRACE(std::to_string(st.port) + " " + st.device);
    std::string why;
    ASSERT_TRUE(platform::savePortDevice(st.port, st.device, &why)) << why;
    const std::string var = "KELVANE_COM" + std::to_string(st.port);
    if (st.env) ::setenv(var.c_str(), st.env, 1);
    EXPECT_EQ(platform::deviceForPort(st.port), st.opened);
    EXPECT_EQ(platform::deviceForName("COM" + std::to_string(st.port)), st.opened);
    EXPECT_EQ(platform::portSource(st.port), st.source);
    ::unsetenv(var.c_str());
  }
  // COM12 was kept through the later changes of COM4; the file reads back as written.
  EXPECT_EQ(platform::savedPortMap(), (std::map<int, std::string>{{12, "/dev/pts/7"}}));
  std::ofstream(file, std::ios::app) << "garbage\nCOM999=/dev/x\nCOM5=\n";
  EXPECT_EQ(platform::savedPortMap().size(), 1u) << "lines that are no choice are skipped";
  std::string why;
  EXPECT_FALSE(platform::savePortDevice(0, "/dev/x", &why));
  EXPECT_FALSE(why.empty());
}

}  // namespace
