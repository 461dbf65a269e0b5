#include "apps/downloader/dwl51mmi.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "apps/downloader/dwl53ser.h"
#include "apps/downloader/mmi.h"
#include "apps/downloader/panels.h"
#include "apps/downloader/sector_map.h"
#include "apps/guikit/display.h"
#include "apps/guikit/forms.h"
#include "apps/guikit/job_status.h"
#include "apps/guikit/userint.h"
#include "dwl/dwl10fla.h"
#include "dwl/dwl12pclib.h"
#include "dwl/dwl1boot.h"
#include "dwl/dwl52display.h"
#include "engines/downloader/download_context.h"
#include "engines/downloader/dwl3spm87.h"
#include "engines/downloader/dwl51loader.h"
#include "engines/downloader/dwl56conf.h"
#include "ops/operations.h"
#include "platform/cancel.h"
#include "platform/clock.h"
#include "platform/rs232.h"

namespace downloader {

using namespace guikit;

namespace {

bool g_running = false;

void popupDownload(const char* text) {
  MessagePopup("DOWNLOAD", text);
}

// How long the boot waits for the handset's first byte (the port's time-out at the boot).
constexpr double kBootWait = 5;

}  // namespace

void showJobResult(const dwl::JobResult& job, const std::string& failureTitle) {
  const dwl::DownloadResult& r = job.result;
  setFailureTitle(failureTitle);
  if (r.Family == dwl::RESULT_CANCELLED) {
    // A cancel has no window of its own: the generic one says so, and its button unlocks.
    const std::string what = failureTitle == "Download failed" ? "Download cancelled" : "Cancelled";
    guikit::display().openWindow(dwl::Window::GenericErr, job.message);
    SetPanelTitle(lastResultWindow(), what);
    SetPanelHeading(lastResultWindow(), what);
    // The progress log tells the whole story, the cancel included.
    guikit::logComment(what + " by the user");
    return;
  }
  if (!dwl::resultWindow(r.Family, r.Code, nullptr)) {
    // A result that opens no window would leave the panel locked for good.
    initControls();
    guikit::dwl52_6UnlockAfterDownload();
    return;
  }
  guikit::dwl52_10DisplayResult(r.Family, r.Code);
  // Under the fixed text, what failed and why.
  if (r.Family != dwl::RESULT_SUCCESS)
    SetPanelDetail(lastResultWindow(), ops::failureText(job.detail));
}

platform::CancelToken& cancelToken() {
  static platform::CancelToken token;
  return token;
}

ops::ProgramSettings& programSettings() {
  static ops::ProgramSettings settings;
  return settings;
}

namespace {

// The switch-on prompt while the handset is awaited; once it answered, the processor and flash
// indicators (and the record learns what was identified).
class StartEvents final : public dwl::ProgressSink {
 public:
  void stageStarted(const dwl::StageInfo& stage) override {
    if (stage.stage == dwl::Stage::Boot && !shown_) {
      v_PanelTurnOn = showSwitchOnPrompt();
      SetCtrlVal(v_PanelTurnOn, TURNON_TEXT, countdown_.text(0));
      shown_ = true;
    }
  }
  void heartbeat(double waited) override {
    if (shown_) SetCtrlVal(v_PanelTurnOn, TURNON_TEXT, countdown_.text(waited));
  }
  void identified(const dwl::HandsetIdentity& handset) override {
    discard();
    DownloadContext& c = sg_DownloadContext;
    c.CpuType = handset.cpu;
    c.FlashManufacturer = handset.manufacturer;
    c.FlashDevice = handset.device;
    showCpuType(c.CpuType);
    ProcessSystemEvents();
    showFlashType(c.FlashManufacturer, c.FlashDevice);
    ProcessSystemEvents();
  }
  void jobFinished(const dwl::JobResult&) override { discard(); }

 private:
  void discard() {
    if (shown_) DiscardPanel(v_PanelTurnOn);
    shown_ = false;
  }
  bool shown_ = false;
  guikit::SwitchOnCountdown countdown_{kBootWait};
};

// The job's input from the record: the settings and the images its load flags name.
ops::WriteInput writeInput(const DownloadContext& c) {
  ops::WriteSettings settings;
  settings.link = ops::linkFromRecord(c);
  settings.link.flash = &vg_FlashDescritpion;
  settings.model = c.Model;
  settings.mode = ops::fileModeOfRecord(c.Mode).value_or(ops::FileMode::BinOnly);
  settings.downloadType = c.DownloadType;
  const struct {
    dwl::Slot slot;
    const char* path;
    const std::uint8_t* data;
    std::uint32_t length;
    bool loaded;
  } held[] = {{dwl::Slot::Bin1, c.Bin1Path, c.Bin1Data, c.Bin1Length, c.Bin1Loaded == 1},
              {dwl::Slot::Bin2, c.Bin2Path, c.Bin2Data, c.Bin2Length, c.Bin2Loaded == 1},
              {dwl::Slot::Ogm1, c.Ogm1Path, c.Ogm1Data, c.Ogm1Length, c.Ogm1Loaded == 1},
              {dwl::Slot::Ogm2, c.Ogm2Path, c.Ogm2Data, c.Ogm2Length, c.Ogm2Loaded == 1}};
  std::vector<ops::ImageSource> sources;
  for (const auto& s : held)
    if (s.loaded && s.data)
      sources.push_back({s.slot, s.path, std::span<const std::uint8_t>(s.data, s.length)});
  // The record holds one image a slot, already read: nothing here can be refused.
  return ops::makeWriteInput(settings, sources, nullptr);
}

}  // namespace

bool downloadRunning() {
  return g_running;
}

int dwl51_50MMIStart(int, int, int event, void*, int, int) {
  if (event != EVENT_COMMIT) return 0;
  DownloadContext& c = sg_DownloadContext;
  const bool bin = c.Bin1Path[0] != '\0' || c.Bin2Path[0] != '\0';
  const bool ogm = c.Ogm1Path[0] != '\0' || c.Ogm2Path[0] != '\0';
  switch (c.Mode) {
    case 0:
    case 1:
      if (!bin) {
        popupDownload("Please load a bin file before start");
        return 0;
      }
      if (c.Mode == 0 && !ogm) {
        popupDownload("Please load a ogm file before start");
        return 0;
      }
      break;
    case 2:
      if (!ogm) {
        popupDownload("Please load a ogm file before start");
        return 0;
      }
      break;
    default:
      return 0;
  }
  // Images that cannot be written as loaded (empty, overlapping, an Ogm1 image on a model without
  // its place) are refused before the handset is asked for.
  const ops::WriteInput input = writeInput(c);
  if (const std::string why = ops::checkWrite(input); !why.empty()) {
    popupDownload(why.c_str());
    return 0;
  }

  initControls();
  // The indicators keep no text of the handset before this one.
  SetCtrlVal(v_Panel, PANEL_CPU, std::string("Processor"));
  SetCtrlVal(v_Panel, PANEL_FLASH, std::string("Flash"));
  SetCtrlVal(v_Panel, PANEL_OVERALL, 0);
  guikit::dwl52_5LockDuringDownload();
  g_running = true;
  SetCtrlAttribute(v_Panel, PANEL_CANCEL, ATTR_DIMMED, 0);
  if (auto* map = dynamic_cast<SectorMap*>(controlWidget(v_Panel, PANEL_SECTORS))) map->clear();
  ProcessSystemEvents();
  // The boot opens the port again: a port the service panel left open is closed first.
  closeServicePort();

  const ops::ProgramSettings& line = programSettings();
  c.StartTime = c.EndTime = static_cast<std::time_t>(line.clock ? line.clock() : platform::now());
  cancelToken().reset();
  StartEvents events;
  guikit::JobStatus status(v_Panel, PANEL_STATUS, PANEL_OVERALL, line.clock);
  guikit::SinkTee sinks({&events, &status, &panelEvents()});
  const dwl::JobResult result =
      ops::write(input, ops::programContext(programSettings(), sinks, cancelToken()));
  g_running = false;
  // A question about the job that has just ended has no answer to wait for.
  WithdrawQuestions();
  SetCtrlAttribute(v_Panel, PANEL_CANCEL, ATTR_DIMMED, 1);
  if (auto* map = dynamic_cast<SectorMap*>(controlWidget(v_Panel, PANEL_SECTORS)))
    map->endInProgress(result.result.Family == dwl::RESULT_CANCELLED
                           ? SectorMap::State::Cancelled
                           : SectorMap::State::NotWritten);
  showJobResult(result, "Download failed");
  return 0;
}

int dwl51_51MMIQuit(int, int, int event, void*, int, int) {
  if (event != EVENT_COMMIT) return 0;
  releaseImages(sg_DownloadContext);
  QuitUserInterface(0);
  return 0;
}

namespace {
// The line under "... file loading, please wait...": the file and its size on the disk.
void logLoaded(const std::string& slot, const std::string& path) {
  std::error_code ec;
  const auto size = std::filesystem::file_size(path, ec);
  guikit::logComment(slot + " file loaded: " + path + ", " + std::to_string(ec ? 0 : size) +
                     " bytes");
}

// What a slot holds once loaded.
struct SlotState {
  const char* name = "";
  std::string path;
};

SlotState slotState(int control) {
  const DownloadContext& c = sg_DownloadContext;
  switch (control) {
    case PANEL_LOAD_BIN1:
      return {"Bin1", c.Bin1Path};
    case PANEL_LOAD_BIN2:
      return {"Bin2", c.Bin2Path};
    case PANEL_LOAD_OGM1:
      return {"Ogm1", c.Ogm1Path};
    case PANEL_LOAD_OGM2:
      return {"Ogm2", c.Ogm2Path};
    default:
      return {};
  }
}

// What a load did, on the panel: the slot's displays, or the PC library window.
void showLoadOutcome(dwl::Slot slot, const LoadOutcome& outcome) {
  if (outcome.code != dwl::kOk) {
    guikit::dwl52_10DisplayResult(dwl::RESULT_LIB_PC, outcome.code);
    return;
  }
  guikit::display().slotPath(slot, outcome.path);
  guikit::display().slotSize(slot, outcome.size);
  guikit::display().slotSum(slot, outcome.sum);
}

// The slot's file dialog, then its loader when a file was chosen (an existing or a new one).
void loadSlot(int control) {
  static constexpr struct {
    int control;
    dwl::Slot slot;
    const char* pattern;
    const char* title;
  } kButtons[] = {
      {PANEL_LOAD_BIN1, dwl::Slot::Bin1, "*.bin", "select bin file"},
      {PANEL_LOAD_BIN2, dwl::Slot::Bin2, "*.bin", "select bin file"},
      {PANEL_LOAD_OGM1, dwl::Slot::Ogm1, "*.ogm", "select ogm file"},
      {PANEL_LOAD_OGM2, dwl::Slot::Ogm2, "*.ogm", "select ogm file"},
  };
  for (const auto& b : kButtons) {
    if (b.control != control) continue;
    std::string chosen;
    const int picked = chooseImageFile(b.pattern, b.title, &chosen);
    if (picked == 1 || picked == 2) showImageLoad(sg_DownloadContext, b.slot, chosen);
    return;
  }
}
}  // namespace

LoadOutcome showSlotLoad(DownloadContext& c, dwl::Slot slot) {
  guikit::logComment(loadingText(slot));
  // Locked while the file is read, so the panel shows the load going on.
  guikit::dwl52_5LockDuringDownload();
  const LoadOutcome outcome = loadSlot(c, slot);
  showLoadOutcome(slot, outcome);
  guikit::dwl52_6UnlockAfterDownload();
  return outcome;
}

dwl::ResultCode showImageLoad(DownloadContext& c, dwl::Slot slot, const std::string& path) {
  const dwl::ResultCode rc = setImagePath(c, slot, path);
  if (rc != dwl::kOk) {
    guikit::dwl52_10DisplayResult(dwl::RESULT_LIB_PC, rc);
    return rc;
  }
  return showSlotLoad(c, slot).code;
}

int loadButton(int, int control, int event, void*, int, int) {
  if (event != EVENT_COMMIT) return 0;
  setFailureTitle("Image not loaded");
  const int loadsBefore = loadsShown();
  loadSlot(control);
  const SlotState after = slotState(control);
  // The window of a failed load names the file and why; a load that took place says so under
  // its "please wait" line.
  const std::string& failure = sg_DownloadContext.State.imageFileFailure;
  if (!failure.empty())
    SetPanelDetail(lastResultWindow(), failure);
  else if (loadsShown() != loadsBefore)
    logLoaded(after.name, after.path);
  setFailureTitle("Download failed");
  return 0;
}

int dwl_SelectMode(int panel, int control, int event, void*, int, int) {
  if (event != EVENT_VAL_CHANGED) return 0;
  sg_DownloadContext.Mode = intValue(panel, control);
  switch (sg_DownloadContext.Mode) {
    case 0:
      for (SlotGroup g : {GROUP_BIN1, GROUP_BIN2, GROUP_OGM1, GROUP_OGM2}) dimSlotGroup(g, false);
      break;
    case 1:
      dimSlotGroup(GROUP_BIN1, false);
      dimSlotGroup(GROUP_BIN2, false);
      dimSlotGroup(GROUP_OGM1, true);
      dimSlotGroup(GROUP_OGM2, true);
      break;
    case 2:
      dimSlotGroup(GROUP_BIN1, true);
      dimSlotGroup(GROUP_BIN2, true);
      dimSlotGroup(GROUP_OGM1, false);
      dimSlotGroup(GROUP_OGM2, false);
      break;
    default:
      return 0;
  }
  SetCtrlAttribute(panel, PANEL_MODEL, ATTR_DIMMED, 0);
  SetCtrlAttribute(panel, PANEL_DOWNLOAD_CONF, ATTR_DIMMED, 0);
  return 0;
}

int dwl51_58MMISelectModel(int panel, int control, int event, void*, int, int) {
  if (event != EVENT_VAL_CHANGED) return 0;
  sg_DownloadContext.Model = intValue(panel, control);
  if (sg_DownloadContext.Model == 0) {
    for (SlotGroup g : {GROUP_BIN1, GROUP_BIN2, GROUP_OGM1, GROUP_OGM2}) dimSlotGroup(g, false);
  } else if (sg_DownloadContext.Model >= 1 && sg_DownloadContext.Model <= 3) {
    dimSlotGroup(GROUP_BIN2, true);
    dimSlotGroup(GROUP_OGM2, true);
  }
  return 0;
}

int dwl51_56MMISelectPort(int panel, int control, int event, void*, int, int) {
  if (event == EVENT_VAL_CHANGED) sg_DownloadContext.ComPort = intValue(panel, control);
  return 0;
}

int dwl51_62MMISelectSpeed(int panel, int control, int event, void*, int, int) {
  if (event == EVENT_VAL_CHANGED) sg_DownloadContext.Speed = intValue(panel, control);
  return 0;
}

int dwl51_59MMISelectProjectType(int panel, int, int event, void*, int, int) {
  if (event != EVENT_VAL_CHANGED) return 0;
  sg_DownloadContext.ProductType = 2;
  SetCtrlAttribute(panel, PANEL_DOWNLOAD_CONF, ATTR_DIMMED, 0);
  return 0;
}

int dwl51_60MMIDownloadConfiguration(int panel, int, int event, void*, int, int) {
  if (event != EVENT_VAL_CHANGED) return 0;
  sg_DownloadContext.DownloadType = 0;
  SetCtrlAttribute(panel, PANEL_LOAD_BIN1, ATTR_DIMMED, 0);
  return 0;
}

int dwl51_57MMISelectSimLock(int, int, int, void*, int, int) {
  return 0;
}

int cancel_job(int, int, int event, void*, int, int) {
  if (event == EVENT_COMMIT) cancelToken().cancel();
  return 0;
}

int dwl51_61MMIInterfacePanelFunction(int, int event, void*, int, int) {
  // During a download the close box offers to cancel it rather than doing nothing.
  // The question does not hold the download: it runs on until the answer is Yes.
  if (event == EVENT_CLOSE && downloadRunning()) {
    static int question = 0;
    if (!QuestionOpen(question))
      question = AskPopup("Cancel the download?",
                          "A download is running. Cancel it? The handset is left unfinished.",
                          [](bool yes) {
                            if (yes && downloadRunning()) cancelToken().cancel();
                          });
    return 0;
  }
  // The close box ends the program like the Quit button, but never in the middle of an
  // operation (the panel is locked then).
  int dimmed = 0;
  GetCtrlAttribute(v_Panel, PANEL_QUIT, ATTR_DIMMED, &dimmed);
  if (event == EVENT_CLOSE && !dimmed)
    dwl51_51MMIQuit(v_Panel, PANEL_QUIT, EVENT_COMMIT, nullptr, 0, 0);
  return 0;
}

int dwl51_80MMIDownloadSuccessOk(int panel, int, int event, void*, int, int) {
  if (event != EVENT_COMMIT) return 0;
  // The window whose button was pressed, even when a later one took the global handle.
  DiscardPanel(isPanelLoaded(panel) ? panel : v_PanelSuccessful);
  if (downloadRunning()) return 0;
  initControls();
  resetJobLine();
  std::snprintf(vl_Time, sizeof vl_Time, " ");
  SetCtrlVal(v_Panel, PANEL_TIME, vl_Time);
  guikit::dwl52_6UnlockAfterDownload();
  return 0;
}

int dwl51_81MMIButtonTimeOut(int panel, int, int event, void*, int, int) {
  if (event != EVENT_COMMIT) return 0;
  DiscardPanel(isPanelLoaded(panel) ? panel : v_PanelTimeout);
  if (downloadRunning()) return 0;
  initControls();
  resetJobLine();
  guikit::dwl52_6UnlockAfterDownload();
  return 0;
}

void dwl51_100MMIMenuRestore(int, int, void*, int) {
  const int before = lastResultWindow();
  const int loadsBefore = loadsShown();
  const dwl::ResultCode rc = dwl56_0RestoreConfig(sg_DownloadContext, v_ConfigPanelHooks);
  const RecordState& state = sg_DownloadContext.State;
  // The window of a CLA file that could not be loaded names the file and why.
  if (lastResultWindow() != before && !state.imageFileFailure.empty())
    SetPanelDetail(lastResultWindow(), state.imageFileFailure);
  if (rc != dwl::kOk) {
    guikit::dwl52_10DisplayResult(dwl::RESULT_CONFIG_FILE, rc);
    SetPanelDetail(lastResultWindow(), state.configFileFailure);
    return;
  }
  const DownloadContext& c = sg_DownloadContext;
  if (loadsShown() != loadsBefore) logLoaded("Bin1", c.Bin1Path);
  // config.txt holds five settings: the log says which came back, so no one waits for the
  // file mode, the speed or the ogm images.
  std::error_code ec;
  guikit::logComment("Configuration restored from " +
                     std::filesystem::absolute("config.txt", ec).lexically_normal().string());
  guikit::logComment("Restored: CLA file " + std::string(c.Bin1Path[0] ? "" : "(none)") +
                     std::filesystem::path(c.Bin1Path).filename().string() + ", COM" +
                     std::to_string(c.ComPort) + ", PMU " + std::to_string(c.PmuOption) +
                     ", product type " + std::to_string(c.ProductType) + ", download type " +
                     std::to_string(c.DownloadType) + " (file mode, speed, ogm images: not saved)");
}

void dwl51_101MMIMenuSave(int, int, void*, int) {
  const dwl::ResultCode rc = dwl56_1SaveConfig(sg_DownloadContext);
  if (rc != dwl::kOk) {
    guikit::dwl52_10DisplayResult(dwl::RESULT_CONFIG_FILE, rc);
    SetPanelDetail(lastResultWindow(), sg_DownloadContext.State.configFileFailure);
    return;
  }
  // The technician learns where the settings went.
  std::error_code ec;
  guikit::logComment("Configuration saved in " +
                     std::filesystem::absolute("config.txt", ec).lexically_normal().string());
}

void dwl51_102MMIMenuQuit(int, int, void*, int) {
  QuitUserInterface(0);
}

void dwl51_150MMIMenuService(int, int, void*, int) {
  openServicePanel();
}

void About_display(int, int, void*, int) {
  MessagePopup("Help", "Kelvane Downloader\nPCF50874-5, AMD128M, Intel128M, Sharp128M\nVersion " +
                           std::string(KELVANE_VERSION));
}

void dwl_Quit(int, int, void*, int) {
  std::free(sg_DownloadContext.Bin1Data);
  sg_DownloadContext.Bin1Data = nullptr;
  QuitUserInterface(0);
}

void waitStateItem(int chipSelect, int count) {
  sg_DownloadContext.WaitState[chipSelect] = static_cast<std::uint8_t>(count);
  markWaitStates();
  guikit::logComment(std::to_string(count) + " wait state on the chip select " +
                     std::to_string(chipSelect));
}

}  // namespace downloader
