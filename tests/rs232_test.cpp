// The real serial port on a pseudo-terminal.
#include "platform/qt_rs232.h"

#include <asm/termbits.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>

#include "dwl/dwl12pclib.h"
#include "support/pty.h"

namespace {

using testsupport::Pty;

// The speed the device really runs at, read back from the driver.
long deviceSpeed(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return -1;
  struct termios2 t {};
  const int rc = ::ioctl(fd, TCGETS2, &t);
  ::close(fd);
  return rc == 0 ? static_cast<long>(t.c_ospeed) : -1;
}

class QtPort : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty.ok());
    ::setenv("KELVANE_COM7", pty.slavePath().c_str(), 1);
    platform::setRs232(&port);
  }
  void TearDown() override {
    port.CloseCom(7);
    platform::setRs232(nullptr);
    ::unsetenv("KELVANE_COM7");
  }
  Pty pty;
  platform::QtRs232 port;
};

TEST_F(QtPort, EveryRateOfTheSpeedTablesCanBeSet) {
  const long rates[] = {38400,  115200, 230400, 460800, 220338,
                        240740, 260000, 270833, 302325, 203125};
  for (long rate : rates) {
    SCOPED_TRACE(rate);
    ASSERT_EQ(dwl::dwl12_0UartInit(7, static_cast<int>(rate), 0, 1), 1);
    EXPECT_EQ(deviceSpeed(pty.slavePath()), rate);
  }
}

TEST_F(QtPort, ReopeningAnOpenPortAppliesTheNewRateAndKeepsTheLine) {
  ASSERT_EQ(dwl::dwl12_0UartInit(7, 38400, 2, 1), 1);
  ASSERT_EQ(dwl::dwl12_0UartInit(7, 270833, 0, 1), 1);
  EXPECT_EQ(deviceSpeed(pty.slavePath()), 270833);
  pty.write({0x5A});
  EXPECT_EQ(port.ComRdByte(7), 0x5A);
}

TEST_F(QtPort, BytesTravelBothWays) {
  ASSERT_EQ(dwl::dwl12_0UartInit(7, 115200, 0, 2), 1);
  const std::uint8_t out[] = {0xE0, 0x00, 0xFF, 0xF9, 0x01, 0xF8};
  EXPECT_EQ(port.ComWrt(7, out, 6), 6);
  port.ComWrtByte(7, 0xE9);
  EXPECT_TRUE(port.WaitOutputDrained(7, 1000));
  EXPECT_EQ(pty.read(1000), (std::vector<std::uint8_t>{0xE0, 0x00, 0xFF, 0xF9, 0x01, 0xF8, 0xE9}));

  pty.write({0xC0, 0xC7, 1, 2, 3});
  ASSERT_TRUE(port.WaitInput(7, 1000));
  EXPECT_EQ(port.ComRdByte(7), 0xC0);
  EXPECT_EQ(port.ComRdByte(7), 0xC7);
  std::uint8_t buf[8] = {};
  EXPECT_EQ(port.ComRd(7, buf, 3), 3);
  EXPECT_EQ(buf[2], 3);
}

TEST_F(QtPort, SilenceReadsAsMinus99AfterTheTimeOut) {
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

TEST_F(QtPort, AVanishedDeviceReadsAsSilenceAtOnce) {
  ASSERT_EQ(dwl::dwl12_0UartInit(7, 460800, 0, 5), 1);
  pty.write({0x11});
  EXPECT_EQ(port.ComRdByte(7), 0x11);
  pty.hangUp();
  const auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < 20; ++i) EXPECT_EQ(port.ComRdByte(7), platform::kReadTimeout);
  std::uint8_t buf[4];
  EXPECT_EQ(port.ComRd(7, buf, 4), 0);
  EXPECT_EQ(port.GetOutQLen(7), 0);
  EXPECT_LT(port.ComWrtByte(7, 0xE9), 0);
  // Twenty reads with a 5-second time-out: a port that missed the hang-up would take minutes.
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(4));
}

TEST_F(QtPort, PortsThatCannotBeOpened) {
  struct Case {
    int port;
    const char* device;
  } cases[] = {{0, nullptr}, {256, nullptr}, {-4, nullptr}, {9, "/dev/no-such-kelvane-tty"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.port);
    if (c.device) ::setenv(("KELVANE_COM" + std::to_string(c.port)).c_str(), c.device, 1);
    const dwl::ResultCode rc = dwl::dwl12_0UartInit(c.port, 38400, 2, 5);
    EXPECT_LT(rc, 0);
    EXPECT_NE(static_cast<std::uint32_t>(rc) & 0x80000000u, 0u);
    EXPECT_FALSE(port.lastOpenError(c.port).empty());
    // Nothing else works on it, and nothing crashes.
    EXPECT_EQ(port.ComRdByte(c.port), platform::kReadTimeout);
    EXPECT_EQ(port.GetOutQLen(c.port), 0);
  }
  ::unsetenv("KELVANE_COM9");
}

TEST(PortNames, ComNumbersMapToDevices) {
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

}  // namespace
