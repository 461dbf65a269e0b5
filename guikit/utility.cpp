#include "guikit/utility.h"

#include <QWidget>

#include "guikit/userint.h"
#include "ui_panel1_booterr.h"
#include "ui_panel3_commanderr.h"
#include "ui_panel5_conffileerr.h"
#include "ui_panel6_flashfileerr.h"
#include "ui_panel7_genericerr.h"
#include "ui_panel8_libpcerr.h"

namespace guikit {

namespace {

template <class Form>
QWidget* build() {
  auto* w = new QWidget;
  Form form;
  form.setupUi(w);
  return w;
}

}  // namespace

void registerUtilityPanels() {
  registerPanel(kUtility, UTILITY_BOOT_ERR, build<Ui::UtilityBootErr>);
  registerPanel(kUtility, UTILITY_COMMAND_ERR, build<Ui::UtilityCommandErr>);
  registerPanel(kUtility, UTILITY_CONF_FILE_ERR, build<Ui::UtilityConfFileErr>);
  registerPanel(kUtility, UTILITY_FLASH_FILE_ERR, build<Ui::UtilityFlashFileErr>);
  registerPanel(kUtility, UTILITY_GENERIC_ERR, build<Ui::UtilityGenericErr>);
  registerPanel(kUtility, UTILITY_LIB_PC_ERR, build<Ui::UtilityLibPcErr>);
}

}  // namespace guikit
