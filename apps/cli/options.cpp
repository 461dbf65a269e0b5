#include "apps/cli/options.h"

#include <CLI/CLI.hpp>
#include <cctype>
#include <charconv>
#include <sstream>
#include <string_view>

#include "ops/operations.h"

namespace cli {

int speedFor(const Options& options) {
  if (options.speed) return *options.speed;
  return (options.command == Command::Dump || options.command == Command::Erase) ? 2 : 3;
}

std::optional<ops::FileMode> fileModeFor(const Options& options) {
  return ops::fileModeOf(!options.bin1.empty() || !options.bin2.empty(),
                         !options.ogm1.empty() || !options.ogm2.empty());
}

int comNumberOf(const std::string& port) {
  if (port.find('/') != std::string::npos) return 0;
  std::string_view digits = port;
  if (digits.size() > 3 && std::toupper(static_cast<unsigned char>(port[0])) == 'C' &&
      std::toupper(static_cast<unsigned char>(port[1])) == 'O' &&
      std::toupper(static_cast<unsigned char>(port[2])) == 'M')
    digits.remove_prefix(3);
  // Digits only: from_chars alone would take a leading minus sign.
  if (digits.empty() || !std::isdigit(static_cast<unsigned char>(digits[0]))) return -1;
  int n = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), n);
  if (ec != std::errc() || end != digits.data() + digits.size()) return -1;
  return n >= 1 && n <= 255 ? n : -1;
}

namespace {

// "A,B,C,D", each 0..4.
std::string checkWaitStates(const std::string& text, std::array<std::uint8_t, 4>* out) {
  std::array<std::uint8_t, 4> values{};
  std::size_t count = 0, start = 0;
  while (true) {
    const std::size_t comma = text.find(',', start);
    const std::string item = text.substr(start, comma == std::string::npos ? comma : comma - start);
    if (count == 4 || item.size() != 1 || item[0] < '0' || item[0] > '4')
      return "--wait-states takes four values 0..4 separated by commas, not '" + text + "'";
    values[count++] = static_cast<std::uint8_t>(item[0] - '0');
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  if (count != 4)
    return "--wait-states takes four values 0..4 separated by commas, not '" + text + "'";
  if (out) *out = values;
  return {};
}

// CLI11 reads numbers as C does, "010" as octal 8; ours are decimal or 0x hex, so leading zeros
// are dropped before the conversion.
const CLI::Validator kDecimal(
    [](std::string& text) {
      const std::size_t digits = text.find_first_not_of("0123456789");
      if (digits == std::string::npos && text.size() > 1 && text[0] == '0')
        text.erase(0, std::min(text.find_first_not_of('0'), text.size() - 1));
      return std::string();
    },
    "", "decimal");

// A sector number of the fixed map, as dump and erase take it.
CLI::Option* sectorOption(CLI::App* command, const char* name, int& value, const char* help) {
  return command->add_option(name, value, help)->transform(kDecimal)->check(CLI::Range(0, 283));
}

}  // namespace

ParseOutcome parseArguments(int argc, const char* const* argv) {
  ParseOutcome result;
  Options& o = result.options;
  std::string waitStates;

  CLI::App app{"Boots a handset over its serial line, then writes, dumps or erases its flash.",
               "kelvane"};
  app.require_subcommand(1, 1);
  app.fallthrough();
  app.set_version_flag("--version", "kelvane " KELVANE_VERSION);
  app.footer(
      "Files: flash.txt and dwl87.spm are read from the working directory, else from the user's\n"
      "configuration folder (kelvane/), else from the installed data folder (share/kelvane/).\n"
      "Ports: COMn is the device named by the environment variable KELVANE_COMn when it is set,\n"
      "else the device chosen for it in a window's Device... dialog (kept in the user's\n"
      "kelvane/ports.txt), otherwise the system's n-th serial port.\n"
      "Numbers are decimal (a leading zero too) or hexadecimal with 0x.\n"
      "Exit status: 0 success; the result family 1..13 of a failure; 14 cancelled; 15 a local\n"
      "file that cannot be used (the -C folder, the trace, the job log, standard output); 20 when\n"
      "the read-back differs; 64 for a usage error.\n");
  app.add_option("-C", o.directory,
                 "work in DIR: flash.txt, dwl87.spm, images, dump and trace files are taken "
                 "relative to it")
      ->type_name("DIR");
  app.add_option("--port", o.ports,
                 "COM number (4, COM4) or device path; repeat it to serve several handsets")
      ->type_name("PORT")
      ->check([](const std::string& port) {
        return comNumberOf(port) < 0 ? "not a COM number 1..255 or a device path: " + port
                                     : std::string();
      });
  app.add_option("--speed", o.speed, "speed index 0..8 (default 3; 2 for dump and erase)")
      ->transform(kDecimal)
      ->check(CLI::Range(0, 8));
  app.add_flag("--pmu", o.pmu, "send the power-management command after the speed change");
  app.add_option("--product-type", o.productType, "product type 1 or 2 (default 2)")
      ->transform(kDecimal)
      ->check(CLI::Range(1, 2));
  app.add_option("--wait-states", waitStates, "chip-select wait states 0..4 (default 0,0,0,0)")
      ->type_name("A,B,C,D")
      ->check([](const std::string& text) { return checkWaitStates(text, nullptr); });
  app.add_option("--trace", o.trace, "log every byte sent and received to FILE")->type_name("FILE");
  app.add_flag("--json", o.json, "print the result as JSON on standard output");
  app.add_flag("-q,--quiet", o.quiet, "no progress output");
  app.add_option("--progress", o.progress,
                 "jsonl: every progress event as a JSON line on standard output")
      ->check(CLI::IsMember({"jsonl"}));
  app.add_option("--log", o.log, "append one JSON line per job to FILE")->type_name("FILE");

  app.add_subcommand("info", "boot, identify processor and flash, switch the handset off")
      ->callback([&] { o.command = Command::Info; });

  CLI::App* write = app.add_subcommand("write", "write up to four images into the flash");
  write->callback([&] { o.command = Command::Write; });
  write->add_option("--model", o.model, "model 0..3 (where the first ogm image goes)")
      ->transform(kDecimal)
      ->check(CLI::Range(0, 3));
  write->add_option("--bin1", o.bin1, "first bin image (the CLA file)")->type_name("FILE");
  write->add_option("--bin2", o.bin2, "second bin image")->type_name("FILE");
  write->add_option("--ogm1", o.ogm1, "first ogm image")->type_name("FILE");
  write->add_option("--ogm2", o.ogm2, "second ogm image")->type_name("FILE");
  write->add_flag("--verify", o.verify, "read every image back and compare it");

  CLI::App* dump = app.add_subcommand(
      "dump", "append flash sectors FIRST..LAST, or LENGTH bytes from OFFSET, to a file");
  dump->callback([&] { o.command = Command::Dump; });
  CLI::Option* dumpFirst = sectorOption(dump, "--first", o.first, "first sector 0..283");
  CLI::Option* dumpLast = sectorOption(dump, "--last", o.last, "last sector 0..283");
  CLI::Option* offset =
      dump->add_option("--offset", o.offset,
                       "first byte, from the start of the flash (0x... or decimal)")
          ->type_name("A")
          ->transform(kDecimal)
          ->check(CLI::Range(0u, 0xFFFFFFu));
  CLI::Option* length = dump->add_option("--length", o.length, "number of bytes (0x... or decimal)")
                            ->type_name("N")
                            ->transform(kDecimal)
                            ->check(CLI::Range(1u, 0x1000000u));
  offset->excludes(dumpFirst)->excludes(dumpLast);
  length->excludes(dumpFirst)->excludes(dumpLast);
  dump->add_option("--output", o.output, "file the sectors are appended to (default dump.txt)")
      ->type_name("FILE");

  CLI::App* erase = app.add_subcommand("erase", "erase flash sectors");
  erase->callback([&] { o.command = Command::Erase; });
  CLI::Option* all = erase->add_flag("--all", o.all, "the whole flash (sectors 0..267)");
  CLI::Option* first = sectorOption(erase, "--first", o.first, "first sector 0..283");
  CLI::Option* last = sectorOption(erase, "--last", o.last, "last sector 0..283");
  all->excludes(first)->excludes(last);

  app.add_subcommand("ports", "list serial ports and the COM mapping")->callback([&] {
    o.command = Command::Ports;
  });

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    std::ostringstream out;
    // The program's help shows every command with its options; a command's help, its own.
    if (app.get_subcommands().empty())
      out << app.help("", CLI::AppFormatMode::All);
    else
      app.exit(e, out, out);
    result.exitStatus = 0;
    result.text = out.str();
    return result;
  } catch (const CLI::CallForVersion& e) {
    std::ostringstream out;
    app.exit(e, out, out);
    result.exitStatus = 0;
    result.text = out.str();
    return result;
  } catch (const CLI::CallForAllHelp& e) {
    std::ostringstream out;
    app.exit(e, out, out);
    result.exitStatus = 0;
    result.text = out.str();
    return result;
  } catch (const CLI::ParseError& e) {
    std::ostringstream err;
    err << "kelvane: " << e.what() << "\nRun with --help for more information.\n";
    result.exitStatus = kExitUsage;
    result.text = err.str();
    return result;
  }

  auto usage = [&](const std::string& text) {
    result.exitStatus = kExitUsage;
    result.text = "kelvane: " + text + "\nRun with --help for more information.\n";
    return result;
  };
  if (!waitStates.empty()) checkWaitStates(waitStates, &o.waitStates);
  if (o.command == Command::Write && !fileModeFor(o))
    return usage("write needs at least one image (--bin1, --bin2, --ogm1 or --ogm2)");
  if (o.command == Command::Erase) {
    if (o.all) {
      o.first = 0;
      o.last = 267;
    } else if (first->count() == 0 || last->count() == 0) {
      return usage("erase needs --all, or --first and --last");
    }
  }
  if (o.command == Command::Dump) {
    o.byteRange = offset->count() > 0 || length->count() > 0;
    if (o.byteRange && (offset->count() == 0 || length->count() == 0))
      return usage("dump needs --offset and --length together");
    if (!o.byteRange && (dumpFirst->count() == 0 || dumpLast->count() == 0))
      return usage("dump needs --first and --last, or --offset and --length");
    if (o.byteRange && o.length > 0x1000000u - o.offset)
      return usage("the range ends past the 16 MiB flash");
  }
  if ((o.command == Command::Dump || o.command == Command::Erase) && !o.byteRange &&
      o.first > o.last)
    return usage("the first sector (" + std::to_string(o.first) + ") is above the last (" +
                 std::to_string(o.last) + ")");
  for (std::size_t i = 0; i < o.ports.size(); ++i)
    for (std::size_t j = 0; j < i; ++j)
      if (o.ports[i] == o.ports[j]) return usage("port " + o.ports[i] + " is given twice");
  return result;
}

}  // namespace cli
