// The emulated handset as a pure byte-driven state machine: the boot ROM, the bootstrap and its
// commands over a NOR flash. Bytes from the PC go in, bytes to the PC come out; it knows nothing
// of time or ports. It answers what a handset answers and records every deviation of the PC
// from the protocol as a violation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "emulator/faults.h"
#include "emulator/nor_flash.h"

namespace emulator {

struct LineSettings {
  long baud = 38400;
  bool parity = true;  // even parity during the boot, none after the speed change
  // Start bit, 8 data bits, parity bit, stop bit.
  int bitsPerByte() const { return parity ? 11 : 10; }
  friend bool operator==(const LineSettings&, const LineSettings&) = default;
};

// The rate the bootstrap switches to for a speed change frame's three bytes; none when the handset
// does not know the combination.
std::optional<long> rateForSpeedParameters(std::uint8_t p0, std::uint8_t p1, std::uint8_t p2);

struct HandsetConfig {
  // The codes the bootstrap reports; default those of the flash.
  std::optional<std::uint8_t> manufacturer;
  std::optional<std::uint8_t> device;
  Faults faults;
  // When set, the uploaded bootstrap must equal these bytes.
  std::optional<std::vector<std::uint8_t>> expectedBootstrap;
};

class HandsetCore {
 public:
  enum class State {
    Off,        // not powered, or switched off by the PC
    BootRom,    // announcing 0xBE, waiting for 0x44
    Records,    // boot ROM taking chip selects, addresses, data blocks, the start record
    Bootstrap,  // running the bootstrap's command loop
    Crashed,    // started where no program was uploaded
    Hung,       // injected silence
    Gone,       // injected disconnect
  };

  HandsetCore(NorFlash& flash, HandsetConfig config);

  // A fresh boot: boot ROM, 38400 baud with even parity, counters and records cleared.
  void powerOn();
  void powerOff();

  State state() const { return state_; }
  bool disconnected() const { return state_ == State::Gone; }
  // Off by the PC's switch-off command (not merely not yet powered).
  bool switchedOff() const { return switchedOff_; }
  LineSettings line() const { return line_; }

  // While in the boot ROM: queues the announcement (noise first, once per boot, then 0xBE).
  // False when the handset has nothing to announce.
  bool announce();

  void receive(const std::uint8_t* data, std::size_t count);
  void receive(const std::vector<std::uint8_t>& bytes) { receive(bytes.data(), bytes.size()); }
  // Bytes ready to be sent to the PC.
  std::size_t pending() const;
  std::size_t take(std::uint8_t* out, std::size_t max);
  std::vector<std::uint8_t> takeAll();

  // Records of the current boot.
  const std::vector<std::uint8_t>& received() const { return received_; }
  const std::vector<std::uint8_t>& sent() const { return sent_; }
  const std::vector<std::string>& violations() const { return violations_; }
  const std::vector<std::pair<std::uint8_t, std::uint8_t>>& chipSelects() const {
    return chipSelects_;
  }
  // Uploaded data blocks by address.
  const std::map<std::uint32_t, std::vector<std::uint8_t>>& blocks() const { return blocks_; }
  // The program the start record started; empty before.
  const std::vector<std::uint8_t>& bootstrap() const { return bootstrap_; }
  std::uint64_t receivedCount() const { return receivedCount_; }

  NorFlash& flash() { return flash_; }
  const HandsetConfig& config() const { return config_; }

  // Records a deviation of the PC from the protocol (the links add what only they can see).
  void violation(const std::string& text);

  // Called on every violation and when the PC switches the handset off.
  std::function<void(const std::string&)> onViolation;
  std::function<void()> onSwitchOff;

 private:
  enum class Record { Idle, ChipSelectValue, AddressType, Address, BlockLength, BlockData, Start };

  std::size_t process(const std::uint8_t* data, std::size_t count);
  void recordByte(std::uint8_t b);
  void commandByte(std::uint8_t b);
  void startBootstrap();
  void speedFrame();
  void sectorHeader();
  void sectorDone();
  void eraseDone(std::uint8_t command);
  void readStart();
  void pump();
  bool busy() const { return readLeft_ > 0; }

  // Enters a step; true when the handset falls silent there.
  bool silencedAt(Step step);
  std::uint8_t reply(Reply which, std::uint8_t good);
  void emit(std::uint8_t b);
  void emit32le(std::uint32_t v);
  std::uint8_t memoryAt(std::uint32_t address) const;

  NorFlash& flash_;
  HandsetConfig config_;
  State state_ = State::Off;
  LineSettings line_;
  std::optional<LineSettings> pendingLine_;
  bool noiseSent_ = false;
  bool offNoted_ = false;
  bool switchedOff_ = false;  // by the PC's command, not merely not yet on

  std::vector<std::uint8_t> out_;
  std::size_t outPos_ = 0;
  std::vector<std::uint8_t> inbox_;
  std::size_t inPos_ = 0;

  std::vector<std::uint8_t> received_;
  std::vector<std::uint8_t> sent_;
  std::vector<std::string> violations_;
  std::uint64_t receivedCount_ = 0;
  std::map<Step, int> stepCount_;
  std::map<Reply, int> replyCount_;

  // Boot ROM.
  Record record_ = Record::Idle;
  std::uint8_t csRegister_ = 0;
  std::vector<std::uint8_t> collect_;
  std::size_t need_ = 0;
  bool haveAddress_ = false;
  std::uint32_t address_ = 0;
  std::vector<std::pair<std::uint8_t, std::uint8_t>> chipSelects_;
  std::map<std::uint32_t, std::vector<std::uint8_t>> blocks_;
  std::vector<std::uint8_t> bootstrap_;

  // Bootstrap.
  std::uint8_t command_ = 0;  // 0: waiting for a command
  bool sectorData_ = false;
  std::uint32_t sectorSize_ = 0, sectorAddress_ = 0, sectorLength_ = 0, sectorLeft_ = 0;
  std::uint32_t sectorSum_ = 0;
  std::optional<std::uint32_t> sector_;
  std::uint8_t sectorError_ = 0;
  std::vector<std::uint8_t> sectorBuffer_;
  std::map<std::uint32_t, int> sectorAttempts_;
  int reads_ = 0;
  std::uint32_t readAddress_ = 0, readLeft_ = 0, readSum_ = 0;
  bool readBadSum_ = false;
};

const char* stateName(HandsetCore::State state);

}  // namespace emulator
