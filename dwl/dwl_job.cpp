#include "dwl/dwl_job.h"

#include <cstdio>
#include <stdexcept>

#include "platform/cancel.h"
#include "platform/clock.h"
#include "platform/guarded_rs232.h"
#include "platform/rs232.h"

namespace dwl {

namespace {
thread_local JobState* t_job = nullptr;
// A heartbeat at most this often; the line's slices are 100 ms, so one comes at least that often.
constexpr double kBeatSeconds = 0.1;
}  // namespace

const char* stageName(Stage stage) {
  switch (stage) {
    case Stage::Boot:
      return "boot";
    case Stage::Speed:
      return "speed";
    case Stage::Image:
      return "image";
    case Stage::Verify:
      return "verify";
    case Stage::Dump:
      return "dump";
    case Stage::Erase:
      return "erase";
    case Stage::SwitchOff:
      return "switch-off";
  }
  return "stage";
}

const char* sectorStateName(SectorState state) {
  switch (state) {
    case SectorState::Writing:
      return "writing";
    case SectorState::Written:
      return "written";
    case SectorState::Resent:
      return "resent";
    case SectorState::Failed:
      return "failed";
    case SectorState::Erased:
      return "erased";
    case SectorState::Read:
      return "read";
  }
  return "sector";
}

JobScope::JobScope(JobState& job) : previous_(t_job) {
  t_job = &job;
}

JobScope::~JobScope() {
  t_job = previous_;
}

JobState* currentJob() {
  return t_job;
}

JobState& boundJob() {
  if (!t_job) throw std::logic_error("no job is bound to this thread");
  return *t_job;
}

JobPort::JobPort() : serial_(t_job && t_job->serial ? t_job->serial : &closed_) {}

double now() {
  return t_job && t_job->clock ? t_job->clock() : platform::now();
}

std::string portOpenName(int port) {
  if (t_job && t_job->port == port && !t_job->device.empty()) return t_job->device;
  return platform::comName(port);
}

bool cancelled() {
  return t_job && t_job->cancel && t_job->cancel->cancelled();
}

bool lastReadSilent() {
  return t_job && t_job->line && t_job->line->lastReadTimedOut();
}

std::string reasonText(const FailureReason& r) {
  switch (r.kind) {
    case FailureKind::None:
      return {};
    case FailureKind::Cancelled:
      return "cancelled by the user";
    case FailureKind::Silent:
      return "the handset stopped answering";
    case FailureKind::UnexpectedReply: {
      char text[160];
      std::snprintf(text, sizeof text, "the handset answered 0x%02X where 0x%02X was expected (%s)",
                    r.got, r.expected, r.text.c_str());
      return text;
    }
    case FailureKind::Stated:
      return r.text;
  }
  return r.text;
}

void noteReason(const std::string& reason) {
  if (t_job) t_job->reason = stated(reason);
}

void noteSilent() {
  if (t_job) t_job->reason = {FailureKind::Silent, {}, 0, 0};
}

void noteFile(const std::string& path, const std::string& reason) {
  if (!t_job) return;
  if (t_job->file.empty()) t_job->file = path;
  // Texts that already name the file ("path: reason") keep only the reason.
  const std::string named = path + ": ";
  noteReason(reason.rfind(named, 0) == 0 ? reason.substr(named.size()) : reason);
}

bool expectByte(std::uint8_t got, std::uint8_t expected, const char* what) {
  if (got == expected) {
    // 0x9D can be a real answer; only a read that timed out is silence.
    return !(got == kTimeoutByte && t_job && t_job->line && t_job->line->lastReadTimedOut());
  }
  if (!t_job) return false;
  if (got == kTimeoutByte && (!t_job->line || t_job->line->lastReadTimedOut())) {
    noteSilent();
    return false;
  }
  t_job->reason = {FailureKind::UnexpectedReply, what, got, expected};
  return false;
}

void noteSector(std::uint32_t number, std::uint32_t address, std::uint32_t size) {
  if (!t_job) return;
  t_job->sector = {number, address, size, SectorState::Read};
  t_job->inSector = true;
}

void reportStage(const StageInfo& stage) {
  if (!t_job) return;
  t_job->stageTotal = stage.bytes;
  t_job->stageDone = 0;
  t_job->inSector = false;
  if (t_job->progress) t_job->progress->stageStarted(stage);
}

void reportBytes(std::uint64_t count, std::uint32_t address) {
  if (!t_job) return;
  t_job->stageDone += count;
  t_job->jobDone += count;
  if (t_job->progress)
    t_job->progress->bytesDone(
        {t_job->stageDone, t_job->stageTotal, t_job->jobDone, t_job->totals.bytes, address});
}

void reportSector(std::uint32_t number, std::uint32_t address, std::uint32_t size,
                  SectorState state) {
  if (!t_job) return;
  t_job->sector = {number, address, size, state};
  t_job->inSector = state == SectorState::Writing || state == SectorState::Read ||
                    state == SectorState::Resent || state == SectorState::Failed;
  if (state == SectorState::Written || state == SectorState::Erased)
    t_job->sectorsDone.push_back(number);
  if (t_job->progress) t_job->progress->sectorChanged(t_job->sector);
}

void reportPlanned(std::uint32_t number, std::uint32_t address, std::uint32_t size,
                   SectorPlan plan) {
  if (t_job && t_job->progress) t_job->progress->sectorPlanned({number, address, size, plan});
}

void reportCheckFailed(const std::string& text) {
  if (t_job && t_job->progress) t_job->progress->checkFailed(t_job->sector, text);
}

void reportLogLine(const std::string& line) {
  if (t_job && t_job->progress) t_job->progress->logLine(line);
}

void reportElapsed(std::optional<std::uint32_t> seconds) {
  if (t_job && t_job->progress) t_job->progress->elapsed(seconds);
}

void reportIdentified(const HandsetIdentity& handset) {
  if (t_job && t_job->progress) t_job->progress->identified(handset);
}

void reportWaiting(double waited) {
  if (!t_job) return;
  const double at = now();
  if (t_job->progress && (t_job->lastBeat < 0 || at - t_job->lastBeat >= kBeatSeconds)) {
    t_job->lastBeat = at;
    t_job->progress->heartbeat(waited);
  }
}

}  // namespace dwl
