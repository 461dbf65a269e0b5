// What the command line asks for, and its parser.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ops/operations.h"
#include "platform/data_files.h"

namespace cli {

enum class Command { None, Info, Write, Dump, Erase, Ports, RecipeCreate, Station, Report };

// Exit status of a command line that cannot be run as written.
inline constexpr int kExitUsage = 64;

struct Options {
  Command command = Command::None;
  std::string directory;  // -C
  // Searched after the working directory for the data files (the program's, not an option).
  platform::DataFolders dataFolders;
  std::vector<std::string> ports;  // as typed: "4", "COM4" or a device path
  std::optional<int> speed;        // default depends on the command (speedFor)
  bool pmu = false;
  int productType = 2;
  std::array<std::uint8_t, 4> waitStates = {0, 0, 0, 0};
  std::string trace;
  bool json = false;
  std::string progress;  // "jsonl": every progress event as a JSON line on standard output
  std::string log;       // the job log to append to
  bool quiet = false;

  // write
  int model = 0;
  std::string bin1, bin2, ogm1, ogm2;
  bool verify = false;

  // dump and erase
  int first = 0;
  int last = 0;
  // dump of a byte range (--offset, --length) instead of sectors
  bool byteRange = false;
  std::uint32_t offset = 0;
  std::uint32_t length = 0;
  std::string output = "dump.txt";
  bool all = false;

  // recipe create (the images, the link and --verify as for write)
  std::string recipeOutput;
  std::string recipeName, recipeRevision = "1";  // the name: the output's file name when empty

  // station
  std::string recipe;
  bool continuous = false;
  std::string serialFormat;  // "LINE{n:05}"; empty: no serial numbers
  std::string operatorName;
  std::string stationName;  // the host's name when empty

  // report
  std::vector<std::string> reportLogs;
  std::string since;  // ISO 8601 UTC, as the log writes it, or a date
  bool csv = false;
};

// Downloads and the info command run fast by default; the dumper's tables start one step lower.
int speedFor(const Options& options);

// File mode of a write: 0 bin and ogm, 1 bin only, 2 ogm only, -1 no image at all.
std::optional<ops::FileMode> fileModeFor(const Options& options);

struct ParseOutcome {
  // Set when the program should stop at once (help, usage error) with this status.
  std::optional<int> exitStatus;
  // Text for standard output (help) or standard error (usage error).
  std::string text;
  Options options;
};

ParseOutcome parseArguments(int argc, const char* const* argv);

// A port as typed, reduced to its COM number: "4" and "COM4" give 4; a device path gives 0.
// -1 for a number outside 1..255 or a malformed name.
int comNumberOf(const std::string& port);

}  // namespace cli
