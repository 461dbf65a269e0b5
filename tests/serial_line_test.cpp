// The system's own serial port against the emulated handset on a real line: the boot at 38400
// baud with even parity, the speed change to each kind of rate (custom ones included), the switch
// off; a second program refused while the line is held; silence read as the time-out byte.
// On Linux the test starts handset-emulator on a pseudo-terminal itself. Under Wine the line is
// the COM port named by KELVANE_TEST_LINE, which a link in the Wine prefix maps to the
// pseudo-terminal of a handset-emulator started outside (scripts/wine-serial-test.sh).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "dwl/dwl10fla.h"
#include "dwl/dwl11command.h"
#include "dwl/dwl12pclib.h"
#include "dwl/dwl1boot.h"
#include "dwl/dwl_context.h"
#include "platform/native_rs232.h"
#include "support/bound_job.h"
#include "support/samples.h"
#include "support/temp_dir.h"
#ifndef _WIN32
#include "bench/bench_support.h"
#endif

namespace {

namespace fs = std::filesystem;
constexpr int kPort = 7;

class SerialLine : public ::testing::Test {
 protected:
  void SetUp() override {
    testsupport::copySamples();
    ASSERT_EQ(dwl::dwl10_100InitFlashDescription(testsupport::flashDescriptions()), dwl::kOk);
#ifdef _WIN32
    const char* com = std::getenv("KELVANE_TEST_LINE");
    if (!com || !*com) GTEST_SKIP() << "KELVANE_TEST_LINE names no COM port mapped to a handset";
    device = com;
#else
    emulator = std::make_unique<bench::Emulator>(
        KELVANE_BINARY_DIR "/emulator/handset-emulator",
        std::vector<std::string>{"--flash-description", "flash.txt"});
    device = emulator->device();
    ASSERT_FALSE(device.empty());
#endif
    job.state.serial = &port;
    job.state.port = kPort;
    job.state.device = device;
  }
  void TearDown() override {
    port.CloseCom(kPort);
  }

  testsupport::TempDir dir;
#ifndef _WIN32
  std::unique_ptr<bench::Emulator> emulator;
#endif
  std::string device;
  platform::NativeRs232 port;
  testsupport::BoundJob job;
};

// One session a speed row: 38400 stays; 460800 is a standard rate; 220338 and 302325 exist on
// no standard table.
class SerialLineRate : public SerialLine, public ::testing::WithParamInterface<int> {};

INSTANTIATE_TEST_SUITE_P(Rows, SerialLineRate, ::testing::Values(0, 3, 4, 8));

TEST_P(SerialLineRate, BootChangeSpeedAndSwitchOff) {
  dwl::SharedContext ctx;
  ctx.ComPort = kPort;
  ctx.Speed = GetParam();
  const dwl::DownloadResult boot = dwl::dwl1_0boot(&ctx);
  ASSERT_EQ(boot.Family, dwl::RESULT_SUCCESS) << port.LastOpenError(kPort);
  EXPECT_EQ(dwl::dwl11_8SetGPIO(ctx), dwl::kOk);
  EXPECT_EQ(dwl::dwl11_0SetSpeedAndPMU(ctx), dwl::kOk) << port.LastOpenError(kPort);
  EXPECT_EQ(dwl::dwl11_7SwitchOffCommand(kPort), dwl::kOk);
  dwl::dwl12_1UartStop(kPort);
}

TEST_F(SerialLine, ALineInUseIsRefusedAndSilenceReadsAsTheTimeOutByte) {
  dwl::SharedContext ctx;
  ctx.ComPort = kPort;
  ASSERT_EQ(dwl::dwl1_0boot(&ctx).Family, dwl::RESULT_SUCCESS) << port.LastOpenError(kPort);
  platform::NativeRs232 other;
  EXPECT_EQ(other.OpenComConfig(8, device, 38400, 2, 8, 1, 512, 512), platform::kErrPermission);
  EXPECT_NE(other.LastOpenError(8).find("the port is in use by another program"), std::string::npos)
      << other.LastOpenError(8);
  // The bootstrap waits for its next command without a word.
  ASSERT_EQ(dwl::dwl11_0SetSpeedAndPMU(ctx), dwl::kOk);
  port.SetComTime(kPort, 1);
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(port.ComRdByte(kPort), platform::kReadTimeout);
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(900));
  dwl::dwl12_1UartStop(kPort);
  EXPECT_EQ(other.OpenComConfig(8, device, 38400, 2, 8, 1, 512, 512), 0) << other.LastOpenError(8);
  other.CloseCom(8);
}

}  // namespace
