#include "apps/downloader/dwl54util.h"

#include "apps/downloader/dwl51mmi.h"
#include "apps/downloader/panels.h"
#include "apps/guikit/display.h"
#include "apps/guikit/userint.h"
#include "dwl/dwl52display.h"

namespace downloader {

namespace {

int closeErrorWindow(int panel, int event, int handle) {
  if (event != guikit::EVENT_COMMIT) return 0;
  // Two windows of one kind can be open (a restore whose CLA file fails, then its own error):
  // the button closes its own window, not only the latest.
  guikit::DiscardPanel(guikit::isPanelLoaded(panel) ? panel : handle);
  if (downloadRunning()) return 0;
  initControls();
  resetJobLine();
  guikit::dwl52_6UnlockAfterDownload();
  return 0;
}

}  // namespace

int dwl54_0GenericErrWindowsButton(int panel, int, int event, void*, int, int) {
  return closeErrorWindow(panel, event, v_PanelGenericErr);
}
int dwl54_1FlashFileErrButton(int panel, int, int event, void*, int, int) {
  return closeErrorWindow(panel, event, v_PanelFlashFileErr);
}
int dwl54_2ConfFileErrButton(int panel, int, int event, void*, int, int) {
  return closeErrorWindow(panel, event, v_PanelConfFileErr);
}
int dwl54_3PcLibrairiesErrButton(int panel, int, int event, void*, int, int) {
  return closeErrorWindow(panel, event, v_PanelLibPCErr);
}
int dwl54_4BootErrorWindowsButton(int panel, int, int event, void*, int, int) {
  return closeErrorWindow(panel, event, v_PanelBootErr);
}
int dwl54_6CommandErrWindowButton(int panel, int, int event, void*, int, int) {
  return closeErrorWindow(panel, event, v_PanelCommandErr);
}

}  // namespace downloader
