#include "ops/jsonl_progress.h"

#include <chrono>

#include "ops/job_log.h"

namespace ops {

JsonlProgress::JsonlProgress(std::function<void(const std::string&)> write, std::string port,
                             std::function<double()> seconds)
    : write_(std::move(write)), port_(std::move(port)), seconds_(std::move(seconds)) {
  if (!seconds_) {
    seconds_ = [] {
      using namespace std::chrono;
      return duration<double>(steady_clock::now().time_since_epoch()).count();
    };
  }
  start_ = seconds_();
}

void JsonlProgress::emit(const char* event, nlohmann::json fields) {
  nlohmann::json line = {{"event", event}, {"t", seconds_() - start_}};
  if (!port_.empty()) line["port"] = port_;
  line.update(fields);
  write_(line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n");
}

void JsonlProgress::jobStarted(const dwl::JobTotals& totals) {
  start_ = seconds_();
  emit("started", {{"bytes", totals.bytes}, {"sectors", totals.sectors}});
}

void JsonlProgress::totalsKnown(const dwl::JobTotals& totals) {
  // A second "started" line, with the sector count; the job's time still runs from the first.
  emit("started", {{"bytes", totals.bytes}, {"sectors", totals.sectors}});
}

void JsonlProgress::stageStarted(const dwl::StageInfo& s) {
  emit("stage", {{"stage", dwl::stageName(s.stage)},
                 {"index", s.index},
                 {"count", s.count},
                 {"name", s.name},
                 {"bytes", s.bytes}});
}

void JsonlProgress::bytesDone(const dwl::ByteProgress& b) {
  emit("bytes", {{"stage_done", b.stageDone},
                 {"stage_total", b.stageTotal},
                 {"job_done", b.jobDone},
                 {"job_total", b.jobTotal}});
}

void JsonlProgress::sectorChanged(const dwl::SectorEvent& s) {
  emit("sector", {{"number", s.number},
                  {"address", s.address},
                  {"size", s.size},
                  {"state", dwl::sectorStateName(s.state)}});
}

void JsonlProgress::identified(const dwl::HandsetIdentity& h) {
  emit("identified", {{"cpu", h.cpu},
                      {"flash_manufacturer", h.manufacturer},
                      {"flash_device", h.device},
                      {"flash", h.flashName}});
}

void JsonlProgress::heartbeat(double waited) {
  emit("heartbeat", {{"waited", waited}});
}

void JsonlProgress::jobFinished(const dwl::JobResult& result) {
  emit("finished", {{"result", resultJson(result)}});
}

}  // namespace ops
