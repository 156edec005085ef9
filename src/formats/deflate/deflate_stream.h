// SPDX-License-Identifier: GPL-2.0-or-later
// The chunked deflate stream that holds the data of version 1 and
// version 2 entries: a sequence of chunks, each a u32 length L and L bytes
// of deflate output. The payloads joined in order are one zlib stream
// (window 15, memory level 8, default strategy). Chunk k holds the
// compressed form of source bytes k x 1048576 onwards; every chunk but the
// last ends at a sync flush, the last at the finish. An empty source has
// no chunks.
#ifndef KVMORVEL_FORMATS_DEFLATE_STREAM_H
#define KVMORVEL_FORMATS_DEFLATE_STREAM_H

#include "common/sha256.h"
#include "formats/deflate/deflate_workspace.h"
#include "formats/piece_source.h"
#include "formats/sized_output.h"
#include "kvwin32.h"

// Source bytes per chunk (writer input), inflated bytes per chunk (reader
// output).
const DWORD kDeflatePieceSize = 0x100000;  // 1048576
// Writer output buffer and the largest chunk payload a reader accepts;
// larger than zlib's bound for one piece, so one deflate call per piece.
const DWORD kDeflateChunkLimit = 0x104013;  // 1064979
// The zlib interface version the stream is begun with.
extern const char kZlibVersion[];

// Marks "no budget": the output is limited by the chunk size only.
const ULONGLONG kNoDeflateBudget = ~0ull;

// The zlib level for the object's compression level setting:
// -1 store (0), 0 fastest (1), 1 zlib's default (-1), 2 best (9), any
// other setting fastest (1).
int ZlibLevelForSetting(int setting);

// zlib allocation callbacks over the program's allocator. The block is
// items x size bytes; a product that does not fit 32 bits is refused
// (null) instead of being cut to a smaller block than zlib expects.
void* KvZlibAlloc(void* opaque, unsigned items, unsigned size);
void KvZlibFree(void* opaque, void* block);

struct DeflateWriteOptions {
  // Output space the chunks may be offered in total. When it runs out
  // before the source does, the piece that exhausts it ends the stream.
  ULONGLONG budget = kNoDeflateBudget;
  // Installs KvZlibAlloc/KvZlibFree instead of zlib's own allocator.
  bool programAllocator = false;
  // Writes an error line for each failure (the version 2 writer does).
  bool logFailures = false;
  // The archive's buffers and stream, kept across entries; without one
  // they are made for this entry alone.
  DeflateWorkspace* workspace = nullptr;
  // The host's request to stop, looked at before each piece (1223).
  const CancelFlag* cancel = nullptr;
  // Fed every source byte read, in order (the manifest's entry digest).
  Sha256* digest = nullptr;
};

// Reads `length` bytes of the source from its start (a piece in a hole
// of a sparse source is deflated as zeros without being read) and writes
// the chunked stream at the archive's current position. `*stored` (never
// null) is set to 0 and grows with every byte written. Returns TRUE when
// the whole source was written and the stream ended cleanly. The zlib
// stream is ended on every path.
BOOL WriteDeflateChunks(HANDLE source, ULONGLONG length, HANDLE archive,
                        ULONGLONG* stored, int level,
                        const DeflateWriteOptions& options);

// The code of a chunked stream that cannot be inflated: a chunk longer
// than the limit or than the stored bytes left, or a zlib result other
// than the one required.
const DWORD kDamagedStreamCode = ERROR_INVALID_DATA;

// Reads the chunked stream of `stored` bytes at the archive's current
// position and writes what it inflates to `output`. Returns 0 when every
// stored byte was taken, the stream ended cleanly and `output` took every
// byte; else the cause: the code of a failed or short read (38),
// kDamagedStreamCode, or what `output` refused (output past the size it
// holds to is cut there), or 1223 when `cancel` is set before a chunk.
// `workspace`, when given, lends its buffers and stream.
DWORD InflateChunks(HANDLE archive, ULONGLONG stored, SizedOutput& output,
                    DeflateWorkspace* workspace = nullptr,
                    const CancelFlag* cancel = nullptr);

// The data of a version 1 or 2 file entry: the `stored` bytes at `offset`
// of the archive inflated into `output` (a restored file, or a caller's
// sink), which must receive exactly the size it holds to. Nothing past
// that size is passed on. Returns 0 or the cause of the failure,
// kRecordedSizeCode for data that does not hold the recorded size.
DWORD InflateEntryData(HANDLE archive, ULONGLONG offset, ULONGLONG stored,
                       SizedOutput& output,
                       DeflateWorkspace* workspace = nullptr,
                       const CancelFlag* cancel = nullptr);

#endif  // KVMORVEL_FORMATS_DEFLATE_STREAM_H
