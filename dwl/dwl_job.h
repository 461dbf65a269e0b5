// What one job (a write, a verify, a dump, an erase, an identification) carries through the
// layers besides the record: where it reports progress, its port and clock, the flash
// descriptions it uses, the bootstrap file, its cancel request, and the cause of a failure as the
// layers note it, and the library's own state (transfer counters, the receive buffer, the comment
// log's latest line). A job binds it to its thread for its whole run (JobScope); the layers reach
// it through the functions below. The reports do nothing when no job is bound; the layers that keep
// state need one.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "dwl/dwl12pclib.h"
#include "dwl/dwl_result.h"
#include "platform/closed_rs232.h"

namespace platform {
class CancelToken;
class GuardedRs232;
class Rs232;
}  // namespace platform

namespace dwl {

struct FlashDescriptionTable;

// ---- progress events ------------------------------------------------------------------------

enum class Stage { Boot, Speed, Image, Verify, Dump, Erase, SwitchOff };
// "boot", "speed", "image", "verify", "dump", "erase", "switch-off".
const char* stageName(Stage stage);

enum class SectorState { Writing, Written, Resent, Failed, Erased, Read };
// "writing", "written", "resent", "failed", "erased", "read".
const char* sectorStateName(SectorState state);

struct JobTotals {
  std::uint64_t bytes = 0;    // bytes the whole job moves (written, read back, dumped, erased)
  std::uint32_t sectors = 0;  // sectors it writes, dumps or erases
};

struct StageInfo {
  Stage stage = Stage::Boot;
  int index = 0;            // image k of n (from 1), for Image and Verify; 0 otherwise
  int count = 0;            // n
  std::string name;         // the image's slot and file, the dumped range, ...
  std::uint64_t bytes = 0;  // bytes of this stage, 0 for the stages that move none
};

struct ByteProgress {
  std::uint64_t stageDone = 0, stageTotal = 0;
  std::uint64_t jobDone = 0, jobTotal = 0;
  std::uint32_t address = 0;  // handset address of the bytes just done (0: not told)
};

struct SectorEvent {
  std::uint32_t number = 0;
  std::uint32_t address = 0;  // handset address
  std::uint32_t size = 0;
  SectorState state = SectorState::Writing;
};

// Before a write: each sector of the identified flash (Listed), then each sector the next image
// covers (Queued). The windows' sector maps start from these.
enum class SectorPlan { Listed, Queued };

struct PlannedSector {
  std::uint32_t number = 0;
  std::uint32_t address = 0;  // handset address
  std::uint32_t size = 0;
  SectorPlan plan = SectorPlan::Listed;
};

struct HandsetIdentity {
  std::uint8_t cpu = 0;
  std::uint8_t manufacturer = 0;
  std::uint8_t device = 0;
  std::string flashName;  // "<maker> <device>" from the flash descriptions, empty when unknown
  // The flash's geometry, when the descriptions have it.
  bool described = false;
  std::uint32_t flashSize = 0;
  std::uint32_t sectorCount = 0;
  int banks = 0;
};

// The cause of a failure, as values the front ends word: what it concerns and why.
// What: a file, or the port and the device it stands for, with the sector (or, outside the sector
// count, the address) the job was working on.
struct FailureObject {
  std::string file;
  std::string range;   // a sector or byte range a request named
  std::string port;    // "COM4", or the device itself when no number names it
  std::string device;  // empty when the port names the device itself
  std::optional<std::uint32_t> sector;
  std::optional<std::uint32_t> address;
  bool operator==(const FailureObject&) const = default;
};

enum class FailureKind {
  None,
  Cancelled,        // the user asked the job to stop
  Silent,           // the handset stopped answering
  UnexpectedReply,  // the handset answered another byte than the protocol's
  Stated,           // the system's error or the layer's own words, in text
};

struct FailureReason {
  FailureKind kind = FailureKind::None;
  std::string text;                    // Stated: the words; UnexpectedReply: the step
  std::uint8_t got = 0, expected = 0;  // UnexpectedReply
  bool operator==(const FailureReason&) const = default;
};

struct FailureDetail {
  FailureObject object;
  FailureReason reason;
  bool operator==(const FailureDetail&) const = default;
};

// "the handset stopped answering", "the handset answered 0x.. where 0x.. was expected (step)",
// the stated words; empty for None.
std::string reasonText(const FailureReason& reason);

// A reason in the layer's own words.
inline FailureReason stated(std::string text) {
  return {FailureKind::Stated, std::move(text), 0, 0};
}

// A sector an erase walk went past although one of its checks failed.
struct FailedSector {
  std::uint32_t number = 0;
  std::uint32_t address = 0;  // handset address
  std::string message;        // each failed check's box text, with the handset's answer
};

struct JobResult {
  DownloadResult result;
  // The fixed text of the result's window; for the results without one, a sentence of ours.
  std::string message;
  FailureDetail detail;  // empty for success
  bool identified = false;
  HandsetIdentity handset;
  // Write: image bytes the handset confirmed. Dump: bytes appended to the output, whole blocks.
  std::uint64_t bytesWritten = 0;
  // Sectors written (write) or erased (erase), in order.
  std::vector<std::uint32_t> sectors;
  // Erase: the sectors whose check failed, in order.
  std::vector<FailedSector> failedSectors;
  bool verified = false;
  double seconds = 0;
};

// The one seam every front end follows a job by. Events come on the job's thread.
class ProgressSink {
 public:
  virtual ~ProgressSink() = default;
  virtual void jobStarted(const JobTotals& totals) { (void)totals; }
  // The totals once the flash is identified: a write learns its sector count only then.
  virtual void totalsKnown(const JobTotals& totals) { (void)totals; }
  virtual void stageStarted(const StageInfo& stage) { (void)stage; }
  virtual void bytesDone(const ByteProgress& bytes) { (void)bytes; }
  virtual void sectorChanged(const SectorEvent& sector) { (void)sector; }
  virtual void sectorPlanned(const PlannedSector& sector) { (void)sector; }
  // One check of a sector failed; the walk goes on past it. text: what the check's box says.
  virtual void checkFailed(const SectorEvent& sector, const std::string& text) {
    (void)sector, (void)text;
  }
  // A line of the windows' comment log, exactly as the list shows it (blanks included).
  virtual void logLine(const std::string& line) { (void)line; }
  // Whole seconds since the job's start, after each image written and at the end; nullopt
  // clears the time shown (a write begins).
  virtual void elapsed(std::optional<std::uint32_t> seconds) { (void)seconds; }
  virtual void identified(const HandsetIdentity& handset) { (void)handset; }
  // At least every 250 ms while the job waits on the line; waited: seconds of the current wait.
  virtual void heartbeat(double waited) { (void)waited; }
  virtual void jobFinished(const JobResult& result) { (void)result; }
};

// Passes every event to each of its sinks, in order.
class ProgressTee : public ProgressSink {
 public:
  explicit ProgressTee(std::vector<ProgressSink*> sinks) : sinks_(std::move(sinks)) {}
  void jobStarted(const JobTotals& t) override {
    each([&](auto* s) { s->jobStarted(t); });
  }
  void totalsKnown(const JobTotals& t) override {
    each([&](auto* s) { s->totalsKnown(t); });
  }
  void stageStarted(const StageInfo& i) override {
    each([&](auto* s) { s->stageStarted(i); });
  }
  void bytesDone(const ByteProgress& b) override {
    each([&](auto* s) { s->bytesDone(b); });
  }
  void sectorChanged(const SectorEvent& e) override {
    each([&](auto* s) { s->sectorChanged(e); });
  }
  void sectorPlanned(const PlannedSector& p) override {
    each([&](auto* s) { s->sectorPlanned(p); });
  }
  void checkFailed(const SectorEvent& e, const std::string& text) override {
    each([&](auto* s) { s->checkFailed(e, text); });
  }
  void logLine(const std::string& line) override {
    each([&](auto* s) { s->logLine(line); });
  }
  void elapsed(std::optional<std::uint32_t> seconds) override {
    each([&](auto* s) { s->elapsed(seconds); });
  }
  void identified(const HandsetIdentity& h) override {
    each([&](auto* s) { s->identified(h); });
  }
  void heartbeat(double waited) override {
    each([&](auto* s) { s->heartbeat(waited); });
  }
  void jobFinished(const JobResult& r) override {
    each([&](auto* s) { s->jobFinished(r); });
  }

 private:
  template <class F>
  void each(F f) {
    for (ProgressSink* s : sinks_)
      if (s) f(s);
  }
  std::vector<ProgressSink*> sinks_;
};

// Passes every event on but the job's end: for a front end that reports the end itself, once its
// own bookkeeping (the job log, a trace) is done. A null sink hears nothing.
class ProgressWithoutEnd final : public ProgressTee {
 public:
  explicit ProgressWithoutEnd(ProgressSink* to) : ProgressTee({to}) {}
  void jobFinished(const JobResult&) override {}
};

// ---- the job bound to a thread --------------------------------------------------------------

struct JobState {
  ProgressSink* progress = nullptr;               // null: no events
  const FlashDescriptionTable* flash = nullptr;   // null: no flash is described
  const platform::CancelToken* cancel = nullptr;  // null: cannot be cancelled
  const platform::GuardedRs232* line = nullptr;   // the job's port, to tell silence
  platform::Rs232* serial = nullptr;              // what the job talks through; null: nothing
  // The device the port number `port` is opened by; empty: "COM" + number (deviceForName maps).
  int port = 0;
  std::string device;
  std::function<double()> clock;  // the monotonic seconds its time-outs run on; empty: the real
  std::string bootstrapPath;      // empty: the working directory's dwl87.spm

  // Filled as the job goes.
  JobTotals totals;
  std::uint64_t jobDone = 0;
  std::uint64_t stageTotal = 0, stageDone = 0;
  double lastBeat = -1;
  // The cause, as noted by the layers. The latest reason stands: the first failure ends a job, so
  // the latest is that failure's (a walk that goes on past a failure keeps its first itself).
  FailureReason reason;
  std::string file;
  bool inSector = false;
  SectorEvent sector;
  std::uint64_t confirmed = 0;  // bytes confirmed by the handset in the current image
  // Each slot's image length as its file has it (indexed by dwl::Slot), where the image is sent
  // longer (an odd ogm image goes with a spare byte); 0 when unknown.
  std::uint32_t imageLengths[4] = {};
  std::uint64_t imageBytes = 0;  // image bytes confirmed, summed over the images
  std::vector<std::uint32_t> sectorsDone;
  std::vector<FailedSector> failedSectors;

  // The library's own state, one copy per job so jobs on several threads never share it.
  // The sector transfer: the result a reply time-out returns ({RESULT_DOWNLOAD_TIMEOUT, 0}), the
  // percentage of the current image written (0..100), the start of the wait for a sector reply
  // and the latest clock reading in it (seconds of the monotonic clock), and the input-queue
  // length the latest poll of that wait saw.
  DownloadResult mv_ResultDownload;
  int mv_SoftPourcent = 0;
  double mv_TimeOut = 0, mv_TimeOutEnd = 0;
  int mv_Qlength = 0;
  // The dump's progress, 0..100.
  int SoftPourcent = 0;
  // The buffer for data received from the handset.
  std::uint8_t v_BufferSL[kBufferSLSize] = {};
  // The comment log's latest line (cut to the old 100-character buffer) and the lines logged.
  char ma_Comment[100] = {};
  int mv_NbCommentLine = 0;
  // Why the latest loading of the bootstrap failed on its file (names the file and the reason);
  // empty after a success.
  std::string spmFileFailure;
};

// Binds a job to the calling thread for the lifetime of the object.
class JobScope {
 public:
  explicit JobScope(JobState& job);
  ~JobScope();
  JobScope(const JobScope&) = delete;
  JobScope& operator=(const JobScope&) = delete;

 private:
  JobState* previous_;
};

// The job bound to the calling thread, or null.
JobState* currentJob();
// The job bound to the calling thread, for the layers that keep their state in it; a call
// outside a job is a programming error and throws std::logic_error.
JobState& boundJob();

// The bound job's port, for one call. Outside a job, or for a job without a port, a closed port
// stands in: nothing opens and every read is silence, as on a port that cannot be opened.
class JobPort {
 public:
  JobPort();
  JobPort(const JobPort&) = delete;
  JobPort& operator=(const JobPort&) = delete;
  platform::Rs232& operator*() const { return *serial_; }
  platform::Rs232* operator->() const { return serial_; }

 private:
  platform::ClosedRs232 closed_;
  platform::Rs232* serial_;
};

// Seconds on the bound job's clock; platform::now() outside a job or for a job without one.
double now();
// The name to open a port number by: the bound job's device for its port, else "COM" + number.
std::string portOpenName(int port);

// True once the job has been asked to stop.
bool cancelled();
// True when the job's latest read ended in silence (false outside a job).
bool lastReadSilent();
// The result of a job that stopped because it was asked to.
inline constexpr DownloadResult kCancelledResult{RESULT_CANCELLED, 0};

// The layers' reports. Each does nothing without a job.
void noteReason(const std::string& reason);
// The handset's silence: a read that timed out.
void noteSilent();
void noteFile(const std::string& path, const std::string& reason);
// The handset's answer to a command: notes the reason when it is not the expected byte (a read
// that timed out counts as silence). Returns true when it is the expected byte.
bool expectByte(std::uint8_t got, std::uint8_t expected, const char* what);
// The sector the job is now working on (named in the cause of a failure that comes next);
// kNoSector for a block that is not counted in sectors (a byte range, a read-back).
inline constexpr std::uint32_t kNoSector = 0xFFFFFFFFu;
void noteSector(std::uint32_t number, std::uint32_t address, std::uint32_t size);
void reportStage(const StageInfo& stage);
void reportBytes(std::uint64_t count, std::uint32_t address = 0);
void reportSector(std::uint32_t number, std::uint32_t address, std::uint32_t size,
                  SectorState state);
void reportPlanned(std::uint32_t number, std::uint32_t address, std::uint32_t size,
                   SectorPlan plan);
void reportCheckFailed(const std::string& text);  // for the sector last noted or reported
void reportLogLine(const std::string& line);
void reportElapsed(std::optional<std::uint32_t> seconds);
void reportIdentified(const HandsetIdentity& handset);
// Called while waiting; passes a heartbeat on (a window repaints from it).
void reportWaiting(double waited);

}  // namespace dwl
