#include "dumper/gui/dumper_panels.h"

#include <QComboBox>
#include <QMenuBar>
#include <QWidget>

#include "dumper/dumper_context.h"
#include "dwl/dwl_context.h"
#include "guikit/forms.h"
#include "guikit/utility.h"
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
int g_errorWindow = -1;

// An inverted range ends the program, as the technician was always told.
void endProgramIf(InputVerdict verdict) {
  if (verdict != InputVerdict::InvalidEndProgram) return;
  MessagePopup(kErrorTitle, kInvalidValueText);
  QuitUserInterface(0);
}

SwitchOnPanel switchOnPanel() {
  return {[] {
            v_PanelTurnOn = LoadPanel(0, kDumperUir, TURNON);
            DisplayPanel(v_PanelTurnOn);
            if (QWidget* w = panelWidget(v_PanelTurnOn)) w->repaint();
            ProcessSystemEvents();
          },
          [] { DiscardPanel(v_PanelTurnOn); }};
}

void fillSelectors() {
  if (auto* port = qobject_cast<QComboBox*>(controlWidget(dumper, kMainPort))) {
    for (int n = 1; n <= 16; ++n)
      port->addItem(QStringLiteral("COM%1   %2")
                        .arg(n)
                        .arg(QString::fromStdString(platform::deviceForPort(n))),
                    n);
    SetCtrlVal(dumper, kMainPort, sg_DownloadContext.ComPort);
  }
  if (auto* speed = qobject_cast<QComboBox*>(controlWidget(dumper, kMainSpeed))) {
    const dwl::ProgramProfile& profile = dwl::profileOf(sg_DownloadContext);
    for (int i = 0; i < dwl::kSpeedRows; ++i)
      speed->addItem(QStringLiteral("%1 baud").arg(profile.PCSpeedValue[i]), i);
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

void PanelDisplay::progress(int percent) {
  SetCtrlVal(dumper, kMainProgressA, percent);
  SetCtrlVal(dumper, kMainProgressB, percent);
}

void PanelDisplay::processEvents() {
  ProcessSystemEvents();
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
  DisplayPanel(*handle);
}

void PanelDisplay::popup(const std::string& title, const std::string& text) {
  MessagePopup(title, text);
}

void PanelDisplay::lock() {
  applyDimming(lockDimming());
}
void PanelDisplay::unlock() {
  applyDimming(unlockDimming());
}

void PanelDisplay::dumpOffset(std::uint32_t offset) {
  SetCtrlVal(dumper, kMainOffset, static_cast<int>(offset));
}

void PanelDisplay::eraseProgress(std::uint32_t offset, std::uint32_t sector) {
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
  dwl::setDisplay(&g_display);

  dumper = LoadPanel(0, kDumperUir, MAIN);
  fillSelectors();
  SetCtrlVal(dumper, kMainFirstSector, sg_DownloadContext.DumpFirstSector);
  SetCtrlVal(dumper, kMainLastSector, sg_DownloadContext.DumpLastSector);
  DisplayPanel(dumper);
  v_MenuBarHandle = LoadMenuBar(dumper, kDumperUir, MENUBAR);
}

void stopDumperPanels() {
  discardAll();
  dumper = v_MenuBarHandle = v_PanelErase = v_PanelTurnOn = -1;
  v_PanelSuccessful = v_EraseSuccessful = v_PanelTimeout = -1;
  dwl::setDisplay(nullptr);
  setCallbackTable(nullptr);
}

int dumper_start(int, int, int event, void*, int, int) {
  if (event == EVENT_COMMIT) runDump(switchOnPanel());
  return 0;
}

int dumper_exit(int, int, int event, void*, int, int) {
  if (event == EVENT_COMMIT) QuitUserInterface(0);
  return 0;
}

int select_start(int panel, int control, int event, void*, int, int) {
  if (event == EVENT_VAL_CHANGED) endProgramIf(setDumpFirstSector(intValue(panel, control)));
  return 0;
}

int select_end(int panel, int control, int event, void*, int, int) {
  if (event == EVENT_VAL_CHANGED) endProgramIf(setDumpLastSector(intValue(panel, control)));
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
               "Kelvane Dumper 3.2\nAMD 128M \nFor help, contact your Kelvane service centre.");
}

void erase_flash(int, int, void*, int) {
  applyDimming(openErasePanel());
  v_PanelErase = LoadPanel(0, kDumperUir, ERASE);
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
  if (event == EVENT_VAL_CHANGED) endProgramIf(setEraseFirstSector(intValue(panel, control)));
  return 0;
}

int erase_end(int panel, int control, int event, void*, int, int) {
  if (event == EVENT_VAL_CHANGED) endProgramIf(setEraseLastSector(intValue(panel, control)));
  return 0;
}

int erase_go(int, int, int event, void*, int, int) {
  if (event == EVENT_COMMIT) runErase(switchOnPanel());
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

int dumper_close(int, int event, void*, int, int) {
  // The close box ends the program when the panel is idle, never in the middle of a dump or
  // while the erase panel is open.
  int dimmed = 0;
  GetCtrlAttribute(dumper, kMainExit, ATTR_DIMMED, &dimmed);
  if (event == EVENT_CLOSE && !dimmed) QuitUserInterface(0);
  return 0;
}

int erase_close(int panel, int event, void*, int, int) {
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
