// SPDX-License-Identifier: GPL-2.0-or-later
// Restored data written to a file with its runs of zeros left as holes,
// as `tar -S` restores sparse files: a terabyte of zeros costs no disk
// and no writes, and the file reads back the same bytes.
#ifndef KVMORVEL_FORMATS_HOLE_WRITER_H
#define KVMORVEL_FORMATS_HOLE_WRITER_H

#include "kvwin32.h"

// The unit of a hole: only whole blocks of this many zeros, aligned on
// the file's offsets, are passed over (a file system keeps holes in
// blocks of this size or a multiple of it).
const DWORD kHoleBlock = 4096;

// Writes `size` bytes at `at`, the file's current position and the end of
// what it holds (the restore writes a new file from its start). Aligned
// blocks of zeros are passed over with a seek instead of written; when
// the bytes end with such a run the file's size is set to their end
// (SetEndOfFile), so after every call the file holds exactly the bytes
// given so far. Returns as WriteFile does: FALSE with the last error of
// the failed write, seek or size; *put is the count of bytes placed.
BOOL WriteKeepingHoles(HANDLE file, ULONGLONG at, const BYTE* bytes,
                       DWORD size, DWORD* put);

#endif  // KVMORVEL_FORMATS_HOLE_WRITER_H
