#include "platform/signals.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstring>

#ifndef _WIN32
#include <time.h>
#include <unistd.h>
#endif

namespace platform {

namespace {

CancelToken* g_token = nullptr;
std::atomic<int> g_signal{0};
// Built before the handler is installed: the handler may only write it.
char g_notice[128] = {};
std::size_t g_noticeLength = 0;

#ifndef _WIN32
// Milliseconds of the monotonic clock at the first signal; safe to read in a handler.
std::atomic<long long> g_firstAt{0};

long long monotonicMs() {
  timespec t{};
  ::clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<long long>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}
#endif

extern "C" void onSignal(int signal) {
  int none = 0;
  const bool first = g_signal.compare_exchange_strong(none, signal);
#ifndef _WIN32
  if (!first) {
    // The same request again within a second (a terminal's Ctrl-C reaching a process that also
    // passes it on, a service manager signalling every process of the group) is not the user
    // insisting: only a later one ends the program at once.
    if (monotonicMs() - g_firstAt.load() < 1000) return;
    ::signal(signal, SIG_DFL);
    ::raise(signal);
    return;
  }
  g_firstAt.store(monotonicMs());
#else
  (void)first;
#endif
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
  // A closed terminal or ssh session (SIGHUP) is a request to stop like any other.
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&action.sa_mask, signal);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);
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
