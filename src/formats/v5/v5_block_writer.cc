// SPDX-License-Identifier: GPL-2.0-or-later
// Version 5 block stream writer: a file cut into 1 MiB pieces, each
// stored as u32 payload length + lzo1x_1_compress output, at the fill of
// the current part; a new part is begun after any block that takes the
// fill past the split size.
#include <functional>

#include "KvLog.h"
#include "KvMorvel.h"
#include "archive/manifest.h"
#include "formats/file_io.h"
#include "formats/le_codec.h"
#include "formats/piece_source.h"
#include "formats/piece_worker.h"
#include "formats/v5/v5_format.h"
#include "formats/v5/v5_lzo.h"
#include "formats/v5/v5_record.h"
#include "kvwin32.h"

namespace {

// Logs a failed read and leaves its code; false.
bool ReportRead(DWORD code) {
  if (code == kCancelledCode)
    CKvLog::GetInstance()->AddInfo(TEXT("Stopped at the host's request"));
  else
    CKvLog::GetInstance()->AddError(TEXT("ReadFile - %u"),
                                    static_cast<unsigned>(code));
  SetLastError(code);
  return false;
}

// Logs and reports a failed lzo1x_1_compress; true when `answer` is OK.
bool Packed(int answer) {
  if (answer == LZO_E_OK) return true;
  CKvLog::GetInstance()->AddInfo(TEXT("error: lzo1x_1_compress - %d"), answer);
  SetLastError(ERROR_INTERNAL_ERROR);
  return false;
}

DWORD NextRequest(ULONGLONG remaining) {
  return static_cast<DWORD>(remaining < kV5PieceSize ? remaining
                                                     : kV5PieceSize);
}

// One piece and what became of it.
struct Turn {
  V5CodecBuffers* buffers;
  const V5ZeroPiece* zeros;
  DWORD request = 0;  // source bytes; 0 when the file is done
  bool hole = false;  // the piece is zeros the source did not hold
  lzo_uint packed = 0;
  int answer = LZO_E_OK;

  // Reads the piece (zeros for a hole) and feeds it to `digest` (when one
  // is kept, the manifest's entry digest).
  DWORD Read(PieceSource& source, Sha256* digest) {
    const DWORD code = source.Next(buffers->piece.get(), request, &hole);
    if (code == 0 && digest) digest->Update(buffers->piece.get(), request);
    return code;
  }
  // A hole of a whole piece takes the payload packed once for all such
  // pieces: the bytes lzo1x_1_compress gives for them, at no cost.
  void Compress() {
    if (hole && zeros->Copy(request, buffers->payload(), &packed)) {
      answer = LZO_E_OK;
      return;
    }
    answer = lzo1x_1_compress(buffers->piece.get(), request,
                              buffers->payload(), &packed,
                              buffers->work.get());
  }
};

// Writes one block: the u32 payload length and the payload (of the given
// length) that a V5CodecBuffers holds.
typedef std::function<bool(V5CodecBuffers&, lzo_uint)> BlockWriter;

// One piece after the other on this thread: read, pack, write.
bool PackInTurn(PieceSource& source, ULONGLONG remaining,
                V5CodecBuffers& buffers, const V5ZeroPiece& zeros,
                const BlockWriter& writeBlock, Sha256* digest) {
  Turn turn{&buffers, &zeros};
  do {
    turn.request = NextRequest(remaining);
    const DWORD read = turn.Read(source, digest);
    if (read) return ReportRead(read);
    turn.Compress();
    if (!Packed(turn.answer)) return false;
    remaining -= turn.request;
    if (!writeBlock(buffers, turn.packed)) return false;
  } while (remaining > 0);
  return true;
}

// The pieces of a large file, two buffers taking turns: while the worker
// packs the piece in one, this thread reads the next piece into the other
// and then writes the block the worker gave before. Failures are reported
// in the order one thread would meet them (the block's packing, its
// write, the next read), and every exit waits for the job in hand, so no
// buffer is let go while the worker uses it.
bool PackAhead(PieceSource& source, ULONGLONG remaining,
               V5CodecBuffers* slot[2], const V5ZeroPiece& zeros,
               PieceWorker& worker, const BlockWriter& writeBlock,
               Sha256* digest) {
  Turn turns[2] = {Turn{slot[0], &zeros}, Turn{slot[1], &zeros}};
  Turn* now = &turns[0];
  now->request = NextRequest(remaining);
  const DWORD first = now->Read(source, digest);
  if (first) return ReportRead(first);
  remaining -= now->request;
  worker.Start([now] { now->Compress(); });
  for (;;) {
    Turn* next = now == &turns[0] ? &turns[1] : &turns[0];
    next->request = NextRequest(remaining);
    const DWORD read = next->request ? next->Read(source, digest) : 0;
    worker.Wait();
    if (!Packed(now->answer)) return false;
    const bool more = next->request != 0 && read == 0;
    if (more) {
      remaining -= next->request;
      worker.Start([next] { next->Compress(); });
    }
    const bool written = writeBlock(*now->buffers, now->packed);
    if (more && !written) worker.Wait();
    if (!written) return false;
    if (read) return ReportRead(read);
    if (next->request == 0) return true;
    now = next;
  }
}

}  // namespace

BOOL CKvMorvel::ZIPCompressFile5(HANDLE source, _MVRL_FILEENTRY_MAX_5* entry,
                                 LONGLONG length, int level) {
  // The compression level has no effect on version 5 data.
  // The remaining length counts requested bytes, so the block count
  // depends only on the length given: a source that delivers less gives
  // shorter blocks, never more of them.
  const ULONGLONG remaining = length > 0 ? static_cast<ULONGLONG>(length) : 0;
  _MVRL_OBJECT_5* record = V5Record(m_control);
  // The buffers are the archive's, sized for the largest piece so far.
  if (!record->codec.Reserve(remaining < kV5PieceSize
                                 ? static_cast<size_t>(remaining ? remaining : 1)
                                 : kV5PieceSize)) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  const int init = V5LzoInit();
  if (init != LZO_E_OK) {
    CKvLog::GetInstance()->AddInfo(TEXT("Error: lzo_Init - %d"), init);
    SetLastError(ERROR_INTERNAL_ERROR);
    return FALSE;
  }
  entry->blockCount = 0;
  // Each block goes to the part's fill; a new part is begun once the fill
  // passes the split size.
  const BlockWriter writeBlock = [&](V5CodecBuffers& buffers, lzo_uint n) {
    entry->blockCount += 1;
    entry->storedLength += n;
    // The block, u32 payload length then payload, goes out as one item.
    StoreU32(buffers.block.get(), static_cast<uint32_t>(n));
    if (!WritePart5(m_partFill, buffers.block.get(),
                    static_cast<DWORD>(n) + 4)) {
      CKvLog::GetInstance()->AddError(TEXT("WriteFile - %u"),
                                      static_cast<unsigned>(GetLastError()));
      return false;
    }
    m_partFill += n + 4;
    if (m_partFill <= m_splitSize) return true;
    m_partFill = 0;
    return AddPart() != FALSE;
  };
  // A file of more than one piece is packed on the compressor's thread
  // while this one reads and writes; without the thread or the second
  // buffers it is packed here, to the same bytes.
  // Only a source of more than one piece may have a hole piece; a failed
  // Prepare only costs the holes their packing.
  if (remaining > kV5PieceSize) record->zeroPiece.Prepare(record->codec);
  PieceSource pieces(source, remaining, &m_cancel);
  V5CodecBuffers* slot[2] = {&record->codec, &record->codecAhead};
  if (remaining > kV5PieceSize && record->codecAhead.Reserve(kV5PieceSize) &&
      record->worker.Ready())
    return PackAhead(pieces, remaining, slot, record->zeroPiece,
                     record->worker, writeBlock, ManifestDigest(m_manifest));
  return PackInTurn(pieces, remaining, record->codec, record->zeroPiece,
                    writeBlock, ManifestDigest(m_manifest));
}
