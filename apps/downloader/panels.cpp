#include "apps/downloader/panels.h"

#include <QAction>
#include <QCoreApplication>
#include <QMenuBar>
#include <QSettings>
#include <QWidget>
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <utility>
#include <vector>

#include "apps/downloader/callbacks.h"
#include "apps/downloader/dwl51mmi.h"
#include "apps/downloader/dwl53ser.h"
#include "apps/downloader/mmi.h"
#include "apps/downloader/sector_map.h"
#include "apps/guikit/display.h"
#include "apps/guikit/forms.h"
#include "apps/guikit/port_chooser.h"
#include "apps/guikit/userint.h"
#include "apps/guikit/utility.h"
#include "dwl/dwl10fla.h"
#include "dwl/dwl11command.h"
#include "dwl/dwl52display.h"
#include "engines/downloader/download_context.h"
#include "engines/downloader/dwl3spm87.h"
#include "engines/downloader/dwl56conf.h"
#include "platform/rs232.h"
#include "ui_menubar1.h"
#include "ui_panel1_turnon.h"
#include "ui_panel2_main.h"
#include "ui_panel3_service.h"
#include "ui_panel4_timeout.h"
#include "ui_panel5_success.h"

namespace downloader {

using namespace guikit;

int v_Panel = -1;
dwl::FlashDescriptionTable vg_FlashDescritpion;
DownloadContext sg_DownloadContext;
ConfigPanelHooks v_ConfigPanelHooks;
int v_MenuBarHandle = -1;
int v_PanelTurnOn = -1;
int v_PanelSuccessful = -1;
int v_PanelTimeout = -1;
int v_PanelGenericErr = -1;
int v_PanelFlashFileErr = -1;
int v_PanelConfFileErr = -1;
int v_PanelLibPCErr = -1;
int v_PanelBootErr = -1;
int v_PanelCommandErr = -1;
char vl_Time[8] = {};

namespace {

PanelDisplay g_display;
PanelEvents g_events;
PanelEvents* g_eventsInUse = &g_events;
// The indicators keep their text while switched off, so the reset needs the last one shown.
std::string g_cpuText;
std::string g_flashText;
int g_lastResultWindow = -1;
std::string g_failureTitle = "Download failed";

// What each window is, for its title.
std::string windowTitle(dwl::Window w) {
  switch (w) {
    case dwl::Window::Success:
      return "Download successful";
    case dwl::Window::Timeout:
      return "Handset not answering";
    case dwl::Window::FlashFileErr:
      return "Flash description error";
    case dwl::Window::ConfFileErr:
      return "Configuration file error";
    default:
      return g_failureTitle;
  }
}

constexpr int kSlotControls[4][4] = {
    {PANEL_LOAD_BIN1, PANEL_PATH_BIN1, PANEL_SIZE_BIN1, PANEL_SUM_BIN1},
    {PANEL_LOAD_BIN2, PANEL_PATH_BIN2, PANEL_SIZE_BIN2, PANEL_SUM_BIN2},
    {PANEL_LOAD_OGM1, PANEL_PATH_OGM1, PANEL_SIZE_OGM1, PANEL_SUM_OGM1},
    {PANEL_LOAD_OGM2, PANEL_PATH_OGM2, PANEL_SIZE_OGM2, PANEL_SUM_OGM2},
};

constexpr int kPanelInputs[] = {PANEL_MODE,    PANEL_MODEL,   PANEL_PORT,
                                PANEL_SPEED,   PANEL_PROJECT, PANEL_DOWNLOAD_CONF,
                                PANEL_SIMLOCK, PANEL_START,   PANEL_QUIT};

SectorMap* sectorMap() {
  return dynamic_cast<SectorMap*>(controlWidget(v_Panel, PANEL_SECTORS));
}

// The technician sees which device each COM number stands for, and may choose another.
void fillPortSelector() {
  fillPortRing(v_Panel, PANEL_PORT, sg_DownloadContext.ComPort);
  addPortChooser(v_Panel, PANEL_PORT);
}

void fillSpeedSelector() {
  auto* box = qobject_cast<QComboBox*>(controlWidget(v_Panel, PANEL_SPEED));
  if (!box) return;
  const dwl::ProgramProfile& profile = dwl::profileOf(sg_DownloadContext);
  // Listed by rate; each item keeps its row of the speed table as its value.
  std::vector<std::pair<long, int>> rows;
  for (int i = 0; i < dwl::kSpeedRows; ++i) rows.emplace_back(profile.PCSpeedValue[i], i);
  std::stable_sort(rows.begin(), rows.end());
  for (const auto& [baud, i] : rows) box->addItem(QStringLiteral("%1 baud").arg(baud), i);
  SetCtrlVal(v_Panel, PANEL_SPEED, sg_DownloadContext.Speed);
}

int* handleOf(dwl::Window w, const char** file, int* id) {
  switch (w) {
    case dwl::Window::Success:
      *file = kMmi, *id = SUCCESS;
      return &v_PanelSuccessful;
    case dwl::Window::Timeout:
      *file = kMmi, *id = TIMEOUT;
      return &v_PanelTimeout;
    case dwl::Window::GenericErr:
      *file = kUtility, *id = UTILITY_GENERIC_ERR;
      return &v_PanelGenericErr;
    case dwl::Window::FlashFileErr:
      *file = kUtility, *id = UTILITY_FLASH_FILE_ERR;
      return &v_PanelFlashFileErr;
    case dwl::Window::ConfFileErr:
      *file = kUtility, *id = UTILITY_CONF_FILE_ERR;
      return &v_PanelConfFileErr;
    case dwl::Window::LibPcErr:
      *file = kUtility, *id = UTILITY_LIB_PC_ERR;
      return &v_PanelLibPCErr;
    case dwl::Window::BootErr:
      *file = kUtility, *id = UTILITY_BOOT_ERR;
      return &v_PanelBootErr;
    case dwl::Window::CommandErr:
    default:
      *file = kUtility, *id = UTILITY_COMMAND_ERR;
      return &v_PanelCommandErr;
  }
}

}  // namespace

void markWaitStates() {
  QMenuBar* bar = menuBarWidget(v_MenuBarHandle);
  if (!bar) return;
  for (QAction* a : bar->findChildren<QAction*>()) {
    const int item = a->property("ctrl").toInt() - MENUBAR_WAITSTATE;
    if (item < 0 || item >= 40 || item % 10 > 4) continue;
    a->setCheckable(true);
    a->setChecked(sg_DownloadContext.WaitState[item / 10] == item % 10);
  }
}

void dimSlotGroup(SlotGroup group, bool dim) {
  for (int ctrl : kSlotControls[group]) SetCtrlAttribute(v_Panel, ctrl, ATTR_DIMMED, dim ? 1 : 0);
}

void resetJobLine() {
  SetCtrlVal(v_Panel, PANEL_STATUS, std::string(" "));
  SetCtrlVal(v_Panel, PANEL_OVERALL, 0);
}

void PanelDisplay::comment(const std::string& line) {
  InsertListItem(v_Panel, PANEL_COMMENT, -1, line, 0);
  int count = 0;
  GetNumListItems(v_Panel, PANEL_COMMENT, &count);
  SetCtrlIndex(v_Panel, PANEL_COMMENT, count - 1);
}

PanelEvents& panelEvents() {
  return *g_eventsInUse;
}

void setPanelEvents(PanelEvents* events) {
  g_eventsInUse = events ? events : &g_events;
}

void PanelEvents::stageStarted(const dwl::StageInfo& stage) {
  stage_ = stage.stage;
}

void PanelEvents::progress(int percent) {
  SetCtrlVal(v_Panel, PANEL_PROGRESS, percent);
  SetCtrlVal(v_Panel, PANEL_PERCENT, percent);
}

void PanelEvents::bytesDone(const dwl::ByteProgress& bytes) {
  // The controls follow the image being written, truncated to whole percents.
  if (stage_ == dwl::Stage::Image && bytes.stageTotal > 0)
    progress(static_cast<int>(static_cast<unsigned>(100.0 * static_cast<double>(bytes.stageDone) /
                                                    static_cast<double>(bytes.stageTotal))));
  ProcessSystemEvents();
}

void PanelEvents::sectorChanged(const dwl::SectorEvent& sector) {
  SectorMap::State state = SectorMap::State::Writing;
  switch (sector.state) {
    case dwl::SectorState::Writing:
      state = SectorMap::State::Writing;
      break;
    case dwl::SectorState::Written:
      state = SectorMap::State::Written;
      break;
    case dwl::SectorState::Resent:
    case dwl::SectorState::Failed:
      state = SectorMap::State::Error;
      break;
    case dwl::SectorState::Erased:
    case dwl::SectorState::Read:
      return;  // not a write's
  }
  if (SectorMap* map = sectorMap())
    map->setSector(sector.number, sector.size, sector.address, state);
}

void PanelEvents::sectorPlanned(const dwl::PlannedSector& sector) {
  if (SectorMap* map = sectorMap())
    map->setSector(sector.number, sector.size, sector.address,
                   sector.plan == dwl::SectorPlan::Listed ? SectorMap::State::NotAvailable
                                                          : SectorMap::State::Waiting);
}

void PanelEvents::logLine(const std::string& line) {
  g_display.comment(line);
}

void PanelEvents::elapsed(std::optional<std::uint32_t> seconds) {
  SetCtrlVal(v_Panel, PANEL_TIME, seconds ? elapsedText(0, *seconds) : std::string(" "));
}

void PanelEvents::heartbeat(double) {
  ProcessSystemEvents();
}

void showCpuType(std::uint8_t cpuType) {
  g_cpuText = dwl::cpuTypeText(cpuType);
  SetCtrlVal(v_Panel, PANEL_CPU, g_cpuText);
  SetCtrlVal(v_Panel, PANEL_CPU, 1);
}

void showFlashType(std::uint8_t manufacturer, std::uint8_t device) {
  g_flashText = dwl::flashTypeText(manufacturer, device);
  SetCtrlVal(v_Panel, PANEL_FLASH, g_flashText);
  SetCtrlVal(v_Panel, PANEL_FLASH, 1);
}

void initControls() {
  if (!g_cpuText.empty()) SetCtrlVal(v_Panel, PANEL_CPU, g_cpuText);
  SetCtrlVal(v_Panel, PANEL_CPU, 0);
  if (!g_flashText.empty()) SetCtrlVal(v_Panel, PANEL_FLASH, g_flashText);
  SetCtrlVal(v_Panel, PANEL_FLASH, 0);
  panelEvents().progress(0);
}

void PanelDisplay::openWindow(dwl::Window window, const std::string& message) {
  const char* file = nullptr;
  int id = 0;
  int* handle = handleOf(window, &file, &id);
  *handle = LoadPanel(0, file, id);
  if (window != dwl::Window::Success && window != dwl::Window::Timeout)
    SetCtrlVal(*handle, UTILITY_MESSAGE, message);
  SetPanelTitle(*handle, windowTitle(window));
  g_lastResultWindow = *handle;
  DisplayPanel(*handle);
}

int lastResultWindow() {
  return g_lastResultWindow;
}

void setFailureTitle(const std::string& what) {
  g_failureTitle = what;
}

void PanelDisplay::lock() {
  for (int g = GROUP_BIN1; g <= GROUP_OGM2; ++g) dimSlotGroup(static_cast<SlotGroup>(g), true);
  for (int ctrl : kPanelInputs) SetCtrlAttribute(v_Panel, ctrl, ATTR_DIMMED, 1);
  DiscardMenuBar(v_MenuBarHandle);
  // The service panel would start a second boot on the same port in the middle of this one.
  dimServicePanel(true);
  ProcessSystemEvents();
}

void PanelDisplay::unlock() {
  v_MenuBarHandle = LoadMenuBar(v_Panel, kMmi, MENUBAR);
  markWaitStates();
  for (int ctrl : kPanelInputs) SetCtrlAttribute(v_Panel, ctrl, ATTR_DIMMED, 0);
  const int mode = sg_DownloadContext.Mode;
  if (mode == 0 || mode == 1) {
    dimSlotGroup(GROUP_BIN1, false);
    dimSlotGroup(GROUP_BIN2, false);
  }
  if (mode == 0 || mode == 2) {
    dimSlotGroup(GROUP_OGM1, false);
    dimSlotGroup(GROUP_OGM2, false);
  }
  dimServicePanel(false);
  ProcessSystemEvents();
}

void PanelDisplay::slotPath(dwl::Slot slot, const std::string& path) {
  SetCtrlVal(v_Panel, kSlotControls[static_cast<int>(slot)][1], path);
}

void PanelDisplay::slotSize(dwl::Slot slot, std::uint32_t size) {
  SetCtrlVal(v_Panel, kSlotControls[static_cast<int>(slot)][2], std::to_string(size));
}

namespace {
int g_loadsShown = 0;
}  // namespace

int loadsShown() {
  return g_loadsShown;
}

void PanelDisplay::slotSum(dwl::Slot slot, std::uint32_t sum) {
  SetCtrlVal(v_Panel, kSlotControls[static_cast<int>(slot)][3], std::to_string(sum));
  // The byte sum is the last thing a load that succeeded shows.
  ++g_loadsShown;
}

int chooseImageFile(const std::string& pattern, const std::string& title, std::string* path) {
  // The folder the technician last loaded from, across runs; the working folder the first time.
  QSettings settings("Kelvane", "Kelvane Downloader");
  std::error_code ec;
  std::string folder = settings.value("lastImageFolder").toString().toStdString();
  if (folder.empty() || !std::filesystem::is_directory(folder, ec))
    folder = std::filesystem::current_path(ec).string();
  const int picked = FileSelectPopup(folder, pattern, title, path);
  if (picked == 1)
    settings.setValue("lastImageFolder",
                      QString::fromStdString(std::filesystem::path(*path).parent_path().string()));
  return picked;
}

int showSwitchOnPrompt() {
  const int handle = LoadPanel(0, kMmi, TURNON);
  SetPanelTitle(handle, "Switch on the handset");
  DisplayPanel(handle);
  if (QWidget* w = panelWidget(handle)) w->repaint();
  ProcessSystemEvents();
  return handle;
}

void startDownloaderPanels() {
  registerUtilityPanels();
  registerPanel(kMmi, TURNON, buildForm<Ui::MmiTurnOn>);
  registerPanel(kMmi, PANEL, buildForm<Ui::MmiPanel>);
  registerPanel(kMmi, SERVICE, buildForm<Ui::MmiService>);
  registerPanel(kMmi, TIMEOUT, buildForm<Ui::MmiTimeout>);
  registerPanel(kMmi, SUCCESS, buildForm<Ui::MmiSuccess>);
  registerMenuBar(kMmi, MENUBAR, buildForm<Ui::MmiMenuBar, QMenuBar>);
  setCallbackTable(&downloaderCallbacks());
  guikit::setDisplay(&g_display);
  v_ConfigPanelHooks = {[](int port) { SetCtrlVal(v_Panel, PANEL_PORT, port); },
                        [] {
                          SetCtrlAttribute(v_Panel, PANEL_DOWNLOAD_CONF, ATTR_DIMMED, 0);
                          SetCtrlAttribute(v_Panel, PANEL_LOAD_BIN1, ATTR_DIMMED, 0);
                        },
                        [](DownloadContext& c) { return showSlotLoad(c, dwl::Slot::Bin1); }};

  setProgramName("Kelvane Downloader");
  v_Panel = LoadPanel(0, kMmi, PANEL);
  setMainPanel(v_Panel);
  fillPortSelector();
  fillSpeedSelector();
  // The panel opens in the record's file mode (bin files only).
  dimSlotGroup(GROUP_OGM1, sg_DownloadContext.Mode == 1);
  dimSlotGroup(GROUP_OGM2, sg_DownloadContext.Mode == 1);
  DisplayPanel(v_Panel);
  v_MenuBarHandle = LoadMenuBar(v_Panel, kMmi, MENUBAR);
  markWaitStates();

  sg_DownloadContext.State.flash = &vg_FlashDescritpion;
  const dwl::ResultCode rc = dwl::dwl10_100InitFlashDescription(vg_FlashDescritpion, nullptr,
                                                                programSettings().dataFolders);
  if (rc != dwl::kOk) guikit::dwl52_11DisplayFlashFileErr(rc);
}

void stopDownloaderPanels() {
  closeServicePort();
  v_ServicePanel = -1;
  discardAll();
  v_ConfigPanelHooks = {};
  guikit::setDisplay(nullptr);
  setPanelEvents(nullptr);
  setCallbackTable(nullptr);
}

}  // namespace downloader
