// A job's progress on a terminal, from the operation layer's events only: a line per stage, and a
// progress bar per stage that moves bytes (percent, bytes, rate, time left); when the output is
// not a terminal (logs, pipes, the several-port runner), plain lines: one when a stage starts
// and at most one per tenth of it.
#pragma once

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>

#include "dwl/dwl_job.h"

namespace cli {

class TerminalDisplay final : public dwl::ProgressSink {
 public:
  // seconds: a monotonic clock for rates and time left; by default the steady clock.
  TerminalDisplay(std::ostream& out, std::ostream& err, bool terminal, bool quiet,
                  std::function<double()> seconds = nullptr);
  ~TerminalDisplay() override;

  // Ends the current bar (a finished bar keeps its line).
  void endStage();

  void stageStarted(const dwl::StageInfo& stage) override;
  void bytesDone(const dwl::ByteProgress& bytes) override;
  void sectorChanged(const dwl::SectorEvent& sector) override;
  void identified(const dwl::HandsetIdentity& handset) override;
  void heartbeat(double waited) override;
  void jobFinished(const dwl::JobResult& result) override;

 private:
  void show(std::uint64_t done);
  std::string describe(std::uint64_t done) const;
  void clearBar();
  void line(const std::string& text);

  std::ostream& out_;
  std::ostream& err_;
  bool terminal_;
  bool quiet_;
  std::function<double()> seconds_;

  bool active_ = false;
  std::string label_;
  std::uint64_t total_ = 0;
  double startedAt_ = 0;
  int lastTenth_ = -1;
  bool barShown_ = false;
  dwl::Stage stage_ = dwl::Stage::Boot;
  int waitedShown_ = -1;
};

// "1.5 MiB", "512 B": short sizes for progress lines.
std::string humanBytes(double bytes);
// "1:05", "1:02:03": time left.
std::string humanDuration(double seconds);

}  // namespace cli
