// What a window shows of a running job besides the indicators its panels always had: one line
// with the stage (image k of n), the share of the whole job done, the elapsed time ticking every
// second and an estimate of the time left, and a bar for the whole job. Fed by the job's events.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "dwl/dwl_job.h"

namespace guikit {

// Passes every event to each of its sinks, in order.
using SinkTee = dwl::ProgressTee;

// The switch-on prompt's text while the boot waits for the handset: how long it still waits.
std::string switchOnText(double waited, double wait);

// The switch-on prompt's seconds left over one boot: they only ever go down, even when a wait
// reports from its own start again.
class SwitchOnCountdown {
 public:
  explicit SwitchOnCountdown(double wait) : wait_(wait) {}
  std::string text(double waited);

 private:
  double wait_;
  double least_ = -1;
};

// "m:ss", or "h:mm:ss" from an hour on.
std::string clockText(double seconds);

class JobStatus final : public dwl::ProgressSink {
 public:
  // The line goes to control statusCtrl of panel, the whole job's per mille to barCtrl (-1: none).
  // clock: monotonic seconds (the tests' own; empty: the monotonic clock).
  JobStatus(int panel, int statusCtrl, int barCtrl, std::function<double()> clock = {});

  void jobStarted(const dwl::JobTotals& totals) override;
  void totalsKnown(const dwl::JobTotals& totals) override;
  void stageStarted(const dwl::StageInfo& stage) override;
  void bytesDone(const dwl::ByteProgress& bytes) override;
  void heartbeat(double waited) override;
  void jobFinished(const dwl::JobResult& result) override;

  std::string text() const;
  // Whole job done, per mille.
  int permille() const;

 private:
  double now() const;
  void show(bool force);
  int panel_, statusCtrl_, barCtrl_;
  std::function<double()> clock_;
  double started_ = 0, firstByte_ = -1;
  std::uint64_t done_ = 0, total_ = 0, doneAtFirstByte_ = 0;
  std::string stage_;
  bool finished_ = false;
  long shownSecond_ = -1;
};

}  // namespace guikit
