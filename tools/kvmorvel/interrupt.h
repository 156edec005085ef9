// SPDX-License-Identifier: GPL-2.0-or-later
// Ctrl-C handling (SIGINT on Linux, SetConsoleCtrlHandler on Windows; see
// console_*.cc): the handler only sets a flag, which the verbs check
// between entries so that the archive is always closed cleanly.
#ifndef KVMORVEL_TOOL_INTERRUPT_H
#define KVMORVEL_TOOL_INTERRUPT_H

void InstallInterruptHandler();
bool Interrupted();

#endif  // KVMORVEL_TOOL_INTERRUPT_H
