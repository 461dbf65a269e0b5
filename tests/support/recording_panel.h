// The dumper's panel controls recorded into a RecordingDisplay, for assertions: "offset O" and
// "erase O S" calls, the progress values, the erase walk's boxes, the pumps.
#pragma once

#include <string>

#include "apps/dumper/dumper_app.h"
#include "support/recording_display.h"

namespace testsupport {

class RecordingPanel : public dumper::PanelEvents {
 public:
  explicit RecordingPanel(RecordingDisplay& rec) : rec_(rec) {}
  void progress(int percent) override { rec_.progressValues.push_back(percent); }
  void dumpOffset(std::uint32_t offset) override {
    rec_.calls.push_back("offset " + std::to_string(offset));
  }
  void eraseProgress(std::uint32_t offset, std::uint32_t sector) override {
    rec_.calls.push_back("erase " + std::to_string(offset) + " " + std::to_string(sector));
  }
  void box(const std::string& title, const std::string& text) override {
    rec_.popups.emplace_back(title, text);
  }
  void pump() override { ++rec_.events; }

 private:
  RecordingDisplay& rec_;
};

// Puts a recording panel in as the dumper's, for the lifetime of the object.
class ScopedPanel {
 public:
  explicit ScopedPanel(RecordingDisplay& rec) : panel(rec) { dumper::setPanelEvents(&panel); }
  ~ScopedPanel() { dumper::setPanelEvents(nullptr); }
  RecordingPanel panel;
};

}  // namespace testsupport
