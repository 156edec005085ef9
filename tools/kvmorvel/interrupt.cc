// SPDX-License-Identifier: GPL-2.0-or-later
// The archive an interrupt cancels; the handlers themselves are in
// console_posix.cc and console_windows.cc.
#include "interrupt.h"

#include <atomic>

#include "KvMorvel.h"

namespace {
std::atomic<CKvMorvel*> g_watched{nullptr};
}  // namespace

CancelOnInterrupt::CancelOnInterrupt(CKvMorvel* archive) {
  g_watched.store(archive);
  if (Interrupted()) archive->Cancel();
}

CancelOnInterrupt::~CancelOnInterrupt() { g_watched.store(nullptr); }

void CancelWatchedArchive() {
  if (CKvMorvel* archive = g_watched.load()) archive->Cancel();
}
