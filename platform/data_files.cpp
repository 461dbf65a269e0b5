#include "platform/data_files.h"

#include <system_error>

namespace platform {

std::filesystem::path locateDataFile(const std::string& name, const DataFolders& folders,
                                     std::vector<std::filesystem::path>* searched) {
  std::vector<std::filesystem::path> tried{"."};
  tried.insert(tried.end(), folders.begin(), folders.end());
  if (searched) searched->clear();
  for (const std::filesystem::path& folder : tried) {
    if (searched) searched->push_back(folder);
    const std::filesystem::path candidate =
        folder == "." ? std::filesystem::path(name) : folder / name;
    std::error_code ec;
    if (std::filesystem::is_regular_file(candidate, ec)) return candidate;
  }
  return {};
}

std::string dataFilePath(const std::string& name, const DataFolders& folders) {
  const std::filesystem::path found = locateDataFile(name, folders);
  return found.empty() ? name : found.string();
}

std::string missingDataFileText(const std::string& name, const DataFolders& folders) {
  std::vector<std::filesystem::path> searched;
  locateDataFile(name, folders, &searched);
  std::string text = name + " is in none of: ";
  for (std::size_t i = 0; i < searched.size(); ++i) text += (i ? ", " : "") + searched[i].string();
  return text;
}

}  // namespace platform
