// The station's engine driving many handsets at once: N handset-emulator processes (paced, one
// pseudo-terminal each), one 512 KiB image at speed 3, every slot started together. Prints each
// slot's transfer efficiency (the line time the image needs at the link rate / the time its
// transfer took, the boot left out) and the CPU share of this process (the station and its slot
// threads; the emulators are other processes). station_window_bench does the same with the
// station's window open (offscreen unless a platform is chosen), repainting as it does for a user.
//   station_bench [N (default 64)] [speed (default 3)] [job log (default jobs.jsonl; a
//   postgresql:// URL puts every job in that database)]
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "platform/clock.h"
#include "station/station.h"
#ifdef KELVANE_BENCH_WINDOW
#include <QApplication>
#include <QEventLoop>
#include <QTimer>

#include "apps/station/station_window.h"
#endif

namespace fs = std::filesystem;

int main(int argc, char** argv) {
#ifdef KELVANE_BENCH_WINDOW
  if (!std::getenv("QT_QPA_PLATFORM")) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication app(argc, argv);
#else
  QCoreApplication app(argc, argv);
#endif
  const int count = argc > 1 ? std::atoi(argv[1]) : 64;
  const int speed = argc > 2 ? std::atoi(argv[2]) : 3;
  const long baud = speed == 3 ? 460800 : speed == 2 ? 230400 : speed == 1 ? 115200 : 38400;
  const fs::path self = fs::canonical("/proc/self/exe");
  const std::string emulatorPath =
      (self.parent_path().parent_path() / "emulator" / "handset-emulator").string();
  // Before the bench leaves for its own folder: the compiler may name this file relatively.
  const fs::path samples = fs::path(KELVANE_SOURCE_DIR) / "samples";

  const fs::path dir = fs::temp_directory_path() / ("station-bench-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  fs::current_path(dir);
  fs::copy_file(samples / "flash.txt", "flash.txt", fs::copy_options::overwrite_existing);
  fs::copy_file(samples / "dwl87.spm", "dwl87.spm", fs::copy_options::overwrite_existing);
  constexpr std::size_t kImage = 512 * 1024;
  {
    std::vector<char> bytes(kImage);
    std::uint32_t x = 7;
    for (char& b : bytes) b = static_cast<char>((x = x * 1103515245u + 12345u) >> 16);
    std::ofstream("image.bin", std::ios::binary).write(bytes.data(), kImage);
  }

  std::vector<std::unique_ptr<bench::Emulator>> emulators;
  for (int i = 0; i < count; ++i) {
    emulators.push_back(std::make_unique<bench::Emulator>(
        emulatorPath, std::vector<std::string>{"--pace", "--flash-description", "flash.txt"}));
    if (emulators.back()->device().empty()) {
      std::fprintf(stderr, "station_bench: cannot start %s\n", emulatorPath.c_str());
      return 1;
    }
  }

  station::Recipe recipe;
  recipe.images = {{dwl::Slot::Bin1, "image.bin"}};
  recipe.speed = speed;
  recipe.verify = false;
  std::vector<std::string> problems;
  const auto loaded = station::loadRecipe(recipe, &problems);
  if (!loaded) {
    std::fprintf(stderr, "station_bench: %s\n", problems.front().c_str());
    return 1;
  }
  ops::JobLog log;
  std::string why;
  const std::string target = argc > 3 ? argv[3] : "jobs.jsonl";
  if (!log.open(target, &why)) {
    std::fprintf(stderr, "station_bench: %s\n", why.c_str());
    return 1;
  }
#ifdef KELVANE_BENCH_WINDOW
  QStringList ports;
  for (const auto& e : emulators) ports << QString::fromStdString(e->device());
  station::StationWindow window(recipe, &log, station::serialPorts(), ports);
  window.show();
  station::Station& engine = window.engine();
#else
  station::Station engine(loaded, &log, station::serialPorts());
  for (const auto& e : emulators) engine.addSlot(e->device());
#endif

  const double cpu0 = bench::processCpuSeconds(), wall0 = platform::now();
  engine.startAll(false);
  // The progress handling a window does: read every slot's status five times a second (the
  // window's own timer when it is open).
  for (bool running = true; running;) {
#ifdef KELVANE_BENCH_WINDOW
    QEventLoop slice;
    QTimer::singleShot(200, &slice, &QEventLoop::quit);
    slice.exec();
#else
    ::usleep(200000);
#endif
    running = false;
    for (int i = 0; i < engine.slotCount(); ++i) running |= engine.status(i).running;
  }
  engine.waitAll();
  const double cpu = bench::processCpuSeconds() - cpu0, wall = platform::now() - wall0;

  const double ideal = kImage * 10.0 / static_cast<double>(baud);
#ifdef KELVANE_BENCH_WINDOW
  std::printf("with the window open (%s)\n", qgetenv("QT_QPA_PLATFORM").constData());
#endif
  std::printf("%d handsets, %zu KiB at speed %d (%ld baud), transfer ideal %.2f s\n\n", count,
              kImage / 1024, speed, baud, ideal);
  std::printf("slot  result  job s   transfer s  efficiency\n");
  double minEff = 1e9, maxEff = 0, minJob = 1e9, maxJob = 0;
  int failed = 0;
  for (int i = 0; i < engine.slotCount(); ++i) {
    const station::SlotStatus s = engine.status(i);
    const bool ok = s.stage == station::SlotStage::Done;
    const double eff = s.transferSeconds > 0 ? ideal / s.transferSeconds : 0;
    std::printf("%4d  %-6s  %6.2f  %10.2f  %10.3f%s%s\n", i + 1, ok ? "ok" : "FAILED", s.elapsed,
                s.transferSeconds, eff, ok ? "" : "  ", ok ? "" : s.result.c_str());
    if (!ok) {
      ++failed;
      continue;
    }
    minEff = std::min(minEff, eff);
    maxEff = std::max(maxEff, eff);
    minJob = std::min(minJob, s.elapsed);
    maxJob = std::max(maxJob, s.elapsed);
  }
  std::printf(
      "\nsummary: %d of %d ok; whole job %.2f..%.2f s; transfer efficiency %.3f..%.3f; "
      "wall %.2f s; PC side CPU %.2f s = %.1f %% of one core\n",
      count - failed, count, minJob, maxJob, minEff, maxEff, wall, cpu, 100.0 * cpu / wall);
  emulators.clear();
  fs::current_path("/");
  fs::remove_all(dir);
  return 0;
}
