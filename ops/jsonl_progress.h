// Progress as JSON Lines: one JSON object per event of a job, each a whole line handed to a
// writer (standard output for the command line), so another program can follow the job.
#pragma once

#include <functional>
#include <string>

#include <nlohmann/json.hpp>

#include "dwl/dwl_job.h"

namespace ops {

class JsonlProgress final : public dwl::ProgressSink {
 public:
  // write gets each line with its newline; port, when not empty, is named in every line (several
  // jobs' lines can then share one stream); seconds: a monotonic clock, by default the steady one.
  explicit JsonlProgress(std::function<void(const std::string&)> write, std::string port = {},
                         std::function<double()> seconds = nullptr);

  void jobStarted(const dwl::JobTotals& totals) override;
  void totalsKnown(const dwl::JobTotals& totals) override;
  void stageStarted(const dwl::StageInfo& stage) override;
  void bytesDone(const dwl::ByteProgress& bytes) override;
  void sectorChanged(const dwl::SectorEvent& sector) override;
  void identified(const dwl::HandsetIdentity& handset) override;
  void heartbeat(double waited) override;
  void jobFinished(const dwl::JobResult& result) override;

 private:
  void emit(const char* event, nlohmann::json fields);

  std::function<void(const std::string&)> write_;
  std::string port_;
  std::function<double()> seconds_;
  double start_ = 0;
};

}  // namespace ops
