// The sample files of the source tree that the jobs read from the working directory.
#pragma once

#include <filesystem>

namespace testsupport {

// flash.txt and dwl87.spm of the samples into a folder: by default the working directory, where
// the programs look first.
inline void copySamples(const std::filesystem::path& to = {}) {
  const std::filesystem::path samples = std::filesystem::path(KELVANE_SOURCE_DIR) / "samples";
  for (const char* name : {"flash.txt", "dwl87.spm"})
    std::filesystem::copy_file(samples / name, to / name);
}

}  // namespace testsupport
