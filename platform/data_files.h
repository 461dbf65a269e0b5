// Where the programs find flash.txt and dwl87.spm: the working directory first, then the folders a
// program hands in (the user's configuration folder, the installed data folder), so that a
// program started from the desktop menu, whose working directory holds neither, finds them.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace platform {

// folders: the folders searched after the working directory, in order (none: the working
// directory alone).
using DataFolders = std::vector<std::filesystem::path>;

// The first regular file called name in the working directory or a data folder; empty when there
// is none. searched, when given, receives every folder tried, in order ("." for the working
// directory).
std::filesystem::path locateDataFile(const std::string& name, const DataFolders& folders,
                                     std::vector<std::filesystem::path>* searched = nullptr);

// The path to open for name: where it was found, or name itself when it is nowhere, so that the
// open fails as it always did.
std::string dataFilePath(const std::string& name, const DataFolders& folders);

// "dwl87.spm is in none of: ., /home/ana/.config/kelvane, /usr/share/kelvane"
std::string missingDataFileText(const std::string& name, const DataFolders& folders);

}  // namespace platform
