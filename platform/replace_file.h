// Replaces a file's contents all at once: the new bytes go to a temporary file beside it, which
// is flushed to the disk and renamed over the old one. A failure half-way (disk full, power cut)
// leaves the old file as it was and no temporary file behind.
#pragma once

#include <string>

namespace platform {

// True when path now holds exactly data; otherwise false, the old file untouched, and why (if
// given) names the file and the reason.
bool replaceFile(const std::string& path, const std::string& data, std::string* why = nullptr);

}  // namespace platform
