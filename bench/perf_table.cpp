// One table of the PC side's performance against the paced handset emulator on a pseudo-terminal:
// an image write and a dump at each speed and adapter turnaround latency, then an unpaced write
// and dump of 16 MiB. Each row runs in a process of its own (this program started again with
// --row), against a handset-emulator process of its own, so that the CPU time and the peak memory
// are those of the PC side alone.
//
// Usage: perf_table [--write-mib X] [--dump-blocks N] [--speeds 1,2,3,8] [--latencies 0,1,16]
//                   [--unpaced-mib X] [--only write|dump|unpaced] [--emulator PATH]
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "apps/dumper/dumper_app.h"
#include "bench/bench_support.h"
#include "dwl/dwl10fla.h"
#include "dwl/dwl11command.h"
#include "dwl/dwl11transfer.h"
#include "dwl/dwl12pclib.h"
#include "dwl/dwl1boot.h"
#include "dwl/dwl_job.h"
#include "engines/downloader/download_context.h"
#include "engines/dumper/dumper.h"
#include "platform/cancel.h"
#include "platform/forwarding_rs232.h"
#include "platform/guarded_rs232.h"
#include "platform/native_rs232.h"
#include "support/temp_dir.h"

#include <QCoreApplication>

namespace fs = std::filesystem;

namespace {

constexpr int kPort = 4;
constexpr std::uint32_t kBlock = 8192;

// Counts the bytes that cross the line in each direction, and the PC's turnarounds: the time from
// a read that brought the handset's last reply byte to the PC's next write. Everything else goes
// to the real port.
class CountingRs232 final : public platform::ForwardingRs232 {
 public:
  explicit CountingRs232(platform::Rs232& inner) : ForwardingRs232(inner) {}
  std::uint64_t sent = 0, received = 0;
  double turnaround = 0;

  int ComWrtByte(int port, int byte) override {
    wrote();
    const int n = inner().ComWrtByte(port, byte);
    if (n == 1) ++sent;
    return n;
  }
  int ComWrt(int port, const std::uint8_t* data, int count) override {
    wrote();
    const int n = inner().ComWrt(port, data, count);
    if (n > 0) sent += static_cast<std::uint64_t>(n);
    return n;
  }
  int ComRdByte(int port) override {
    const int b = inner().ComRdByte(port);
    if (b >= 0) {
      ++received;
      read();
    }
    return b;
  }
  int ComRd(int port, std::uint8_t* data, int count) override {
    const int n = inner().ComRd(port, data, count);
    if (n > 0) {
      received += static_cast<std::uint64_t>(n);
      read();
    }
    return n;
  }

 private:
  void read() {
    lastRead_ = std::chrono::steady_clock::now();
    readSinceWrite_ = true;
  }
  void wrote() {
    if (readSinceWrite_)
      turnaround +=
          std::chrono::duration<double>(std::chrono::steady_clock::now() - lastRead_).count();
    readSinceWrite_ = false;
  }

  std::chrono::steady_clock::time_point lastRead_;
  bool readSinceWrite_ = false;
};

double peakMiB() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_maxrss) / 1024.0;
}

// Pseudo-random bytes; *next receives the state that continues the same sequence.
std::vector<std::uint8_t> pattern(std::size_t size, std::uint32_t seed,
                                  std::uint32_t* next = nullptr) {
  std::vector<std::uint8_t> out(size);
  std::uint32_t x = seed;
  for (auto& b : out) {
    x = x * 1103515245u + 12345u;
    b = static_cast<std::uint8_t>(x >> 16);
  }
  if (next) *next = x;
  return out;
}

std::vector<std::uint8_t> fileBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct RowResult {
  bool ok = false;
  long baud = 0;
  std::uint64_t bytes = 0;  // payload: image bytes written or flash bytes dumped
  double wall = 0, ideal = 0, cpu = 0, peak = 0;
  double turnaround = 0;  // the PC's share: from a reply's last byte to the next command
  std::string note;
};

// Boots the handset over the port and switches to the speed; false with a note on failure.
bool prepare(dwl::SharedContext& ctx, int speed, std::string* note) {
  ctx.ComPort = kPort;
  ctx.Speed = speed;
  ctx.ProductType = 2;
  dwl::DownloadResult r = dwl::dwl1_0boot(&ctx);
  if (r.Family == dwl::RESULT_SUCCESS) {
    dwl::ResultCode rc = dwl::dwl11_8SetGPIO(ctx);
    if (rc == dwl::kOk) rc = dwl::dwl11_0SetSpeedAndPMU(ctx);
    if (rc != dwl::kOk) r = {dwl::RESULT_COMMAND, rc};
  }
  if (r.Family != dwl::RESULT_SUCCESS) {
    *note = "boot or speed change failed: family " + std::to_string(r.Family) + " code " +
            std::to_string(r.Code);
    return false;
  }
  return true;
}

// One row, in this process: kind "write" or "dump"; speed index; latency; size (MiB for a write,
// blocks for a dump); paced or not.
RowResult runRow(const std::string& emulatorPath, const fs::path& samples, const std::string& kind,
                 int speed, int latency, double size, bool paced) {
  RowResult row;
  testsupport::TempDir dir;
  for (const char* name : {"flash.txt", "dwl87.spm"}) fs::copy_file(samples / name, name);
  dwl::FlashDescriptionTable descriptions;
  if (dwl::dwl10_100InitFlashDescription(descriptions) != dwl::kOk) {
    row.note = "flash.txt does not parse";
    return row;
  }

  const bool write = kind == "write";
  std::vector<std::uint8_t> image;
  int lastSector = 0;
  if (write) {
    image = pattern(static_cast<std::size_t>(size * 1024 * 1024), 12345);
  } else {
    const auto blocks = static_cast<std::uint32_t>(size);
    while (lastSector < dumper::kLastSector && dumper::blockCount(0, lastSector) < blocks)
      ++lastSector;
    // Written in pieces: the PC side's peak memory must not count the handset's contents.
    const std::size_t flashBytes =
        dumper::DumperSectorMap::offset(lastSector) + dumper::DumperSectorMap::size(lastSector);
    std::ofstream out("flash.bin", std::ios::binary);
    std::uint32_t state = 777;
    for (std::size_t done = 0; done < flashBytes; done += kBlock) {
      const std::vector<std::uint8_t> piece = pattern(kBlock, state, &state);
      out.write(reinterpret_cast<const char*>(piece.data()), kBlock);
    }
  }

  std::vector<std::string> args = {"--flash-description", "flash.txt", "--flash-image",
                                   "flash.bin"};
  if (paced) args.push_back("--pace");
  args.insert(args.end(), {"--latency-ms", std::to_string(latency)});
  bench::Emulator emu(emulatorPath, args);
  if (emu.device().empty()) {
    row.note = "the emulator did not start";
    return row;
  }
  platform::NativeRs232 real;
  CountingRs232 port(real);
  // Through the port a job talks through (waits in slices, cancel, progress), as every program.
  platform::CancelToken never;
  platform::GuardedRs232 guarded(port, &never, [](double waited) { dwl::reportWaiting(waited); });
  dwl::JobState job;
  job.flash = &descriptions;
  job.line = &guarded;
  job.serial = &guarded;
  job.port = kPort;
  job.device = emu.device();
  dwl::JobScope scope(job);

  dwl::SharedContext* ctx = nullptr;
  downloader::DownloadContext writer;
  if (write) {
    ctx = &writer;
  } else {
    dumper::resetDumperState();
    dumper::sg_DownloadContext.DumpFirstSector = 0;
    dumper::sg_DownloadContext.DumpLastSector = lastSector;
    ctx = &dumper::sg_DownloadContext;
  }
  if (prepare(*ctx, speed, &row.note)) {
    row.baud = dwl::profileOf(*ctx).PCSpeedValue[speed];
    const std::uint64_t before = port.sent + port.received;
    port.turnaround = 0;
    const double cpu0 = bench::processCpuSeconds();
    const auto t0 = std::chrono::steady_clock::now();
    dwl::DownloadResult r;
    if (write) {
      r = dwl::dwl11_54Download(*ctx, static_cast<std::uint32_t>(image.size()), image.data(),
                                dwl::FlashBase);
      row.bytes = image.size();
    } else {
      r = dumper::dump_flash(dumper::sg_DownloadContext);
      row.bytes = dumper::blockCount(0, lastSector) * std::uint64_t{kBlock};
    }
    row.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    row.cpu = bench::processCpuSeconds() - cpu0;
    row.turnaround = port.turnaround;
    // Ten bits a byte: no parity at the working speed.
    row.ideal = static_cast<double>(port.sent + port.received - before) * 10.0 /
                static_cast<double>(row.baud);
    dwl::dwl11_7SwitchOffCommand(kPort);
    row.ok = r.Family == dwl::RESULT_SUCCESS;
    if (!row.ok)
      row.note = "family " + std::to_string(r.Family) + " code " + std::to_string(r.Code);
  }
  dwl::dwl12_1UartStop(kPort);
  row.peak = peakMiB();
  emu.stop();

  if (row.ok && write) {
    const std::vector<std::uint8_t> flash = fileBytes("flash.bin");
    row.ok = flash.size() >= image.size() && std::equal(image.begin(), image.end(), flash.begin());
    if (!row.ok) row.note = "the flash differs from the image";
  } else if (row.ok) {
    const std::vector<std::uint8_t> contents = pattern(row.bytes, 777);
    row.ok = fileBytes("dump.txt") == contents;
    if (!row.ok) row.note = "dump.txt differs from the flash";
  }
  return row;
}

std::vector<int> numbers(const std::string& text) {
  std::vector<int> out;
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) out.push_back(std::atoi(item.c_str()));
  return out;
}

// Runs one row in a fresh process and reads its result line.
RowResult spawnRow(const std::string& self, const std::string& emulatorPath,
                   const std::string& kind, int speed, int latency, double size, bool paced) {
  char cmd[1024];
  std::snprintf(cmd, sizeof cmd, "'%s' --row %s %d %d %.6f %d --emulator '%s'", self.c_str(),
                kind.c_str(), speed, latency, size, paced ? 1 : 0, emulatorPath.c_str());
  RowResult row;
  std::FILE* p = ::popen(cmd, "r");
  if (!p) {
    row.note = "cannot start a row";
    return row;
  }
  char line[512] = {};
  while (std::fgets(line, sizeof line, p)) {
    int ok = 0;
    unsigned long long bytes = 0;
    char note[256] = {};
    if (std::sscanf(line, "ROW %d %ld %llu %lf %lf %lf %lf %lf %255[^\n]", &ok, &row.baud, &bytes,
                    &row.wall, &row.ideal, &row.cpu, &row.peak, &row.turnaround, note) >= 8) {
      row.ok = ok != 0;
      row.bytes = bytes;
      row.note = note[0] == '-' ? "" : note;
    }
  }
  ::pclose(p);
  return row;
}

void printHeader() {
  std::printf("%-7s %5s %7s %4s %9s %9s %9s %6s %8s %6s %8s %8s %6s  %s\n", "kind", "speed", "baud",
              "lat", "size", "time s", "ideal s", "eff", "CPU s", "CPU %", "peak MiB", "PC turn",
              "eff PC", "result");
}

// Unpaced rows have no line time to compare with.
void printRow(const std::string& kind, int speed, int latency, const RowResult& r, bool paced,
              const char* sizeText) {
  char ideal[32] = "-", eff[32] = "-", effPc[32] = "-";
  if (paced) {
    std::snprintf(ideal, sizeof ideal, "%.2f", r.ideal);
    std::snprintf(eff, sizeof eff, "%.4f", r.wall > 0 ? r.ideal / r.wall : 0);
    // What the efficiency would be if the handset side lost nothing: line time against line
    // time plus the PC's own turnarounds.
    std::snprintf(effPc, sizeof effPc, "%.4f", r.ideal / (r.ideal + r.turnaround));
  }
  std::printf("%-7s %5d %7ld %4d %9s %9.2f %9s %6s %8.3f %6.2f %8.1f %8.3f %6s  %s%s%s\n",
              kind.c_str(), speed, r.baud, latency, sizeText, r.wall, ideal, eff, r.cpu,
              r.wall > 0 ? 100.0 * r.cpu / r.wall : 0, r.peak, r.turnaround, effPc,
              r.ok ? "ok" : "FAILED", r.note.empty() ? "" : ": ", r.note.c_str());
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const fs::path self = fs::canonical("/proc/self/exe");
  const fs::path samples = fs::path(KELVANE_SOURCE_DIR) / "samples";
  std::string emulatorPath = (self.parent_path().parent_path() / "emulator" / "handset-emulator");
  double writeMiB = 4, unpacedMiB = 16;
  int dumpBlocks = 2048;
  std::vector<int> speeds = {1, 2, 3, 8}, latencies = {0, 1, 16};
  std::string only;

  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto next = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
    if (a == "--row" && i + 5 < argc) {
      const std::string kind = argv[i + 1];
      const int speed = std::atoi(argv[i + 2]);
      const int latency = std::atoi(argv[i + 3]);
      const double size = std::atof(argv[i + 4]);
      const bool paced = std::atoi(argv[i + 5]) != 0;
      i += 5;
      for (int k = i + 1; k + 1 < argc; ++k)
        if (std::string(argv[k]) == "--emulator") emulatorPath = argv[k + 1];
      const RowResult r = runRow(emulatorPath, samples, kind, speed, latency, size, paced);
      std::printf("ROW %d %ld %llu %.6f %.6f %.6f %.3f %.6f %s\n", r.ok ? 1 : 0, r.baud,
                  static_cast<unsigned long long>(r.bytes), r.wall, r.ideal, r.cpu, r.peak,
                  r.turnaround, r.note.empty() ? "-" : r.note.c_str());
      return r.ok ? 0 : 1;
    } else if (a == "--write-mib") {
      writeMiB = std::atof(next().c_str());
    } else if (a == "--dump-blocks") {
      dumpBlocks = std::atoi(next().c_str());
    } else if (a == "--unpaced-mib") {
      unpacedMiB = std::atof(next().c_str());
    } else if (a == "--speeds") {
      speeds = numbers(next());
    } else if (a == "--latencies") {
      latencies = numbers(next());
    } else if (a == "--only") {
      only = next();
    } else if (a == "--emulator") {
      emulatorPath = next();
    } else {
      std::fprintf(stderr,
                   "usage: perf_table [--write-mib X] [--dump-blocks N] [--speeds 1,2,3,8]\n"
                   "                  [--latencies 0,1,16] [--unpaced-mib X]\n"
                   "                  [--only write|dump|unpaced] [--emulator PATH]\n");
      return 2;
    }
  }
  if (!(writeMiB > 0 && writeMiB <= 16) || dumpBlocks < 1 || dumpBlocks > 2048 ||
      !(unpacedMiB > 0 && unpacedMiB <= 16)) {
    std::fprintf(stderr, "perf_table: sizes: 0 < MiB <= 16, 1 <= blocks <= 2048\n");
    return 2;
  }
  for (int s : speeds) {
    if (s < 0 || s >= dwl::kSpeedRows) {
      std::fprintf(stderr, "perf_table: speed %d has no row\n", s);
      return 2;
    }
  }

  int lastSector = 0;
  while (lastSector < dumper::kLastSector &&
         dumper::blockCount(0, lastSector) < static_cast<std::uint32_t>(dumpBlocks))
    ++lastSector;
  const std::uint32_t blocks = dumper::blockCount(0, lastSector);
  char writeSize[32], dumpSize[32];
  std::snprintf(writeSize, sizeof writeSize, "%.2fMiB", writeMiB);
  std::snprintf(dumpSize, sizeof dumpSize, "%ublk", blocks);

  std::printf(
      "PC side against the paced handset emulator on a pseudo-terminal; time and ideal "
      "cover the transfer\nonly (boot and speed change excluded); ideal = bytes on the "
      "line x 10 bits / baud.\nGoals: efficiency >= 0.98 (write), >= 0.97 (dump) at "
      "latency 0 or 1 ms; CPU < 5 %% of the time;\npeak memory < image size + 32 MiB. "
      "Dump speeds use the dumper's table (speed 3 = 203125 baud).\n\n");
  printHeader();
  bool ok = true;
  for (const char* kind : {"write", "dump"}) {
    if (!only.empty() && only != kind) continue;
    for (int speed : speeds) {
      for (int latency : latencies) {
        const bool w = std::string(kind) == "write";
        const RowResult r = spawnRow(self, emulatorPath, kind, speed, latency,
                                     w ? writeMiB : static_cast<double>(blocks), true);
        printRow(kind, speed, latency, r, true, w ? writeSize : dumpSize);
        ok = ok && r.ok;
      }
    }
  }
  if (only.empty() || only == "unpaced") {
    std::printf("\nUnpaced through the pseudo-terminal (speed 3):\n");
    printHeader();
    char size[32];
    std::snprintf(size, sizeof size, "%.2fMiB", unpacedMiB);
    const RowResult w = spawnRow(self, emulatorPath, "write", 3, 0, unpacedMiB, false);
    printRow("write", 3, 0, w, false, size);
    const double unpacedBlocks = unpacedMiB * 1024 * 1024 / kBlock;
    const RowResult d = spawnRow(self, emulatorPath, "dump", 3, 0, unpacedBlocks, false);
    printRow("dump", 3, 0, d, false, size);
    std::printf("write %.2f MiB/s, dump %.2f MiB/s\n",
                w.wall > 0 ? static_cast<double>(w.bytes) / 1048576.0 / w.wall : 0,
                d.wall > 0 ? static_cast<double>(d.bytes) / 1048576.0 / d.wall : 0);
    ok = ok && w.ok && d.ok;
  }
  return ok ? 0 : 1;
}
