// Where flash.txt and dwl87.spm are looked for: the working directory, then the registered folders
// in their order.
#include "platform/data_files.h"

#include <gtest/gtest.h>

#include "platform/data_folders.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;

TEST(DataFiles, FirstFolderHoldingTheFileWins) {
  testsupport::TempDir dir;
  fs::create_directories("config");
  fs::create_directories("installed");
  fs::create_directories("config/flash.txt");  // a folder of that name is no file
  testsupport::TempDir::write("installed/flash.txt", "x");
  testsupport::TempDir::write("config/dwl87.spm", "x");
  testsupport::TempDir::write("installed/dwl87.spm", "x");
  testsupport::TempDir::write("dump.txt", "x");
  const platform::DataFolders folders{"config", "installed"};

  const struct {
    const char* name;
    fs::path found;
  } cases[] = {
      {"flash.txt", fs::path("installed") / "flash.txt"},
      {"dwl87.spm", fs::path("config") / "dwl87.spm"},
      {"dump.txt", "dump.txt"},
      {"config.txt", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<fs::path> searched;
    EXPECT_EQ(platform::locateDataFile(c.name, folders, &searched), c.found);
    EXPECT_EQ(platform::dataFilePath(c.name, folders), c.found.empty() ? c.name : c.found.string());
    // Every folder is tried, in order, before a file is given up.
    const std::vector<fs::path> all{".", "config", "installed"};
    if (c.found.empty()) {
      EXPECT_EQ(searched, all);
    }
  }
  EXPECT_EQ(platform::missingDataFileText("config.txt", folders),
            "config.txt is in none of: ., config, installed");
}

// An installation under any prefix finds its own share/kelvane beside its bin.
TEST(DataFolders, InstalledFolderIsBesideTheProgramsFolder) {
  const std::pair<fs::path, fs::path> cases[] = {
      {"/usr/bin", "/usr/share/kelvane"},
      {"/opt/kelvane/bin/", "/opt/kelvane/share/kelvane"},
      {"dist/bin", "dist/share/kelvane"},
  };
  for (const auto& [program, data] : cases)
    EXPECT_EQ(platform::installedDataFolder(program), data.lexically_normal()) << program;
  // The running program knows its own folder: this test's.
  EXPECT_TRUE(fs::exists(platform::programFolder() / "CMakeFiles")) << platform::programFolder();
}

#ifdef _WIN32
TEST(DataFolders, UsersFolderIsInTheLocalApplicationData) {
  const char* saved = std::getenv("LOCALAPPDATA");
  const std::string keep = saved ? saved : "";
  _putenv_s("LOCALAPPDATA", "C:\\Users\\ana\\AppData\\Local");
  EXPECT_EQ(platform::userConfigFolder(), fs::path("C:\\Users\\ana\\AppData\\Local\\kelvane"));
  _putenv_s("LOCALAPPDATA", keep.c_str());
}
#endif

}  // namespace
