#include "emulator/handset_core.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace emulator {

namespace {

struct SpeedRow {
  std::uint8_t p[3];
  long baud;
};

// Every parameter combination the bootstrap understands, with the rate it then runs at. Both
// programs' tables are here: they differ in one row.
constexpr SpeedRow kSpeedRows[] = {
    {{0x00, 0xFF, 0xEB}, 38400},  {{0x00, 0xFF, 0xF9}, 115200}, {{0x80, 0xFF, 0xFD}, 230400},
    {{0xC0, 0xFF, 0xFF}, 460800}, {{0x00, 0xFF, 0xFC}, 203125}, {{0xB0, 0xFF, 0xFD}, 220338},
    {{0x60, 0xFF, 0xFD}, 240740}, {{0x20, 0xFF, 0xFD}, 260000}, {{0x00, 0xFF, 0xFD}, 270833},
    {{0xB0, 0xFF, 0xFE}, 302325},
};

// Verdicts after 0xC3.
constexpr std::uint8_t kVerdictOk = 0x00;
constexpr std::uint8_t kVerdictBadSum = 0x01;
constexpr std::uint8_t kVerdictUnknownRate = 0x02;

// Error bytes after 0xCD.
constexpr std::uint8_t kSectorNotAStart = 0x01;
constexpr std::uint8_t kSectorWrongSize = 0x02;
constexpr std::uint8_t kSectorTooLong = 0x03;

constexpr std::uint8_t kEraseFailed = 0xF3;
constexpr std::uint8_t kEraseDone = 0xF6;

// The two bytes after the start report: the stack pointer the bootstrap set.
constexpr std::uint8_t kStartReportBytes[2] = {0x7F, 0xF0};
// The extra identification byte of the parts that have one.
constexpr std::uint8_t kExtraIdByte = 0x01;
// Status byte after the PMU reply.
constexpr std::uint8_t kPmuStatus = 0x01;

std::string hex(unsigned value, int digits = 2) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%0*X", digits, value);
  return buf;
}

std::uint32_t be32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

bool isChipSelectRegister(std::uint8_t b) {
  return b == 0xC6 || b == 0xC7 || b == 0xCE || b == 0xCF || b == 0xD6 || b == 0xD7;
}

}  // namespace

std::optional<long> rateForSpeedParameters(std::uint8_t p0, std::uint8_t p1, std::uint8_t p2) {
  for (const SpeedRow& r : kSpeedRows) {
    if (r.p[0] == p0 && r.p[1] == p1 && r.p[2] == p2) return r.baud;
  }
  return std::nullopt;
}

const char* stateName(HandsetCore::State state) {
  switch (state) {
    case HandsetCore::State::Off:
      return "off";
    case HandsetCore::State::BootRom:
      return "boot ROM";
    case HandsetCore::State::Records:
      return "records";
    case HandsetCore::State::Bootstrap:
      return "bootstrap";
    case HandsetCore::State::Crashed:
      return "crashed";
    case HandsetCore::State::Hung:
      return "silent";
    case HandsetCore::State::Gone:
      return "disconnected";
  }
  return "?";
}

HandsetCore::HandsetCore(NorFlash& flash, HandsetConfig config)
    : flash_(flash), config_(std::move(config)) {}

void HandsetCore::powerOn() {
  state_ = State::BootRom;
  switchedOff_ = false;
  line_ = LineSettings{};
  pendingLine_.reset();
  noiseSent_ = false;
  offNoted_ = false;
  out_.clear();
  outPos_ = 0;
  inbox_.clear();
  inPos_ = 0;
  received_.clear();
  sent_.clear();
  violations_.clear();
  receivedCount_ = 0;
  stepCount_.clear();
  replyCount_.clear();
  record_ = Record::Idle;
  collect_.clear();
  need_ = 0;
  haveAddress_ = false;
  address_ = 0;
  chipSelects_.clear();
  blocks_.clear();
  bootstrap_.clear();
  command_ = 0;
  sectorData_ = false;
  sectorBuffer_.clear();
  sectorAttempts_.clear();
  reads_ = 0;
  readLeft_ = 0;
}

void HandsetCore::powerOff() {
  if (state_ == State::Gone) return;
  state_ = State::Off;
  offNoted_ = false;
  switchedOff_ = false;
  out_.clear();
  outPos_ = 0;
  inbox_.clear();
  inPos_ = 0;
  readLeft_ = 0;
  pendingLine_.reset();
}

void HandsetCore::violation(const std::string& text) {
  violations_.push_back(text);
  if (onViolation) onViolation(text);
}

bool HandsetCore::silencedAt(Step step) {
  const int n = ++stepCount_[step];
  const auto& s = config_.faults.silence;
  if (s && s->step == step && n >= s->occurrence) {
    state_ = State::Hung;  // what was already said still goes out
    return true;
  }
  return false;
}

void HandsetCore::emit(std::uint8_t b) {
  if (state_ == State::Hung || state_ == State::Gone || state_ == State::Crashed) return;
  out_.push_back(b);
}

void HandsetCore::emit32le(std::uint32_t v) {
  for (int i = 0; i < 4; ++i) emit(static_cast<std::uint8_t>(v >> (8 * i)));
}

std::uint8_t HandsetCore::reply(Reply which, std::uint8_t good) {
  const int n = ++replyCount_[which];
  std::uint8_t b = good;
  for (const Faults::Wrong& w : config_.faults.wrong) {
    if (w.reply == which && (w.occurrence == 0 || w.occurrence == n)) b = w.byte;
  }
  emit(b);
  return b;
}

bool HandsetCore::announce() {
  if (state_ != State::BootRom) return false;
  if (silencedAt(Step::Announce)) return false;
  if (!noiseSent_) {
    out_.insert(out_.end(), config_.faults.noise.begin(), config_.faults.noise.end());
    noiseSent_ = true;
  }
  emit(0xBE);
  return true;
}

void HandsetCore::receive(const std::uint8_t* data, std::size_t count) {
  if (state_ == State::Gone || count == 0) return;
  if (config_.faults.disconnectAfter) {
    const std::uint64_t left = *config_.faults.disconnectAfter - receivedCount_;
    if (count >= left) {
      received_.insert(received_.end(), data, data + left);
      receivedCount_ += left;
      if (!busy() && inPos_ == inbox_.size()) {
        process(data, static_cast<std::size_t>(left));
      }
      state_ = State::Gone;
      out_.clear();
      outPos_ = 0;
      readLeft_ = 0;
      return;
    }
  }
  received_.insert(received_.end(), data, data + count);
  receivedCount_ += count;
  std::size_t done = 0;
  if (!busy() && inPos_ == inbox_.size()) done = process(data, count);
  // While the bootstrap is busy sending, what arrives waits in its receive buffer.
  inbox_.insert(inbox_.end(), data + done, data + count);
}

void HandsetCore::pump() {
  while (!busy() && inPos_ < inbox_.size()) {
    inPos_ += process(inbox_.data() + inPos_, inbox_.size() - inPos_);
  }
  if (inPos_ == inbox_.size()) {
    inbox_.clear();
    inPos_ = 0;
  }
}

std::size_t HandsetCore::process(const std::uint8_t* data, std::size_t count) {
  std::size_t i = 0;
  while (i < count && !busy()) {
    switch (state_) {
      case State::Off:
        if (switchedOff_ && !offNoted_) {
          violation("byte " + hex(data[i]) + " sent to a handset that was switched off");
          offNoted_ = true;
        }
        ++i;
        break;
      case State::BootRom:
        if (data[i] == 0x44) {
          state_ = State::Records;
        } else {
          violation("boot ROM waits for 0x44 but got " + hex(data[i]));
        }
        ++i;
        break;
      case State::Records:
        if (record_ == Record::BlockData) {
          const std::size_t n = std::min(need_ - collect_.size(), count - i);
          collect_.insert(collect_.end(), data + i, data + i + n);
          i += n;
          if (collect_.size() == need_) {
            blocks_[address_] = collect_;
            record_ = Record::Idle;
          }
        } else {
          recordByte(data[i++]);
        }
        break;
      case State::Bootstrap:
        if (sectorData_) {
          const std::size_t n = std::min<std::size_t>(sectorLeft_, count - i);
          for (std::size_t k = 0; k < n; ++k) sectorSum_ += data[i + k];
          if (!sectorError_) {
            sectorBuffer_.insert(sectorBuffer_.end(), data + i, data + i + n);
          }
          sectorLeft_ -= static_cast<std::uint32_t>(n);
          i += n;
          if (sectorLeft_ == 0) sectorDone();
        } else {
          commandByte(data[i++]);
        }
        break;
      case State::Crashed:
      case State::Hung:
      case State::Gone:
        return count;
    }
  }
  return i;
}

void HandsetCore::recordByte(std::uint8_t b) {
  switch (record_) {
    case Record::Idle:
      if (isChipSelectRegister(b)) {
        csRegister_ = b;
        record_ = Record::ChipSelectValue;
      } else if (b == 0x00) {
        record_ = Record::AddressType;
      } else if (b >= 0x40 && b <= 0x5F) {
        need_ = std::size_t{b & 0x1Fu} << 8;
        record_ = Record::BlockLength;
      } else if (b == 0x60) {
        record_ = Record::Start;
      } else {
        violation("unknown boot record byte " + hex(b));
      }
      return;
    case Record::ChipSelectValue:
      chipSelects_.emplace_back(csRegister_, b);
      record_ = Record::Idle;
      return;
    case Record::AddressType:
      if (b == 0x03) {
        collect_.clear();
        record_ = Record::Address;
      } else {
        violation("address record of type " + hex(b) + " instead of 0x03");
        record_ = Record::Idle;
      }
      return;
    case Record::Address:
      collect_.push_back(b);
      if (collect_.size() == 4) {
        address_ = be32(collect_.data());
        haveAddress_ = true;
        record_ = Record::Idle;
      }
      return;
    case Record::BlockLength:
      need_ = (need_ | b) + 1;
      if (need_ > 8191) violation("data block of " + std::to_string(need_) + " bytes");
      if (!haveAddress_) violation("data block before any address record");
      collect_.clear();
      record_ = Record::BlockData;
      return;
    case Record::BlockData:
      return;  // taken in bulk by process()
    case Record::Start:
      record_ = Record::Idle;
      if (b != 0x00) {
        violation("start record 0x60 " + hex(b) + " instead of 0x60 0x00");
        return;
      }
      startBootstrap();
      return;
  }
}

void HandsetCore::startBootstrap() {
  auto it = blocks_.find(address_);
  if (!haveAddress_ || it == blocks_.end() || it->second.empty()) {
    violation("start record at " + hex(address_, 8) + " where no program was uploaded");
    state_ = State::Crashed;
    return;
  }
  bootstrap_ = it->second;
  if (config_.expectedBootstrap && bootstrap_ != *config_.expectedBootstrap) {
    violation("uploaded bootstrap (" + std::to_string(bootstrap_.size()) +
              " bytes) differs from the expected one (" +
              std::to_string(config_.expectedBootstrap->size()) + " bytes)");
  }
  state_ = State::Bootstrap;
  command_ = 0;
  if (silencedAt(Step::UploadAck)) return;
  reply(Reply::UploadAck, 0x44);
  if (silencedAt(Step::StartReport)) return;
  reply(Reply::StartReport, 0xA0);
  emit(kStartReportBytes[0]);
  emit(kStartReportBytes[1]);
  if (silencedAt(Step::Identify)) return;
  reply(Reply::Identify, 0xC2);
  const std::uint8_t maker = config_.manufacturer.value_or(flash_.manufacturerId());
  const std::uint8_t device = config_.device.value_or(flash_.deviceId());
  emit(maker);
  emit(device);
  if (maker == 0x01 && (device == 0xE3 || device == 0xE4)) emit(kExtraIdByte);
}

void HandsetCore::commandByte(std::uint8_t b) {
  if (command_ != 0) {
    collect_.push_back(b);
    if (collect_.size() < need_) return;
    const std::uint8_t cmd = command_;
    command_ = 0;
    switch (cmd) {
      case 0xE0:
        speedFrame();
        break;
      case 0xEA:
        sectorHeader();
        break;
      case 0xE3:
      case 0xE4:
        eraseDone(cmd);
        break;
      case 0xE6:
        readStart();
        break;
      default:
        break;
    }
    return;
  }
  collect_.clear();
  switch (b) {
    case 0xE0:
      if (silencedAt(Step::Speed)) return;
      reply(Reply::SpeedAccept, 0xC0);
      command_ = b;
      need_ = 5;
      return;
    case 0xE9:
      if (silencedAt(Step::SpeedCheck)) return;
      reply(Reply::SpeedCheck, 0xCA);
      return;
    case 0xEB:
      if (silencedAt(Step::Gpio)) return;
      reply(Reply::GpioAccept, 0xC0);
      reply(Reply::Gpio, 0xC9);
      return;
    case 0xEF:
      if (silencedAt(Step::Pmu)) return;
      reply(Reply::PmuAccept, 0xC0);
      reply(Reply::Pmu, 0xCF);
      emit(kPmuStatus);
      return;
    case 0xEA:
      if (silencedAt(Step::SectorWrite)) return;
      command_ = b;
      need_ = 12;
      return;
    case 0xE2:
    case 0xE3:
    case 0xE4: {
      if (silencedAt(Step::Erase)) return;
      // A refusal takes no parameters; any other byte was meant as the acceptance.
      if (reply(Reply::EraseAccept, 0xC0) == 0xC1) return;
      command_ = b;
      need_ = b == 0xE2 ? 0 : b == 0xE3 ? 4 : 9;
      if (need_ == 0) {
        command_ = 0;
        eraseDone(b);
      }
      return;
    }
    case 0xE6:
      if (silencedAt(Step::Read)) return;
      reply(Reply::ReadAccept, 0xC0);
      command_ = b;
      need_ = 8;
      return;
    case 0xE8:
      if (silencedAt(Step::SwitchOff)) return;
      reply(Reply::SwitchOff, 0xC0);
      state_ = State::Off;
      offNoted_ = false;
      switchedOff_ = true;
      if (onSwitchOff) onSwitchOff();
      return;
    default:
      violation("unknown bootstrap command " + hex(b));
      return;
  }
}

void HandsetCore::speedFrame() {
  const std::uint8_t* f = collect_.data();
  const unsigned sum = unsigned{f[0]} + f[1] + f[2];
  const unsigned sent = unsigned{f[3]} << 8 | f[4];
  const std::optional<long> rate = rateForSpeedParameters(f[0], f[1], f[2]);
  std::uint8_t verdict = kVerdictOk;
  if (sum != sent) {
    verdict = kVerdictBadSum;
    violation("speed frame sum " + hex(sent, 4) + " instead of " + hex(sum, 4));
  } else if (!rate) {
    verdict = kVerdictUnknownRate;
    violation("speed parameters " + hex(f[0]) + " " + hex(f[1]) + " " + hex(f[2]) +
              " name no rate");
  }
  reply(Reply::SpeedAck, 0xC3);
  const std::uint8_t said = reply(Reply::SpeedVerdict, verdict);
  // The new rate applies once the verdict has left; a handset that said no keeps the old one.
  if (verdict == kVerdictOk && said == kVerdictOk) {
    pendingLine_ = LineSettings{*rate, false};
    if (out_.size() == outPos_) {
      line_ = *pendingLine_;
      pendingLine_.reset();
    }
  }
}

void HandsetCore::sectorHeader() {
  sectorSize_ = be32(collect_.data());
  sectorAddress_ = be32(collect_.data() + 4);
  sectorLength_ = be32(collect_.data() + 8);
  sectorError_ = 0;
  sector_.reset();
  if (sectorAddress_ >= kFlashBase) sector_ = flash_.sectorStartingAt(sectorAddress_ - kFlashBase);
  std::string why;
  if (!sector_) {
    sectorError_ = kSectorNotAStart;
    why = "is not the start of a sector";
  } else if (sectorSize_ != flash_.sectorSize(*sector_)) {
    sectorError_ = kSectorWrongSize;
    why = "announces size " + hex(sectorSize_, 8) + " for a sector of " +
          hex(flash_.sectorSize(*sector_), 8);
  } else if (sectorLength_ > sectorSize_) {
    sectorError_ = kSectorTooLong;
    why = "carries " + hex(sectorLength_, 8) + " bytes, more than its size";
  }
  if (sectorError_) violation("sector write at " + hex(sectorAddress_, 8) + " " + why);
  sectorSum_ = 0;
  sectorBuffer_.clear();
  if (!sectorError_) sectorBuffer_.reserve(sectorLength_);
  sectorLeft_ = sectorLength_;
  sectorData_ = true;
  if (sectorLeft_ == 0) sectorDone();
}

void HandsetCore::sectorDone() {
  sectorData_ = false;
  if (sectorError_) {
    emit(0xCD);
    emit(sectorError_);
    return;
  }
  const std::uint32_t sector = *sector_;
  const int attempt = ++sectorAttempts_[sector];
  const Faults::Sector* fault = nullptr;
  for (const Faults::Sector& f : config_.faults.sector) {
    if (f.sector == sector && (f.attempt == 0 || f.attempt == attempt)) fault = &f;
  }
  if (fault && fault->kind == Faults::Sector::Error) {
    emit(0xCD);
    emit(fault->error);
    return;
  }
  const std::uint32_t offset = flash_.sectorOffset(sector);
  flash_.eraseSector(sector);
  flash_.program(offset, sectorBuffer_.data(), sectorBuffer_.size());
  if (!fault) {
    for (const Faults::Corrupt& c : config_.faults.corrupt) {
      if (c.sector != sector || c.offset >= flash_.sectorSize(sector)) continue;
      const std::uint8_t meant = c.offset < sectorBuffer_.size() ? sectorBuffer_[c.offset] : 0xFF;
      flash_.force(offset + c.offset, static_cast<std::uint8_t>(meant ^ 0x01));
    }
  }
  reply(Reply::SectorAck, 0xCC);
  emit32le(fault ? sectorSum_ + 1 : sectorSum_);
}

void HandsetCore::eraseDone(std::uint8_t cmd) {
  std::vector<std::uint32_t> sectors;
  if (cmd == 0xE2) {
    for (std::uint32_t s = 0; s < flash_.sectorCount(); ++s) sectors.push_back(s);
  } else {
    std::uint64_t address = 0, length = 1;
    if (cmd == 0xE3) {
      address = be32(collect_.data());
    } else {
      length = std::uint64_t{collect_[0]} * be32(collect_.data() + 1);
      address = be32(collect_.data() + 5);
    }
    const std::uint64_t start = address - std::min<std::uint64_t>(address, kFlashBase);
    if (address < kFlashBase || start >= flash_.size() || length == 0) {
      violation("erase " + hex(cmd) + " of " + hex(static_cast<unsigned>(address), 8) +
                " covers no flash");
    } else {
      const std::uint64_t end = std::min<std::uint64_t>(start + length, flash_.size());
      for (std::uint64_t off = start; off < end;) {
        const std::uint32_t s = *flash_.sectorContaining(static_cast<std::uint32_t>(off));
        sectors.push_back(s);
        off = std::uint64_t{flash_.sectorOffset(s)} + flash_.sectorSize(s);
      }
    }
  }
  std::uint8_t outcome = sectors.empty() ? kEraseFailed : kEraseDone;
  for (const Faults::EraseOutcome& f : config_.faults.eraseOutcome) {
    if (std::find(sectors.begin(), sectors.end(), f.sector) != sectors.end()) outcome = f.outcome;
  }
  if (outcome == kEraseDone) {
    for (std::uint32_t s : sectors) flash_.eraseSector(s);
  }
  reply(Reply::EraseAck, 0xC5);
  emit(outcome);
}

void HandsetCore::readStart() {
  const std::uint32_t length = be32(collect_.data());
  readAddress_ = be32(collect_.data() + 4);
  ++reads_;
  readBadSum_ = std::find(config_.faults.readChecksum.begin(), config_.faults.readChecksum.end(),
                          reads_) != config_.faults.readChecksum.end();
  reply(Reply::ReadAck, 0xC7);
  readSum_ = 0;
  if (state_ != State::Bootstrap) return;
  readLeft_ = length;
  // The data is produced as it is taken, so a large read costs no memory.
  if (readLeft_ == 0) emit32le(readBadSum_ ? 1 : 0);
}

std::uint8_t HandsetCore::memoryAt(std::uint32_t address) const {
  if (address >= kFlashBase && address - kFlashBase < flash_.size()) {
    return flash_.at(address - kFlashBase);
  }
  auto it = blocks_.upper_bound(address);
  if (it != blocks_.begin()) {
    --it;
    if (address - it->first < it->second.size()) return it->second[address - it->first];
  }
  return 0x00;
}

std::size_t HandsetCore::pending() const {
  return out_.size() - outPos_ + readLeft_ + (readLeft_ > 0 ? 4 : 0);
}

std::size_t HandsetCore::take(std::uint8_t* out, std::size_t max) {
  std::size_t n = 0;
  while (n < max) {
    if (outPos_ < out_.size()) {
      const std::size_t k = std::min(max - n, out_.size() - outPos_);
      std::memcpy(out + n, out_.data() + outPos_, k);
      outPos_ += k;
      n += k;
    } else if (readLeft_ > 0) {
      const std::size_t k = std::min<std::size_t>(max - n, readLeft_);
      const bool inFlash = readAddress_ >= kFlashBase &&
                           std::uint64_t{readAddress_} - kFlashBase + k <= flash_.size();
      if (inFlash) {
        flash_.read(readAddress_ - kFlashBase, out + n, k);
      } else {
        for (std::size_t j = 0; j < k; ++j) {
          out[n + j] = memoryAt(readAddress_ + static_cast<std::uint32_t>(j));
        }
      }
      for (std::size_t j = 0; j < k; ++j) readSum_ += out[n + j];
      readAddress_ += static_cast<std::uint32_t>(k);
      readLeft_ -= static_cast<std::uint32_t>(k);
      n += k;
      if (readLeft_ == 0) emit32le(readBadSum_ ? readSum_ + 1 : readSum_);
    } else {
      break;
    }
  }
  if (outPos_ == out_.size()) {
    out_.clear();
    outPos_ = 0;
  }
  sent_.insert(sent_.end(), out, out + n);
  if (pending() == 0) {
    if (pendingLine_) {
      line_ = *pendingLine_;
      pendingLine_.reset();
    }
    pump();
  }
  return n;
}

std::vector<std::uint8_t> HandsetCore::takeAll() {
  std::vector<std::uint8_t> all;
  while (pending() > 0) {
    const std::size_t at = all.size();
    all.resize(at + pending());
    all.resize(at + take(all.data() + at, all.size() - at));
  }
  return all;
}

}  // namespace emulator
