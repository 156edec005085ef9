// SPDX-License-Identifier: GPL-2.0-or-later
// Holds a slim reader/writer lock exclusively for one scope. The core's
// process-wide state (the logger, the privilege bookkeeping) is guarded
// this way: a SRWLOCK is a Win32 call on Windows, where the MinGW
// compilers with win32 threads have no std::mutex, and the layer maps it
// onto std::mutex elsewhere.
#ifndef KVMORVEL_PLATFORM_KVLOCK_H
#define KVMORVEL_PLATFORM_KVLOCK_H

#include "kvwin32.h"

class CKvLockHold {
 public:
  explicit CKvLockHold(SRWLOCK& lock) : m_lock(lock) {
    AcquireSRWLockExclusive(&m_lock);
  }
  ~CKvLockHold() { ReleaseSRWLockExclusive(&m_lock); }
  CKvLockHold(const CKvLockHold&) = delete;
  CKvLockHold& operator=(const CKvLockHold&) = delete;

 private:
  SRWLOCK& m_lock;
};

#endif  // KVMORVEL_PLATFORM_KVLOCK_H
