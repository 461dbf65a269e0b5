// A display and a job's event sink that record everything shown, for assertions. Sector events
// are recorded with the words the downloader's sector map shows for them.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "apps/guikit/display.h"
#include "dwl/dwl52display.h"
#include "dwl/dwl_job.h"
#include "engines/downloader/dwl3spm87.h"
#include "support/bound_job.h"

namespace testsupport {

struct ShownWindow {
  dwl::Window window;
  std::string message;
};

struct ShownSector {
  std::uint32_t index, size, address;
  std::string state;
};

class RecordingDisplay : public guikit::Display, public dwl::ProgressSink {
 public:
  std::vector<std::string> comments;
  std::vector<int> progressValues;  // filled by the programs' panel sinks (recording_panel.h)
  std::vector<std::string> elapsedTexts;
  std::vector<ShownSector> sectors;
  std::vector<std::uint64_t> bytes;  // the stage's bytes done, at each event
  std::vector<ShownWindow> windows;
  std::vector<std::pair<std::string, std::string>> popups;  // boxes (recording_panel.h)
  std::vector<std::string> calls;                           // lock and slot calls in order
  int events = 0;  // heartbeats, and the dumper panel's pumps

  // ---- the program's display
  void comment(const std::string& line) override { comments.push_back(line); }
  void openWindow(dwl::Window w, const std::string& m) override { windows.push_back({w, m}); }
  void lock() override { calls.push_back("lock"); }
  void unlock() override { calls.push_back("unlock"); }
  void slotPath(dwl::Slot s, const std::string& path) override {
    calls.push_back("path " + std::to_string(static_cast<int>(s)) + " " + path);
  }
  void slotSize(dwl::Slot s, std::uint32_t size) override {
    calls.push_back("size " + std::to_string(static_cast<int>(s)) + " " + std::to_string(size));
  }
  void slotSum(dwl::Slot s, std::uint32_t sum) override {
    calls.push_back("sum " + std::to_string(static_cast<int>(s)) + " " + std::to_string(sum));
  }

  // ---- the job's events
  void logLine(const std::string& line) override { comments.push_back(line); }
  void elapsed(std::optional<std::uint32_t> seconds) override {
    elapsedTexts.push_back(seconds ? downloader::elapsedText(0, *seconds) : " ");
  }
  void sectorPlanned(const dwl::PlannedSector& s) override {
    sectors.push_back(
        {s.number, s.size, s.address, s.plan == dwl::SectorPlan::Listed ? "N. A." : "Wait..."});
  }
  void sectorChanged(const dwl::SectorEvent& s) override {
    const char* word = nullptr;
    switch (s.state) {
      case dwl::SectorState::Writing:
        word = "wait...";
        break;
      case dwl::SectorState::Written:
        word = "Downloaded";
        break;
      case dwl::SectorState::Resent:
      case dwl::SectorState::Failed:
        word = "Error";
        break;
      case dwl::SectorState::Erased:
      case dwl::SectorState::Read:
        return;  // no write's
    }
    sectors.push_back({s.number, s.size, s.address, word});
  }
  void bytesDone(const dwl::ByteProgress& b) override { bytes.push_back(b.stageDone); }
  void heartbeat(double) override { ++events; }
};

// Binds a job that reports to sink on this thread, for the lifetime of the object: the engines'
// events reach a test that calls them without the operation layer.
// Installs a recorder as the program's display, and as the sink of a job bound to this thread,
// for the lifetime of a test.
class ScopedRecorder {
 public:
  ScopedRecorder() { guikit::setDisplay(&rec); }
  ~ScopedRecorder() { guikit::setDisplay(nullptr); }
  RecordingDisplay rec;

 private:
  BoundJob job_{&rec};
};

}  // namespace testsupport
