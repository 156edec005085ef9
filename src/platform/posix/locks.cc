// SPDX-License-Identifier: GPL-2.0-or-later
// Slim reader/writer locks, exclusive mode, over std::mutex. A lock's
// mutex is made on its first use and kept for the life of the process:
// Windows has no call that destroys such a lock, so the layer cannot
// know when one is done with (the library's locks are all static).
#include <mutex>

#include "layer.h"

namespace {

// The lock's own mutex. Making it and reading it back go under one
// process-wide guard, so two first uses never make two.
std::mutex& MutexOf(PSRWLOCK lock) {
  static std::mutex* guard = new std::mutex;  // outlives static destructors
  std::lock_guard<std::mutex> hold(*guard);
  if (!lock->Ptr) lock->Ptr = new std::mutex;
  return *static_cast<std::mutex*>(lock->Ptr);
}

}  // namespace

void AcquireSRWLockExclusive(PSRWLOCK lock) { MutexOf(lock).lock(); }

void ReleaseSRWLockExclusive(PSRWLOCK lock) { MutexOf(lock).unlock(); }
