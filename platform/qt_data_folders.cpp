#include "platform/qt_data_folders.h"

#include <QDir>
#include <QStandardPaths>

namespace platform {

bool enterDocumentsFolder(std::string* why) {
  const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
  const QString folder = (documents.isEmpty() ? QDir::homePath() : documents) + "/Kelvane";
  if (!QDir().mkpath(folder) || !QDir::setCurrent(folder)) {
    if (why) *why = "cannot work in " + folder.toStdString();
    return false;
  }
  return true;
}

}  // namespace platform
