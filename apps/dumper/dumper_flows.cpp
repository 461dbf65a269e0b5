// The whole flows of the dumper's Start and Erase buttons, on the operation layer: the record and
// the panels give the job's input, the job's events drive the switch-on panel, and the result
// opens its window.
#include <functional>

#include "apps/dumper/dumper_app.h"
#include "apps/guikit/display.h"
#include "dwl/dwl52display.h"
#include "engines/dumper/dumper.h"
#include "ops/operations.h"
#include "platform/cancel.h"
#include "platform/rs232.h"

namespace dumper {

namespace {

// Shows the switch-on panel while the handset is awaited and takes it away once it answered (or
// the job ended without it).
class SwitchOnEvents final : public dwl::ProgressSink {
 public:
  explicit SwitchOnEvents(const SwitchOnPanel& panel) : panel_(panel) {}
  void stageStarted(const dwl::StageInfo& stage) override {
    if (stage.stage == dwl::Stage::Boot && panel_.show && !shown_) {
      panel_.show();
      shown_ = true;
    }
  }
  void identified(const dwl::HandsetIdentity& handset) override {
    sg_DownloadContext.CpuType = handset.cpu;
    sg_DownloadContext.FlashManufacturer = handset.manufacturer;
    sg_DownloadContext.FlashDevice = handset.device;
    discard();
  }
  void heartbeat(double waited) override {
    if (shown_ && panel_.waiting) panel_.waiting(waited);
  }
  void jobFinished(const dwl::JobResult&) override { discard(); }

 private:
  void discard() {
    if (shown_ && panel_.discard) panel_.discard();
    shown_ = false;
  }
  const SwitchOnPanel& panel_;
  bool shown_ = false;
};

void begin(std::int32_t mode) {
  sg_DownloadContext.OperationMode = mode;
  if (mode == kModeDump) {
    InitControls();
    LockDuringDumping();
  } else {
    InitControls_erase();
    LockDuringErasing();
  }
  panelEvents().pump();
  cancelToken().reset();
}

dwl::DownloadResult end(const dwl::JobResult& result, const SwitchOnPanel& panel) {
  if (result.result.Family == dwl::RESULT_CANCELLED)
    // A cancel has no window of its own: the generic one says so, and its button unlocks.
    guikit::display().openWindow(dwl::Window::GenericErr, result.message);
  else
    guikit::dwl52_10DisplayResult(result.result.Family, result.result.Code);
  if (panel.shown) panel.shown(result);
  return result.result;
}

// Both buttons' flow: the panels locked, the job followed on the switch-on panel and the main
// panel, its result's window.
dwl::DownloadResult run(std::int32_t mode, const SwitchOnPanel& switchOn,
                        const std::function<dwl::JobResult(const ops::Context&)>& job) {
  begin(mode);
  SwitchOnEvents switchOnEvents(switchOn);
  dwl::ProgressTee events({&switchOnEvents, switchOn.progress, &panelEvents()});
  return end(job(ops::programContext(programSettings(), events, cancelToken())), switchOn);
}

}  // namespace

platform::CancelToken& cancelToken() {
  static platform::CancelToken token;
  return token;
}

ops::ProgramSettings& programSettings() {
  static ops::ProgramSettings settings;
  return settings;
}

dwl::DownloadResult runDump(const SwitchOnPanel& switchOn) {
  return run(kModeDump, switchOn, [](const ops::Context& context) {
    ops::DumpInput input;
    // The dumper reads no flash.txt: its dump and erase work on the fixed map.
    input.link = ops::linkFromRecord(sg_DownloadContext);
    input.sectors =
        ops::SectorRange{sg_DownloadContext.DumpFirstSector, sg_DownloadContext.DumpLastSector};
    input.output = "dump.txt";
    return ops::dump(input, context);
  });
}

dwl::DownloadResult runErase(const SwitchOnPanel& switchOn) {
  return run(kModeErase, switchOn, [](const ops::Context& context) {
    ops::EraseInput input;
    input.link = ops::linkFromRecord(sg_DownloadContext);
    input.firstSector = sg_DownloadContext.EraseFirstSector;
    input.lastSector = sg_DownloadContext.EraseLastSector;
    input.rules = ops::EraseRules::Dumper;
    return ops::erase(input, context);
  });
}

void resetAndUnlock() {
  if (sg_DownloadContext.OperationMode == kModeDump) {
    InitControls();
    UnlockAfterDump();
  } else {
    InitControls_erase();
    UnlockAfterErasing();
  }
}

}  // namespace dumper
