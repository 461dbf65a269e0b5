#include "platform/signals.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#else
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

extern "C" void onSignal(int signal) {
  int none = 0;
  if (!g_signal.compare_exchange_strong(none, signal)) {
    // The same request again within a second (a terminal's Ctrl-C reaching a process that also
    // passes it on, a service manager signalling every process of the group) is not the user
    // insisting: only a later one ends the program at once.
    if (monotonicMs() - g_firstAt.load() < 1000) return;
    ::signal(signal, SIG_DFL);
    ::raise(signal);
    return;
  }
  g_firstAt.store(monotonicMs());
  if (g_token) g_token->cancel();
  (void)!::write(2, g_notice, g_noticeLength);
}
#endif

#ifdef _WIN32
// A console's Ctrl-C, Ctrl-Break and closing arrive on a thread of their own, not as signals: they
// cancel through the same token, under the signal number a POSIX system would give them.
std::atomic<unsigned long long> g_firstTick{0};

BOOL WINAPI onConsoleEvent(DWORD event) {
  int signal = SIGTERM;  // the window closed, the user logged off, the system shuts down
  if (event == CTRL_C_EVENT) signal = SIGINT;
  if (event == CTRL_BREAK_EVENT) signal = SIGBREAK;
  int none = 0;
  if (!g_signal.compare_exchange_strong(none, signal)) {
    // As on POSIX: the same request within a second is not the user insisting; a later one ends
    // the program at once.
    if (GetTickCount64() - g_firstTick.load() < 1000) return TRUE;
    ExitProcess(static_cast<UINT>(exitStatusForSignal(signal)));
  }
  g_firstTick.store(GetTickCount64());
  if (g_token) g_token->cancel();
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), g_notice, static_cast<DWORD>(g_noticeLength), &written,
            nullptr);
  // Windows ends the process once this returns from a closing console: the jobs get a moment to
  // stop between blocks and close their ports first.
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) Sleep(2000);
  return TRUE;
}
#endif

}  // namespace

void cancelOnSignals(CancelToken& token, const char* notice) {
  g_token = &token;
  g_noticeLength = std::min(std::strlen(notice), sizeof g_notice - 2);
  std::memcpy(g_notice, notice, g_noticeLength);
  g_notice[g_noticeLength++] = '\n';
#ifdef _WIN32
  SetConsoleCtrlHandler(onConsoleEvent, TRUE);
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
