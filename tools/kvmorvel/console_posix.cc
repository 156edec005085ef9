// SPDX-License-Identifier: GPL-2.0-or-later
// The Linux half of the command's console needs: Ctrl-C (SIGINT), SIGTERM
// and SIGHUP, the terminal's width and a monotonic clock (system.h,
// interrupt.h).
#if !defined(_WIN32)

#include <sys/ioctl.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <ctime>

#include "interrupt.h"
#include "system.h"

namespace {
// The signal that interrupted the run, 0 before any.
volatile sig_atomic_t g_interrupted = 0;

// A second signal changes nothing: the first one names the exit status.
void OnInterrupt(int signal) {
  if (g_interrupted == 0) g_interrupted = signal;
  CancelWatchedArchive();
}
}  // namespace

void InstallInterruptHandler() {
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  // Restart interrupted reads and writes: the library should not see
  // spurious failures; the flag is enough to stop between entries.
  action.sa_flags = SA_RESTART;
  // SIGTERM (a service stopped, kill) and SIGHUP (the terminal closed)
  // clean up as Ctrl-C does instead of leaving a torn run behind.
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
}

bool Interrupted() { return g_interrupted != 0; }

int InterruptedExitStatus() {
  return g_interrupted != 0 ? 128 + g_interrupted : 128 + SIGINT;
}

namespace kvsys {

void UseBinaryStandardStreams() {}  // POSIX streams are binary already

bool ErrorIsConsole() { return isatty(STDERR_FILENO) != 0; }

unsigned ConsoleWidth(unsigned fallback) {
  struct winsize size;
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 20)
    return size.ws_col;
  return fallback;
}

double MonotonicSeconds() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

}  // namespace kvsys

#endif  // !_WIN32
