#include "apps/guikit/utility.h"
#include "apps/guikit/forms.h"

#include <QWidget>

#include "apps/guikit/userint.h"
#include "ui_panel1_booterr.h"
#include "ui_panel3_commanderr.h"
#include "ui_panel5_conffileerr.h"
#include "ui_panel6_flashfileerr.h"
#include "ui_panel7_genericerr.h"
#include "ui_panel8_libpcerr.h"

namespace guikit {

void registerUtilityPanels() {
  registerPanel(kUtility, UTILITY_BOOT_ERR, buildForm<Ui::UtilityBootErr>);
  registerPanel(kUtility, UTILITY_COMMAND_ERR, buildForm<Ui::UtilityCommandErr>);
  registerPanel(kUtility, UTILITY_CONF_FILE_ERR, buildForm<Ui::UtilityConfFileErr>);
  registerPanel(kUtility, UTILITY_FLASH_FILE_ERR, buildForm<Ui::UtilityFlashFileErr>);
  registerPanel(kUtility, UTILITY_GENERIC_ERR, buildForm<Ui::UtilityGenericErr>);
  registerPanel(kUtility, UTILITY_LIB_PC_ERR, buildForm<Ui::UtilityLibPcErr>);
}

}  // namespace guikit
