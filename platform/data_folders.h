// The standard places of the programs' files, found from the environment and the program's own
// path, without Qt: the command line links no Qt and the windows share the same answer.
#pragma once

#include <filesystem>
#include <vector>

namespace platform {

// The user's configuration folder for our files: $XDG_CONFIG_HOME/kelvane, else
// ~/.config/kelvane; on Windows %LOCALAPPDATA%\kelvane.
std::filesystem::path userConfigFolder();

// The data folder of the installation whose bin folder is programFolder (<prefix>/share/kelvane).
std::filesystem::path installedDataFolder(const std::filesystem::path& programFolder);

// The folder of the running program, links resolved; empty when the system does not say.
std::filesystem::path programFolder();

// userConfigFolder(), then the installed data folder of the running program: the folders
// searched after the working directory.
std::vector<std::filesystem::path> standardDataFolders();

}  // namespace platform
