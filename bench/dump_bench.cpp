// Whole-flash dump (sectors 0..283, 2048 read commands) through the real serial port code against
// the emulated handset on a pseudo-terminal, paced at the line rate. Prints the wall time, the
// time the bytes need on the line, their ratio and the CPU time the PC side spent.
#include <sys/resource.h>
#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "apps/dumper/dumper_app.h"
#include "emulator/handset_core.h"
#include "emulator/nor_flash.h"
#include "emulator/pty_server.h"
#include "engines/dumper/dumper.h"
#include "platform/native_rs232.h"
#include "support/dumper_flash.h"
#include "support/temp_dir.h"

// Last: Qt's keyword macros (emit) would clash with the emulator's names.
#include <QCoreApplication>

namespace {

double threadCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  // Optional first and last sector, for a shorter run; the whole flash by default.
  const int first = argc > 2 ? std::atoi(argv[1]) : dumper::kFirstSector;
  const int last = argc > 2 ? std::atoi(argv[2]) : dumper::kLastSector;
  if (!dumper::validRange(first, last)) {
    std::fprintf(stderr, "usage: dump_bench [first last], sectors 0..283\n");
    return 2;
  }
  testsupport::TempDir dir;
  testsupport::TempDir::write("dwl87.spm", std::vector<std::uint8_t>(4000, 0x3C));

  emulator::NorFlash flash(testsupport::dumperFlash());
  std::vector<std::uint8_t> contents(testsupport::kDumperFlashSize);
  for (std::size_t i = 0; i < contents.size(); ++i)
    contents[i] = static_cast<std::uint8_t>(i * 2654435761u >> 24);
  flash.program(0, contents.data(), contents.size());

  emulator::HandsetCore core(flash, {});
  emulator::LinkOptions options;
  options.pace = true;
  emulator::PtyServer server(core, options);
  std::string error;
  if (!server.open(&error)) {
    std::fprintf(stderr, "dump_bench: cannot create the pseudo-terminal: %s\n", error.c_str());
    return 1;
  }
  // The ideal: every byte that crossed the line, at the bits and rate of its moment.
  double lineSeconds = 0;
  std::uint64_t lineBytes = 0;
  // The PC's share of the time: from the handset's last byte of a reply to the PC's next byte.
  double pcTurnaround = 0;
  bool handsetSpokeLast = false;
  auto lastHandsetWrite = std::chrono::steady_clock::now();
  server.onTraffic = [&](bool fromPc, const std::uint8_t*, std::size_t count) {
    const auto now = std::chrono::steady_clock::now();
    const emulator::LineSettings line = core.line();
    lineSeconds += static_cast<double>(count) * line.bitsPerByte() / static_cast<double>(line.baud);
    lineBytes += count;
    if (fromPc && handsetSpokeLast)
      pcTurnaround += std::chrono::duration<double>(now - lastHandsetWrite).count();
    if (!fromPc) lastHandsetWrite = now;
    handsetSpokeLast = !fromPc;
  };
  std::thread serving([&] { server.serve(); });

  ::setenv("KELVANE_COM4", server.slavePath().c_str(), 1);
  platform::NativeRs232 port;
  dumper::programSettings().serial = &port;
  dumper::resetDumperState();
  dumper::sg_DownloadContext.ComPort = 4;
  dumper::sg_DownloadContext.Speed = 2;
  dumper::sg_DownloadContext.DumpFirstSector = first;
  dumper::sg_DownloadContext.DumpLastSector = last;

  const double cpu0 = threadCpuSeconds();
  const auto t0 = std::chrono::steady_clock::now();
  const dwl::DownloadResult result = dumper::runDump();
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  const double cpu = threadCpuSeconds() - cpu0;

  server.stop();
  serving.join();
  dumper::programSettings() = {};

  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const double processCpu =
      static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
      static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;

  std::error_code ec;
  const auto dumped = std::filesystem::file_size("dump.txt", ec);
  const std::uint32_t from = dumper::DumperSectorMap::offset(first);
  const std::uint32_t to =
      dumper::DumperSectorMap::offset(last) + dumper::DumperSectorMap::size(last);
  const bool same = !ec && dumped == to - from &&
                    testsupport::TempDir::read("dump.txt") ==
                        std::vector<std::uint8_t>(contents.begin() + from, contents.begin() + to);

  if (!same) {
    const std::vector<std::uint8_t> got = testsupport::TempDir::read("dump.txt");
    std::size_t i = 0;
    while (i < got.size() && from + i < to && got[i] == contents[from + i]) ++i;
    std::printf("dump.txt holds %zu bytes; first difference at byte %zu\n", got.size(), i);
  }
  std::printf("dump of sectors %d..%d, speed 2 (230400 baud), paced emulator on %s\n", first, last,
              server.slavePath().c_str());
  std::printf("result              : family %d code %d, dump.txt %s\n", result.Family, result.Code,
              same ? "equals the flash" : "DIFFERS from the flash");
  std::printf("blocks              : %u of %u bytes\n", dumper::blockCount(first, last),
              dumper::kBlockSize);
  std::printf("bytes on the line   : %llu\n", static_cast<unsigned long long>(lineBytes));
  std::printf("time                : %.3f s (boot and speed change included)\n", wall);
  std::printf("ideal line time     : %.3f s\n", lineSeconds);
  std::printf("efficiency          : %.4f (goal at least 0.97)\n", lineSeconds / wall);
  std::printf("PC turnarounds      : %.3f s (from a reply's last byte to the next command)\n",
              pcTurnaround);
  std::printf("emulator overhead   : %.3f s (pacing beyond the line time)\n",
              wall - lineSeconds - pcTurnaround);
  std::printf("efficiency, PC side : %.4f (line time / (line time + PC turnarounds))\n",
              lineSeconds / (lineSeconds + pcTurnaround));
  std::printf("CPU, dumper thread  : %.3f s (%.1f %% of the time)\n", cpu, 100.0 * cpu / wall);
  std::printf("CPU, whole process  : %.3f s (emulator thread included)\n", processCpu);
  return result.Family == 0 && same ? 0 : 1;
}
