// SPDX-License-Identifier: GPL-2.0-or-later
// Interrupts: Ctrl-C (SIGINT), SIGTERM and SIGHUP on Linux, Ctrl-C and
// Ctrl-Break on Windows (see console_*.cc). The handler sets a flag, which
// the verbs check between entries, and asks the archive in hand to stop
// within the file it is adding or restoring (CKvMorvel::Cancel), so that
// the archive is always closed cleanly, however large the file.
#ifndef KVMORVEL_TOOL_INTERRUPT_H
#define KVMORVEL_TOOL_INTERRUPT_H

class CKvMorvel;

void InstallInterruptHandler();
bool Interrupted();
// The status a verb that was interrupted exits with: 130 for Ctrl-C and
// Ctrl-Break, and as shells report a signal, 128 + its number for SIGTERM
// (143) and SIGHUP (129).
int InterruptedExitStatus();

// While one lives, an interrupt also cancels `archive` (an interrupt
// that came before is passed on at once). One at a time.
class CancelOnInterrupt {
 public:
  explicit CancelOnInterrupt(CKvMorvel* archive);
  ~CancelOnInterrupt();
  CancelOnInterrupt(const CancelOnInterrupt&) = delete;
  CancelOnInterrupt& operator=(const CancelOnInterrupt&) = delete;
};

// For the handlers: cancels the archive a CancelOnInterrupt watches, if
// any. Async-signal-safe (an atomic load and CKvMorvel::Cancel).
void CancelWatchedArchive();

#endif  // KVMORVEL_TOOL_INTERRUPT_H
