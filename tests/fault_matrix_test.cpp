// Every step of the boot, the speed change, a sector write, a read and an erase, with the handset
// silent, answering a wrong byte, or vanishing: each run of the whole flow (boot, sequence, result
// window, port closed) must end with its one result and window, within the port time-outs, with
// the port closed, dump.txt made of whole blocks and the flash holding exactly what was reported.
//
// The in-process link keeps a virtual clock, which the flows run on as their clock, so time-outs
// cost nothing and the time a flow waited is measured exactly. A device that disappears needs a
// real device node: those cases serve the handset on a pseudo-terminal.
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "apps/dumper/dumper_app.h"
#include "apps/guikit/display.h"
#include "dwl/dwl10fla.h"
#include "dwl/dwl12pclib.h"
#include "dwl/dwl1boot.h"
#include "dwl/dwl52display.h"
#include "emulator/emulator_rs232.h"
#include "emulator/faults.h"
#include "emulator/handset_core.h"
#include "emulator/nor_flash.h"
#include "emulator/pty_server.h"
#include "engines/downloader/download_context.h"
#include "engines/downloader/dwl3spm87.h"
#include "engines/dumper/dumper.h"
#include "platform/native_rs232.h"
#include "support/bound_job.h"
#include "support/dumper_flash.h"
#include "support/recording_panel.h"
#include "support/samples.h"
#include "support/temp_dir.h"

namespace {

// The test's own record, as each program keeps its own.
downloader::DownloadContext sg_DownloadContext;

namespace fs = std::filesystem;
using dwl::Window;
using Bytes = std::vector<std::uint8_t>;

enum class Op { Write, Dump, Erase };
enum class Link { InProcess, Pty };

// Where the device goes away: just after the handset has received the first byte of this
// sequence (found in a clean run's record), plus `after` more bytes.
struct Vanish {
  Bytes marker;
  std::uint32_t after = 0;
};

struct Case {
  const char* name;
  Op op;
  std::vector<const char*> faults;  // as given to handset-emulator --fault
  std::int32_t family, code;
  Window window;
  const char* message;
  // The port time-outs the flow may wait, in seconds, by the stated rules (the in-process link
  // measures it exactly; a vanished device must not make anything wait longer).
  double seconds;
  Link link = Link::InProcess;
  std::optional<Vanish> vanish = std::nullopt;
};

std::ostream& operator<<(std::ostream& os, const Case& c) {
  return os << c.name;
}

// The write: Bin1 over sectors 0..9 of the sample flash (eight 8 KiB sectors, a 64 KiB sector of
// eight drained blocks, and a partial one), at speed 3 with GPIO and the power-management step.
constexpr std::uint32_t kImageSize = 0x20800;
// The dump: sectors 6..8, ten blocks. The erase: sectors 7..9, one small and two large.
constexpr int kDumpFirst = 6, kDumpLast = 8;
constexpr int kEraseFirst = 7, kEraseLast = 9;
// The first MiB of flash holds a pattern before every run, so a stray write or erase shows.
constexpr std::uint32_t kPatterned = 0x100000;

const char* kBootProblem = "BOOT : Problem during the boot sequence";

// clang-format off
const Case kCases[] = {
  // Boot: wake-up, upload acknowledge, start report, flash identification.
  {"BootNoHandset", Op::Write, {"silence:announce"}, 6, 4, Window::Timeout, "", 5},
  {"BootNoiseBeforeAnnounce", Op::Write, {"noise:0x00,0x12,0x9E,0xBF"}, 0, 0, Window::Success, "", 0},
  {"BootSilentAfterUpload", Op::Write, {"silence:upload-ack"}, 6, 0x000A019D, Window::BootErr, kBootProblem, 10},
  // A wrong acknowledge is skipped like noise: the start report, its two bytes and the three
  // identification bytes are counted, then the time-out.
  {"BootWrongUploadAck", Op::Write, {"wrong:upload-ack=0x00"}, 6, 0x000A079D, Window::BootErr, kBootProblem, 5},
  {"BootSilentBeforeStartReport", Op::Write, {"silence:start-report"}, 6, 11, Window::BootErr,
   "BOOT : Problem with program in external RAM : StackPointer not set", 5},
  {"BootWrongStartReport", Op::Write, {"wrong:start-report=0xA1"}, 6, 11, Window::BootErr,
   "BOOT : Problem with program in external RAM : StackPointer not set", 0},
  {"BootSilentBeforeIdentification", Op::Write, {"silence:identify"}, 6, 12, Window::BootErr,
   "BOOT : Bad acknowledgement during the identification of the flash", 5},
  {"BootWrongIdentification", Op::Write, {"wrong:identify=0xC3"}, 6, 12, Window::BootErr,
   "BOOT : Bad acknowledgement during the identification of the flash", 0},
  {"DumpBootNoHandset", Op::Dump, {"silence:announce"}, 6, 4, Window::Timeout, "", 5},
  {"EraseBootNoHandset", Op::Erase, {"silence:announce"}, 6, 4, Window::Timeout, "", 5},

  // GPIO, still at 38400 baud with its 5-second time-out.
  {"GpioSilent", Op::Write, {"silence:gpio"}, 8, 2, Window::CommandErr, "COMMAND : Bad command acknowledge ", 5},
  {"GpioWrongAccept", Op::Write, {"wrong:gpio-accept=0x00"}, 8, 2, Window::CommandErr, "COMMAND : Bad command acknowledge ", 0},
  {"GpioWrongReply", Op::Write, {"wrong:gpio=0x00"}, 8, 21, Window::CommandErr, "COMMAND : Command error ", 0},

  // Speed change: four attempts; the speed check four times within each.
  {"SpeedSilent", Op::Write, {"silence:speed"}, 8, 2, Window::CommandErr, "COMMAND : Bad command acknowledge ", 20},
  // The refusal leaves the bootstrap collecting a frame: the next attempts' 0xE0 feed it unanswered.
  {"SpeedWrongAccept", Op::Write, {"wrong:speed-accept=0xC1"}, 8, 2, Window::CommandErr, "COMMAND : Bad command acknowledge ", 15},
  {"SpeedBadVerdict", Op::Write, {"wrong:speed-verdict=0x01"}, 8, 8, Window::CommandErr, "COMMAND : Bad change speed checksum ", 0},
  // Silent at the new speed: four checks of 10 s, then three attempts whose 0xE0 gets no answer.
  {"SpeedCheckSilent", Op::Write, {"silence:speed-check"}, 8, 2, Window::CommandErr, "COMMAND : Bad command acknowledge ", 70},
  {"SpeedCheckWrong", Op::Write, {"wrong:speed-check=0x00"}, 8, 9, Window::CommandErr, "COMMAND : Speed control err ", 0},
  {"PmuSilent", Op::Write, {"silence:pmu"}, 8, 2, Window::CommandErr, "COMMAND : Bad command acknowledge ", 30},
  {"PmuWrongAccept", Op::Write, {"wrong:pmu-accept=0x00"}, 8, 2, Window::CommandErr, "COMMAND : Bad command acknowledge ", 0},

  // Sector write: no reply for more than 10 s, a wrong reply byte, error replies, bad sums.
  {"SectorSilent", Op::Write, {"silence:sector-write"}, 13, 0, Window::GenericErr, "Timeout during the download", 11},
  {"SectorSilentFromTheThird", Op::Write, {"silence:sector-write#3"}, 13, 0, Window::GenericErr, "Timeout during the download", 11},
  {"SectorWrongReply", Op::Write, {"wrong:sector-ack=0x00"}, 11, 0, Window::GenericErr,
   "Problem : Error acknowledge during the sector donwload", 0},
  {"SectorWrongReplyOnTheFifth", Op::Write, {"wrong:sector-ack=0x5A#5"}, 11, 0x5A, Window::GenericErr,
   "Problem : Error acknowledge during the sector donwload", 0},
  {"SectorErrorEveryAttempt", Op::Write, {"sector-error:8=0x21"}, 10, 0x21, Window::GenericErr,
   "Problem : Error during the sector donwload", 0},
  {"SectorBadSumEveryAttempt", Op::Write, {"sector-checksum:8"}, 12, 0xCC, Window::GenericErr, "Problem : Bad checksum", 0},
  {"SectorBadSumOnceIsResent", Op::Write, {"sector-checksum:8@1"}, 0, 0, Window::Success, "", 0},
  {"FiveFailuresOverFourSectors", Op::Write, {"sector-checksum:1@1", "sector-checksum:2@1", "sector-error:3@1",
   "sector-checksum:4@1", "sector-error:5@1=0x33"}, 10, 0x33, Window::GenericErr, "Problem : Error during the sector donwload", 0},
  {"WriteSwitchOffSilent", Op::Write, {"silence:switch-off"}, 8, 20, Window::CommandErr, "COMMAND : Switch off error ", 10},

  // Read: acceptance, acknowledge, checksum.
  {"ReadSilent", Op::Dump, {"silence:read"}, 8, 17, Window::CommandErr, "COMMAND : bad read command acknowledge ", 10},
  {"ReadSilentFromTheFourth", Op::Dump, {"silence:read#4"}, 8, 17, Window::CommandErr, "COMMAND : bad read command acknowledge ", 10},
  {"ReadWrongAccept", Op::Dump, {"wrong:read-accept=0x00"}, 8, 17, Window::CommandErr, "COMMAND : bad read command acknowledge ", 0},
  {"ReadWrongAck", Op::Dump, {"wrong:read-ack=0x00#2"}, 8, 18, Window::CommandErr, "COMMAND : bad read command parameter", 0},
  {"ReadBadSum", Op::Dump, {"read-checksum:5"}, 8, 19, Window::CommandErr, "COMMAND : Checksum error during the read command ", 0},
  {"DumpSpeedCheckWrong", Op::Dump, {"wrong:speed-check=0x00"}, 8, 9, Window::CommandErr, "COMMAND : Speed control err ", 0},
  {"DumpSwitchOffSilent", Op::Dump, {"silence:switch-off"}, 8, 20, Window::CommandErr, "COMMAND : Switch off error ", 10},

  // Erase: every check of every sector waits at most 10 s and the walk goes on.
  // A handset that answers an erase command with nothing at all is gone: the walk stops there.
  {"EraseSilent", Op::Erase, {"silence:erase"}, 13, 0, Window::GenericErr, "Timeout during the download", 10},
  {"EraseSilentFromTheSecond", Op::Erase, {"silence:erase#2"}, 13, 0, Window::GenericErr, "Timeout during the download", 10},
  // A failed check shows its box; the erase still ends switched off with the successful panel.
  {"EraseRefused", Op::Erase, {"wrong:erase-accept=0xC1"}, 0, 0, Window::Success, "", 60},
  {"EraseWrongAck", Op::Erase, {"wrong:erase-ack=0x00"}, 0, 0, Window::Success, "", 0},
  {"EraseFailedOnDq6", Op::Erase, {"erase-outcome:8=0xF4"}, 0, 0, Window::Success, "", 0},
  {"EraseSwitchOffSilent", Op::Erase, {"silence:switch-off"}, 8, 20, Window::CommandErr, "COMMAND : Switch off error ", 10},

  // The device disappears (a USB adapter pulled out): every later read finds nothing.
  {"VanishDuringUpload", Op::Write, {}, 6, 0x000A019D, Window::BootErr, kBootProblem, 10, Link::Pty, Vanish{{0x44}, 0}},
  {"VanishAtSpeedChange", Op::Write, {}, 8, 2, Window::CommandErr, "COMMAND : Bad command acknowledge ", 20, Link::Pty,
   Vanish{{0xE0, 0xC0, 0xFF, 0xFF}, 0}},
  {"VanishInSectorData", Op::Write, {}, 13, 0, Window::GenericErr, "Timeout during the download", 0, Link::Pty,
   Vanish{{0xEA, 0x00, 0x01, 0x00, 0x00, 0x02, 0x01, 0x00, 0x00}, 12 + 20000}},
  {"VanishAtThirdRead", Op::Dump, {}, 8, 17, Window::CommandErr, "COMMAND : bad read command acknowledge ", 10, Link::Pty,
   Vanish{{0xE6, 0x00, 0x00, 0x20, 0x00, 0x02, 0x01, 0x00, 0x00}, 0}},
  {"VanishAtErase", Op::Erase, {}, 13, 0, Window::GenericErr, "Timeout during the download", 0, Link::Pty,
   Vanish{{0xE4, 0x01, 0x00, 0x00, 0x20, 0x00}, 0}},
};
// clang-format on

Bytes pattern(std::size_t n, std::uint32_t seed) {
  Bytes out(n);
  std::uint32_t x = seed;
  for (auto& b : out) {
    x = x * 1103515245u + 12345u;
    b = static_cast<std::uint8_t>(x >> 16);
  }
  return out;
}

// Descriptors of this process that still lead to the device.
int openDescriptorsOf(const std::string& device) {
  int n = 0;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator("/proc/self/fd", ec)) {
    std::error_code rl;
    if (fs::read_symlink(e.path(), rl) == device) ++n;
  }
  return n;
}

class FaultMatrix : public ::testing::TestWithParam<Case> {
 protected:
  void SetUp() override {
    testsupport::copySamples();
    ASSERT_EQ(dwl::dwl10_100InitFlashDescription(testsupport::flashDescriptions()), dwl::kOk);
    image = pattern(kImageSize, 99);
  }
  void TearDown() override {
    sg_DownloadContext = downloader::DownloadContext{};  // the image is ours
    dumper::programSettings() = {};
    ::unsetenv("KELVANE_COM4");
  }

  // The port and clock of the flows that follow: the write's job, the dumper's program.
  void useLine(platform::Rs232* port, std::function<double()> clock) {
    serial = port;
    seconds = clock;
    dumper::programSettings() = {port, std::move(clock), {}};
  }

  // A fresh handset with the case's faults (and a vanishing point), its flash patterned.
  void makeHandset(Op op, const std::vector<const char*>& faults,
                   std::optional<std::uint64_t> vanishAfter) {
    emulator::HandsetConfig config;
    for (const char* f : faults) {
      std::string why;
      ASSERT_TRUE(emulator::parseFault(f, config.faults, &why)) << why;
    }
    config.faults.disconnectAfter = vanishAfter;
    if (op == Op::Write) {
      dwl::FlashDescription d;
      std::string why;
      ASSERT_TRUE(emulator::loadFlashDescription("flash.txt", std::nullopt, d, &why)) << why;
      flash = std::make_unique<emulator::NorFlash>(d);
    } else {
      flash = std::make_unique<emulator::NorFlash>(testsupport::dumperFlash());
    }
    before = pattern(kPatterned, 7);
    flash->program(0, before.data(), before.size());
    core = std::make_unique<emulator::HandsetCore>(*flash, config);
  }

  dwl::DownloadResult runFlow(Op op) {
    rec.windows.clear();
    rec.sectors.clear();
    rec.popups.clear();
    rec.calls.clear();
    std::error_code ec;
    fs::remove("dump.txt", ec);
    if (op == Op::Write) {
      downloader::DownloadContext& c = sg_DownloadContext;
      c = downloader::DownloadContext{};
      c.ComPort = 4;
      c.Speed = 3;
      c.PmuOption = 1;
      c.Mode = 1;
      c.Bin1Data = image.data();
      c.Bin1Length = static_cast<std::uint32_t>(image.size());
      c.Bin1Loaded = 1;
      testsupport::LineJob job(serial, seconds, &rec);
      // What Start does once the images are in place.
      c.StartTime = dwl::now();
      dwl::DownloadResult r = dwl::dwl1_0boot(&c);
      if (r.Family == dwl::RESULT_SUCCESS) r = downloader::dwl3_0Generic5087(c);
      guikit::dwl52_10DisplayResult(r.Family, r.Code);
      dwl::dwl12_1UartStop(static_cast<std::uint8_t>(c.ComPort));
      return r;
    }
    dumper::resetDumperState();
    dumper::sg_DownloadContext.Speed = 3;
    dumper::sg_DownloadContext.PmuOption = 1;
    if (op == Op::Dump) {
      dumper::sg_DownloadContext.DumpFirstSector = kDumpFirst;
      dumper::sg_DownloadContext.DumpLastSector = kDumpLast;
      return dumper::runDump();
    }
    dumper::sg_DownloadContext.EraseFirstSector = kEraseFirst;
    dumper::sg_DownloadContext.EraseLastSector = kEraseLast;
    return dumper::runErase();
  }

  // Runs the flow on the in-process link; the link's virtual clock is the flow's clock.
  dwl::DownloadResult runInProcess(Op op, double* waited) {
    link = std::make_unique<emulator::EmulatorRs232>(*core);
    constexpr double kEpoch = 1'000'000;
    useLine(link.get(), [this] { return kEpoch + link->seconds(); });
    const double start = link->seconds();
    const dwl::DownloadResult r = runFlow(op);
    *waited = link->seconds() - start;
    EXPECT_FALSE(link->isOpen());
    return r;
  }

  // The handset's received bytes from a clean run, to place a vanishing point.
  std::uint64_t vanishPoint(Op op, const Vanish& v) {
    makeHandset(op, {}, std::nullopt);
    double waited = 0;
    EXPECT_EQ(runInProcess(op, &waited).Family, dwl::RESULT_SUCCESS);
    const Bytes& got = core->received();
    const auto at = std::search(got.begin(), got.end(), v.marker.begin(), v.marker.end());
    EXPECT_NE(at, got.end()) << "marker not in the clean run";
    return static_cast<std::uint64_t>(at - got.begin()) + 1 + v.after;
  }

  // Runs the flow on a pseudo-terminal through the real port. Once the device has gone, every
  // reading of the clock is a second later, so waits measured on the clock end at once.
  dwl::DownloadResult runOnPty(Op op, double* wall) {
    emulator::PtyServer server(*core);
    std::string why;
    EXPECT_TRUE(server.open(&why)) << why;
    std::thread serving([&] { server.serve(); });
    ::setenv("KELVANE_COM4", server.slavePath().c_str(), 1);
    platform::NativeRs232 port;
    std::atomic<std::time_t> skew{0};
    useLine(&port, [&] {
      if (server.disconnected()) ++skew;
      return static_cast<double>(std::time(nullptr) + skew.load());
    });
    const auto t0 = std::chrono::steady_clock::now();
    const dwl::DownloadResult r = runFlow(op);
    *wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_EQ(openDescriptorsOf(server.slavePath()), 0) << "the port was left open";
    EXPECT_TRUE(server.disconnected());
    server.stop();
    serving.join();
    useLine(nullptr, {});
    return r;
  }

  void checkWrite(const dwl::DownloadResult& r) {
    // Sectors reported written hold the image (erased past its end); sectors never announced
    // keep what they held. Only the sector in flight at a failure may hold either.
    std::vector<std::string> last(flash->sectorCount());
    std::vector<bool> announced(flash->sectorCount());
    for (const testsupport::ShownSector& s : rec.sectors) {
      if (s.index >= last.size()) continue;
      if (s.state != "Wait..." && s.state != "N. A.") last[s.index] = s.state;
      if (s.state == "wait...") announced[s.index] = true;
    }
    std::uint32_t reportedWritten = 0;
    for (std::uint32_t s = 0; s < flash->sectorCount(); ++s) {
      const std::uint32_t off = flash->sectorOffset(s), size = flash->sectorSize(s);
      if (off >= kPatterned) break;
      const Bytes now = flash->read(off, size);
      if (last[s] == "Downloaded") {
        ++reportedWritten;
        Bytes want(size, 0xFF);
        for (std::uint32_t i = 0; i < size && off + i < image.size(); ++i) want[i] = image[off + i];
        EXPECT_TRUE(now == want) << "sector " << s << " reported written holds something else";
      } else if (!announced[s]) {
        EXPECT_TRUE(now == Bytes(before.begin() + off, before.begin() + off + size))
            << "sector " << s << " was changed without being sent";
      }
    }
    if (r.Family == dwl::RESULT_SUCCESS) {
      EXPECT_EQ(reportedWritten, 10u);
    }
  }

  void checkDump(const dwl::DownloadResult& r) {
    const Bytes dumped = testsupport::TempDir::read("dump.txt");
    EXPECT_EQ(dumped.size() % dumper::kBlockSize, 0u) << "dump.txt holds part of a block";
    const std::uint32_t from = dumper::DumperSectorMap::offset(kDumpFirst);
    ASSERT_LE(from + dumped.size(), before.size());
    EXPECT_TRUE(dumped == Bytes(before.begin() + from, before.begin() + from + dumped.size()));
    if (r.Family == dwl::RESULT_SUCCESS || r.Code == 20) {
      EXPECT_EQ(dumped.size(), dumper::blockCount(kDumpFirst, kDumpLast) * dumper::kBlockSize);
    }
    EXPECT_TRUE(flash->read(0, kPatterned) == before) << "a dump changed the flash";
  }

  void checkErase(const dwl::DownloadResult& r, const std::vector<const char*>& faults) {
    bool failedCheck = false;
    for (const std::string f : faults)
      failedCheck =
          failedCheck || f.rfind("wrong:erase", 0) == 0 || f.rfind("erase-outcome", 0) == 0;
    // Outside the range nothing changed; inside, a sector is either erased or as it was, and it
    // is erased whenever the handset said so.
    const std::uint32_t from = dumper::DumperSectorMap::offset(kEraseFirst);
    const std::uint32_t to =
        dumper::DumperSectorMap::offset(kEraseLast) + dumper::DumperSectorMap::size(kEraseLast);
    const Bytes now = flash->read(0, kPatterned);
    EXPECT_TRUE(std::equal(now.begin(), now.begin() + from, before.begin()));
    EXPECT_TRUE(std::equal(now.begin() + to, now.end(), before.begin() + to));
    for (int s = kEraseFirst; s <= kEraseLast; ++s) {
      const std::uint32_t off = dumper::DumperSectorMap::offset(s);
      const std::uint32_t size = dumper::DumperSectorMap::size(s);
      const Bytes sector(now.begin() + off, now.begin() + off + size);
      const bool erased = sector == Bytes(size, 0xFF);
      const bool kept = std::equal(sector.begin(), sector.end(), before.begin() + off);
      EXPECT_TRUE(erased || kept) << "sector " << s << " half erased";
      if ((r.Family == dwl::RESULT_SUCCESS && !failedCheck) || r.Code == 20) {
        EXPECT_TRUE(erased) << s;
      }
    }
    EXPECT_EQ(!rec.popups.empty(), failedCheck) << "a failed check shows its box, and only then";
  }

  testsupport::TempDir dir;
  testsupport::ScopedRecorder display;
  testsupport::RecordingDisplay& rec = display.rec;
  testsupport::ScopedPanel panel{rec};
  Bytes image, before;
  std::unique_ptr<emulator::NorFlash> flash;
  std::unique_ptr<emulator::HandsetCore> core;
  std::unique_ptr<emulator::EmulatorRs232> link;
  platform::Rs232* serial = nullptr;
  std::function<double()> seconds;
};

TEST_P(FaultMatrix, EndsWithItsResultWithinTheTimeOuts) {
  const Case& c = GetParam();
  dwl::DownloadResult r;
  if (c.link == Link::InProcess) {
    makeHandset(c.op, c.faults, std::nullopt);
    double waited = 0;
    r = runInProcess(c.op, &waited);
    // The time the flow spent waiting is what the port time-outs allow, and no more.
    EXPECT_LE(waited, c.seconds + 1.0) << "waited " << waited << " s";
    EXPECT_GE(waited, c.seconds - 1.0) << "waited " << waited << " s";
    EXPECT_TRUE(core->violations().empty() || c.family != 0) << core->violations().front();
  } else {
    const std::uint64_t point = vanishPoint(c.op, *c.vanish);
    makeHandset(c.op, c.faults, point);
    double wall = 0;
    r = runOnPty(c.op, &wall);
    // Reads of a vanished device end at once; what remains is bounded by the clock's rules.
    EXPECT_LT(wall, c.seconds + 5.0) << "took " << wall << " s";
  }

  EXPECT_EQ(r, (dwl::DownloadResult{c.family, c.code}))
      << "got family " << r.Family << " code 0x" << std::hex << r.Code;
  ASSERT_EQ(rec.windows.size(), 1u) << "one result window";
  EXPECT_EQ(rec.windows[0].window, c.window);
  EXPECT_EQ(rec.windows[0].message, c.message);

  switch (c.op) {
    case Op::Write:
      checkWrite(r);
      break;
    case Op::Dump:
      checkDump(r);
      break;
    case Op::Erase:
      checkErase(r, c.faults);
      break;
  }
}

INSTANTIATE_TEST_SUITE_P(Steps, FaultMatrix, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& row) { return row.param.name; });

TEST(FaultMatrixPort, MissingDeviceIsAPortError) {
  testsupport::TempDir dir;
  testsupport::ScopedRecorder display;
  fs::copy_file(fs::path(KELVANE_SOURCE_DIR) / "samples" / "dwl87.spm", "dwl87.spm");
  ::setenv("KELVANE_COM4", (dir.path() / "no-such-device").c_str(), 1);
  platform::NativeRs232 port;
  dumper::programSettings().serial = &port;
  dumper::resetDumperState();
  const dwl::DownloadResult r = dumper::runDump();
  dumper::programSettings() = {};
  ::unsetenv("KELVANE_COM4");

  EXPECT_EQ(r, (dwl::DownloadResult{dwl::RESULT_LIB_PC,
                                    static_cast<std::int32_t>(0x80000000u | 0xFFFFFFFAu)}));
  ASSERT_EQ(display.rec.windows.size(), 1u);
  EXPECT_EQ(display.rec.windows[0].window, Window::LibPcErr);
  EXPECT_EQ(display.rec.windows[0].message, "LIB_PC : Default error number _ 0xfffffffa");
  EXPECT_FALSE(fs::exists("dump.txt"));
}

}  // namespace
