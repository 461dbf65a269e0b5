// The standard places of the programs' files, as Qt knows them on each system.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace platform {

// The user's configuration folder (~/.config/kelvane on Linux, %LOCALAPPDATA%\kelvane on Windows),
// then the data folder of the installation the running program belongs to (<prefix>/share/kelvane).
// Needs the application object.
std::vector<std::filesystem::path> standardDataFolders();

// Makes the folder Kelvane in the user's documents folder and makes it the working directory,
// where config.txt and dump.txt are written. False, with why, when that fails.
bool enterDocumentsFolder(std::string* why);

}  // namespace platform
