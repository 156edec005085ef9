// SPDX-License-Identifier: GPL-2.0-or-later
// Version 5 block stream writer: a file cut into 1 MiB pieces, each
// stored as u32 payload length + lzo1x_1_compress output, at the fill of
// the current part; a new part is begun after any block that takes the
// fill past the split size.
#include "KvLog.h"
#include "KvMorvel.h"
#include "formats/file_io.h"
#include "formats/le_codec.h"
#include "formats/v5/v5_format.h"
#include "formats/v5/v5_lzo.h"
#include "formats/v5/v5_record.h"
#include "kvwin32.h"

namespace {

// Reads `request` bytes of `source` into the piece buffer and compresses
// what came into the payload buffer, `*size` bytes. False, logged and
// with the last error set, on failure.
bool PackPiece(HANDLE source, DWORD request, V5CodecBuffers& buffers,
               lzo_uint* size) {
  CKvLog* log = CKvLog::GetInstance();
  DWORD got = 0;
  while (got < request) {
    DWORD n = 0;
    if (!ReadFile(source, buffers.piece.get() + got, request - got, &n,
                  nullptr)) {
      log->AddError(TEXT("ReadFile - %u"),
                    static_cast<unsigned>(GetLastError()));
      return false;
    }
    if (n == 0) break;
    got += n;
  }
  // A source that ends before the length it was added with (it shrank
  // while being read) cannot be stored: the record would promise bytes
  // its blocks do not hold, and the entry would never restore. The add
  // fails with 38 instead of succeeding with a cut copy.
  if (got < request) {
    log->AddError(TEXT("ReadFile - %u"),
                  static_cast<unsigned>(ERROR_HANDLE_EOF));
    SetLastError(ERROR_HANDLE_EOF);
    return false;
  }
  const int packed = lzo1x_1_compress(buffers.piece.get(), got,
                                      buffers.payload(), size,
                                      buffers.work.get());
  if (packed != LZO_E_OK) {
    log->AddInfo(TEXT("error: lzo1x_1_compress - %d"), packed);
    SetLastError(ERROR_INTERNAL_ERROR);
    return false;
  }
  return true;
}

}  // namespace

BOOL CKvMorvel::ZIPCompressFile5(HANDLE source, _MVRL_FILEENTRY_MAX_5* entry,
                                 LONGLONG length, int level) {
  // The compression level has no effect on version 5 data.
  CKvLog* log = CKvLog::GetInstance();
  // The remaining length counts requested bytes, so the block count
  // depends only on the length given: a source that delivers less gives
  // shorter blocks, never more of them.
  ULONGLONG remaining = length > 0 ? static_cast<ULONGLONG>(length) : 0;
  // The buffers are the archive's, sized for the largest piece so far.
  V5CodecBuffers& buffers = V5Record(m_control)->codec;
  if (!buffers.Reserve(remaining < kV5PieceSize
                           ? static_cast<size_t>(remaining ? remaining : 1)
                           : kV5PieceSize)) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  const int init = V5LzoInit();
  if (init != LZO_E_OK) {
    log->AddInfo(TEXT("Error: lzo_Init - %d"), init);
    SetLastError(ERROR_INTERNAL_ERROR);
    return FALSE;
  }
  entry->blockCount = 0;
  do {
    const DWORD request = static_cast<DWORD>(
        remaining < kV5PieceSize ? remaining : kV5PieceSize);
    lzo_uint n = 0;
    if (!PackPiece(source, request, buffers, &n)) return FALSE;
    remaining -= request;
    entry->blockCount += 1;
    entry->storedLength += n;
    // The block, u32 payload length then payload, goes out as one item.
    StoreU32(buffers.block.get(), static_cast<uint32_t>(n));
    if (!WritePart5(m_partFill, buffers.block.get(),
                    static_cast<DWORD>(n) + 4)) {
      log->AddError(TEXT("WriteFile - %u"),
                    static_cast<unsigned>(GetLastError()));
      return FALSE;
    }
    m_partFill += n + 4;
    if (m_partFill > m_splitSize) {
      m_partFill = 0;
      if (!AddPart()) return FALSE;
    }
  } while (remaining > 0);
  return TRUE;
}
