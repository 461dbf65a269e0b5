#include "apps/dumper/dumper_app.h"

#include "apps/guikit/display.h"
#include "dwl/dwl52display.h"

namespace dumper {

DumperContext sg_DownloadContext;
int prior_value_start = kFirstSector;
int prior_value_end = kLastSector;

void resetDumperState() {
  sg_DownloadContext = DumperContext();
  prior_value_start = kFirstSector;
  prior_value_end = kLastSector;
}

namespace {

const std::vector<int> kDumpLockControls = {4, 5, 11, 10, 12, 17, 13, 7, 6, 9};
const std::vector<int> kMainAllControls = {4, 5, 11, 10, 12, 17, 13, 7, 6, 2, 3, 18, 14, 8, 9};
const std::vector<int> kEraseLockControls = {2, 3, 4, 12};
const std::vector<int> kEraseRangeControls = {kEraseFirst, kEraseLast, kEraseRangeLabel};

PanelEvents g_noPanels;
PanelEvents* g_panelEvents = &g_noPanels;
}  // namespace

PanelEvents& panelEvents() {
  return *g_panelEvents;
}

void setPanelEvents(PanelEvents* events) {
  g_panelEvents = events ? events : &g_noPanels;
}

void PanelEvents::stageStarted(const dwl::StageInfo& stage) {
  stage_ = stage.stage;
  checkFailed_ = false;
}

void PanelEvents::bytesDone(const dwl::ByteProgress& bytes) {
  if (stage_ != dwl::Stage::Dump) return;
  // One event a block: the offset of the block just written, and the blocks done of the whole
  // dump, truncated to whole percents.
  dumpOffset(bytes.address - dwl::FlashBase);
  const std::uint64_t done = (bytes.stageDone + kBlockSize - 1) / kBlockSize;
  const std::uint64_t blocks = (bytes.stageTotal + kBlockSize - 1) / kBlockSize;
  if (blocks > 0)
    progress(static_cast<int>(
        static_cast<unsigned>(100.0 * static_cast<double>(done) / static_cast<double>(blocks))));
  pump();
}

void PanelEvents::sectorChanged(const dwl::SectorEvent& sector) {
  if (stage_ != dwl::Stage::Erase) return;
  // A sector the walk stopped at without an answer was not erased, nor checked.
  const bool checked =
      sector.state == dwl::SectorState::Erased ||
      (sector.state == dwl::SectorState::Failed && checkFailed_ && failedSector_ == sector.number);
  if (checked) eraseProgress(sector.address - dwl::FlashBase, sector.number);
  checkFailed_ = false;
  pump();
}

void PanelEvents::checkFailed(const dwl::SectorEvent& sector, const std::string& text) {
  failedSector_ = sector.number;
  checkFailed_ = true;
  box(kErrorTitle, text);
}

void PanelEvents::heartbeat(double) {
  pump();
}

void InitControls() {
  panelEvents().progress(0);
  panelEvents().dumpOffset(0);
}

void InitControls_erase() {
  panelEvents().eraseProgress(0, 0);
}

void LockDuringDumping() {
  guikit::display().lock();
  panelEvents().pump();
}

void UnlockAfterDump() {
  guikit::display().unlock();
  panelEvents().pump();
}

void LockDuringErasing() {
  guikit::display().lock();
  panelEvents().pump();
}

void UnlockAfterErasing() {
  guikit::display().unlock();
  panelEvents().pump();
}

// --- panels and callbacks -------------------------------------------------------------------

namespace {

Dimming operationDimming(bool dim) {
  if (sg_DownloadContext.OperationMode == kModeDump)
    return {Panel::Main, kDumpLockControls, dim, true};
  std::vector<int> controls = kEraseLockControls;
  if (sg_DownloadContext.EraseSelection == kEraseSectorRange)
    controls.insert(controls.end(), kEraseRangeControls.begin(), kEraseRangeControls.end());
  return {Panel::Erase, controls, dim, false};
}

InputVerdict check(std::int32_t first, std::int32_t last) {
  return first > last ? InputVerdict::Inverted : InputVerdict::Accepted;
}

}  // namespace

Dimming lockDimming() {
  return operationDimming(true);
}
Dimming unlockDimming() {
  return operationDimming(false);
}

InputVerdict setDumpFirstSector(int value) {
  sg_DownloadContext.DumpFirstSector = value;
  return check(sg_DownloadContext.DumpFirstSector, sg_DownloadContext.DumpLastSector);
}

InputVerdict setDumpLastSector(int value) {
  sg_DownloadContext.DumpLastSector = value;
  return check(sg_DownloadContext.DumpFirstSector, sg_DownloadContext.DumpLastSector);
}

InputVerdict setEraseFirstSector(int value) {
  sg_DownloadContext.EraseFirstSector = value;
  prior_value_start = value;
  return check(sg_DownloadContext.EraseFirstSector, sg_DownloadContext.EraseLastSector);
}

InputVerdict setEraseLastSector(int value) {
  sg_DownloadContext.EraseLastSector = value;
  prior_value_end = value;
  return check(sg_DownloadContext.EraseFirstSector, sg_DownloadContext.EraseLastSector);
}

bool rangeInverted(std::int32_t operationMode) {
  const DumperContext& c = sg_DownloadContext;
  return operationMode == kModeErase ? c.EraseFirstSector > c.EraseLastSector
                                     : c.DumpFirstSector > c.DumpLastSector;
}

void setComPort(int value) {
  sg_DownloadContext.ComPort = value;
}

void setSpeed(int value) {
  sg_DownloadContext.Speed = value;
}

std::optional<Dimming> setEraseSelection(int value) {
  sg_DownloadContext.EraseSelection = value;
  if (value == kEraseWholeFlash) {
    sg_DownloadContext.EraseFirstSector = kFirstSector;
    sg_DownloadContext.EraseLastSector = kWholeFlashLastSector;
    return Dimming{Panel::Erase, kEraseRangeControls, true, false};
  }
  if (value == kEraseSectorRange) {
    sg_DownloadContext.EraseFirstSector = prior_value_start;
    sg_DownloadContext.EraseLastSector = prior_value_end;
    return Dimming{Panel::Erase, kEraseRangeControls, false, false};
  }
  return std::nullopt;
}

Dimming openErasePanel() {
  sg_DownloadContext.EraseSelection = kEraseWholeFlash;
  return {Panel::Main, kMainAllControls, true, true};
}

Dimming closeErasePanel() {
  return {Panel::Main, kMainAllControls, false, true};
}

}  // namespace dumper
