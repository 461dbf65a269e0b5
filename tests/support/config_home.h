// Points the user's configuration folder (where the windows keep the COM numbers' devices) at a
// folder of the test's for the lifetime of the object: no test reads or writes the user's own.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

namespace testsupport {

class ScopedConfigHome {
 public:
  explicit ScopedConfigHome(const std::filesystem::path& folder) {
    if (const char* old = std::getenv(kVariable)) saved_ = old, wasSet_ = true;
    set(folder.string().c_str());
  }
  ~ScopedConfigHome() { wasSet_ ? set(saved_.c_str()) : set(nullptr); }
  ScopedConfigHome(const ScopedConfigHome&) = delete;
  ScopedConfigHome& operator=(const ScopedConfigHome&) = delete;

 private:
#ifdef _WIN32
  static constexpr const char* kVariable = "APPDATA";
  static void set(const char* value) {
    _putenv_s(kVariable, value ? value : "");
  }
#else
  static constexpr const char* kVariable = "XDG_CONFIG_HOME";
  static void set(const char* value) {
    value ? ::setenv(kVariable, value, 1) : ::unsetenv(kVariable);
  }
#endif
  std::string saved_;
  bool wasSet_ = false;
};

}  // namespace testsupport
