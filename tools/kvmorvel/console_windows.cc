// SPDX-License-Identifier: GPL-2.0-or-later
// The Windows half of the command's console needs: Ctrl-C and Ctrl-Break
// through SetConsoleCtrlHandler, the console's width and a monotonic
// clock (system.h, interrupt.h).
#if defined(_WIN32)

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>

#include "interrupt.h"
#include "system.h"

namespace {

volatile LONG g_interrupted = 0;

// Runs on a thread of its own: it only sets the flag, and returning TRUE
// keeps the process alive until the verb has closed the archive.
BOOL WINAPI OnControl(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
  InterlockedExchange(&g_interrupted, 1);
  CancelWatchedArchive();
  return TRUE;
}

}  // namespace

void InstallInterruptHandler() { SetConsoleCtrlHandler(OnControl, TRUE); }

bool Interrupted() { return InterlockedCompareExchange(&g_interrupted, 0, 0) != 0; }

int InterruptedExitStatus() { return 130; }  // as for Ctrl-C on Linux

namespace kvsys {

void UseBinaryStandardStreams() {
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
}

bool ErrorIsConsole() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

unsigned ConsoleWidth(unsigned fallback) {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info))
    return fallback;
  const int width = info.srWindow.Right - info.srWindow.Left + 1;
  return width > 20 ? static_cast<unsigned>(width) : fallback;
}

double MonotonicSeconds() {
  LARGE_INTEGER frequency, now;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&now);
  return static_cast<double>(now.QuadPart) / frequency.QuadPart;
}

}  // namespace kvsys

#endif  // _WIN32
