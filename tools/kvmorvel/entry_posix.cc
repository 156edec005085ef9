// SPDX-License-Identifier: GPL-2.0-or-later
// The command's entry point on Linux: the arguments are UTF-8 already.
#if !defined(_WIN32)

#include "system.h"

int main(int argc, char** argv) {
  return RunCommand(std::vector<std::string>(argv + 1, argv + argc));
}

#endif  // !_WIN32
