// SPDX-License-Identifier: GPL-2.0-or-later
// Adding one file, folder or reparse point to a version 5 archive: its
// data goes to the current part (block stream, reparse record, nothing
// for a folder), then the caller's security descriptor block, and the
// entry record joins the batch that is appended to the main file.
#include <cstring>
#include <new>

#include "archive/codes.h"
#include "KvLog.h"
#include "KvMorvel.h"
#include "common/archive_constants.h"
#include "formats/file_io.h"
#include "formats/le_codec.h"
#include "formats/piece_source.h"
#include "formats/reparse_point.h"
#include "formats/short_name.h"
#include "formats/v5/v5_format.h"
#include "formats/v5/v5_record.h"
#include "formats/write_failure.h"
#include "kvwin32.h"

namespace {

const DWORD kMicrosoftTagBit = 0x80000000u;
// Longest stored name: the entry's name area less the terminator.
const int kMaxStoredName = kV5NameChars - 1;

// Reads the reparse buffer through `source`, opened on the reparse point
// itself, into `buffer`; returns 0 with its length (tag, data length,
// reserved, data) in `*length`, or the code that refuses the entry. A
// reparse point that cannot be read, or whose tag is not a Microsoft tag,
// is not stored: an entry without its reparse record could not be
// restored.
DWORD ReadReparseBuffer(HANDLE source, BYTE* buffer, DWORD* length) {
  CKvLog* log = CKvLog::GetInstance();
  DWORD returned = 0;
  const DWORD code = ReadReparsePointOf(source, buffer, &returned);
  if (code != ERROR_SUCCESS) {
    log->AddError(TEXT("FSCTL_GET_REPARSE_POINT failed - %u (%8.8X)"),
                  static_cast<unsigned>(code), static_cast<unsigned>(code));
    return code;
  }
  if (!(LoadU32(buffer) & kMicrosoftTagBit)) {
    log->AddInfo(TEXT("ReparsePoint is not from Microsoft"));
    return ERROR_REPARSE_TAG_INVALID;
  }
  // The stored record is the tag, the lengths and the data: data length
  // + 8 bytes, all of which the device control must have returned.
  const DWORD total =
      static_cast<DWORD>(LoadU16(buffer + 4)) + kReparseHeaderSize;
  if (returned < kReparseHeaderSize || total > returned) return ERROR_INVALID_REPARSE_DATA;
  *length = total;
  return ERROR_SUCCESS;
}

}  // namespace

BOOL CKvMorvel::AddFileProcess5(HANDLE source, LPCWSTR path, LPCWSTR name,
                                WIN32_FILE_ATTRIBUTE_DATA* data,
                                void* descriptor, DWORD descriptorLength) {
  // A name that does not fit the entry's 631-WCHAR name area is refused
  // (122) instead of being cut to the name of some other entry.
  const int nameChars = lstrlenW(name);
  if (nameChars > kMaxStoredName) {
    m_error.SetError(kErrorNameTooLong);
    return FALSE;
  }
  _MVRL_FILEENTRY_MAX_5 entry = {};
  lstrcpyW(entry.name, name);
  entry.nameLength = static_cast<WORD>(nameChars + 1);
  entry.data = *data;
  LookUpShortNameOf(source, path, entry.shortName);
  // The last part is reopened for an append; one that may not be written
  // (a link or another file at its name) fails the add with its cause.
  if (m_partHandle == INVALID_HANDLE_VALUE && !PointToLastPart5()) {
    const DWORD cause = GetLastError();
    m_error.SetError(cause ? cause : ERROR_INVALID_HANDLE);
    return FALSE;
  }

  const DWORD attributes = data->dwFileAttributes;
  DWORD code = ERROR_SUCCESS;
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    code = StoreReparsePoint5(source, path, &entry);
  } else if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
    entry.dataOffset = m_partFill;
    entry.dataPart = m_partNumber;
  } else {
    code = StoreFileData5(source, &entry);
  }
  if (code == ERROR_SUCCESS)
    code = StoreDescriptor5(descriptor, descriptorLength, &entry);
  if (code == ERROR_SUCCESS) code = AppendEntry5(entry);
  if (code != ERROR_SUCCESS) {
    m_error.SetError(code);
    return FALSE;
  }
  m_modified = TRUE;
  return TRUE;
}

DWORD CKvMorvel::StoreReparsePoint5(HANDLE source, LPCWSTR path,
                                    _MVRL_FILEENTRY_MAX_5* entry) {
  CKvLog::GetInstance()->AddInfo(TEXT("%s is a reparse point"), path);
  BYTE* buffer = new (std::nothrow) BYTE[kReparseBufferSize];
  if (!buffer) return ERROR_NOT_ENOUGH_MEMORY;
  memset(buffer, 0, kReparseBufferSize);
  DWORD length = 0;
  DWORD code = ReadReparseBuffer(source, buffer, &length);
  if (code == ERROR_SUCCESS) {
    entry->storedLength = length + 4;
    entry->blockCount = 1;
    entry->dataOffset = m_partFill;
    entry->dataPart = m_partNumber;
    code = WritePrefixedItem5(buffer, length);
  }
  delete[] buffer;
  if (code != ERROR_SUCCESS) return code;
  // A reparse record begins a new part when it was written past the
  // split size; otherwise the fill grows by it.
  if (m_partFill > m_splitSize) {
    m_partFill = 0;
    if (!AddPart()) return GetLastError();
  } else {
    m_partFill += length + 4;
  }
  return ERROR_SUCCESS;
}

DWORD CKvMorvel::StoreFileData5(HANDLE file, _MVRL_FILEENTRY_MAX_5* entry) {
  entry->storedLength = 0;
  entry->blockCount = 0;
  entry->dataOffset = m_partFill;
  entry->dataPart = m_partNumber;
  LARGE_INTEGER size;
  if (!GetFileSizeEx(file, &size)) size.QuadPart = 0;
  const BOOL stored =
      ZIPCompressFile5(file, entry, size.QuadPart, m_compressionLevel);
  const DWORD cause = stored ? ERROR_SUCCESS : AddFailureCause(GetLastError());
  if (stored) return ERROR_SUCCESS;
  // AddFileProcess5 leaves the 1359 (or 1223 for a stop) in the holder; GetErrorCause gives why.
  SetDataFailure(cause, 0);
  return cause == kCancelledCode ? kCancelledCode : ERROR_INTERNAL_ERROR;
}

DWORD CKvMorvel::StoreDescriptor5(const void* descriptor, DWORD length,
                                  _MVRL_FILEENTRY_MAX_5* entry) {
  entry->descriptorPart = kV5NoDescriptorPart;
  entry->descriptorOffset = 0;
  if (!descriptor) return ERROR_SUCCESS;
  entry->descriptorOffset = m_partFill;
  entry->descriptorPart = m_partNumber;
  const DWORD code = WritePrefixedItem5(descriptor, length);
  if (code != ERROR_SUCCESS) return code;
  // No split test after a descriptor block: it stays with its entry.
  m_partFill += static_cast<ULONGLONG>(length) + 4;
  return ERROR_SUCCESS;
}

DWORD CKvMorvel::WritePrefixedItem5(const void* bytes, DWORD size) {
  // Length and bytes are gathered as one item: a length written without
  // its bytes would leave a record no reader can find.
  BYTE prefix[4];
  StoreU32(prefix, size);
  if (!WritePart5(m_partFill, prefix, sizeof(prefix)))
    return LogWriteFailure(TEXT("WriteFile failed - %u (%8.8X)"));
  if (!WritePart5(m_partFill + sizeof(prefix), bytes, size))
    return LogWriteFailure(TEXT("WriteFile failed (reparse data)- %u (%8.8X)"));
  return ERROR_SUCCESS;
}

DWORD CKvMorvel::AppendEntry5(_MVRL_FILEENTRY_MAX_5& entry) {
  entry.recordSize = V5RecordSize(entry.nameLength);
  _MVRL_OBJECT_5* record = V5Record(m_control);
  // After Open of an existing archive the batch holds records already in
  // the catalogue; they go before the first new entry joins it.
  if (m_batchHoldsLoaded) {
    m_entries5.clear();
    record->entriesWritten = 0;
    m_batchHoldsLoaded = FALSE;
  }
  try {
    // The batch holds at most 10001 entries before it is written out
    // (fewer under the periodic rule); taking that room once avoids
    // regrowing (and a doubled peak).
    const size_t most = m_flushEntries != 0 && m_flushEntries <= kV5FlushAbove
                            ? m_flushEntries
                            : kV5FlushAbove + 1;
    if (m_entries5.capacity() < most) m_entries5.reserve(most);
    m_entries5.push_back(entry);
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  // Nothing gathered: this entry's bytes, and all before, are written.
  if (record->partOut.pending() == 0)
    record->entriesWritten = m_entries5.size();
  // Past 10000 entries the batch is written out to bound its memory;
  // before that, the periodic rule writes it out to bound what a crash
  // can lose.
  if (m_entries5.size() > kV5FlushAbove) {
    CKvLog::GetInstance()->AddInfo(TEXT("Flush buffer of entries."));
    return FlushBatch5();
  }
  return BatchFlushDue5() ? FlushBatch5() : ERROR_SUCCESS;
}

bool CKvMorvel::BatchFlushDue5() {
  if (m_flushEntries != 0 && m_entries5.size() >= m_flushEntries)
    return true;
  // Unsigned difference: right across the tick count's wrap.
  return m_flushMilliseconds != 0 &&
         GetTickCount() - m_lastFlushTick >= m_flushMilliseconds;
}
