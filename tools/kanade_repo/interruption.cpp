#include "interruption.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#ifdef _WIN32
#include <windows.h>
#endif

namespace kanade {

namespace {

// Set from a signal handler (or, on Windows, the console's control thread).
std::atomic<int> received{0};

#ifdef _WIN32
BOOL WINAPI OnConsoleControl(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
  received = SIGINT;
  return TRUE;
}
#else
void OnSignal(int signal) {
  received = signal;
}

void Handle(int signal, void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  sigaction(signal, &action, nullptr);
}
#endif

}  // namespace

InterruptionGuard::InterruptionGuard() {
#ifdef _WIN32
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
#else
  Handle(SIGINT, OnSignal);
  Handle(SIGTERM, OnSignal);
#endif
}

InterruptionGuard::~InterruptionGuard() {
#ifdef _WIN32
  SetConsoleCtrlHandler(OnConsoleControl, FALSE);
#else
  Handle(SIGINT, SIG_DFL);
  Handle(SIGTERM, SIG_DFL);
#endif
}

void InterruptionGuard::EndAsInterrupted() {
  std::fflush(nullptr);
  const int signal = received.load() != 0 ? received.load() : SIGINT;
#ifdef _WIN32
  std::_Exit(128 + signal);
#else
  Handle(signal, SIG_DFL);
  std::raise(signal);
  std::_Exit(128 + signal);
#endif
}

bool Interrupted() {
  return received.load() != 0;
}

}  // namespace kanade
