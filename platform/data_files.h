// Where the programs find flash.txt and dwl87.spm: the working directory first, then the folders a
// program registers at start (the user's configuration folder, the installed data folder), so
// that a program started from the desktop menu, whose working directory holds neither, finds them.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace platform {

// The folders searched after the working directory, in order. Set once at start; tests and
// programs that register none search the working directory alone.
void setDataFolders(std::vector<std::filesystem::path> folders);
const std::vector<std::filesystem::path>& dataFolders();

// The first regular file called name in the working directory or a data folder; empty when there
// is none. searched, when given, receives every folder tried, in order ("." for the working
// directory).
std::filesystem::path locateDataFile(const std::string& name,
                                     std::vector<std::filesystem::path>* searched = nullptr);

// The path to open for name: where it was found, or name itself when it is nowhere, so that the
// open fails as it always did.
std::string dataFilePath(const std::string& name);

// "dwl87.spm is in none of: ., /home/ana/.config/kelvane, /usr/share/kelvane"
std::string missingDataFileText(const std::string& name);

}  // namespace platform
