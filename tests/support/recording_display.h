// A display that records everything the engine shows, for assertions.
#pragma once

#include <string>
#include <vector>

#include "dwl/dwl52display.h"

namespace testsupport {

struct ShownWindow {
  dwl::Window window;
  std::string message;
};

struct ShownSector {
  std::uint32_t index, size, address;
  std::string state;
};

class RecordingDisplay : public dwl::Display {
 public:
  std::vector<std::string> comments;
  std::vector<int> progressValues;
  std::vector<std::string> elapsedTexts;
  std::vector<ShownSector> sectors;
  std::vector<ShownWindow> windows;
  std::vector<std::pair<std::string, std::string>> popups;
  std::vector<std::string> calls;  // indicator, lock and slot calls in order
  int events = 0;
  // File dialogs opened ("directory|pattern|title"), and what the next ones answer.
  std::vector<std::string> dialogs;
  int fileSelectResult = 0;
  std::string fileSelectPath;

  void comment(const std::string& line) override { comments.push_back(line); }
  void progress(int percent) override { progressValues.push_back(percent); }
  void elapsed(const std::string& text) override { elapsedTexts.push_back(text); }
  void sector(std::uint32_t index, std::uint32_t size, std::uint32_t address,
              const std::string& state) override {
    sectors.push_back({index, size, address, state});
  }
  void processEvents() override { ++events; }
  void openWindow(dwl::Window w, const std::string& m) override { windows.push_back({w, m}); }
  void popup(const std::string& title, const std::string& text) override {
    popups.emplace_back(title, text);
  }
  void cpuIndicator(bool on, const std::string& text) override {
    calls.push_back(std::string("cpu ") + (on ? "on " : "off ") + text);
  }
  void flashIndicator(bool on, const std::string& text) override {
    calls.push_back(std::string("flash ") + (on ? "on " : "off ") + text);
  }
  void lock() override { calls.push_back("lock"); }
  void unlock() override { calls.push_back("unlock"); }
  void slotPath(dwl::Slot s, const std::string& path) override {
    calls.push_back("path " + std::to_string(static_cast<int>(s)) + " " + path);
  }
  void slotSize(dwl::Slot s, std::uint32_t size) override {
    calls.push_back("size " + std::to_string(static_cast<int>(s)) + " " + std::to_string(size));
  }
  void slotSum(dwl::Slot s, std::uint32_t sum) override {
    calls.push_back("sum " + std::to_string(static_cast<int>(s)) + " " + std::to_string(sum));
  }
  void dumpOffset(std::uint32_t offset) override {
    calls.push_back("offset " + std::to_string(offset));
  }
  void eraseProgress(std::uint32_t offset, std::uint32_t sector) override {
    calls.push_back("erase " + std::to_string(offset) + " " + std::to_string(sector));
  }
  int fileSelect(const std::string& directory, const std::string& pattern, const std::string& title,
                 std::string* path) override {
    dialogs.push_back(directory + "|" + pattern + "|" + title);
    if (fileSelectResult != 0) *path = fileSelectPath;
    return fileSelectResult;
  }
};

// Installs a recorder as the program's display for the lifetime of a test.
class ScopedRecorder {
 public:
  ScopedRecorder() { dwl::setDisplay(&rec); }
  ~ScopedRecorder() { dwl::setDisplay(nullptr); }
  RecordingDisplay rec;
};

}  // namespace testsupport
