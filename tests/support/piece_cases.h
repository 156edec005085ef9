// SPDX-License-Identifier: GPL-2.0-or-later
// Cases every version's tests run over the public class: a sparse source
// stored and restored (holes not read, zeros restored as holes), and an
// add or restore cancelled between pieces of a large file.
#ifndef KVMORVEL_TESTS_PIECE_CASES_H
#define KVMORVEL_TESTS_PIECE_CASES_H

#include "KvMorvelTypes.h"

// Adds a sparse file and a dense copy of it to a new archive of
// `version`, restores both and checks their bytes, that the holes were
// not read (Linux: the layer's read count) and that the restored files
// keep their zeros as holes (Linux: the disk they use).
void ExpectSparseRoundTrip(DWORD version);

// Adds a small file, then a sparse file of `size` bytes on another
// thread, and cancels once the archive has grown by `grown` bytes: the
// add fails with 1223, a later add too, Close succeeds and the archive
// lists and restores the small file alone.
void ExpectAddCancelledBetweenPieces(DWORD version, unsigned long long size,
                                     unsigned long long grown);

// Stores a sparse file of `size` bytes, restores it on another thread and
// cancels once the restored file has reached `reached` bytes: the restore
// fails with 1223 within the file, and the next restore at once.
void ExpectRestoreCancelledBetweenPieces(DWORD version,
                                         unsigned long long size,
                                         unsigned long long reached);

#endif  // KVMORVEL_TESTS_PIECE_CASES_H
