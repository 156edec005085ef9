// SPDX-License-Identifier: GPL-2.0-or-later
// The report of a failed write (or seek before a write) while an entry's
// items are stored, shared by the version 2 and version 5 adders.
#ifndef KVMORVEL_FORMATS_WRITE_FAILURE_H
#define KVMORVEL_FORMATS_WRITE_FAILURE_H

#include "kvwin32.h"

// Logs `format` with the last error in decimal and hexadecimal (two %u /
// %8.8X arguments) and returns that error; a failure that left no code
// (a short write on a system that reports none) counts as a full disk,
// so the caller never reads the failure as a success.
DWORD LogWriteFailure(const WCHAR* format);

#endif  // KVMORVEL_FORMATS_WRITE_FAILURE_H
