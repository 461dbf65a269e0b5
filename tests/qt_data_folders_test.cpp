// The folders of a program started from the desktop menu: the user's configuration folder and the
// documents folder, as Qt finds them from the environment.
#include "platform/qt_data_folders.h"

#include <gtest/gtest.h>

#include <QByteArray>
#include <QtGlobal>
#include <filesystem>

#include "platform/data_files.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;

// Points HOME and the configuration folder into the test's folder; puts them back afterwards.
class FreshHome : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"HOME", "XDG_CONFIG_HOME"}) saved_.push_back(qgetenv(name));
    qputenv("HOME", QByteArray::fromStdString(dir.path().string()));
    qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString((dir.path() / "config").string()));
  }
  void TearDown() override {
    qputenv("HOME", saved_[0]);
    qputenv("XDG_CONFIG_HOME", saved_[1]);
    platform::setDataFolders({});
  }
  testsupport::TempDir dir;
  std::vector<QByteArray> saved_;
};

TEST_F(FreshHome, MenuStartWorksInDocumentsAndFindsTheUsersFlashDescription) {
  fs::create_directories(dir.path() / "config" / "kelvane");
  testsupport::TempDir::write((dir.path() / "config" / "kelvane" / "flash.txt").string(), "x");

  std::string why;
  ASSERT_TRUE(platform::enterDocumentsFolder(&why)) << why;
  EXPECT_EQ(fs::current_path(), dir.path() / "Documents" / "Kelvane");

  platform::setDataFolders(platform::standardDataFolders());
  ASSERT_GE(platform::dataFolders().size(), 2u);
  EXPECT_EQ(platform::dataFolders()[0], dir.path() / "config" / "kelvane");
  // The installed folder is the program's own, whatever prefix it was installed under.
  EXPECT_EQ(platform::dataFolders()[1].filename(), "kelvane");
  EXPECT_EQ(platform::locateDataFile("flash.txt"), dir.path() / "config" / "kelvane" / "flash.txt");
}

}  // namespace
