#include "dwl/dwl1boot.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dwl/dwl11command.h"
#include "platform/scripted_rs232.h"
#include "support/bound_job.h"
#include "support/temp_dir.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using platform::hexBytes;
using testsupport::TempDir;

Bytes spmImage(std::size_t n) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i * 7 + 3);
  return b;
}

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// What a successful handset sends after the wake-up: acknowledge, start report, two bytes,
// then the identification of an Intel flash.
const Bytes kAfterUpload = {0x44, 0xA0, 0x12, 0x34, 0xC2, 0x89, 0x18};

// Every byte the PC sends in a boot with wait states 2 and the 1000-byte bootstrap.
Bytes bootBytes(int productType) {
  const Bytes records = productType == 1
                            ? Bytes{0xC6, 0x82, 0xCE, 0x02, 0xD7, 0x02, 0xD7, 0x82}
                            : Bytes{0xC7, 0x02, 0xD6, 0x02, 0xCF, 0x82, 0xCF, 0xC2, 0x00,
                                    0x03, 0xFF, 0xFF, 0x80, 0x03, 0x40, 0x00, 0x70};
  return Bytes{0x44} + records + Bytes{0x00, 0x03, 0, 0, 0, 0, 0x43, 0xE7} + spmImage(1000) +
         Bytes{0x00, 0x03, 0, 0, 0, 0, 0x60, 0x00};
}

class Boot : public ::testing::Test {
 protected:
  void SetUp() override {
    job.state.serial = &port;
    TempDir::write("dwl87.spm", spmImage(1000));
    ctx.ComPort = 4;
    ctx.ProductType = 2;
    for (auto& w : ctx.WaitState) w = 2;
  }

  TempDir dir;
  platform::ScriptedRs232 port;
  testsupport::BoundJob job;
  dwl::SharedContext ctx;
};

TEST_F(Boot, CompleteSequenceForBothProductTypes) {
  for (int productType : {1, 2}) {
    SCOPED_TRACE(productType);
    port.clearRecord();
    port.reply({0xBE}).reply(kAfterUpload);
    ctx.ProductType = productType;
    ctx.CpuType = ctx.FlashManufacturer = ctx.FlashDevice = 0;

    EXPECT_EQ(dwl::dwl1_0boot(&ctx), (dwl::DownloadResult{0, 0}));
    EXPECT_EQ(hexBytes(port.written()), hexBytes(bootBytes(productType)));
    const std::vector<std::string> head = {
        "open COM4 38400 2", "dtr 0", "time 5", "dtr 1", "tx 44", "dtr 0"};
    ASSERT_GE(port.events().size(), head.size() + 1);
    EXPECT_EQ(std::vector<std::string>(port.events().begin(), port.events().begin() + 6), head);
    EXPECT_EQ(port.events().size(), head.size() + 1);  // the records in one stretch, nothing after
    EXPECT_EQ(port.pending(), 0u);
    EXPECT_EQ(ctx.CpuType, 0xBE);
    EXPECT_EQ(ctx.FlashManufacturer, 0x89);
    EXPECT_EQ(ctx.FlashDevice, 0x18);
    EXPECT_FALSE(port.dtr());
    EXPECT_EQ(port.baud(), 38400);
    EXPECT_EQ(port.parity(), 2);
  }
}

TEST_F(Boot, NoiseBeforeTheAnnouncementAndTheAcknowledgeIsSkipped) {
  port.reply({0x00, 0x7F, 0x44, 0xBE, 0x01, 0x02, 0x03}).reply(kAfterUpload);
  EXPECT_EQ(dwl::dwl1_0boot(&ctx), (dwl::DownloadResult{0, 0}));
  EXPECT_EQ(ctx.CpuType, 0xBE);
  EXPECT_EQ(port.pending(), 0u);
  EXPECT_EQ(hexBytes(port.written()), hexBytes(bootBytes(2)));
}

// Scripts handset bytes; 0x100 stands for a silent read.
void script(std::initializer_list<int> items, platform::ScriptedRs232& port) {
  for (int i : items) {
    if (i == 0x100) {
      port.silence();
    } else {
      port.reply({i});
    }
  }
}

TEST_F(Boot, EveryFailureRow) {
  constexpr int S = 0x100;
  struct Case {
    const char* name;
    std::initializer_list<int> script;
    int productType;
    int spmSize;
    dwl::DownloadResult result;
    int reads;
    int sent;
  } cases[] = {
      {"no handset", {S}, 2, 1000, dwl::kNoHandsetResult, 1, 1},
      {"noise then no handset", {0x11, 0x22, S}, 2, 1000, dwl::kNoHandsetResult, 3, 1},
      {"silent after the upload", {0xBE, S, S}, 2, 1000, {6, 0x000A019D}, 3, 2},
      {"three zeros then silence", {0xBE, 0, 0, 0, S}, 2, 1000, {6, 0x000A039D}, 5, 2},
      {"start report A1", {0xBE, 0x44, 0xA1}, 2, 1000, {6, 11}, 3, 2},
      {"identification C3", {0xBE, 0x44, 0xA0, 1, 2, 0xC3}, 2, 1000, {6, 12}, 6, 2},
      {"identification time-out", {0xBE, 0x44, 0xA0, 1, 2, 0xC2, S}, 2, 1000, {6, 13}, 7, 2},
      {"unknown flash maker", {0xBE, 0x44, 0xA0, 1, 2, 0xC2, 0x00}, 2, 1000, {6, 15}, 7, 2},
      {"missing bootstrap", {0xBE}, 2, -1, {5, 3}, 0, 0},
      {"bootstrap too long", {0xBE}, 2, 8192, {5, 4}, 0, 0},
      {"product type 0", {0xBE}, 0, 1000, {5, 3}, 0, 0},
      {"product type 3", {0xBE}, 3, 1000, {5, 3}, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir fresh;
    if (c.spmSize >= 0) TempDir::write("dwl87.spm", spmImage(static_cast<std::size_t>(c.spmSize)));
    platform::ScriptedRs232 p;
    job.state.serial = &p;
    script(c.script, p);
    dwl::SharedContext x = ctx;
    x.ProductType = c.productType;
    EXPECT_EQ(dwl::dwl1_0boot(&x), c.result);
    EXPECT_EQ(p.reads(), c.reads);
    const Bytes expected = c.sent == 0 ? Bytes{} : c.sent == 1 ? Bytes{0x44} : bootBytes(2);
    EXPECT_EQ(hexBytes(p.written()), hexBytes(expected));
    EXPECT_FALSE(p.dtr());
    if (c.sent == 0) {
      EXPECT_EQ(p.events(), (std::vector<std::string>{"open COM4 38400 2", "dtr 0", "time 5"}));
    }
    if (c.result == dwl::kNoHandsetResult) {
      EXPECT_EQ(x.CpuType, 0x9D);
    }
  }
}

TEST_F(Boot, PortThatCannotBeOpened) {
  port.failOpenWith(platform::kErrCannotOpen);
  port.reply({0xBE});
  const dwl::DownloadResult r = dwl::dwl1_0boot(&ctx);
  EXPECT_EQ(r.Family, 5);
  EXPECT_EQ(static_cast<std::uint32_t>(r.Code), 0x80000000u | 0xFFFFFFFAu);
  EXPECT_EQ(port.events(), (std::vector<std::string>{"open COM4 38400 2"}));
  EXPECT_EQ(port.reads(), 0);
}

TEST_F(Boot, SkippedByteCounterKeepsEightBits) {
  // The first byte is not counted; 256 more zeros wrap the counter, the silence makes it 1.
  port.reply({0xBE, 0x00}).reply(Bytes(256, 0x00)).silence();
  EXPECT_EQ(dwl::dwl1_0boot(&ctx), (dwl::DownloadResult{6, 0x000A019D}));
}

TEST_F(Boot, EndlessNoiseDuringTheWakeUpEndsAsATimeOut) {
  port.reply(Bytes(5000, 0x55));
  EXPECT_EQ(dwl::dwl1_0boot(&ctx), dwl::kNoHandsetResult);
  EXPECT_EQ(port.reads(), 4096);
  EXPECT_EQ(ctx.CpuType, 0x9D);
  EXPECT_EQ(hexBytes(port.written()), "44");
  EXPECT_FALSE(port.dtr());
}

TEST_F(Boot, ThirtySecondsOfSlowNoiseEndTheWakeUp) {
  std::time_t t = 1000;
  job.state.clock = [&t] { return t++; };  // one second per reading
  port.reply(Bytes(100, 0x55)).reply({0xBE});
  EXPECT_EQ(dwl::dwl1_0boot(&ctx), dwl::kNoHandsetResult);
  EXPECT_EQ(port.reads(), 30);
}

TEST_F(Boot, EndlessNoiseInsteadOfTheAcknowledge) {
  port.reply({0xBE}).reply(Bytes(5000, 0x55));
  // 4096 skipped bytes leave 0 in the 8-bit counter.
  EXPECT_EQ(dwl::dwl1_0boot(&ctx), (dwl::DownloadResult{6, 0x000A009D}));
  EXPECT_EQ(port.reads(), 1 + 1 + 4096);
}

TEST(BootRecords, DataBlockHeaders) {
  struct Case {
    std::uint32_t length;
    const char* header;  // empty: nothing is sent
  } cases[] = {{1, "40 00"}, {256, "40 FF"}, {1000, "43 E7"}, {8191, "5F FE"}, {0, ""}, {8192, ""}};
  const Bytes data = spmImage(8192);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.length);
    platform::ScriptedRs232 p;
    testsupport::LineJob job(&p);
    dwl::dwl1_51DownloadBlock(4, data.data(), c.length);
    if (*c.header) {
      const Bytes body(data.begin(), data.begin() + c.length);
      EXPECT_EQ(hexBytes(p.written()), std::string(c.header) + " " + hexBytes(body));
    } else {
      EXPECT_TRUE(p.written().empty());
    }
  }
}

TEST(BootRecords, OtherRecords) {
  platform::ScriptedRs232 p;
  testsupport::LineJob job(&p);
  dwl::dwl1_50SetStartAddr(4, 0x12345678);
  dwl::dwl1_53SetSendCommand(4, 0x70);
  dwl::dwl1_54SetSendCommand2(4, 0xABCD);
  dwl::dwl1_52JumpToStartAddress(4);
  EXPECT_EQ(hexBytes(p.written()), "00 03 12 34 56 78 40 00 70 40 01 AB CD 60 00");
  EXPECT_EQ(p.reads(), 0);
}

TEST(BootRecords, ChipSelectConfiguration) {
  struct Case {
    int productType;
    std::uint8_t ws[4];
    dwl::ResultCode rc;
    const char* pairs;  // the configuration pairs; empty when nothing is sent
  } cases[] = {
      {1, {0, 0, 0, 0}, 1, "C6 80 CE 00 D7 00 D7 80"},
      {1, {4, 3, 9, 0xFF}, 1, "C6 84 CE 03 D7 01 D7 87"},
      {2, {0, 0, 0, 0}, 1, "C7 00 D6 00 CF 80 CF C0"},
      {2, {1, 4, 0x0A, 0xF3}, 1, "C7 01 D6 04 CF 82 CF C3"},
      {0, {2, 2, 2, 2}, 9, ""},
      {3, {2, 2, 2, 2}, 9, ""},
  };
  const Bytes spm = spmImage(3);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pairs);
    platform::ScriptedRs232 p;
    testsupport::LineJob job(&p);
    EXPECT_EQ(dwl::dwl1_1ConfigurationBootstrap(4, c.productType, spm.data(), 3, c.ws), c.rc);
    std::string expected;
    if (c.rc == 1) {
      expected = std::string(c.pairs) + (c.productType == 2 ? " 00 03 FF FF 80 03 40 00 70" : "") +
                 " 00 03 00 00 00 00 40 02 03 0A 11 00 03 00 00 00 00 60 00";
    }
    EXPECT_EQ(hexBytes(p.written()), expected);
  }
}

TEST(BootRecords, EmptyBootstrapSendsNoDataBlock) {
  platform::ScriptedRs232 p;
  testsupport::LineJob job(&p);
  const std::uint8_t ws[4] = {2, 2, 2, 2};
  EXPECT_EQ(dwl::dwl1_1ConfigurationBootstrap(4, 1, nullptr, 0, ws), 1);
  EXPECT_EQ(hexBytes(p.written()),
            "C6 82 CE 02 D7 02 D7 82 00 03 00 00 00 00 00 03 00 00 00 00 60 00");
}

TEST(BootCoherence, ProcessorAndProduct) {
  struct Case {
    std::uint8_t cpu;
    int productType;
    dwl::ResultCode rc;
  } cases[] = {{0xBE, 1, 1}, {0xBE, 2, 1}, {0xBE, 0, 7}, {0xBE, 3, 7},
               {0x9D, 2, 8}, {0x9D, 0, 8}, {0xBF, 1, 8}};
  for (const Case& c : cases)
    EXPECT_EQ(dwl::dwl1_2BootCoherence(c.cpu, c.productType), c.rc)
        << int(c.cpu) << " " << c.productType;
}

TEST(FlashIdentification, ByteStreams) {
  struct Case {
    const char* name;
    Bytes stream;
    bool dumper;
    dwl::ResultCode rc;
    std::size_t consumed;
    std::uint8_t manufacturer, device;  // device 0x77: untouched
  } cases[] = {
      {"Intel", {0xC2, 0x89, 0x18, 0xEE}, false, 1, 3, 0x89, 0x18},
      {"Intel in the dumper", {0xC2, 0x89, 0x18, 0xEE}, true, 1, 3, 0x89, 0x18},
      {"AMD E3", {0xC2, 0x01, 0xE3, 0x55, 0xEE}, false, 1, 4, 0x01, 0xE3},
      {"AMD E4", {0xC2, 0x01, 0xE4, 0x55, 0xEE}, true, 1, 4, 0x01, 0xE4},
      {"AMD 22", {0xC2, 0x01, 0x22, 0xEE}, false, 1, 3, 0x01, 0x22},
      {"Fujitsu", {0xC2, 0x04, 0xE3, 0xEE}, false, 1, 3, 0x04, 0xE3},
      {"Hitachi", {0xC2, 0x07, 0x33, 0xEE}, true, 1, 3, 0x07, 0x33},
      {"ST", {0xC2, 0x20, 0xBA, 0xEE}, false, 1, 3, 0x20, 0xBA},
      {"Toshiba", {0xC2, 0x98, 0x74, 0xEE}, true, 1, 3, 0x98, 0x74},
      {"Sharp", {0xC2, 0xB0, 0x49, 0xEE}, false, 1, 3, 0xB0, 0x49},
      {"Sharp in the dumper", {0xC2, 0xB0, 0x49, 0xEE}, true, 15, 2, 0xB0, 0x77},
      {"time-out instead of the maker", {0xC2, 0x9D, 0xEE}, false, 13, 2, 0x9D, 0x77},
      {"unknown maker", {0xC2, 0x00, 0xEE}, false, 15, 2, 0x00, 0x77},
      {"not an identification", {0xC3, 0x89, 0x18}, false, 12, 1, 0x66, 0x77},
      {"silent device", {0xC2, 0x89}, false, 1, 2, 0x89, 0x9D},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    platform::ScriptedRs232 p;
    testsupport::LineJob job(&p);
    p.reply(c.stream);
    dwl::SharedContext x;
    x.Profile = c.dumper ? &dwl::kDumperProfile : nullptr;
    x.FlashManufacturer = 0x66;
    x.FlashDevice = 0x77;
    EXPECT_EQ(dwl::dwl1_3GetTypeFlash(&x), c.rc);
    EXPECT_EQ(c.stream.size() - p.pending(), c.consumed);
    EXPECT_EQ(x.FlashManufacturer, c.manufacturer);
    EXPECT_EQ(x.FlashDevice, c.device);
    EXPECT_TRUE(p.written().empty());
  }
}

}  // namespace
