// Faults the emulated handset can inject, and their command-line syntax.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace emulator {

// The steps after which the handset can fall silent.
enum class Step {
  Announce,     // never announces: no handset on the line
  UploadAck,    // takes the upload but never starts the bootstrap
  StartReport,  // sends the upload acknowledge only
  Identify,     // sends the start report and its two bytes only
  Speed,
  SpeedCheck,
  Gpio,
  Pmu,
  SectorWrite,
  Erase,
  Read,
  SwitchOff,
};

// The single reply bytes that can be replaced by a wrong one.
enum class Reply {
  UploadAck,     // 0x44
  StartReport,   // 0xA0
  Identify,      // 0xC2
  SpeedAccept,   // 0xC0 to 0xE0
  SpeedAck,      // 0xC3
  SpeedVerdict,  // 0x00; a non-zero verdict also keeps the old speed
  SpeedCheck,    // 0xCA
  GpioAccept,    // 0xC0 to 0xEB
  Gpio,          // 0xC9
  PmuAccept,     // 0xC0 to 0xEF
  Pmu,           // 0xCF
  SectorAck,     // 0xCC
  EraseAccept,   // 0xC0 to 0xE2/0xE3/0xE4; 0xC1 makes it a refusal
  EraseAck,      // 0xC5
  ReadAccept,    // 0xC0 to 0xE6
  ReadAck,       // 0xC7
  SwitchOff,     // 0xC0 to 0xE8
};

struct Faults {
  // Silence from the given occurrence (1 = first) of a step on, until the next boot.
  struct Silence {
    Step step;
    int occurrence = 1;
  };
  std::optional<Silence> silence;

  // A wrong byte instead of a reply: on every occurrence (0) or on the given one.
  struct Wrong {
    Reply reply;
    std::uint8_t byte;
    int occurrence = 0;
  };
  std::vector<Wrong> wrong;

  // Sent before the first announcement of each boot.
  std::vector<std::uint8_t> noise;

  // A sector write answered with a bad checksum or with 0xCD and an error byte, on the given
  // attempt (1 = first write of the sector since the boot; 0 = every attempt).
  struct Sector {
    enum Kind { BadChecksum, Error } kind;
    std::uint32_t sector;
    int attempt = 0;
    std::uint8_t error = 0x10;
  };
  std::vector<Sector> sector;

  // An erase that covers the sector reports this outcome and erases nothing.
  struct EraseOutcome {
    std::uint32_t sector;
    std::uint8_t outcome;
  };
  std::vector<EraseOutcome> eraseOutcome;

  // Read commands (1 = first since the boot) whose checksum is sent wrong.
  std::vector<int> readChecksum;

  // The device goes away once it has received this many bytes since the boot.
  std::optional<std::uint64_t> disconnectAfter;

  // After a sector write that was acknowledged good, this byte of the sector holds another value.
  struct Corrupt {
    std::uint32_t sector;
    std::uint32_t offset = 0;
  };
  std::vector<Corrupt> corrupt;
};

// Adds one fault written as on the command line; false with a reason when the text is not one.
bool parseFault(const std::string& fault, Faults& faults, std::string* error);
// The syntax, for --help.
std::string faultSyntax();

const char* stepName(Step step);
const char* replyName(Reply reply);

}  // namespace emulator
