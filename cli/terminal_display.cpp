#include "cli/terminal_display.h"

#include <chrono>
#include <cmath>
#include <cstdio>

namespace cli {

namespace {

std::string trim(const std::string& s) {
  const auto b = s.find_first_not_of(' ');
  if (b == std::string::npos) return {};
  return s.substr(b, s.find_last_not_of(' ') - b + 1);
}

constexpr int kBarWidth = 28;

}  // namespace

std::uint32_t mapSectorSize(std::uint32_t sector) {
  const bool small = sector < 8 || (sector >= 134 && sector < 150) || sector >= 276;
  return small ? 0x2000 : 0x10000;
}

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

void TerminalDisplay::addStage(const std::string& trigger, const std::string& label,
                               std::uint64_t bytes) {
  pending_.push_back({trim(trigger), label, bytes});
}

void TerminalDisplay::beginStage(const std::string& label, std::uint64_t bytes) {
  endStage();
  active_ = true;
  current_ = {"", label, bytes};
  startedAt_ = seconds_();
  percent_ = 0;
  lastLinePercent_ = -1;
  erase_ = false;
  show(0);
}

void TerminalDisplay::setEraseRange(std::uint32_t firstSector, std::uint32_t lastSector) {
  std::uint64_t bytes = 0;
  for (std::uint32_t s = firstSector; s <= lastSector; ++s) bytes += mapSectorSize(s);
  beginStage("erase", bytes);
  erase_ = true;
  eraseFirstSector_ = firstSector;
}

void TerminalDisplay::endStage() {
  if (!active_) return;
  if (percent_ >= 100) finishedBytes_ += current_.bytes;
  if (barShown_ && terminal_ && !quiet_) {
    out_ << '\n';
    out_.flush();
  }
  barShown_ = false;
  active_ = false;
  percent_ = 0;
}

void TerminalDisplay::clearBar() {
  if (barShown_ && terminal_ && !quiet_) {
    out_ << '\n';
    out_.flush();
    barShown_ = false;
  }
}

std::uint64_t TerminalDisplay::bytesDone() const {
  std::uint64_t done = finishedBytes_;
  if (active_) done += current_.bytes * static_cast<std::uint64_t>(percent_) / 100;
  return done;
}

void TerminalDisplay::comment(const std::string& line) {
  const std::string text = trim(line);
  for (std::size_t i = 0; i < pending_.size(); ++i) {
    if (pending_[i].trigger != text) continue;
    const Stage stage = pending_[i];
    pending_.erase(pending_.begin() + static_cast<long>(i));
    endStage();
    if (!quiet_) out_ << text << '\n';
    beginStage(stage.label, stage.bytes);
    return;
  }
  if (quiet_) return;
  clearBar();
  out_ << text << '\n';
  out_.flush();
}

void TerminalDisplay::progress(int percent) {
  if (!active_) return;
  if (percent < 0) percent = 0;
  if (percent > 100) percent = 100;
  percent_ = percent;
  show(percent);
}

void TerminalDisplay::eraseProgress(std::uint32_t /*offset*/, std::uint32_t sector) {
  if (!active_ || !erase_ || current_.bytes == 0 || sector < eraseFirstSector_) return;
  std::uint64_t erased = 0;
  for (std::uint32_t s = eraseFirstSector_; s <= sector; ++s) erased += mapSectorSize(s);
  if (erased > current_.bytes) erased = current_.bytes;
  progress(static_cast<int>(erased * 100 / current_.bytes));
}

std::string TerminalDisplay::describe(int percent) const {
  const double elapsed = seconds_() - startedAt_;
  const double done = static_cast<double>(current_.bytes) * percent / 100.0;
  const double rate = elapsed > 0 ? done / elapsed : 0;
  std::string text = current_.label + " " + std::to_string(percent) + "% " + humanBytes(done) +
                     "/" + humanBytes(static_cast<double>(current_.bytes));
  if (rate > 0) {
    // Appended piece by piece: GCC 12 warns falsely (-Wrestrict) on "literal" + temporary.
    text += ' ' + humanBytes(rate) + "/s";
    text += ' ' + humanDuration((static_cast<double>(current_.bytes) - done) / rate) + " left";
  }
  return text;
}

void TerminalDisplay::show(int percent) {
  if (quiet_) return;
  if (terminal_) {
    const int filled = percent * kBarWidth / 100;
    std::string bar(static_cast<std::size_t>(filled), '#');
    bar.append(static_cast<std::size_t>(kBarWidth - filled), '.');
    out_ << "\r\033[K[" << bar << "] " << describe(percent);
    out_.flush();
    barShown_ = true;
    return;
  }
  // One line at the start, then one each time a new tenth is reached.
  const int tenth = percent / 10 * 10;
  if (tenth <= lastLinePercent_) return;
  lastLinePercent_ = tenth;
  out_ << describe(percent) << '\n';
  out_.flush();
}

void TerminalDisplay::popup(const std::string& title, const std::string& text) {
  popups_.emplace_back(title, text);
  clearBar();
  err_ << title << ": " << text << '\n';
  err_.flush();
}

}  // namespace cli
