#include "apps/guikit/display.h"

#include <cstdio>

#include "dwl/dwl52display.h"
#include "dwl/dwl_job.h"

namespace guikit {

namespace {

class NullDisplay final : public Display {
 public:
  void comment(const std::string&) override {}
  void openWindow(dwl::Window, const std::string&) override {}
};

Display* g_display = nullptr;

}  // namespace

Display& display() {
  static NullDisplay none;
  return g_display ? *g_display : none;
}

void setDisplay(Display* d) {
  g_display = d;
}

void dwl52_10DisplayResult(std::int32_t family, std::int32_t code) {
  dwl::Window w;
  if (!dwl::resultWindow(family, code, &w)) return;
  display().openWindow(w, dwl::resultMessage(family, code));
}

void dwl52_11DisplayFlashFileErr(std::int32_t code) {
  display().openWindow(dwl::Window::FlashFileErr, dwl::flashFileMessage(code));
}

void dwl52_12DisplayConfigFileErr(std::int32_t code) {
  display().openWindow(dwl::Window::ConfFileErr, dwl::configFileMessage(code));
}

void dwl52_5LockDuringDownload() {
  display().lock();
}

void dwl52_6UnlockAfterDownload() {
  display().unlock();
}

void logComment(const std::string& text) {
  if (dwl::currentJob()) {
    dwl::logComment(text);
    return;
  }
  Display& d = display();
  std::snprintf(d.ma_Comment, sizeof d.ma_Comment, " %s ", text.c_str());
  ++d.mv_NbCommentLine;
  // The list shows the whole line even when it is longer than the old 100-character buffer.
  d.comment(" " + text + " ");
}

}  // namespace guikit
