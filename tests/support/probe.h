// SPDX-License-Identifier: GPL-2.0-or-later
// The one door the tests have into the object's protected members.
//
// Tests go through the public class: they write archives byte by byte
// (support/archive_bytes.h) and read them through Open, Info and
// ExtractFile, so an internal change never means rewriting a test. A
// member is listed here only when no public call can show what a test
// must check, and each one says why.
#ifndef KVMORVEL_TESTS_SUPPORT_PROBE_H
#define KVMORVEL_TESTS_SUPPORT_PROBE_H

#include "KvMorvel.h"

class Probe : public CKvMorvel {
 public:
  // --- Version 5 tests (tests/v5) ---
  // The batch reaches the main file every 1000 entries or 5 seconds; a
  // test turns either rule off or shortens the 5 seconds, as no host can.
  using CKvMorvel::SetBatchFlushPolicy;
  // Flushes to the disk wait 5 seconds between them; a test sets the
  // wait to none or to never, to count them without timing anything.
  using CKvMorvel::SetSyncInterval5;
  // No library call passes GetPartName a caller's buffer: only a derived
  // class can show that a short one is left empty, never overrun.
  using CKvMorvel::GetPartName;
};

#endif  // KVMORVEL_TESTS_SUPPORT_PROBE_H
