// handset-emulator: a software handset on a pseudo-terminal. Prints the device path, then serves
// boot after boot until SIGTERM or SIGINT.
#include <signal.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "emulator/faults.h"
#include "emulator/handset_core.h"
#include "emulator/nor_flash.h"
#include "emulator/pty_server.h"
#include "emulator/violation_log.h"

namespace {

emulator::PtyServer* g_server = nullptr;

void onSignal(int) {
  if (g_server) g_server->stop();
}

void usage(std::FILE* out) {
  std::fprintf(out,
               "Usage: handset-emulator [options]\n"
               "A software handset (boot ROM, bootstrap, NOR flash) on a pseudo-terminal. The\n"
               "first line of output is the device to open; it serves until SIGTERM or SIGINT.\n"
               "\n"
               "Options:\n"
               "  --flash-description FILE  flash descriptions (default flash.txt)\n"
               "  --flash-id 0xMM:0xDD      description and codes to report (default the first)\n"
               "  --flash-image FILE        flash contents, loaded at start, saved on switch-off\n"
               "                            and on exit\n"
               "  --pace                    send and take bytes at the line rate\n"
               "  --latency-ms N            adapter turnaround before every reply\n"
               "  --fault FAULT             inject a fault (repeatable; see below)\n"
               "  --trace FILE              log every byte and every protocol violation\n"
               "  --expect-bootstrap FILE   report an uploaded bootstrap that differs from FILE\n"
               "  --switch-on-delay-ms N    time from the PC opening the device to switch-on\n"
               "  --power-on-again-ms N     switch on the next handset N ms after the PC\n"
               "                            switched one off (a line of handsets)\n"
               "  --help                    this text\n"
               "\n%s",
               emulator::faultSyntax().c_str());
}

bool parseInt(const std::string& text, int& out) {
  errno = 0;
  char* end = nullptr;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno != 0 || v < 0 || v > 3600000) return false;
  out = static_cast<int>(v);
  return true;
}

bool parseFlashId(const std::string& text, std::uint16_t& out) {
  const auto colon = text.find(':');
  if (colon == std::string::npos) return false;
  unsigned long v[2];
  const std::string parts[2] = {text.substr(0, colon), text.substr(colon + 1)};
  for (int i = 0; i < 2; ++i) {
    char* end = nullptr;
    errno = 0;
    v[i] = std::strtoul(parts[i].c_str(), &end, 0);
    if (parts[i].empty() || *end != '\0' || errno != 0 || v[i] > 0xFF) return false;
  }
  out = emulator::flashCodes(static_cast<std::uint8_t>(v[0]), static_cast<std::uint8_t>(v[1]));
  return true;
}

int usageError(const std::string& why) {
  std::fprintf(stderr, "handset-emulator: %s (see --help)\n", why.c_str());
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string descriptionPath = "flash.txt";
  std::string imagePath, tracePath, expectPath;
  std::optional<std::uint16_t> flashId;
  emulator::LinkOptions link;
  emulator::HandsetConfig config;

  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= argc) return false;
      out = argv[++i];
      return true;
    };
    std::string v;
    if (arg == "--help" || arg == "-h") {
      usage(stdout);
      return 0;
    } else if (arg == "--pace") {
      link.pace = true;
    } else if (arg == "--flash-description") {
      if (!value(descriptionPath)) return usageError(arg + " needs a file");
    } else if (arg == "--flash-image") {
      if (!value(imagePath)) return usageError(arg + " needs a file");
    } else if (arg == "--trace") {
      if (!value(tracePath)) return usageError(arg + " needs a file");
    } else if (arg == "--expect-bootstrap") {
      if (!value(expectPath)) return usageError(arg + " needs a file");
    } else if (arg == "--flash-id") {
      std::uint16_t codes = 0;
      if (!value(v) || !parseFlashId(v, codes)) return usageError(arg + " needs 0xMM:0xDD");
      flashId = codes;
    } else if (arg == "--latency-ms") {
      if (!value(v) || !parseInt(v, link.latencyMs)) return usageError(arg + " needs N >= 0");
    } else if (arg == "--switch-on-delay-ms") {
      if (!value(v) || !parseInt(v, link.switchOnDelayMs)) {
        return usageError(arg + " needs N >= 0");
      }
    } else if (arg == "--power-on-again-ms") {
      // Stands in for a line of handsets: the next one is switched on N ms after the last one off.
      if (!value(v) || !parseInt(v, link.powerOnAgainMs)) return usageError(arg + " needs N >= 0");
    } else if (arg == "--fault") {
      std::string why;
      if (!value(v)) return usageError(arg + " needs a FAULT");
      if (!emulator::parseFault(v, config.faults, &why)) return usageError(why);
    } else {
      return usageError("unknown option " + arg);
    }
  }

  auto description = std::make_unique<dwl::FlashDescription>();
  std::string why;
  if (!emulator::loadFlashDescription(descriptionPath, flashId, *description, &why)) {
    std::fprintf(stderr, "handset-emulator: %s\n", why.c_str());
    return 1;
  }
  if (flashId) {
    config.manufacturer = static_cast<std::uint8_t>(*flashId >> 8);
    config.device = static_cast<std::uint8_t>(*flashId & 0xFF);
  }
  if (!expectPath.empty()) {
    std::ifstream in(expectPath, std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "handset-emulator: cannot open %s\n", expectPath.c_str());
      return 1;
    }
    config.expectedBootstrap.emplace(std::istreambuf_iterator<char>(in),
                                     std::istreambuf_iterator<char>());
  }

  emulator::NorFlash flash(*description);
  if (!imagePath.empty() && std::ifstream(imagePath).good() && !flash.load(imagePath, &why)) {
    std::fprintf(stderr, "handset-emulator: %s\n", why.c_str());
    return 1;
  }
  std::FILE* trace = nullptr;
  if (!tracePath.empty()) {
    trace = std::fopen(tracePath.c_str(), "w");
    if (!trace) {
      std::fprintf(stderr, "handset-emulator: cannot write %s\n", tracePath.c_str());
      return 1;
    }
  }

  const auto start = std::chrono::steady_clock::now();
  auto stamp = [&] {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  };
  auto save = [&] {
    if (imagePath.empty()) return;
    std::string err;
    if (!flash.save(imagePath, &err)) std::fprintf(stderr, "handset-emulator: %s\n", err.c_str());
  };

  emulator::HandsetCore core(flash, config);
  // The trace keeps every violation; standard error gets the first of a burst and a count.
  emulator::ViolationLog violations([](const std::string& line) {
    std::fprintf(stderr, "handset-emulator: %s\n", line.c_str());
  });
  core.onViolation = [&](const std::string& text) {
    violations.note(text, stamp());
    if (trace) std::fprintf(trace, "%10.3f !! %s\n", stamp(), text.c_str());
  };
  core.onSwitchOff = [&] {
    if (trace) std::fprintf(trace, "%10.3f -- switched off\n", stamp());
    save();
  };

  emulator::PtyServer server(core, link);
  if (!server.open(&why)) {
    std::fprintf(stderr, "handset-emulator: %s\n", why.c_str());
    return 1;
  }
  server.onTick = [&] { violations.tick(stamp()); };
  if (trace) {
    server.onTraffic = [&](bool fromPc, const std::uint8_t* data, std::size_t count) {
      std::fprintf(trace, "%10.3f %s", stamp(), fromPc ? "PC>" : "<HS");
      for (std::size_t i = 0; i < count; ++i) std::fprintf(trace, " %02X", data[i]);
      std::fputc('\n', trace);
    };
  }

  g_server = &server;
  struct sigaction sa {};
  sa.sa_handler = onSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  std::printf("%s\n", server.slavePath().c_str());
  std::fflush(stdout);

  server.serve();
  g_server = nullptr;
  violations.finish();
  if (server.disconnected()) {
    std::fprintf(stderr, "handset-emulator: disconnected after %llu bytes\n",
                 static_cast<unsigned long long>(core.receivedCount()));
  }
  save();
  if (trace) std::fclose(trace);
  return 0;
}
