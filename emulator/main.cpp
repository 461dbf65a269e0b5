// handset-emulator: a software handset on a pseudo-terminal. Prints the device path, then serves
// boot after boot until SIGTERM or SIGINT.
#include <signal.h>

#include <CLI/CLI.hpp>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
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

// "0xMM:0xDD", each part decimal or 0x-prefixed hex, 0..255.
std::string parseFlashId(const std::string& text, std::uint16_t* out) {
  const std::string bad = "needs 0xMM:0xDD, not '" + text + "'";
  const auto colon = text.find(':');
  if (colon == std::string::npos) return bad;
  std::uint8_t v[2];
  const std::string_view parts[2] = {std::string_view(text).substr(0, colon),
                                     std::string_view(text).substr(colon + 1)};
  for (int i = 0; i < 2; ++i) {
    std::string_view part = parts[i];
    int base = 10;
    if (part.size() > 2 && part[0] == '0' && (part[1] == 'x' || part[1] == 'X')) {
      part.remove_prefix(2);
      base = 16;
    }
    const auto [end, ec] = std::from_chars(part.data(), part.data() + part.size(), v[i], base);
    if (part.empty() || ec != std::errc() || end != part.data() + part.size()) return bad;
  }
  if (out) *out = emulator::flashCodes(v[0], v[1]);
  return {};
}

}  // namespace

int main(int argc, char** argv) {
  std::string descriptionPath = "flash.txt";
  std::string imagePath, tracePath, expectPath, flashIdText;
  std::vector<std::string> faults;
  std::optional<std::uint16_t> flashId;
  emulator::LinkOptions link;
  emulator::HandsetConfig config;

  CLI::App app{
      "A software handset (boot ROM, bootstrap, NOR flash) on a pseudo-terminal. The first line\n"
      "of output is the device to open; it serves until SIGTERM or SIGINT.",
      "handset-emulator"};
  app.set_version_flag("--version", "handset-emulator " KELVANE_VERSION);
  app.add_option("--flash-description", descriptionPath, "flash descriptions (default flash.txt)")
      ->type_name("FILE");
  app.add_option("--flash-id", flashIdText,
                 "description and codes to report (default the first description)")
      ->type_name("0xMM:0xDD")
      ->check([](const std::string& text) { return parseFlashId(text, nullptr); });
  app.add_option("--flash-image", imagePath,
                 "flash contents, loaded at start, saved on switch-off and on exit")
      ->type_name("FILE");
  app.add_flag("--pace", link.pace, "send and take bytes at the line rate");
  app.add_flag("--custom-rate-as-38400", link.customRateAs38400,
               "take a PC at 38400 baud as at any rate outside the termios table (Wine's\n"
               "custom-divisor setting shows as 38400 on a pseudo-terminal)");
  app.add_option("--latency-ms", link.latencyMs, "adapter turnaround before every reply")
      ->type_name("N")
      ->check(CLI::Range(0, 3600000));
  app.add_option("--fault", faults, "inject a fault (repeatable; see below)")->type_name("FAULT");
  app.add_option("--trace", tracePath, "log every byte and every protocol violation")
      ->type_name("FILE");
  app.add_option("--expect-bootstrap", expectPath, "report an uploaded bootstrap that differs")
      ->type_name("FILE");
  app.add_option("--switch-on-delay-ms", link.switchOnDelayMs,
                 "time from the PC opening the device to switch-on")
      ->type_name("N")
      ->check(CLI::Range(0, 3600000));
  // Stands in for a line of handsets: the next one is switched on N ms after the last one off.
  app.add_option("--power-on-again-ms", link.powerOnAgainMs,
                 "switch on the next handset N ms after the PC switched one off")
      ->type_name("N")
      ->check(CLI::Range(0, 3600000));
  app.footer(emulator::faultSyntax());
  try {
    app.parse(argc, argv);
    for (const std::string& fault : faults) {
      std::string why;
      if (!emulator::parseFault(fault, config.faults, &why)) throw CLI::ValidationError(why);
    }
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() != 0) {
      std::fprintf(stderr, "handset-emulator: %s (see --help)\n", e.what());
      return 2;
    }
    return app.exit(e);
  }
  if (!flashIdText.empty()) {
    std::uint16_t codes = 0;
    parseFlashId(flashIdText, &codes);
    flashId = codes;
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
