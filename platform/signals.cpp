#include "platform/signals.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstring>

#ifndef _WIN32
#include <unistd.h>
#endif

namespace platform {

namespace {

CancelToken* g_token = nullptr;
std::atomic<int> g_signal{0};
// Built before the handler is installed: the handler may only write it.
char g_notice[128] = {};
std::size_t g_noticeLength = 0;

extern "C" void onSignal(int signal) {
  g_signal.store(signal);
  if (g_token) g_token->cancel();
#ifndef _WIN32
  (void)!::write(2, g_notice, g_noticeLength);
#endif
}

}  // namespace

void cancelOnSignals(CancelToken& token, const char* notice) {
  g_token = &token;
  g_noticeLength = std::min(std::strlen(notice), sizeof g_notice - 2);
  std::memcpy(g_notice, notice, g_noticeLength);
  g_notice[g_noticeLength++] = '\n';
#ifdef _WIN32
  std::signal(SIGINT, onSignal);
  std::signal(SIGTERM, onSignal);
#else
  struct sigaction action {};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  // A second Ctrl-C ends the program at once, for a user who will not wait.
  action.sa_flags = SA_RESETHAND;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGPIPE, &ignore, nullptr);
#endif
}

int cancellingSignal() {
  return g_signal.load();
}

int exitStatusForSignal(int signal) {
  return 128 + signal;
}

}  // namespace platform
