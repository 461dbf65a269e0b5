// The engines' display on a terminal: the comment lines as they come, and one progress bar per
// image (percent, bytes, rate, time left), or plain lines per image and per 10% when the output
// is not a terminal (logs, pipes, the several-port runner).
#pragma once

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "dwl/dwl_display.h"

namespace cli {

class TerminalDisplay final : public dwl::Display {
 public:
  // seconds: a monotonic clock for rates and time left; by default the steady clock.
  TerminalDisplay(std::ostream& out, std::ostream& err, bool terminal, bool quiet,
                  std::function<double()> seconds = nullptr);
  ~TerminalDisplay() override;

  // A progress run that starts when the engine logs the comment `trigger` (blanks around it do
  // not count): the sequences name each image before writing it.
  void addStage(const std::string& trigger, const std::string& label, std::uint64_t bytes);
  // Starts a progress run now (a dump, an erase, a verify pass).
  void beginStage(const std::string& label, std::uint64_t bytes);
  // Sector range of an erase, so the erase's sector reports become progress.
  void setEraseRange(std::uint32_t firstSector, std::uint32_t lastSector);
  // Ends the current run (a finished bar keeps its line).
  void endStage();

  // Bytes of the runs finished at 100% plus the part of the current run shown so far.
  std::uint64_t bytesDone() const;
  // The message boxes the engine opened (title, text), in order.
  const std::vector<std::pair<std::string, std::string>>& popups() const { return popups_; }

  void comment(const std::string& line) override;
  void progress(int percent) override;
  void elapsed(const std::string&) override {}
  void sector(std::uint32_t, std::uint32_t, std::uint32_t, const std::string&) override {}
  void processEvents() override {}
  // The CLI reports the result itself, once, after the operation.
  void openWindow(dwl::Window, const std::string&) override {}
  void popup(const std::string& title, const std::string& text) override;
  void eraseProgress(std::uint32_t offset, std::uint32_t sector) override;

 private:
  struct Stage {
    std::string trigger;
    std::string label;
    std::uint64_t bytes = 0;
  };
  void show(int percent);
  std::string describe(int percent) const;
  void clearBar();

  std::ostream& out_;
  std::ostream& err_;
  bool terminal_;
  bool quiet_;
  std::function<double()> seconds_;

  std::vector<Stage> pending_;
  bool active_ = false;
  Stage current_;
  double startedAt_ = 0;
  int percent_ = 0;
  int lastLinePercent_ = -1;
  bool barShown_ = false;
  std::uint64_t finishedBytes_ = 0;
  bool erase_ = false;
  std::uint32_t eraseFirstSector_ = 0;
  std::vector<std::pair<std::string, std::string>> popups_;
};

// Size of a sector of the dumper's fixed 284-sector map: 8 KiB at both ends of each half.
std::uint32_t mapSectorSize(std::uint32_t sector);

// "1.5 MiB", "512 B": short sizes for progress lines.
std::string humanBytes(double bytes);
// "1:05", "1:02:03": time left.
std::string humanDuration(double seconds);

}  // namespace cli
