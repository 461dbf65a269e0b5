#include "platform/qt_data_folders.h"

#include <QCoreApplication>
#include <QDir>
#include <QStandardPaths>

namespace platform {

std::vector<std::filesystem::path> standardDataFolders() {
  std::vector<std::filesystem::path> list;
  const QString config = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
  if (!config.isEmpty()) list.emplace_back((config + "/kelvane").toStdString());
  // Relative to the program, so a package installed under any prefix finds its own files.
  const QString installed = QDir::cleanPath(QCoreApplication::applicationDirPath() + "/" +
                                            QStringLiteral(KELVANE_DATA_FROM_BIN));
  list.emplace_back(installed.toStdString());
  return list;
}

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
