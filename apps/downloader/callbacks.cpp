#include "apps/downloader/callbacks.h"

#include "apps/downloader/dwl51mmi.h"
#include "apps/downloader/dwl53ser.h"
#include "apps/downloader/dwl54util.h"

namespace downloader {

namespace {

// The twenty wait-state items: chip select c, count w.
template <int C, int W>
void waitState(int, int, void*, int) {
  waitStateItem(C, W);
}

template <int C>
void addChipSelect(guikit::CallbackTable& t) {
  const std::string cs = std::to_string(C);
  const guikit::MenuCallback items[5] = {waitState<C, 0>, waitState<C, 1>, waitState<C, 2>,
                                         waitState<C, 3>, waitState<C, 4>};
  for (int w = 0; w < 5; ++w)
    t.menus["dwl51_1" + std::to_string(C + 1) + std::to_string(w) + "MMIMenuCS" + cs + "_" +
            std::to_string(w) + "WaitState"] = items[w];
}

guikit::CallbackTable makeTable() {
  guikit::CallbackTable t;
  t.controls = {
      {"dwl51_50MMIStart", dwl51_50MMIStart},
      {"dwl51_51MMIQuit", dwl51_51MMIQuit},
      {"cancel_job", cancel_job},
      {"dwl51_52MMILoadFile", loadButton},
      {"dwl51_52MMILoadFile_2", loadButton},
      {"dwl51_52MMILoadFile_ogm", loadButton},
      {"dwl51_52MMILoadFile_ogm_2", loadButton},
      {"dwl_SelectMode", dwl_SelectMode},
      {"dwl51_58MMISelectModel", dwl51_58MMISelectModel},
      {"dwl51_56MMISelectPort", dwl51_56MMISelectPort},
      {"dwl51_62MMISelectSpeed", dwl51_62MMISelectSpeed},
      {"dwl51_59MMISelectProjectType", dwl51_59MMISelectProjectType},
      {"dwl51_60MMIDownloadConfiguration", dwl51_60MMIDownloadConfiguration},
      {"dwl51_57MMISelectSimLock", dwl51_57MMISelectSimLock},
      {"dwl51_80MMIDownloadSuccessOk", dwl51_80MMIDownloadSuccessOk},
      {"dwl51_81MMIButtonTimeOut", dwl51_81MMIButtonTimeOut},
      {"dwl53_10SwitchOnMobile", dwl53_10SwitchOnMobile},
      {"dwl53_11SwitchOffMobile", dwl53_11SwitchOffMobile},
      {"dwl54_0GenericErrWindowsButton", dwl54_0GenericErrWindowsButton},
      {"dwl54_1FlashFileErrButton", dwl54_1FlashFileErrButton},
      {"dwl54_2ConfFileErrButton", dwl54_2ConfFileErrButton},
      {"dwl54_3PcLibrairiesErrButton", dwl54_3PcLibrairiesErrButton},
      {"dwl54_4BootErrorWindowsButton", dwl54_4BootErrorWindowsButton},
      {"dwl54_6CommandErrWindowButton", dwl54_6CommandErrWindowButton},
  };
  t.panels = {
      {"dwl51_61MMIInterfacePanelFunction", dwl51_61MMIInterfacePanelFunction},
      {"dwl53_16ServicePanelQuit", dwl53_16ServicePanelQuit},
  };
  t.menus = {
      {"dwl51_100MMIMenuRestore", dwl51_100MMIMenuRestore},
      {"dwl51_101MMIMenuSave", dwl51_101MMIMenuSave},
      {"dwl51_102MMIMenuQuit", dwl51_102MMIMenuQuit},
      {"dwl51_150MMIMenuService", dwl51_150MMIMenuService},
      {"About_display", About_display},
      {"dwl_Quit", dwl_Quit},
  };
  addChipSelect<0>(t);
  addChipSelect<1>(t);
  addChipSelect<2>(t);
  addChipSelect<3>(t);
  return t;
}

}  // namespace

const guikit::CallbackTable& downloaderCallbacks() {
  static const guikit::CallbackTable table = makeTable();
  return table;
}

}  // namespace downloader
