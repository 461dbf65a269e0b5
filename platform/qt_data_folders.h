// The documents folder of the windowed programs, as Qt knows it on each system.
#pragma once

#include <string>

namespace platform {

// Makes the folder Kelvane in the user's documents folder and makes it the working directory,
// where config.txt and dump.txt are written. False, with why, when that fails.
bool enterDocumentsFolder(std::string* why);

}  // namespace platform
