// SPDX-License-Identifier: GPL-2.0-or-later
// Reader of the chunked deflate stream (restores of versions 1 and 2).
#include <zlib.h>

#include <memory>
#include <new>

#include "KvMorvel.h"
#include "formats/deflate/deflate_stream.h"
#include "formats/deflate/deflate_workspace.h"
#include "formats/file_io.h"
#include "formats/le_codec.h"
#include "formats/sized_output.h"

namespace {

// Reads the next chunk's length word and payload into `in`. The length
// is checked against the chunk limit and against the stored bytes still
// to consume before any payload byte is read, so a damaged length can
// neither overrun the buffer nor reach into the next entry's data.
// Returns 0, the read's code, or kDamagedStreamCode.
DWORD ReadChunk(HANDLE archive, BYTE* in, ULONGLONG* left, DWORD* length) {
  BYTE word[4];
  if (*left < sizeof(word)) return kDamagedStreamCode;
  DWORD code = ReadWhole(archive, word, sizeof(word));
  if (code) return code;
  *left -= sizeof(word);
  *length = LoadU32(word);
  if (*length > kDeflateChunkLimit || *length > *left)
    return kDamagedStreamCode;
  code = ReadWhole(archive, in, *length);
  if (code) return code;
  *left -= *length;
  return 0;
}

// Inflates one chunk into `out`; the last chunk must end the stream and
// every chunk must be taken whole within one output buffer.
bool InflateChunk(z_stream& z, BYTE* in, DWORD length, BYTE* out,
                  bool last) {
  z.next_in = in;
  z.avail_in = length;
  z.next_out = out;
  z.avail_out = kDeflatePieceSize;
  const int result = inflate(&z, last ? Z_FINISH : Z_SYNC_FLUSH);
  return result == (last ? Z_STREAM_END : Z_OK) && z.avail_in == 0;
}

}  // namespace

DWORD InflateChunks(HANDLE archive, ULONGLONG stored, SizedOutput& output,
                    DeflateWorkspace* workspace, const CancelFlag* cancel) {
  if (stored == 0) return 0;
  DeflateWorkspace own;
  DeflateWorkspace& space = workspace ? *workspace : own;
  BYTE* const in = space.In();
  BYTE* const out = space.Out();
  if (!in || !out) return ERROR_NOT_ENOUGH_MEMORY;
  z_stream* const stream = space.Inflater();
  if (!stream) return ERROR_NOT_ENOUGH_MEMORY;

  ULONGLONG left = stored;
  while (left != 0) {
    if (CancelRequested(cancel)) return kCancelledCode;
    DWORD length = 0;
    DWORD code = ReadChunk(archive, in, &left, &length);
    if (code) return code;
    z_stream& z = *stream;
    if (!InflateChunk(z, in, length, out, left == 0))
      return kDamagedStreamCode;
    // Each chunk inflates to at most one output buffer, so the stored
    // length bounds the work; the output bounds what reaches the disk.
    code = output.Write(out, kDeflatePieceSize - z.avail_out);
    if (code) return code;
  }
  // The last chunk ended the stream (InflateChunk asks for that); the
  // workspace resets it for the next entry.
  return 0;
}

DWORD InflateEntryData(HANDLE archive, ULONGLONG offset, ULONGLONG stored,
                       SizedOutput& output, DeflateWorkspace* workspace,
                       const CancelFlag* cancel) {
  if (!SeekTo(archive, offset)) return LastErrorOr(ERROR_NEGATIVE_SEEK);
  const DWORD code = InflateChunks(archive, stored, output, workspace, cancel);
  if (code) return code;
  return output.Complete() ? 0 : kRecordedSizeCode;
}

BOOL CKvMorvel::ZIPDecompressFile(HANDLE archive, LONGLONG stored,
                                  HANDLE target, LONGLONG* written) {
  if (written) *written = 0;
  if (stored < 0) return FALSE;
  // Unbounded but for the stream itself: the restores bound their output
  // by the recorded size through InflateEntryData.
  SizedOutput output(target, ~0ull);
  const DWORD code =
      InflateChunks(archive, static_cast<ULONGLONG>(stored), output);
  if (written) *written = static_cast<LONGLONG>(output.written());
  return code == 0;
}
