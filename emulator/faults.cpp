#include "emulator/faults.h"

#include <cerrno>
#include <cstdlib>
#include <iterator>
#include <utility>

namespace emulator {

namespace {

constexpr std::pair<Step, const char*> kSteps[] = {
    {Step::Announce, "announce"},
    {Step::UploadAck, "upload-ack"},
    {Step::StartReport, "start-report"},
    {Step::Identify, "identify"},
    {Step::Speed, "speed"},
    {Step::SpeedCheck, "speed-check"},
    {Step::Gpio, "gpio"},
    {Step::Pmu, "pmu"},
    {Step::SectorWrite, "sector-write"},
    {Step::Erase, "erase"},
    {Step::Read, "read"},
    {Step::SwitchOff, "switch-off"},
};

constexpr std::pair<Reply, const char*> kReplies[] = {
    {Reply::UploadAck, "upload-ack"},
    {Reply::StartReport, "start-report"},
    {Reply::Identify, "identify"},
    {Reply::SpeedAccept, "speed-accept"},
    {Reply::SpeedAck, "speed-ack"},
    {Reply::SpeedVerdict, "speed-verdict"},
    {Reply::SpeedCheck, "speed-check"},
    {Reply::GpioAccept, "gpio-accept"},
    {Reply::Gpio, "gpio"},
    {Reply::PmuAccept, "pmu-accept"},
    {Reply::Pmu, "pmu"},
    {Reply::SectorAck, "sector-ack"},
    {Reply::EraseAccept, "erase-accept"},
    {Reply::EraseAck, "erase-ack"},
    {Reply::ReadAccept, "read-accept"},
    {Reply::ReadAck, "read-ack"},
    {Reply::SwitchOff, "switch-off"},
};

// Whole text as an unsigned number (decimal, or hexadecimal with 0x).
bool number(const std::string& text, std::uint64_t max, std::uint64_t& out) {
  if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ') return false;
  errno = 0;
  char* end = nullptr;
  const unsigned long long v = std::strtoull(text.c_str(), &end, 0);
  if (errno != 0 || *end != '\0' || v > max) return false;
  out = v;
  return true;
}

bool byteValue(const std::string& text, std::uint8_t& out) {
  std::uint64_t v = 0;
  if (!number(text, 0xFF, v)) return false;
  out = static_cast<std::uint8_t>(v);
  return true;
}

bool positive(const std::string& text, int& out) {
  std::uint64_t v = 0;
  if (!number(text, 0x7FFFFFFF, v) || v == 0) return false;
  out = static_cast<int>(v);
  return true;
}

// Splits "head<sep>tail" at the last separator; tail empty when there is none.
std::pair<std::string, std::string> cut(const std::string& text, char sep, bool* found) {
  const auto at = text.rfind(sep);
  *found = at != std::string::npos;
  if (!*found) return {text, ""};
  return {text.substr(0, at), text.substr(at + 1)};
}

bool fail(std::string* error, const std::string& why) {
  if (error) *error = why;
  return false;
}

}  // namespace

const char* stepName(Step step) {
  for (const auto& [s, name] : kSteps) {
    if (s == step) return name;
  }
  return "?";
}

const char* replyName(Reply reply) {
  for (const auto& [r, name] : kReplies) {
    if (r == reply) return name;
  }
  return "?";
}

bool parseFault(const std::string& fault, Faults& faults, std::string* error) {
  const auto colon = fault.find(':');
  if (colon == std::string::npos) return fail(error, "fault '" + fault + "' has no ':'");
  const std::string kind = fault.substr(0, colon);
  const std::string arg = fault.substr(colon + 1);
  const std::string bad = "bad fault '" + fault + "'";
  bool found = false;

  if (kind == "silence") {
    auto [name, occ] = cut(arg, '#', &found);
    Faults::Silence s{Step::Announce, 1};
    if (found && !positive(occ, s.occurrence)) return fail(error, bad + ": occurrence");
    for (const auto& [step, stepText] : kSteps) {
      if (name == stepText) {
        s.step = step;
        faults.silence = s;
        return true;
      }
    }
    return fail(error, bad + ": unknown step");
  }
  if (kind == "wrong") {
    auto [head, occ] = cut(arg, '#', &found);
    Faults::Wrong w{Reply::UploadAck, 0, 0};
    if (found && !positive(occ, w.occurrence)) return fail(error, bad + ": occurrence");
    auto [name, value] = cut(head, '=', &found);
    if (!found || !byteValue(value, w.byte)) return fail(error, bad + ": byte");
    for (const auto& [reply, replyText] : kReplies) {
      if (name == replyText) {
        w.reply = reply;
        faults.wrong.push_back(w);
        return true;
      }
    }
    return fail(error, bad + ": unknown reply");
  }
  if (kind == "noise") {
    std::vector<std::uint8_t> bytes;
    std::string rest = arg;
    while (true) {
      const auto comma = rest.find(',');
      std::uint8_t b = 0;
      if (!byteValue(rest.substr(0, comma), b)) return fail(error, bad + ": byte");
      bytes.push_back(b);
      if (comma == std::string::npos) break;
      rest = rest.substr(comma + 1);
    }
    faults.noise.insert(faults.noise.end(), bytes.begin(), bytes.end());
    return true;
  }
  if (kind == "sector-checksum" || kind == "sector-error") {
    Faults::Sector s{kind == "sector-error" ? Faults::Sector::Error : Faults::Sector::BadChecksum,
                     0, 0, 0x10};
    std::string head = arg;
    if (s.kind == Faults::Sector::Error) {
      auto [h, value] = cut(arg, '=', &found);
      if (found && !byteValue(value, s.error)) return fail(error, bad + ": error byte");
      head = h;
    }
    auto [sector, attempt] = cut(head, '@', &found);
    if (found && attempt != "*" && !positive(attempt, s.attempt))
      return fail(error, bad + ": attempt");
    std::uint64_t v = 0;
    if (!number(sector, 0xFFFFFFFF, v)) return fail(error, bad + ": sector");
    s.sector = static_cast<std::uint32_t>(v);
    faults.sector.push_back(s);
    return true;
  }
  if (kind == "erase-outcome") {
    auto [sector, value] = cut(arg, '=', &found);
    Faults::EraseOutcome e{0, 0};
    std::uint64_t v = 0;
    if (!found || !byteValue(value, e.outcome)) return fail(error, bad + ": outcome byte");
    if (!number(sector, 0xFFFFFFFF, v)) return fail(error, bad + ": sector");
    e.sector = static_cast<std::uint32_t>(v);
    faults.eraseOutcome.push_back(e);
    return true;
  }
  if (kind == "read-checksum") {
    int block = 0;
    if (!positive(arg, block)) return fail(error, bad + ": read number");
    faults.readChecksum.push_back(block);
    return true;
  }
  if (kind == "disconnect") {
    std::uint64_t v = 0;
    if (!number(arg, ~0ull, v)) return fail(error, bad + ": byte count");
    faults.disconnectAfter = v;
    return true;
  }
  if (kind == "corrupt") {
    auto [sector, offset] = cut(arg, '@', &found);
    Faults::Corrupt c{0, 0};
    std::uint64_t v = 0;
    if (!number(sector, 0xFFFFFFFF, v)) return fail(error, bad + ": sector");
    c.sector = static_cast<std::uint32_t>(v);
    if (found) {
      if (!number(offset, 0xFFFFFFFF, v)) return fail(error, bad + ": offset");
      c.offset = static_cast<std::uint32_t>(v);
    }
    faults.corrupt.push_back(c);
    return true;
  }
  return fail(error, bad + ": unknown kind '" + kind + "'");
}

std::string faultSyntax() {
  std::string steps;
  for (const auto& [s, name] : kSteps) steps += std::string(steps.empty() ? "" : "|") + name;
  std::string replies;
  for (const auto& [r, name] : kReplies) {
    replies += std::string(replies.empty() ? "" : "|") + name;
  }
  return "Faults (--fault FAULT, repeatable; numbers decimal or 0x hex; N counts from 1 per "
         "boot):\n"
         "  silence:STEP[#N]            silent from the Nth STEP on (default the first)\n"
         "      STEP = " +
         steps +
         "\n"
         "  wrong:REPLY=BYTE[#N]        BYTE instead of REPLY (every time, or the Nth only)\n"
         "      REPLY = " +
         replies +
         "\n"
         "  noise:BYTE[,BYTE...]        bytes sent before the first 0xBE\n"
         "  sector-checksum:S[@A]       bad sum for sector S on attempt A (default every attempt)\n"
         "  sector-error:S[@A][=BYTE]   0xCD and BYTE (default 0x10) for sector S on attempt A\n"
         "  erase-outcome:S=BYTE        erase outcome BYTE for an erase of sector S (no erase)\n"
         "  read-checksum:N             bad checksum on the Nth read command\n"
         "  disconnect:N                the device goes away after receiving N bytes\n"
         "  corrupt:S[@OFFSET]          after a good write of sector S, the byte at OFFSET\n"
         "                              (default 0) of the sector differs from the one sent\n";
}

}  // namespace emulator
