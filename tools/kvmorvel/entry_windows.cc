// SPDX-License-Identifier: GPL-2.0-or-later
// The command's entry point on Windows: UTF-16 arguments (wmain) become
// the UTF-8 the verbs use; the console shows UTF-8 and the progress
// line's escape sequences.
#if defined(_WIN32)

#include <windows.h>

#include <string>
#include <vector>

#include "common.h"
#include "common/utf.h"
#include "system.h"

// The disk image packer needs libarchive, which the Windows build does
// not have: mkimage is a Linux verb.
int RunMkimage(const Args&) {
  ReportNote("mkimage is available on Linux only");
  return kExitUsage;
}

int wmain(int argc, wchar_t** argv) {
  SetConsoleOutputCP(CP_UTF8);
  HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
  DWORD mode = 0;
  if (GetConsoleMode(error, &mode))
    SetConsoleMode(error, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
  std::vector<std::string> arguments;
  for (int i = 1; i < argc; ++i) {
    const std::wstring wide = argv[i];
    arguments.push_back(Utf16ToUtf8(std::u16string(wide.begin(), wide.end())));
  }
  return RunCommand(arguments);
}

#endif  // _WIN32
