#include "apps/dumper/dumper_panels.h"

#include <QComboBox>
#include <QSpinBox>
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <initializer_list>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include <QMenuBar>
#include <QWidget>
#include "dwl/dwl_job.h"
#include "platform/cancel.h"

#include "apps/dumper/dumper_app.h"
#include "apps/guikit/forms.h"
#include "apps/guikit/job_status.h"
#include "apps/guikit/port_chooser.h"
#include "apps/guikit/utility.h"
#include "dwl/dwl_context.h"
#include "engines/dumper/dumper_context.h"
#include "ops/operations.h"
#include "platform/rs232.h"
#include "ui_menubar1.h"
#include "ui_panel1_turnon.h"
#include "ui_panel2_main.h"
#include "ui_panel3_erase.h"
#include "ui_panel4_erasesuccess.h"
#include "ui_panel5_timeout.h"
#include "ui_panel6_dumpsuccess.h"

namespace dumper {

using namespace guikit;

int dumper = -1;
int v_MenuBarHandle = -1;
int v_PanelErase = -1;
int v_PanelTurnOn = -1;
int v_PanelSuccessful = -1;
int v_EraseSuccessful = -1;
int v_PanelTimeout = -1;

namespace {

PanelDisplay g_display;
PanelControls g_controls;
int g_errorWindow = -1;
int g_lastWindow = -1;
bool g_running = false;

// How long the boot waits for the handset's first byte (the port's time-out at the boot).
constexpr double kBootWait = 5;

std::string operationWord() {
  return sg_DownloadContext.OperationMode == kModeErase ? "Erase" : "Dump";
}

// The sector fields take more digits than the map has sectors, so that a number beyond it is
// refused in the open instead of being cut to its first two digits as it is typed.
constexpr int kWidestEntry = 99999;

void widenSectorEntries(int panel, std::initializer_list<int> controls) {
  for (int c : controls)
    if (auto* spin = qobject_cast<QSpinBox*>(controlWidget(panel, c)))
      spin->setRange(kFirstSector, kWidestEntry);
}

// A sector field the technician typed into: which end of which range, and where its value goes.
struct SectorEntry {
  const char* range;  // "dump", "erase"
  bool first;
  InputVerdict (*store)(int);
  std::int32_t* held;  // the value in force, put back when a typed one is refused
};

// Refuses a number outside the map (the field shows the value in force again) and tells an
// inverted range, each with its cause. An inverted range keeps the program: the technician may
// be about to move the other end; Dump and Erase refuse to start until it is put right.
void enterSector(int panel, int control, const SectorEntry& entry) {
  const int value = intValue(panel, control);
  if (!DumperSectorMap::contains(value)) {
    SetCtrlVal(panel, control, static_cast<int>(*entry.held));
    MessagePopup(kErrorTitle, kInvalidValueText,
                 sectorOutsideText(entry.range, entry.first, value));
    return;
  }
  if (entry.store(value) != InputVerdict::Inverted) return;
  const DumperContext& c = sg_DownloadContext;
  const bool dump = std::string(entry.range) == "dump";
  MessagePopup(
      kErrorTitle, kInvalidValueText,
      invertedRangeText(entry.range, entry.first, dump ? c.DumpFirstSector : c.EraseFirstSector,
                        dump ? c.DumpLastSector : c.EraseLastSector));
}

bool refuseInverted(std::int32_t mode) {
  if (!rangeInverted(mode)) return false;
  const DumperContext& c = sg_DownloadContext;
  const bool erase = mode == kModeErase;
  MessagePopup(kErrorTitle, kInvalidValueText,
               invertedRangeText(erase ? "erase" : "dump", std::nullopt,
                                 erase ? c.EraseFirstSector : c.DumpFirstSector,
                                 erase ? c.EraseLastSector : c.DumpLastSector));
  return true;
}

// Everything a dump or an erase shows besides the record's controls: the switch-on panel with
// its seconds left, the whole job's status line, the Cancel button, the result's cause.
struct Flow {
  explicit Flow(int panel, int statusCtrl, int cancelCtrl)
      : status(panel, statusCtrl, -1), panel_(panel), cancel_(cancelCtrl), dumpBefore_(dumpSize()) {
    SetCtrlAttribute(panel_, cancel_, ATTR_DIMMED, 0);
    g_running = true;
  }
  ~Flow() { g_running = false; }
  SwitchOnPanel hooks() {
    SwitchOnPanel p;
    p.show = [this] {
      v_PanelTurnOn = LoadPanel(0, kDumperUir, TURNON);
      SetPanelTitle(v_PanelTurnOn, "Switch on the handset");
      SetCtrlVal(v_PanelTurnOn, kTurnOnText, countdown_.text(0));
      DisplayPanel(v_PanelTurnOn);
      if (QWidget* w = panelWidget(v_PanelTurnOn)) w->repaint();
      ProcessSystemEvents();
    };
    p.discard = [] { DiscardPanel(v_PanelTurnOn); };
    p.waiting = [this](double waited) {
      SetCtrlVal(v_PanelTurnOn, kTurnOnText, countdown_.text(waited));
    };
    p.progress = &status;
    p.shown = [this](const dwl::JobResult& r) {
      SetCtrlAttribute(panel_, cancel_, ATTR_DIMMED, 1);
      g_running = false;
      // A question about the job that has just ended has no answer to wait for.
      WithdrawQuestions();
      const bool dump = sg_DownloadContext.OperationMode == kModeDump;
      if (r.result.Family == dwl::RESULT_CANCELLED) {
        SetPanelTitle(g_lastWindow, operationWord() + " cancelled");
        SetPanelHeading(g_lastWindow, operationWord() + " cancelled");
        if (dump) SetPanelDetail(g_lastWindow, keptBlocksText());
      } else if (r.result.Family != dwl::RESULT_SUCCESS) {
        std::string detail = ops::failureText(r.detail);
        if (const std::string kept = dump ? keptBlocksText() : ""; !kept.empty())
          detail += (detail.empty() ? "" : "\n") + kept;
        SetPanelDetail(g_lastWindow, detail);
      } else if (dump) {
        std::error_code ec;
        const std::filesystem::path path = std::filesystem::absolute("dump.txt", ec);
        const std::uintmax_t size = std::filesystem::file_size(path, ec);
        SetPanelDetail(g_lastWindow, dumpSavedText(path.string(), ec ? 0 : size,
                                                   sg_DownloadContext.DumpFirstSector,
                                                   sg_DownloadContext.DumpLastSector));
      }
    };
    return p;
  }
  guikit::JobStatus status;

 private:
  static std::uintmax_t dumpSize() {
    std::error_code ec;
    const std::uintmax_t size = std::filesystem::file_size("dump.txt", ec);
    return ec ? 0 : size;
  }
  // dump.txt is appended to block by block: what a dump that did not finish left in it.
  std::string keptBlocksText() const {
    const std::uintmax_t now = dumpSize();
    if (now <= dumpBefore_) return "Nothing was added to dump.txt.";
    std::error_code ec;
    return keptBytesText(now - dumpBefore_,
                         std::filesystem::absolute("dump.txt", ec).lexically_normal().string());
  }
  int panel_, cancel_;
  std::uintmax_t dumpBefore_;
  guikit::SwitchOnCountdown countdown_{kBootWait};
};

void fillSelectors() {
  fillPortRing(dumper, kMainPort, sg_DownloadContext.ComPort);
  addPortChooser(dumper, kMainPort);
  if (auto* speed = qobject_cast<QComboBox*>(controlWidget(dumper, kMainSpeed))) {
    const dwl::ProgramProfile& profile = dwl::profileOf(sg_DownloadContext);
    // Listed by rate; each item keeps its row of the speed table as its value.
    std::vector<std::pair<long, int>> rows;
    for (int i = 0; i < dwl::kSpeedRows; ++i) rows.emplace_back(profile.PCSpeedValue[i], i);
    std::stable_sort(rows.begin(), rows.end());
    for (const auto& [baud, i] : rows) speed->addItem(QStringLiteral("%1 baud").arg(baud), i);
    SetCtrlVal(dumper, kMainSpeed, sg_DownloadContext.Speed);
  }
}

}  // namespace

void applyDimming(const Dimming& d) {
  const int panel = d.panel == Panel::Main ? dumper : v_PanelErase;
  for (int c : d.controls) SetCtrlAttribute(panel, c, ATTR_DIMMED, d.dim ? 1 : 0);
  if (!d.menuBar) return;
  if (d.dim)
    DiscardMenuBar(v_MenuBarHandle);
  else
    v_MenuBarHandle = LoadMenuBar(dumper, kDumperUir, MENUBAR);
}

void PanelControls::progress(int percent) {
  SetCtrlVal(dumper, kMainProgressA, percent);
  SetCtrlVal(dumper, kMainProgressB, percent);
}

void PanelDisplay::openWindow(dwl::Window window, const std::string& message) {
  int* handle = &g_errorWindow;
  const char* file = kUtility;
  int id = 0;
  switch (window) {
    case dwl::Window::Success:
      file = kDumperUir;
      if (sg_DownloadContext.OperationMode == kModeErase)
        handle = &v_EraseSuccessful, id = ERASE_SUCCESS;
      else
        handle = &v_PanelSuccessful, id = DUMP_SUCCESS;
      break;
    case dwl::Window::Timeout:
      file = kDumperUir, handle = &v_PanelTimeout, id = TIMEOUT;
      break;
    case dwl::Window::GenericErr:
      id = UTILITY_GENERIC_ERR;
      break;
    case dwl::Window::FlashFileErr:
      id = UTILITY_FLASH_FILE_ERR;
      break;
    case dwl::Window::ConfFileErr:
      id = UTILITY_CONF_FILE_ERR;
      break;
    case dwl::Window::LibPcErr:
      id = UTILITY_LIB_PC_ERR;
      break;
    case dwl::Window::BootErr:
      id = UTILITY_BOOT_ERR;
      break;
    case dwl::Window::CommandErr:
      id = UTILITY_COMMAND_ERR;
      break;
  }
  *handle = LoadPanel(0, file, id);
  if (file == kUtility) SetCtrlVal(*handle, UTILITY_MESSAGE, message);
  g_lastWindow = *handle;
  if (window == dwl::Window::Timeout)
    SetPanelTitle(*handle, "Handset not answering");
  else if (window == dwl::Window::Success)
    SetPanelTitle(*handle, operationWord() + " successful");
  else
    SetPanelTitle(*handle, operationWord() + " failed");
  // The shared windows are headed for the downloader; here they speak of the dumper's job.
  if (window == dwl::Window::GenericErr) SetPanelHeading(*handle, operationWord() + " error");
  DisplayPanel(*handle);
}

void PanelDisplay::lock() {
  applyDimming(lockDimming());
}
void PanelDisplay::unlock() {
  applyDimming(unlockDimming());
}

void PanelControls::box(const std::string& title, const std::string& text) {
  MessagePopup(title, text);
}

void PanelControls::pump() {
  ProcessSystemEvents();
}

void PanelControls::dumpOffset(std::uint32_t offset) {
  SetCtrlVal(dumper, kMainOffset, static_cast<int>(offset));
}

void PanelControls::eraseProgress(std::uint32_t offset, std::uint32_t sector) {
  if (v_PanelErase < 0) return;
  SetCtrlVal(v_PanelErase, kEraseOffset, static_cast<int>(offset));
  SetCtrlVal(v_PanelErase, kEraseSector, static_cast<int>(sector));
}

void startDumperPanels() {
  registerUtilityPanels();
  registerPanel(kDumperUir, TURNON, buildForm<Ui::DumperTurnOn>);
  registerPanel(kDumperUir, MAIN, buildForm<Ui::DumperPanel>);
  registerPanel(kDumperUir, ERASE, buildForm<Ui::DumperErase>);
  registerPanel(kDumperUir, ERASE_SUCCESS, buildForm<Ui::DumperEraseSuccess>);
  registerPanel(kDumperUir, TIMEOUT, buildForm<Ui::DumperTimeout>);
  registerPanel(kDumperUir, DUMP_SUCCESS, buildForm<Ui::DumperDumpSuccess>);
  registerMenuBar(kDumperUir, MENUBAR, buildForm<Ui::DumperMenuBar, QMenuBar>);
  setCallbackTable(&dumperCallbacks());
  guikit::setDisplay(&g_display);
  setPanelEvents(&g_controls);

  setProgramName("Kelvane Dumper");
  dumper = LoadPanel(0, kDumperUir, MAIN);
  setMainPanel(dumper);
  fillSelectors();
  widenSectorEntries(dumper, {kMainFirstSector, kMainLastSector});
  SetCtrlVal(dumper, kMainFirstSector, sg_DownloadContext.DumpFirstSector);
  SetCtrlVal(dumper, kMainLastSector, sg_DownloadContext.DumpLastSector);
  DisplayPanel(dumper);
  v_MenuBarHandle = LoadMenuBar(dumper, kDumperUir, MENUBAR);
}

void stopDumperPanels() {
  discardAll();
  dumper = v_MenuBarHandle = v_PanelErase = v_PanelTurnOn = -1;
  v_PanelSuccessful = v_EraseSuccessful = v_PanelTimeout = -1;
  guikit::setDisplay(nullptr);
  setPanelEvents(nullptr);
  setCallbackTable(nullptr);
}

int dumper_start(int, int, int event, void*, int, int) {
  if (event != EVENT_COMMIT || refuseInverted(kModeDump)) return 0;
  Flow flow(dumper, kMainStatus, kMainCancel);
  runDump(flow.hooks());
  return 0;
}

int dumper_exit(int, int, int event, void*, int, int) {
  if (event == EVENT_COMMIT) QuitUserInterface(0);
  return 0;
}

int select_start(int panel, int control, int event, void*, int, int) {
  if (event == EVENT_VAL_CHANGED)
    enterSector(panel, control,
                {"dump", true, setDumpFirstSector, &sg_DownloadContext.DumpFirstSector});
  return 0;
}

int select_end(int panel, int control, int event, void*, int, int) {
  if (event == EVENT_VAL_CHANGED)
    enterSector(panel, control,
                {"dump", false, setDumpLastSector, &sg_DownloadContext.DumpLastSector});
  return 0;
}

int select_port(int panel, int control, int event, void*, int, int) {
  if (event == EVENT_VAL_CHANGED) setComPort(intValue(panel, control));
  return 0;
}

int dwl51_62MMISelectSpeed(int panel, int control, int event, void*, int, int) {
  if (event == EVENT_VAL_CHANGED) setSpeed(intValue(panel, control));
  return 0;
}

void about_display(int, int, void*, int) {
  MessagePopup("Help",
               "Kelvane Dumper 3.2\nAMD 128M \nFor help, contact your Kelvane service centre.\n"
               "Version " KELVANE_VERSION);
}

void erase_flash(int, int, void*, int) {
  applyDimming(openErasePanel());
  v_PanelErase = LoadPanel(0, kDumperUir, ERASE);
  SetPanelTitle(v_PanelErase, "Erase flash");
  widenSectorEntries(v_PanelErase, {kEraseFirst, kEraseLast});
  // The panel opens on whole flash; its range boxes show the last typed range.
  SetCtrlVal(v_PanelErase, kEraseSelectionRing, kEraseWholeFlash);
  SetCtrlVal(v_PanelErase, kEraseFirst, prior_value_start);
  SetCtrlVal(v_PanelErase, kEraseLast, prior_value_end);
  DisplayPanel(v_PanelErase);
}

int erase_select(int panel, int control, int event, void*, int, int) {
  if (event != EVENT_VAL_CHANGED) return 0;
  if (const std::optional<Dimming> d = setEraseSelection(intValue(panel, control)))
    applyDimming(*d);
  return 0;
}

int erase_start(int panel, int control, int event, void*, int, int) {
  if (event == EVENT_VAL_CHANGED)
    enterSector(panel, control, {"erase", true, setEraseFirstSector, &prior_value_start});
  return 0;
}

int erase_end(int panel, int control, int event, void*, int, int) {
  if (event == EVENT_VAL_CHANGED)
    enterSector(panel, control, {"erase", false, setEraseLastSector, &prior_value_end});
  return 0;
}

int erase_go(int, int, int event, void*, int, int) {
  if (event != EVENT_COMMIT || refuseInverted(kModeErase)) return 0;
  // One click must not wipe the flash: the technician sees what is about to go.
  const DumperContext& c = sg_DownloadContext;
  if (!ConfirmPopup("Erase the flash?", eraseQuestion(c.EraseFirstSector, c.EraseLastSector)))
    return 0;
  Flow flow(v_PanelErase, kEraseStatus, kEraseCancel);
  runErase(flow.hooks());
  return 0;
}

int erase_exit(int, int, int event, void*, int, int) {
  if (event != EVENT_COMMIT) return 0;
  applyDimming(closeErasePanel());
  DiscardPanel(v_PanelErase);
  v_PanelErase = -1;
  return 0;
}

int dump_successOK(int panel, int, int event, void*, int, int) {
  if (event != EVENT_COMMIT) return 0;
  DiscardPanel(isPanelLoaded(panel) ? panel : v_PanelSuccessful);
  InitControls();
  UnlockAfterDump();
  return 0;
}

int erase_success_ok(int panel, int, int event, void*, int, int) {
  if (event != EVENT_COMMIT) return 0;
  DiscardPanel(isPanelLoaded(panel) ? panel : v_EraseSuccessful);
  InitControls_erase();
  UnlockAfterErasing();
  return 0;
}

int timeout_ok(int panel, int, int event, void*, int, int) {
  if (event != EVENT_COMMIT) return 0;
  DiscardPanel(isPanelLoaded(panel) ? panel : v_PanelTimeout);
  resetAndUnlock();
  return 0;
}

int error_window_ok(int panel, int, int event, void*, int, int) {
  if (event != EVENT_COMMIT) return 0;
  // Without this the panel in use would stay locked after any failure but the time-out.
  DiscardPanel(panel);
  resetAndUnlock();
  return 0;
}

int cancel_job(int, int, int event, void*, int, int) {
  if (event == EVENT_COMMIT) cancelToken().cancel();
  return 0;
}

std::string eraseQuestion(int first, int last) {
  char text[128];
  std::snprintf(
      text, sizeof text, "Erase sectors %d to %d (0x%06X..0x%06X)?", first, last,
      static_cast<unsigned>(DumperSectorMap::offset(first)),
      static_cast<unsigned>(DumperSectorMap::offset(last) + DumperSectorMap::size(last) - 1));
  return text;
}

std::string sectorOutsideText(const std::string& range, bool first, int value) {
  return std::string(first ? "First" : "Last") + " sector of the " + range + ": " +
         std::to_string(value) + " typed; the sectors are numbered " +
         std::to_string(kFirstSector) + " to " + std::to_string(kLastSector);
}

std::string invertedRangeText(const std::string& range, std::optional<bool> typedFirst, int first,
                              int last) {
  const std::string sectors = std::to_string(first) + " to " + std::to_string(last);
  if (!typedFirst)
    return "The " + range + " range is sectors " + sectors + ": the first is above the last";
  if (*typedFirst)
    return "First sector of the " + range + ": " + std::to_string(first) +
           " typed, above the last sector " + std::to_string(last) +
           "; the first may not be above the last";
  return "Last sector of the " + range + ": " + std::to_string(last) +
         " typed, below the first sector " + std::to_string(first) +
         "; the last may not be below the first";
}

std::string keptBytesText(std::uintmax_t bytes, const std::string& path) {
  return "The blocks read before the end, " + std::to_string(bytes) + " bytes, were appended to " +
         path + ".";
}

std::string dumpSavedText(const std::string& path, std::uintmax_t size, int first, int last) {
  char range[96];
  std::snprintf(
      range, sizeof range, "sectors %d to %d (0x%06X..0x%06X)", first, last,
      static_cast<unsigned>(DumperSectorMap::offset(first)),
      static_cast<unsigned>(DumperSectorMap::offset(last) + DumperSectorMap::size(last) - 1));
  return "Saved in " + path + "\n" + std::to_string(size) + " bytes; this dump: " + range;
}

namespace {
// The close box during a job offers to cancel it instead of doing nothing.
// The question does not hold the job: it runs on until the answer is Yes.
bool askCancelIfRunning(int event) {
  if (event != EVENT_CLOSE || !g_running) return false;
  static int question = 0;
  if (QuestionOpen(question)) return true;
  question = AskPopup(
      "Cancel?",
      "A " + std::string(sg_DownloadContext.OperationMode == kModeErase ? "erase" : "dump") +
          " is running. Cancel it?",
      [](bool yes) {
        if (yes && g_running) cancelToken().cancel();
      });
  return true;
}
}  // namespace

int dumper_close(int, int event, void*, int, int) {
  if (askCancelIfRunning(event)) return 0;
  // The close box ends the program when the panel is idle, never in the middle of a dump or
  // while the erase panel is open.
  int dimmed = 0;
  GetCtrlAttribute(dumper, kMainExit, ATTR_DIMMED, &dimmed);
  if (event == EVENT_CLOSE && !dimmed) QuitUserInterface(0);
  return 0;
}

int erase_close(int panel, int event, void*, int, int) {
  if (askCancelIfRunning(event)) return 0;
  int dimmed = 0;
  GetCtrlAttribute(panel, kEraseExit, ATTR_DIMMED, &dimmed);
  if (event == EVENT_CLOSE && !dimmed) erase_exit(panel, kEraseExit, EVENT_COMMIT, nullptr, 0, 0);
  return 0;
}

const guikit::CallbackTable& dumperCallbacks() {
  static const guikit::CallbackTable table = [] {
    guikit::CallbackTable t;
    t.controls = {
        {"dumper_start", dumper_start},
        {"dumper_exit", dumper_exit},
        {"select_start", select_start},
        {"select_end", select_end},
        {"select_port", select_port},
        {"dwl51_62MMISelectSpeed", dwl51_62MMISelectSpeed},
        {"erase_select", erase_select},
        {"erase_start", erase_start},
        {"erase_end", erase_end},
        {"erase_go", erase_go},
        {"erase_exit", erase_exit},
        {"dump_successOK", dump_successOK},
        {"erase_success_ok", erase_success_ok},
        {"timeout_ok", timeout_ok},
        {"cancel_job", cancel_job},
        // The error windows both programs share carry the downloader's names.
        {"dwl54_0GenericErrWindowsButton", error_window_ok},
        {"dwl54_1FlashFileErrButton", error_window_ok},
        {"dwl54_2ConfFileErrButton", error_window_ok},
        {"dwl54_3PcLibrairiesErrButton", error_window_ok},
        {"dwl54_4BootErrorWindowsButton", error_window_ok},
        {"dwl54_6CommandErrWindowButton", error_window_ok},
    };
    t.panels = {{"dumper_close", dumper_close}, {"erase_close", erase_close}};
    t.menus = {{"about_display", about_display}, {"erase_flash", erase_flash}};
    return t;
  }();
  return table;
}

}  // namespace dumper
