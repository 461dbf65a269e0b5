#include "apps/guikit/job_status.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "apps/guikit/userint.h"
#include "platform/clock.h"

namespace guikit {

std::string clockText(double seconds) {
  const long s = seconds < 0 ? 0 : static_cast<long>(seconds);
  char buf[32];
  if (s >= 3600)
    std::snprintf(buf, sizeof buf, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
  else
    std::snprintf(buf, sizeof buf, "%ld:%02ld", s / 60, s % 60);
  return buf;
}

std::string switchOnText(double waited, double wait) {
  const int left = static_cast<int>(std::ceil(std::max(0.0, wait - waited)));
  return "Please switch on the handset now.\n\nWaiting for its boot... " + std::to_string(left) +
         " s left";
}

std::string SwitchOnCountdown::text(double waited) {
  const double left = std::max(0.0, wait_ - waited);
  if (least_ < 0 || left < least_) least_ = left;
  return switchOnText(wait_ - least_, wait_);
}

JobStatus::JobStatus(int panel, int statusCtrl, int barCtrl, std::function<double()> clock)
    : panel_(panel), statusCtrl_(statusCtrl), barCtrl_(barCtrl), clock_(std::move(clock)) {
  started_ = now();
}

double JobStatus::now() const {
  return clock_ ? clock_() : platform::now();
}

void JobStatus::jobStarted(const dwl::JobTotals& totals) {
  // The job stamps its start in whole seconds as it starts (the elapsed "x min y sec" counts
  // from there): the line counts from the same second, so the two never disagree.
  started_ = std::floor(now());
  total_ = totals.bytes;
  show(true);
}

void JobStatus::totalsKnown(const dwl::JobTotals& totals) {
  total_ = totals.bytes;
  show(true);
}

void JobStatus::stageStarted(const dwl::StageInfo& stage) {
  switch (stage.stage) {
    case dwl::Stage::Boot:
      stage_ = "Waiting for the handset";
      break;
    case dwl::Stage::Speed:
      stage_ = "Setting the line speed";
      break;
    case dwl::Stage::Image:
    case dwl::Stage::Verify:
      stage_ = std::string(stage.stage == dwl::Stage::Image ? "Image " : "Verifying image ") +
               std::to_string(stage.index) + " of " + std::to_string(stage.count) +
               (stage.name.empty() ? "" : " (" + stage.name + ")");
      break;
    case dwl::Stage::Dump:
      stage_ = "Dumping" + (stage.name.empty() ? "" : " " + stage.name);
      break;
    case dwl::Stage::Erase:
      stage_ = "Erasing" + (stage.name.empty() ? "" : " " + stage.name);
      break;
    case dwl::Stage::SwitchOff:
      stage_ = "Switching the handset off";
      break;
  }
  show(true);
}

void JobStatus::bytesDone(const dwl::ByteProgress& bytes) {
  done_ = bytes.jobDone;
  if (bytes.jobTotal) total_ = bytes.jobTotal;
  if (firstByte_ < 0) {
    // The estimate starts from the first bytes moved, not from the wait for the handset.
    firstByte_ = now();
    doneAtFirstByte_ = done_;
  }
  show(true);
}

void JobStatus::heartbeat(double) {
  show(false);
}

void JobStatus::jobFinished(const dwl::JobResult& result) {
  finished_ = true;
  if (result.result.Family == dwl::RESULT_SUCCESS) {
    done_ = total_;
    stage_ = "Done";
  } else {
    stage_ = "Stopped";
  }
  show(true);
}

int JobStatus::permille() const {
  if (!total_) return 0;
  return static_cast<int>(std::min<std::uint64_t>(1000, done_ * 1000 / total_));
}

std::string JobStatus::text() const {
  const double t = now();
  std::string line = stage_.empty() ? std::string("Starting") : stage_;
  char pct[32];
  std::snprintf(pct, sizeof pct, "%.1f %%", permille() / 10.0);
  char amount[64] = "";
  if (total_) std::snprintf(amount, sizeof amount, " (%.2f of %.2f MB)", done_ / 1e6, total_ / 1e6);
  line += " \u00b7 " + std::string(pct) + " of the job" + amount + " \u00b7 " +
          clockText(t - started_) + " elapsed";
  if (finished_) return line;
  const std::uint64_t moved = done_ - doneAtFirstByte_;
  if (firstByte_ >= 0 && moved > 0 && t - firstByte_ >= 1 && total_ > done_) {
    const double left = (t - firstByte_) * static_cast<double>(total_ - done_) / moved;
    line += " \u00b7 about " + clockText(std::ceil(left)) + " left";
  } else if (!finished_ && total_ > done_) {
    line += " \u00b7 time left: estimating";
  }
  return line;
}

void JobStatus::show(bool force) {
  const long second = static_cast<long>(now() - started_);
  // Heartbeats come several times a second: the line changes once a second.
  if (!force && second == shownSecond_) return;
  shownSecond_ = second;
  SetCtrlVal(panel_, statusCtrl_, text());
  if (barCtrl_ >= 0) SetCtrlVal(panel_, barCtrl_, permille());
}

}  // namespace guikit
