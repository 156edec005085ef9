// SPDX-License-Identifier: GPL-2.0-or-later
// Version 5 main file: header, catalogue batches and closing.
//
// The catalogue is the records of all entries back to back from offset 40
// to the end of the main file. It is never held whole: adding collects
// new records in the entry batch and appends them every 1000 entries or 5
// seconds, past 10000 entries and at Close, each time behind their data
// (FlushBatch5); listing loads 1001 records at Open and 101 at a time
// after.
#include <new>
#include <vector>

#include "KvLog.h"
#include "KvMorvel.h"
#include "KvMorvelHost.h"
#include "archive/codes.h"
#include "formats/file_io.h"
#include "formats/read_buffer.h"
#include "formats/write_buffer.h"
#include "formats/v5/v5_format.h"
#include "formats/v5/v5_record.h"
#include "kvwin32.h"

namespace {

// Bytes of catalogue records gathered per write.
const size_t kV5CatalogueGather = 64 * 1024;

enum WalkResult {
  kWalkBatchFull,  // the batch reached its limit
  kWalkEnded,      // no more records
  kWalkDamaged,    // a record that does not hold together
  kWalkFailed,     // a read failed; GetLastError tells why
};

// Reads records from `*position` into `batch` until it holds `limit`
// entries. On return `*position` is the offset of the first record not
// loaded. A damaged record ends the walk where it stands, so a catalogue
// with a bad size can neither loop on one position nor run past the file:
// the records before it are listed and the walk reports the damage.
// The records are read through `in`, a window read ahead on the file:
// each record's decoder gets the bytes one read of kV5EntrySize at its
// position would give, without a seek and a read per record.
WalkResult WalkCatalogue(HANDLE file, FileReadBuffer& in, ULONGLONG* position,
                         size_t limit,
                         std::vector<_MVRL_FILEENTRY_MAX_5>& batch) {
  if (in.file() != file) in.Reset(file);
  ULONGLONG fileLength = 0;
  if (!FileLength(file, &fileLength)) return kWalkFailed;
  BYTE bytes[kV5EntrySize];
  while (batch.size() < limit) {
    const ULONGLONG at = *position;
    if (at >= fileLength) return kWalkEnded;
    DWORD got = 0;
    if (!in.ReadAt(at, bytes, sizeof(bytes), &got)) return kWalkFailed;
    if (got == 0) return kWalkEnded;
    _MVRL_FILEENTRY_MAX_5 entry = {};
    if (DecodeV5Record(bytes, got, fileLength - at, &entry) !=
        kV5RecordGood) {
      CKvLog::GetInstance()->AddError(
          TEXT("Damaged catalogue record at %I64u"),
          static_cast<unsigned long long>(at));
      return kWalkDamaged;
    }
    try {
      batch.push_back(entry);
    } catch (const std::bad_alloc&) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return kWalkFailed;
    }
    *position = at + entry.recordSize;
  }
  return kWalkBatchFull;
}

void ReleaseBatch(std::vector<_MVRL_FILEENTRY_MAX_5>& batch) {
  std::vector<_MVRL_FILEENTRY_MAX_5>().swap(batch);
}

// Whether an archive opened for writing may be appended to; 0, or the
// code that refuses it. Only a version 5 archive: Close would write version
// 5 fields over any other header, destroying that archive (reading stays
// lenient and lists such a file from offset 40). And only a catalogue that
// ends cleanly: new records behind a damaged one, such as the last record
// of a flush that a crash or a full disk cut short, would be reached by
// no listing. The walk goes on from `position`, where the first batch
// ended, to the end of the main file.
DWORD AppendRefusal(HANDLE file, FileReadBuffer& in,
                    const _MVRL_HEADER_5& header, ULONGLONG position) {
  if (!IsV5Header(header)) return ERROR_BAD_FORMAT;
  std::vector<_MVRL_FILEENTRY_MAX_5> scratch;
  for (;;) {
    scratch.clear();
    switch (WalkCatalogue(file, in, &position, kV5NextBatch, scratch)) {
      case kWalkBatchFull: break;
      case kWalkEnded: return ERROR_SUCCESS;
      case kWalkDamaged: return ERROR_FILE_CORRUPT;
      case kWalkFailed: return GetLastError();
    }
  }
}

// Writes the header of an archive that was added to: `image` with data
// start 0, catalogue offset 40, reserved 1 and 0, keeping its signature,
// version and part count (the last part created, which AddPart and
// PointToLastPart5 keep in the image: after a failed AddPart the current
// part number names a part that does not exist).
bool WriteHeader5(HANDLE file, _MVRL_HEADER_5* image) {
  image->dataStart = 0;
  image->catalogueOffset = kV5HeaderSize;
  image->reserved1 = 1;
  image->reserved2 = 0;
  BYTE bytes[kV5HeaderSize];
  EncodeV5Header(*image, bytes);
  return SeekTo(file, 0) && WriteExact(file, bytes, sizeof(bytes));
}

// Puts the main file back as it stood before a flush that failed part
// way: the records the flush wrote, whole or torn, are cut off through the
// handle at `end`, and the header is written again whole (its part count
// names the last part made, which exists). Every listing then reads to a
// clean end, and the next append is not refused for a damaged record.
void CutBackCatalogue(HANDLE file, ULONGLONG end, _MVRL_HEADER_5* header) {
  if (SeekTo(file, end) && SetEndOfFile(file) && WriteHeader5(file, header) &&
      FlushFileBuffers(file))
    return;
  CKvLog::GetInstance()->AddError(
      TEXT("Cannot cut the catalogue back to %I64u - %u"),
      static_cast<unsigned long long>(end),
      static_cast<unsigned>(GetLastError()));
}

}  // namespace

BOOL CKvMorvel::CreateHeader5() {
  m_header5 = DefaultV5Header();
  m_modified = FALSE;
  HANDLE file = static_cast<_MVRL_OBJECT_5*>(m_control)->archive;
  BYTE bytes[kV5HeaderSize];
  EncodeV5Header(m_header5, bytes);
  // Open fails when this does: a catalogue flushed behind a missing
  // header would start at offset 0, where the header goes after it.
  return SeekTo(file, 0) && WriteExact(file, bytes, sizeof(bytes));
}

namespace {

// The catalogue is in the main file, so an archive opens and lists
// without its parts; only the entries stored in a missing part cannot be
// restored. The first of the `partCount` parts of `archive` that is not
// there goes to `cause`, for the host to name it. The walk stops there,
// or at a part whose name the library cannot make (nor any later one's,
// which is longer), so a damaged count costs no more looks than parts
// exist.
void NoteMissingPart5(const WCHAR* archive, DWORD partCount,
                      RestoreCause* cause) {
  WCHAR name[kV5PartNameChars];
  for (DWORD part = 1; part != 0 && part <= partCount; ++part) {
    if (!CKvMorvelHost::GetPartFileName(archive, part, name, kV5PartNameChars))
      return;
    if (GetFileAttributesW(name) != INVALID_FILE_ATTRIBUTES) continue;
    cause->Set(LastErrorOr(ERROR_FILE_NOT_FOUND), name);
    CKvLog::GetInstance()->AddError(TEXT("Part file %s is missing - %u"), name,
                                    static_cast<unsigned>(cause->code));
    return;
  }
}

}  // namespace

BOOL CKvMorvel::InitStructuresV5(HANDLE file, _MVRL_OBJECT_5* record) {
  m_catalogueEnded = FALSE;
  m_listEndCode = ERROR_NO_MORE_ITEMS;
  m_modified = FALSE;  // nothing added to this archive yet
  ReleaseBatch(m_entries5);
  ULONGLONG length = 0;
  if (!FileLength(file, &length)) return FALSE;
  if (length < kV5HeaderSize) {
    // Open reports the last error, so the code goes there as well.
    SetLastError(ERROR_BAD_FORMAT);
    m_error.SetError(ERROR_BAD_FORMAT);
    return FALSE;
  }
  BYTE bytes[kV5HeaderSize];
  DWORD got = 0;
  if (!SeekTo(file, 0) ||
      !ReadFile(file, bytes, sizeof(bytes), &got, nullptr))
    return FALSE;
  if (got != sizeof(bytes)) {
    SetLastError(ERROR_BAD_FORMAT);
    m_error.SetError(ERROR_BAD_FORMAT);
    return FALSE;
  }
  m_header5 = DecodeV5Header(bytes);
  record->header = m_header5;
  FileReadBuffer& in = record->catalogueIn;
  in.Reset(file);
  // For reading, a header with another signature or version is not
  // refused: the catalogue is then left to LoadNextEntries, from offset 40.
  ULONGLONG position = kV5HeaderSize;
  if (IsV5Header(m_header5) &&
      WalkCatalogue(file, in, &position, kV5FirstBatch, m_entries5) ==
          kWalkFailed) {
    ReleaseBatch(m_entries5);
    return FALSE;
  }
  m_nextCataloguePos = position;
  if (m_read && IsV5Header(m_header5))
    NoteMissingPart5(m_archivePath, m_header5.partCount, &record->cause);
  const DWORD refusal =
      m_read ? ERROR_SUCCESS : AppendRefusal(file, in, m_header5, position);
  if (refusal != ERROR_SUCCESS) {
    ReleaseBatch(m_entries5);
    SetLastError(refusal);  // Open reports the last error
    m_error.SetError(refusal);
    return FALSE;
  }
  m_error.SetError(ERROR_SUCCESS);
  return TRUE;
}

BOOL CKvMorvel::LoadNextEntries() {
  if (m_catalogueEnded || !m_control) return FALSE;
  // Once entries were added the batch belongs to them: loading catalogue
  // records into it would drop added entries not yet written, or write
  // loaded ones a second time at Close. Listing ends with them.
  if (m_modified) {
    m_catalogueEnded = TRUE;
    return FALSE;
  }
  m_entries5.clear();
  m_currentIndex = 0;
  _MVRL_OBJECT_5* record = V5Record(m_control);
  ULONGLONG position = m_nextCataloguePos;
  const WalkResult result = WalkCatalogue(record->archive, record->catalogueIn,
                                          &position, kV5NextBatch, m_entries5);
  m_nextCataloguePos = position;
  if (result == kWalkBatchFull) return TRUE;
  m_catalogueEnded = TRUE;
  // The entries before a damaged record are listed; the list then ends
  // with failure, not as if the catalogue had ended there.
  if (result == kWalkDamaged) m_listEndCode = ERROR_FILE_CORRUPT;
  return FALSE;
}

BOOL CKvMorvel::WriteVector5(HANDLE file) {
  // The records go out back to back, in batch order, in large writes from
  // the file's current position.
  FileWriteBuffer out(kV5CatalogueGather);
  out.Attach(file, 0, true);
  BYTE bytes[kV5EntrySize];
  for (const _MVRL_FILEENTRY_MAX_5& entry : m_entries5) {
    const size_t n = EncodeV5Record(entry, bytes, sizeof(bytes));
    if (n == 0) {
      SetLastError(ERROR_INVALID_DATA);
      return FALSE;
    }
    if (!out.Append(bytes, static_cast<DWORD>(n))) return FALSE;
  }
  return out.Flush();
}

BOOL CKvMorvel::CloseStructuresV5() {
  _MVRL_OBJECT_5* record = static_cast<_MVRL_OBJECT_5*>(m_control);
  if (!record || !record->archive ||
      record->archive == INVALID_HANDLE_VALUE) {
    m_error.SetError(kErrorNoArchive);
    return FALSE;
  }
  // The part's gathered bytes go out first. When they cannot, the entries
  // they belong to leave the batch, the others are still written, and
  // Close reports the failed write.
  DWORD partCode = ERROR_SUCCESS;
  if (m_partHandle != INVALID_HANDLE_VALUE && !ReleaseWritePart5())
    partCode = LastErrorOr(ERROR_DISK_FULL);
  HANDLE file = record->archive;
  DWORD code = ERROR_SUCCESS;
  if (m_modified) {
    // The last records go behind their data and the header after them,
    // in the order of every flush (the part was flushed above).
    m_modified = FALSE;
    record->closing = true;
    code = FlushBatch5();
  }
  if (partCode != ERROR_SUCCESS) code = partCode;
  const BOOL ok = code == ERROR_SUCCESS;
  ReleaseBatch(m_entries5);
  m_batchHoldsLoaded = FALSE;
  CloseHandle(file);
  record->archive = nullptr;
  delete record;
  m_control = nullptr;
  m_error.SetError(code);
  return ok;
}

namespace {

// Whether this flush of the batch makes the files durable: at Close, and
// when kV5SyncEveryMilliseconds (or the interval a test set) passed since
// they last were. Unsigned difference: right across the tick count's wrap.
bool SyncDue5(const _MVRL_OBJECT_5& record) {
  return record.closing ||
         GetTickCount() - record.lastSyncTick >= record.syncMilliseconds;
}

}  // namespace

// The batch goes to the main file behind its entries' data: the bytes
// gathered for the current part are written (a part left behind was
// flushed by AddPart), then the records are appended and the header
// rewritten with the part count. When a sync is due (SyncDue5) the part
// is flushed to the disk before the records are written and the main file
// after: after a power loss every record on the disk names data that is
// there whole, and at most the entries of the last seconds are lost.
// Between syncs the records are written all the same, so a killed process
// loses none. A flush that fails (a full disk, a write error) cuts the
// main file back to where it ended before (CutBackCatalogue), so nothing
// torn stays behind. The batch is emptied either way. Returns 0 or the
// failing code.
DWORD CKvMorvel::FlushBatch5() {
  _MVRL_OBJECT_5* record = V5Record(m_control);
  HANDLE file = record->archive;
  const bool sync = SyncDue5(*record);
  ULONGLONG catalogueEnd = 0;
  const bool catalogueKnown =
      (m_partHandle == INVALID_HANDLE_VALUE ||
       (WritePartGather5() && (!sync || FlushFileBuffers(m_partHandle)))) &&
      FileLength(file, &catalogueEnd);
  const bool written = catalogueKnown && SeekToEnd(file) &&
                       WriteVector5(file) && WriteHeader5(file, &m_header5) &&
                       (!sync || FlushFileBuffers(file));
  if (written && sync) record->lastSyncTick = GetTickCount();
  const DWORD code = written ? ERROR_SUCCESS : GetLastError();
  if (!written && catalogueKnown)
    CutBackCatalogue(file, catalogueEnd, &m_header5);
  m_entries5.clear();
  record->entriesWritten = 0;
  // The main file changed under the catalogue's read window.
  record->catalogueIn.Reset(file);
  m_lastFlushTick = GetTickCount();
  if (!written)
    CKvLog::GetInstance()->AddError(TEXT("Flush of entries failed - %u"),
                                    static_cast<unsigned>(code));
  return code;
}

void CKvMorvel::SetBatchFlushPolicy(DWORD entries, DWORD milliseconds) {
  m_flushEntries = entries;
  m_flushMilliseconds = milliseconds;
}

void CKvMorvel::SetSyncInterval5(DWORD milliseconds) {
  if (_MVRL_OBJECT_5* record = V5Record(m_control))
    record->syncMilliseconds = milliseconds;
}
