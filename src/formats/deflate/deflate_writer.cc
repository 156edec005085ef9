// SPDX-License-Identifier: GPL-2.0-or-later
// Writer of the chunked deflate stream, shared by the version 1 adder
// (ZIPCompressFile) and the version 2 adder (ZIPCompressFile2).
#include <zlib.h>

#include <memory>
#include <new>

#include "KvLog.h"
#include "KvMorvel.h"
#include "formats/deflate/deflate_stream.h"
#include "formats/deflate/deflate_workspace.h"
#include "formats/v1/v1_format.h"
#include "formats/file_io.h"
#include "formats/le_codec.h"

const char kZlibVersion[] = "1.1.3";

int ZlibLevelForSetting(int setting) {
  switch (setting) {
    case -1: return 0;
    case 0: return 1;
    case 1: return -1;
    case 2: return 9;
    default: return 1;
  }
}

void* KvZlibAlloc(void*, unsigned items, unsigned size) {
  const ULONGLONG bytes = static_cast<ULONGLONG>(items) * size;
  if (bytes > 0xFFFFFFFFull) return nullptr;
  return new (std::nothrow) BYTE[static_cast<size_t>(bytes)];
}

void KvZlibFree(void*, void* block) {
  if (block) delete[] static_cast<BYTE*>(block);
}

namespace {

void LogLastError(const DeflateWriteOptions& options, const WCHAR* format) {
  if (options.logFailures)
    CKvLog::GetInstance()->AddError(format,
                                    static_cast<unsigned>(GetLastError()));
}

// Compresses the piece in `z`'s input into `out`, offering `space` bytes
// of it; `last` ends the stream. The whole piece must be taken.
bool DeflatePiece(z_stream& z, BYTE* out, DWORD space, bool last,
                  const DeflateWriteOptions& options) {
  z.next_out = out;
  z.avail_out = space;
  const int result = deflate(&z, last ? Z_FINISH : Z_SYNC_FLUSH);
  if (result != (last ? Z_STREAM_END : Z_OK)) {
    LogLastError(options, last ? TEXT("deflate (end) - %u")
                               : TEXT("deflate - %u"));
    return false;
  }
  return z.avail_in == 0;
}

// Reads the next `piece` source bytes; a short read fails as the end of
// the file (38).
bool ReadPiece(HANDLE source, BYTE* in, DWORD piece,
               const DeflateWriteOptions& options) {
  DWORD got = 0;
  if (ReadFile(source, in, piece, &got, nullptr) && got == piece) return true;
  if (got != piece) SetLastError(ERROR_HANDLE_EOF);
  LogLastError(options, TEXT("ReadFile - %u"));
  return false;
}

// Writes one chunk, whose payload of `length` bytes stands behind 4 free
// bytes at `chunk`: the u32 length goes there and the chunk out in one
// write.
bool WriteChunk(HANDLE archive, BYTE* chunk, DWORD length, ULONGLONG* stored,
                const DeflateWriteOptions& options) {
  StoreU32(chunk, length);
  if (!WriteExact(archive, chunk, length + 4)) {
    LogLastError(options, TEXT("WriteFile - %u"));
    return false;
  }
  *stored += length + 4ull;
  return true;
}

}  // namespace

BOOL WriteDeflateChunks(HANDLE source, ULONGLONG length, HANDLE archive,
                        ULONGLONG* stored, int level,
                        const DeflateWriteOptions& options) {
  *stored = 0;
  if (length == 0) return TRUE;
  DeflateWorkspace own;
  DeflateWorkspace& space = options.workspace ? *options.workspace : own;
  BYTE* const in = space.In();
  // The chunk's length goes in front of its payload: 4 bytes more.
  BYTE* const out = space.Out();
  if (!in || !out) return FALSE;
  z_stream* const stream = space.Deflater(level, options.programAllocator);
  if (!stream) return FALSE;

  ULONGLONG toRead = length;
  ULONGLONG budget = options.budget;
  while (toRead != 0 && budget != 0) {
    const DWORD piece = static_cast<DWORD>(
        toRead < kDeflatePieceSize ? toRead : kDeflatePieceSize);
    if (!ReadPiece(source, in, piece, options)) return FALSE;
    const DWORD offered = static_cast<DWORD>(
        budget < kDeflateChunkLimit ? budget : kDeflateChunkLimit);
    budget -= offered;
    toRead -= piece;
    z_stream& z = *stream;
    z.next_in = in;
    z.avail_in = piece;
    if (!DeflatePiece(z, out + 4, offered, toRead == 0 || budget == 0,
                      options))
      return FALSE;
    const DWORD produced = offered - z.avail_out;
    if (!WriteChunk(archive, out, produced, stored, options)) return FALSE;
  }
  // The stream has ended (the last piece finished it); the workspace
  // resets it for the next entry.
  // The budget ended the stream before the source did: the stored stream
  // is complete but holds only the start of the file. Reporting success
  // would record a silently cut entry, so the add fails as a full disk.
  if (toRead != 0) {
    SetLastError(ERROR_DISK_FULL);
    LogLastError(options, TEXT("deflate budget exhausted - %u"));
    return FALSE;
  }
  return TRUE;
}

BOOL CKvMorvel::ZIPCompressFile(HANDLE source, LONGLONG length,
                                HANDLE archive, LONGLONG* stored, int level) {
  if (stored) *stored = 0;
  if (length < 0) return FALSE;
  ULONGLONG written = 0;
  DeflateWriteOptions options;
  if (m_version == 1 && m_control)
    options.workspace = &static_cast<_MVRL_OBJECT*>(m_control)->deflate;
  const BOOL ok = WriteDeflateChunks(source, static_cast<ULONGLONG>(length),
                                     archive, &written, level, options);
  if (stored) *stored = static_cast<LONGLONG>(written);
  return ok;
}
