#include "apps/cli/terminal_display.h"

#include <chrono>
#include <cmath>
#include <cstdio>

namespace cli {

namespace {

constexpr int kBarWidth = 28;

std::string hex(unsigned value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%0*X", digits, value);
  return text;
}

}  // namespace

std::string humanBytes(double bytes) {
  const char* units[] = {"B", "KiB", "MiB", "GiB"};
  int u = 0;
  while (bytes >= 1024 && u < 3) {
    bytes /= 1024;
    ++u;
  }
  char text[32];
  if (u == 0)
    std::snprintf(text, sizeof text, "%.0f B", bytes);
  else
    std::snprintf(text, sizeof text, "%.1f %s", bytes, units[u]);
  return text;
}

std::string humanDuration(double seconds) {
  if (!(seconds >= 0) || seconds > 359999) return "--:--";
  const long s = std::lround(seconds);
  char text[32];
  if (s >= 3600)
    std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, (s / 60) % 60, s % 60);
  else
    std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
  return text;
}

TerminalDisplay::TerminalDisplay(std::ostream& out, std::ostream& err, bool terminal, bool quiet,
                                 std::function<double()> seconds)
    : out_(out), err_(err), terminal_(terminal), quiet_(quiet), seconds_(std::move(seconds)) {
  if (!seconds_) {
    const auto start = std::chrono::steady_clock::now();
    seconds_ = [start] {
      return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
  }
}

TerminalDisplay::~TerminalDisplay() {
  clearBar();
}

void TerminalDisplay::line(const std::string& text) {
  if (quiet_) return;
  clearBar();
  out_ << text << '\n';
  out_.flush();
}

void TerminalDisplay::stageStarted(const dwl::StageInfo& stage) {
  endStage();
  stage_ = stage.stage;
  waitedShown_ = -1;
  std::string label;
  switch (stage.stage) {
    case dwl::Stage::Boot:
      line("Waiting for the handset on " + stage.name + " (switch it on)");
      return;
    case dwl::Stage::Speed:
      line("Switching the line to its working speed");
      return;
    case dwl::Stage::SwitchOff:
      line("Switching the handset off");
      return;
    case dwl::Stage::Image:
      label = "image " + std::to_string(stage.index) + "/" + std::to_string(stage.count) + " " +
              stage.name;
      break;
    case dwl::Stage::Verify:
      label = "verify " + std::to_string(stage.index) + "/" + std::to_string(stage.count) + " " +
              stage.name;
      break;
    case dwl::Stage::Dump:
      label = "dump " + stage.name;
      break;
    case dwl::Stage::Erase:
      label = "erase " + stage.name;
      break;
  }
  active_ = true;
  label_ = label;
  total_ = stage.bytes;
  startedAt_ = seconds_();
  lastTenth_ = -1;
  show(0);
}

void TerminalDisplay::endStage() {
  if (!active_) return;
  if (barShown_ && terminal_ && !quiet_) {
    out_ << '\n';
    out_.flush();
  }
  barShown_ = false;
  active_ = false;
}

void TerminalDisplay::clearBar() {
  if (barShown_ && terminal_ && !quiet_) {
    out_ << '\n';
    out_.flush();
    barShown_ = false;
  }
}

void TerminalDisplay::bytesDone(const dwl::ByteProgress& bytes) {
  if (!active_) return;
  show(bytes.stageDone < total_ ? bytes.stageDone : total_);
}

void TerminalDisplay::sectorChanged(const dwl::SectorEvent& sector) {
  if (sector.state != dwl::SectorState::Failed && sector.state != dwl::SectorState::Resent) return;
  clearBar();
  err_ << "sector " << sector.number << " at " << hex(sector.address, 8) << ": "
       << (sector.state == dwl::SectorState::Failed ? "failed" : "sent again") << '\n';
  err_.flush();
}

void TerminalDisplay::identified(const dwl::HandsetIdentity& handset) {
  line("Processor " + hex(handset.cpu, 2) + (handset.cpu == 0xBE ? " (PCF5087)" : ""));
  line("Flash     " + (handset.flashName.empty() ? std::string("unknown") : handset.flashName) +
       " (manufacturer " + hex(handset.manufacturer, 2) + ", device " + hex(handset.device, 2) +
       ")");
  if (handset.described)
    line("Size      " + std::to_string(handset.flashSize) + " bytes in " +
         std::to_string(handset.sectorCount) + " sectors, " + std::to_string(handset.banks) +
         (handset.banks == 1 ? " bank" : " banks"));
}

void TerminalDisplay::heartbeat(double waited) {
  // Only the wait for the handset to be switched on is long enough to be worth a word.
  if (quiet_ || !terminal_ || active_ || stage_ != dwl::Stage::Boot) return;
  const int seconds = static_cast<int>(waited);
  if (seconds == waitedShown_) return;
  waitedShown_ = seconds;
  out_ << "\r\033[K  waiting " << seconds << " s";
  out_.flush();
  barShown_ = true;
}

void TerminalDisplay::jobFinished(const dwl::JobResult&) {
  endStage();
  clearBar();
}

std::string TerminalDisplay::describe(std::uint64_t done) const {
  const int percent = total_ ? static_cast<int>(done * 100 / total_) : 100;
  const double elapsed = seconds_() - startedAt_;
  const double rate = elapsed > 0 ? static_cast<double>(done) / elapsed : 0;
  std::string text = label_ + " " + std::to_string(percent) + "% " +
                     humanBytes(static_cast<double>(done)) + "/" +
                     humanBytes(static_cast<double>(total_));
  if (rate > 0) {
    // Appended piece by piece: GCC 12 warns falsely (-Wrestrict) on "literal" + temporary.
    text += ' ' + humanBytes(rate) + "/s";
    text += ' ' + humanDuration(static_cast<double>(total_ - done) / rate) + " left";
  }
  return text;
}

void TerminalDisplay::show(std::uint64_t done) {
  if (quiet_) return;
  const int percent = total_ ? static_cast<int>(done * 100 / total_) : 100;
  if (terminal_) {
    const int filled = percent * kBarWidth / 100;
    std::string bar(static_cast<std::size_t>(filled), '#');
    bar.append(static_cast<std::size_t>(kBarWidth - filled), '.');
    out_ << "\r\033[K[" << bar << "] " << describe(done);
    out_.flush();
    barShown_ = true;
    return;
  }
  // One line at the start, then one each time a new tenth is reached.
  const int tenth = percent / 10 * 10;
  if (tenth <= lastTenth_) return;
  lastTenth_ = tenth;
  out_ << describe(done) << '\n';
  out_.flush();
}

}  // namespace cli
