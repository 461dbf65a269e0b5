#include "platform/data_folders.h"

#include <cstdlib>
#include <string>
#include <system_error>

#ifdef _WIN32
#include <windows.h>
#endif

namespace platform {

namespace {

std::string variable(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

}  // namespace

std::filesystem::path userConfigFolder() {
#ifdef _WIN32
  std::string local = variable("LOCALAPPDATA");
  if (local.empty() && !variable("USERPROFILE").empty())
    local = variable("USERPROFILE") + "\\AppData\\Local";
  return std::filesystem::path(local.empty() ? "." : local) / "kelvane";
#else
  std::string config = variable("XDG_CONFIG_HOME");
  if (config.empty()) {
    // Without a home the root stands in, so the folder is still an absolute path.
    std::string home = variable("HOME");
    while (home.size() > 1 && home.back() == '/') home.pop_back();
    if (home.empty() || home == "/") home.clear();
    config = home + "/.config";
  }
  return std::filesystem::path(config) / "kelvane";
#endif
}

std::filesystem::path installedDataFolder(const std::filesystem::path& programFolder) {
  std::filesystem::path folder = (programFolder / KELVANE_DATA_FROM_BIN).lexically_normal();
  if (!folder.has_filename()) folder = folder.parent_path();
  return folder;
}

std::filesystem::path programFolder() {
#ifdef _WIN32
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return {};
    if (n < path.size()) {
      path.resize(n);
      break;
    }
    path.resize(path.size() * 2);
  }
  return std::filesystem::path(path).parent_path();
#else
  std::error_code ec;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::filesystem::path() : self.parent_path();
#endif
}

std::vector<std::filesystem::path> standardDataFolders() {
  // Relative to the program, so a package installed under any prefix finds its own files.
  std::filesystem::path program = programFolder();
  if (program.empty()) program = ".";
  return {userConfigFolder(), installedDataFolder(program)};
}

}  // namespace platform
