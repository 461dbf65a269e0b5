// Image write through the real serial port code against the emulated handset on a
// pseudo-terminal. Paced at the line rate, at speeds 1 (115200) and 3 (460800): the wall time of
// the transfer, the time its bytes need on the line in both directions, their ratio and the CPU
// time of the PC side. Unpaced: 16 MiB through the pseudo-terminal.
// Usage: write_bench [MiB, default 2]
#include <time.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "dwl/dwl10fla.h"
#include "dwl/dwl11command.h"
#include "dwl/dwl11transfer.h"
#include "dwl/dwl12pclib.h"
#include "dwl/dwl1boot.h"
#include "dwl/dwl_job.h"
#include "emulator/handset_core.h"
#include "emulator/nor_flash.h"
#include "emulator/pty_server.h"
#include "engines/downloader/download_context.h"
#include "platform/native_rs232.h"
#include "support/temp_dir.h"

// Last: Qt's keyword macros (emit) would clash with the emulator's names.
#include <QCoreApplication>

namespace {

// The bench's own record and flash descriptions, as each program keeps its own.
downloader::DownloadContext sg_DownloadContext;
dwl::FlashDescriptionTable vg_FlashDescritpion;

double threadCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

struct Run {
  dwl::DownloadResult result;
  bool flashEqual = false;
  std::uint64_t lineBytes = 0;  // both directions, during the transfer
  long baud = 0;
  int bitsPerByte = 10;
  double wall = 0;
  double cpu = 0;
};

std::vector<std::uint8_t> imageOf(std::size_t size) {
  std::vector<std::uint8_t> out(size);
  std::uint32_t x = 12345;
  for (auto& b : out) {
    x = x * 1103515245u + 12345u;
    b = static_cast<std::uint8_t>(x >> 16);
  }
  return out;
}

// Boots the emulated handset over a fresh pseudo-terminal, changes the speed, and times the
// transfer of the image to the flash base alone.
Run writeOnce(const dwl::FlashDescription& description, const std::vector<std::uint8_t>& image,
              int speed, bool pace) {
  Run run;
  emulator::NorFlash flash(description);
  emulator::HandsetCore core(flash, {});
  emulator::LinkOptions options;
  options.pace = pace;
  emulator::PtyServer server(core, options);
  std::string error;
  if (!server.open(&error)) {
    std::fprintf(stderr, "write_bench: cannot create the pseudo-terminal: %s\n", error.c_str());
    run.result = {dwl::RESULT_LIB_PC, 0};
    return run;
  }
  std::atomic<std::uint64_t> traffic{0};
  server.onTraffic = [&](bool, const std::uint8_t*, std::size_t count) { traffic += count; };
  std::thread serving([&] { server.serve(); });

  ::setenv("KELVANE_COM4", server.slavePath().c_str(), 1);
  platform::NativeRs232 port;
  downloader::DownloadContext& ctx = sg_DownloadContext;
  ctx = downloader::DownloadContext{};
  ctx.ComPort = 4;
  ctx.Speed = speed;
  ctx.FlashManufacturer = 0;

  dwl::JobState job;
  job.flash = &vg_FlashDescritpion;
  job.serial = &port;
  dwl::JobScope scope(job);
  run.result = dwl::dwl1_0boot(&ctx);
  if (run.result.Family == dwl::RESULT_SUCCESS) {
    dwl::ResultCode rc = dwl::dwl11_8SetGPIO(ctx);
    if (rc == dwl::kOk) rc = dwl::dwl11_0SetSpeedAndPMU(ctx);
    if (rc != dwl::kOk) run.result = {dwl::RESULT_COMMAND, rc};
  }
  if (run.result.Family == dwl::RESULT_SUCCESS) {
    run.baud = core.line().baud;
    run.bitsPerByte = core.line().bitsPerByte();
    const std::uint64_t before = traffic.load();
    const double cpu0 = threadCpuSeconds();
    const auto t0 = std::chrono::steady_clock::now();
    run.result = dwl::dwl11_54Download(ctx, static_cast<std::uint32_t>(image.size()), image.data(),
                                       dwl::FlashBase);
    run.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    run.cpu = threadCpuSeconds() - cpu0;
    run.lineBytes = traffic.load() - before;
    dwl::dwl11_7SwitchOffCommand(ctx.ComPort);
  }
  dwl::dwl12_1UartStop(static_cast<std::uint8_t>(ctx.ComPort));
  server.stop();
  serving.join();
  run.flashEqual = flash.read(0, image.size()) == image;
  return run;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const double mib = argc > 1 ? std::atof(argv[1]) : 2.0;
  if (!(mib > 0 && mib <= 16)) {
    std::fprintf(stderr, "usage: write_bench [MiB, 0 < MiB <= 16, default 2]\n");
    return 2;
  }

  testsupport::TempDir dir;
  const std::filesystem::path samples = std::filesystem::path(KELVANE_SOURCE_DIR) / "samples";
  for (const char* name : {"flash.txt", "dwl87.spm"})
    std::filesystem::copy_file(samples / name, dir.path() / name);
  if (dwl::dwl10_100InitFlashDescription(vg_FlashDescritpion) != dwl::kOk) {
    std::fprintf(stderr, "write_bench: %s/flash.txt does not parse\n", samples.c_str());
    return 1;
  }
  dwl::FlashDescription description;
  std::string error;
  if (!emulator::loadFlashDescription("flash.txt", std::nullopt, description, &error)) {
    std::fprintf(stderr, "write_bench: %s\n", error.c_str());
    return 1;
  }

  bool ok = true;
  const auto image = imageOf(static_cast<std::size_t>(mib * 1024 * 1024));
  std::printf("image write of %.2f MiB to %s %s, paced emulator on a pseudo-terminal\n", mib,
              description.ManufacturerName, description.DeviceName);
  for (const int speed : {1, 3}) {
    const Run r = writeOnce(description, image, speed, true);
    const double ideal = static_cast<double>(r.lineBytes) * r.bitsPerByte /
                         static_cast<double>(r.baud > 0 ? r.baud : 1);
    std::printf("\nspeed %d (%ld baud)\n", speed, r.baud);
    std::printf("  result            : family %d code %d, flash %s\n", r.result.Family,
                r.result.Code, r.flashEqual ? "equals the image" : "DIFFERS from the image");
    std::printf("  bytes on the line : %llu (both directions)\n",
                static_cast<unsigned long long>(r.lineBytes));
    std::printf("  time              : %.3f s\n", r.wall);
    std::printf("  ideal line time   : %.3f s\n", ideal);
    std::printf("  efficiency        : %.4f (goal at least 0.97)\n",
                r.wall > 0 ? ideal / r.wall : 0);
    std::printf("  CPU, PC thread    : %.3f s (%.2f %% of the time; goal under 5 %%)\n", r.cpu,
                r.wall > 0 ? 100.0 * r.cpu / r.wall : 0);
    ok = ok && r.result.Family == dwl::RESULT_SUCCESS && r.flashEqual;
  }

  const auto whole = imageOf(16u * 1024 * 1024);
  const Run r = writeOnce(description, whole, 3, false);
  std::printf("\nunpaced, 16 MiB at speed 3\n");
  std::printf("  result            : family %d code %d, flash %s\n", r.result.Family, r.result.Code,
              r.flashEqual ? "equals the image" : "DIFFERS from the image");
  std::printf("  time              : %.3f s, %.2f MiB/s\n", r.wall, r.wall > 0 ? 16.0 / r.wall : 0);
  std::printf("  CPU, PC thread    : %.3f s\n", r.cpu);
  ok = ok && r.result.Family == dwl::RESULT_SUCCESS && r.flashEqual;
  return ok ? 0 : 1;
}
