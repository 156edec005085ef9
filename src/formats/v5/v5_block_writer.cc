// Version 5 block stream writer: a file cut into 1 MiB pieces, each
// stored as u32 payload length + lzo1x_1_compress output, at the fill of
// the current part; a new part is begun after any block that takes the
// fill past the split size.
#include <cstring>
#include <memory>
#include <new>

#include "KvLog.h"
#include "KvMorvel.h"
#include "formats/le_codec.h"
#include "formats/v5/v5_format.h"
#include "formats/v5/v5_lzo.h"
#include "formats/v5/v5_record.h"
#include "kvwin32.h"

namespace {

// The source piece and output buffers are sized for the largest piece
// this file needs (at most 1 MiB), so a small file does not take 2 MiB.
struct WriterBuffers {
  explicit WriterBuffers(size_t pieceSize)
      : piece(new (std::nothrow) BYTE[pieceSize]),
        payload(new (std::nothrow) BYTE[V5PayloadBound(pieceSize)]),
        work(new (std::nothrow) BYTE[kV5WorkMemory]) {}
  bool ok() const { return piece && payload && work; }
  std::unique_ptr<BYTE[]> piece;
  std::unique_ptr<BYTE[]> payload;
  std::unique_ptr<BYTE[]> work;
};

}  // namespace

BOOL CKvMorvel::ZIPCompressFile5(HANDLE source, _MVRL_FILEENTRY_MAX_5* entry,
                                 LONGLONG length, int level) {
  // The compression level has no effect on version 5 data.
  CKvLog* log = CKvLog::GetInstance();
  // The remaining length counts requested bytes, so the block count
  // depends only on the length given: a source that delivers less gives
  // shorter blocks, never more of them.
  ULONGLONG remaining = length > 0 ? static_cast<ULONGLONG>(length) : 0;
  WriterBuffers buffers(remaining < kV5PieceSize
                            ? static_cast<size_t>(remaining ? remaining : 1)
                            : kV5PieceSize);
  if (!buffers.ok()) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  const int init = lzo_init();
  if (init != LZO_E_OK) {
    log->AddInfo(TEXT("Error: lzo_Init - %d"), init);
    SetLastError(ERROR_INTERNAL_ERROR);
    return FALSE;
  }
  entry->blockCount = 0;
  do {
    memset(buffers.work.get(), 0, kV5WorkMemory);
    const DWORD request = static_cast<DWORD>(
        remaining < kV5PieceSize ? remaining : kV5PieceSize);
    DWORD got = 0;
    if (!ReadFile(source, buffers.piece.get(), request, &got, nullptr)) {
      log->AddError(TEXT("ReadFile - %u"),
                    static_cast<unsigned>(GetLastError()));
      return FALSE;
    }
    remaining -= request;
    lzo_uint n = 0;
    const int packed = lzo1x_1_compress(buffers.piece.get(), got,
                                        buffers.payload.get(), &n,
                                        buffers.work.get());
    if (packed != LZO_E_OK) {
      log->AddInfo(TEXT("error: lzo1x_1_compress - %d"), packed);
      SetLastError(ERROR_INTERNAL_ERROR);
      return FALSE;
    }
    BYTE prefix[4];
    StoreU32(prefix, static_cast<uint32_t>(n));
    entry->blockCount += 1;
    entry->storedLength += n;
    if (!V5WriteAll(m_partHandle, prefix, sizeof(prefix))) {
      log->AddError(TEXT("WriteFile - %u"),
                    static_cast<unsigned>(GetLastError()));
      return FALSE;
    }
    if (!V5WriteAll(m_partHandle, buffers.payload.get(),
                    static_cast<DWORD>(n))) {
      log->AddError(TEXT("WriteFile 2 - %u"),
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
