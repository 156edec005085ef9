// SPDX-License-Identifier: GPL-2.0-or-later
// Writer of the chunked deflate stream, shared by the version 1 adder
// (ZIPCompressFile) and the version 2 adder (ZIPCompressFile2).
#include <zlib.h>

#include <memory>
#include <new>

#include "KvLog.h"
#include "KvMorvel.h"
#include "archive/manifest.h"
#include "formats/deflate/deflate_stream.h"
#include "formats/deflate/deflate_workspace.h"
#include "formats/v1/v1_format.h"
#include "formats/file_io.h"
#include "formats/le_codec.h"
#include "formats/piece_source.h"
#include "formats/piece_worker.h"

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

// One piece of the stream and what deflate made of it. `out` has 4 free
// bytes for the chunk's length in front of the payload.
struct DeflateTurn {
  BYTE* in;
  BYTE* out;
  DWORD piece = 0;    // source bytes
  DWORD offered = 0;  // payload room given to deflate
  bool last = false;  // the piece ends the stream
  int result = Z_OK;
  DWORD leftIn = 0;
  DWORD produced = 0;

  // Compresses the piece into the payload. Touches only the turn and `z`,
  // so the piece worker may run it.
  void Deflate(z_stream& z) {
    z.next_in = in;
    z.avail_in = piece;
    z.next_out = out + 4;
    z.avail_out = offered;
    result = deflate(&z, last ? Z_FINISH : Z_SYNC_FLUSH);
    leftIn = z.avail_in;
    produced = offered - z.avail_out;
  }
  // Whether the piece went in whole; a failed deflate is logged.
  bool Deflated(const DeflateWriteOptions& options) const {
    if (result != (last ? Z_STREAM_END : Z_OK)) {
      LogLastError(options, last ? TEXT("deflate (end) - %u")
                                 : TEXT("deflate - %u"));
      return false;
    }
    return leftIn == 0;
  }
};

// What is left of the source and of the output budget.
struct DeflatePlan {
  ULONGLONG toRead;
  ULONGLONG budget;

  // Sizes the next piece into `turn`; false when the source or the budget
  // is done.
  bool Next(DeflateTurn* turn) {
    if (toRead == 0 || budget == 0) return false;
    turn->piece = static_cast<DWORD>(
        toRead < kDeflatePieceSize ? toRead : kDeflatePieceSize);
    turn->offered = static_cast<DWORD>(
        budget < kDeflateChunkLimit ? budget : kDeflateChunkLimit);
    budget -= turn->offered;
    toRead -= turn->piece;
    turn->last = toRead == 0 || budget == 0;
    return true;
  }
};

// Reads the turn's piece (zeros for a hole) and feeds it to `digest`
// (when one is kept); 0, or the code of the failure (38 for a short read,
// 1223 when the host asked to stop), logging nothing (see ReportRead).
DWORD ReadPiece(PieceSource& source, const DeflateTurn& turn, Sha256* digest) {
  bool hole = false;
  const DWORD code = source.Next(turn.in, turn.piece, &hole);
  if (code == 0 && digest) digest->Update(turn.in, turn.piece);
  return code;
}

bool ReportRead(DWORD code, const DeflateWriteOptions& options) {
  SetLastError(code);
  if (code == kCancelledCode) {
    if (options.logFailures)
      CKvLog::GetInstance()->AddInfo(TEXT("Stopped at the host's request"));
    return false;
  }
  LogLastError(options, TEXT("ReadFile - %u"));
  return false;
}

// Writes the turn's chunk: the u32 length goes in front of the payload
// and the chunk out in one write.
bool WriteChunk(HANDLE archive, const DeflateTurn& turn, ULONGLONG* stored,
                const DeflateWriteOptions& options) {
  StoreU32(turn.out, turn.produced);
  if (!WriteExact(archive, turn.out, turn.produced + 4)) {
    LogLastError(options, TEXT("WriteFile - %u"));
    return false;
  }
  *stored += turn.produced + 4ull;
  return true;
}

// One piece after the other on this thread: read, deflate, write.
bool DeflateInTurn(PieceSource& source, HANDLE archive, z_stream& z,
                   DeflatePlan& plan, DeflateTurn turn, ULONGLONG* stored,
                   const DeflateWriteOptions& options) {
  while (plan.Next(&turn)) {
    const DWORD read = ReadPiece(source, turn, options.digest);
    if (read) return ReportRead(read, options);
    turn.Deflate(z);
    if (!turn.Deflated(options) || !WriteChunk(archive, turn, stored, options))
      return false;
  }
  return true;
}

// The pieces of a large file, two buffer pairs taking turns: while the
// worker deflates one piece, this thread reads the next and writes the
// chunk before. The stream is one, so its pieces are deflated in order,
// one at a time. Failures are reported in the order one thread would meet
// them (the piece's deflate, its chunk's write, the next read), and every
// exit waits for the job in hand.
bool DeflateAhead(PieceSource& source, HANDLE archive, z_stream& z,
                  DeflatePlan& plan, DeflateTurn turns[2], PieceWorker& worker,
                  ULONGLONG* stored, const DeflateWriteOptions& options) {
  DeflateTurn* now = &turns[0];
  if (!plan.Next(now)) return true;
  const DWORD first = ReadPiece(source, *now, options.digest);
  if (first) return ReportRead(first, options);
  worker.Start([now, &z] { now->Deflate(z); });
  for (;;) {
    DeflateTurn* next = now == &turns[0] ? &turns[1] : &turns[0];
    const bool hasNext = plan.Next(next);
    const DWORD read = hasNext ? ReadPiece(source, *next, options.digest) : 0;
    worker.Wait();
    if (!now->Deflated(options)) return false;
    const bool more = hasNext && read == 0;
    if (more) worker.Start([next, &z] { next->Deflate(z); });
    const bool written = WriteChunk(archive, *now, stored, options);
    if (more && !written) worker.Wait();
    if (!written) return false;
    if (read) return ReportRead(read, options);
    if (!hasNext) return true;
    now = next;
  }
}

}  // namespace

BOOL WriteDeflateChunks(HANDLE source, ULONGLONG length, HANDLE archive,
                        ULONGLONG* stored, int level,
                        const DeflateWriteOptions& options) {
  *stored = 0;
  if (length == 0) return TRUE;
  DeflateWorkspace own;
  DeflateWorkspace& space = options.workspace ? *options.workspace : own;
  DeflateTurn turns[2] = {DeflateTurn{space.In(0), space.Out(0)},
                          DeflateTurn{nullptr, nullptr}};
  if (!turns[0].in || !turns[0].out) return FALSE;
  z_stream* const stream = space.Deflater(level, options.programAllocator);
  if (!stream) return FALSE;

  DeflatePlan plan{length, options.budget};
  // A file of more than one piece is deflated on the workspace's worker
  // while this thread reads and writes; without the worker or the second
  // buffers it is done here, to the same bytes.
  PieceWorker* worker = length > kDeflatePieceSize ? space.Worker() : nullptr;
  if (worker) {
    turns[1] = DeflateTurn{space.In(1), space.Out(1)};
    if (!turns[1].in || !turns[1].out) worker = nullptr;
  }
  PieceSource pieces(source, length, options.cancel);
  const bool ok =
      worker ? DeflateAhead(pieces, archive, *stream, plan, turns, *worker,
                            stored, options)
             : DeflateInTurn(pieces, archive, *stream, plan, turns[0], stored,
                             options);
  if (!ok) return FALSE;
  // The stream has ended (the last piece finished it); the workspace
  // resets it for the next entry.
  // The budget ended the stream before the source did: the stored stream
  // is complete but holds only the start of the file. Reporting success
  // would record a silently cut entry, so the add fails as a full disk.
  if (plan.toRead != 0) {
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
  options.digest = ManifestDigest(m_manifest);
  if (m_version == 1 && m_control)
    options.workspace = &static_cast<_MVRL_OBJECT*>(m_control)->deflate;
  options.cancel = &m_cancel;
  const BOOL ok = WriteDeflateChunks(source, static_cast<ULONGLONG>(length),
                                     archive, &written, level, options);
  if (stored) *stored = static_cast<LONGLONG>(written);
  return ok;
}
