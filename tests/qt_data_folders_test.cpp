// The folders of a program started from the desktop menu: the user's configuration folder and the
// documents folder, as Qt finds them from the environment, and the same folders found without Qt.
#include "platform/qt_data_folders.h"

#include <gtest/gtest.h>

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QStandardPaths>
#include <QtGlobal>
#include <filesystem>
#include <optional>

#include "platform/data_files.h"
#include "platform/data_folders.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;

// Points HOME and the configuration folder into the test's folder; puts them back afterwards.
class FreshHome : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : kNames) {
      saved_.push_back(qgetenv(name));
      wasSet_.push_back(qEnvironmentVariableIsSet(name));
    }
    qputenv("HOME", QByteArray::fromStdString(dir.path().string()));
    qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString((dir.path() / "config").string()));
  }
  void TearDown() override {
    for (std::size_t i = 0; i < std::size(kNames); ++i)
      wasSet_[i] ? qputenv(kNames[i], saved_[i]) : qunsetenv(kNames[i]);
  }
  static constexpr const char* kNames[] = {"HOME", "XDG_CONFIG_HOME"};
  testsupport::TempDir dir;
  std::vector<QByteArray> saved_;
  std::vector<bool> wasSet_;
};

TEST_F(FreshHome, MenuStartWorksInDocumentsAndFindsTheUsersFlashDescription) {
  fs::create_directories(dir.path() / "config" / "kelvane");
  testsupport::TempDir::write((dir.path() / "config" / "kelvane" / "flash.txt").string(), "x");

  std::string why;
  ASSERT_TRUE(platform::enterDocumentsFolder(&why)) << why;
  EXPECT_EQ(fs::current_path(), dir.path() / "Documents" / "Kelvane");

  const platform::DataFolders folders = platform::standardDataFolders();
  ASSERT_GE(folders.size(), 2u);
  EXPECT_EQ(folders[0], dir.path() / "config" / "kelvane");
  // The installed folder is the program's own, whatever prefix it was installed under.
  EXPECT_EQ(folders[1].filename(), "kelvane");
  EXPECT_EQ(platform::locateDataFile("flash.txt", folders),
            dir.path() / "config" / "kelvane" / "flash.txt");
}

// The lookup without Qt finds the folders Qt found before it, whatever the environment says.
TEST_F(FreshHome, TheFoldersAreThoseQtFinds) {
  const std::string home = dir.path().string();
  const struct {
    std::optional<std::string> home, config;
  } cases[] = {
      {home, home + "/config"},   {home, std::nullopt},     {home, ""},
      {home + "/", std::nullopt}, {home, "/elsewhere/cfg"}, {home, "relative/cfg"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.home.value_or("(unset)") + " " + c.config.value_or("(unset)"));
    c.home ? qputenv("HOME", QByteArray::fromStdString(*c.home)) : qunsetenv("HOME");
    c.config ? qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(*c.config))
             : qunsetenv("XDG_CONFIG_HOME");
    const QString qt = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    EXPECT_EQ(platform::userConfigFolder(), fs::path((qt + "/kelvane").toStdString()));
  }
  const QString installed =
      QDir::cleanPath(QCoreApplication::applicationDirPath() + "/../share/kelvane");
  EXPECT_EQ(platform::standardDataFolders().at(1), fs::path(installed.toStdString()));
}

}  // namespace
