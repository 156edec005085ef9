// SPDX-License-Identifier: GPL-2.0-or-later
// Adding a file, folder or reparse point to a version 2 archive: the
// stored data at the write position, its record to the catalogue.
#include <cstring>
#include <memory>
#include <new>

#include "archive/codes.h"
#include "KvLog.h"
#include "archive/manifest.h"
#include "KvMorvel.h"
#include "common/archive_constants.h"
#include "formats/deflate/deflate_stream.h"
#include "formats/file_io.h"
#include "formats/le_codec.h"
#include "formats/reparse_point.h"
#include "formats/short_name.h"
#include "formats/source_descriptor.h"
#include "formats/v2/v2_format.h"
#include "formats/v2/v2_record.h"
#include "formats/write_failure.h"

namespace {

const DWORD kMaxDescriptor = kV2MaxDescriptor;
// The buffer a source's own descriptor is first read into.
const DWORD kFirstDescriptorRead = 4096;

void LogError2(const WCHAR* format, DWORD code) {
  CKvLog::GetInstance()->AddError(format, static_cast<unsigned>(code),
                                  static_cast<unsigned>(code));
}

// The descriptor the entry keeps: the caller's, or the source's own read
// through its handle; at most its first 1024 bytes. Empty when the
// source's cannot be read.
std::unique_ptr<BYTE[]> CaptureDescriptor(HANDLE source, void* descriptor,
                                          DWORD length, DWORD* kept) {
  *kept = 0;
  std::unique_ptr<BYTE[]> copy;
  if (descriptor) {
    *kept = length < kMaxDescriptor ? length : kMaxDescriptor;
    copy.reset(new (std::nothrow) BYTE[*kept ? *kept : 1]);
    if (!copy) *kept = 0;
    else if (*kept) memcpy(copy.get(), descriptor, *kept);
    return copy;
  }
  // One read into a buffer that holds any descriptor a file commonly has;
  // only a larger one is read again, at the size the first read gave.
  DWORD size = kFirstDescriptorRead;
  copy.reset(new (std::nothrow) BYTE[size]);
  DWORD needed = 0;
  if (!copy) return copy;
  if (!ReadSourceDescriptor(source, copy.get(), size, &needed)) {
    copy.reset();
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || needed == 0)
      return copy;
    size = needed;
    copy.reset(new (std::nothrow) BYTE[size]);
    if (!copy || !ReadSourceDescriptor(source, copy.get(), size, &needed)) {
      copy.reset();
      return copy;
    }
  }
  // A read that fits gives the descriptor's own length.
  size = needed;
  *kept = size < kMaxDescriptor ? size : kMaxDescriptor;
  return copy;
}

// The output space the next entry's data may take: what the volume had
// free at creation less what the archive holds and will still need for
// this entry's record. Below zero it wraps round, and no limit applies.
ULONGLONG RemainingBudget(const _MVRL_OBJECT_2* record, DWORD nameLength) {
  return record->header.capacity - record->catalogueBytes -
         2ull * nameLength - record->writePosition - 93;
}

// Writes the reparse buffer that DeviceIoControl returned (`returned`
// bytes) behind a u32 length at the write position. Only Microsoft tags
// (bit 31) are stored. An entry without its reparse data could not be
// restored, so a foreign tag, a data length beyond what was returned, or
// a failed write of either part fails the add. Returns 0 or the code of
// the failure.
DWORD WriteReparseData(_MVRL_OBJECT_2* record, const BYTE* buffer,
                       DWORD returned, _MVRL_FILEENTRY_2* entry) {
  if (returned < 8 || !(LoadU32(buffer) & 0x80000000u)) {
    CKvLog::GetInstance()->AddInfo(TEXT("ReparsePoint is not from Microsoft"));
    return ERROR_REPARSE_TAG_INVALID;
  }
  const DWORD size = LoadU16(buffer + 4) + 8u;
  if (size > returned) return ERROR_INVALID_REPARSE_DATA;
  entry->dataOffset = record->writePosition;
  entry->storedLength = size + 4ull;
  if (!PlaceAtWritePosition(record->archive, record->writePosition,
                            &record->atWritePosition))
    return LogWriteFailure(TEXT("SetFilePointerEx failed - %u (%8.8X)"));
  record->budget = RemainingBudget(record, entry->nameLength);
  BYTE word[4];
  StoreU32(word, size);
  if (!WriteExact(record->archive, word, sizeof(word)))
    return LogWriteFailure(TEXT("WriteFile failed - %u (%8.8X)"));
  if (!WriteExact(record->archive, buffer, size))
    return LogWriteFailure(TEXT("WriteFile failed (reparse data)- %u (%8.8X)"));
  record->atWritePosition = true;  // the record ends the data
  return ERROR_SUCCESS;
}

// A reparse point's data, read with FSCTL_GET_REPARSE_POINT through the
// handle opened on the point itself. Returns 0 or the code of the failure.
DWORD StoreReparseData(_MVRL_OBJECT_2* record, HANDLE source, LPCWSTR path,
                       _MVRL_FILEENTRY_2* entry) {
  CKvLog::GetInstance()->AddInfo(TEXT("%s is a reparse point"), path);
  std::unique_ptr<BYTE[]> buffer(new (std::nothrow) BYTE[kReparseBufferSize]);
  if (!buffer) return ERROR_NOT_ENOUGH_MEMORY;
  memset(buffer.get(), 0, kReparseBufferSize);
  DWORD returned = 0;
  const DWORD code = ReadReparsePointOf(source, buffer.get(), &returned);
  if (code == ERROR_SUCCESS)
    return WriteReparseData(record, buffer.get(), returned, entry);
  LogError2(TEXT("FSCTL_GET_REPARSE_POINT failed - %u (%8.8X)"), code);
  return code;
}

}  // namespace

BOOL CKvMorvel::AddFileProcess2(HANDLE source, LPCWSTR path, LPCWSTR name,
                                WIN32_FILE_ATTRIBUTE_DATA* data,
                                void* descriptor, DWORD descriptorLength) {
  _MVRL_OBJECT_2* record = static_cast<_MVRL_OBJECT_2*>(m_control);
  // The descriptor is captured first, so that an entry whose name and
  // descriptor cannot share the 1520 bytes of the record is refused
  // before any data is written.
  DWORD kept = 0;
  std::unique_ptr<BYTE[]> security =
      CaptureDescriptor(source, descriptor, descriptorLength, &kept);
  _MVRL_FILEENTRY_2 entry = _MVRL_FILEENTRY_2();
  if (!SetV2EntryName(&entry, name, static_cast<DWORD>(lstrlenW(name)),
                      kept)) {
    m_error.SetError(kErrorNameTooLong);
    return FALSE;
  }
  SetV2EntryDescriptor(&entry, security.get(), kept);
  // The header's catalogue size is 32 bits: the catalogue may not pass it.
  if (static_cast<ULONGLONG>(record->catalogueBytes) + entry.recordSize >
      0xFFFFFFFFull) {
    m_error.SetError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  entry.data = *data;
  LookUpShortNameOf(source, path, entry.shortName);

  const DWORD attributes = data->dwFileAttributes;
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    const DWORD code = StoreReparseData(record, source, path, &entry);
    if (code != ERROR_SUCCESS) {
      m_error.SetError(code);
      return FALSE;
    }
  } else if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    if (!StoreFileData2(source, &entry)) return FALSE;
  }

  // Until its record is in the catalogue the data is no entry's: a record
  // that cannot be kept leaves the write position where it was, and the
  // next add writes over the data (Add tells the file pointer moved).
  BYTE bytes[kV2EntrySize];
  const DWORD size = EncodeV2Record(entry, bytes, sizeof(bytes));
  if (!record->catalogue.Add(bytes, size)) {
    m_error.SetError(LastErrorOr(ERROR_NOT_ENOUGH_MEMORY));
    return FALSE;
  }
  record->catalogueBytes += entry.recordSize;
  record->writePosition += entry.storedLength;
  record->modified = TRUE;
  return TRUE;
}

// A file's content as a chunked deflate stream at the write position.
BOOL CKvMorvel::StoreFileData2(HANDLE file, _MVRL_FILEENTRY_2* entry) {
  _MVRL_OBJECT_2* record = static_cast<_MVRL_OBJECT_2*>(m_control);
  entry->dataOffset = record->writePosition;
  // Data written anywhere but the write position would overwrite what is
  // stored there while the entry claims bytes it does not hold.
  if (!PlaceAtWritePosition(record->archive, record->writePosition,
                            &record->atWritePosition)) {
    m_error.SetError(
        LogWriteFailure(TEXT("SetFilePointerEx failed - %u (%8.8X)")));
    return FALSE;
  }
  record->budget = RemainingBudget(record, entry->nameLength);
  ULONGLONG storedLength = 0;
  if (!ZIPCompressFile2(file, GetFileSize64(file), record->budget,
                        record->archive, &storedLength,
                        ZlibLevelForSetting(m_compressionLevel))) {
    CKvLog::GetInstance()->AddError(TEXT("ZIPCompressFile2 - %u"),
                                    static_cast<unsigned>(GetLastError()));
    const DWORD cause = AddFailureCause(GetLastError());
    SetDataFailure(cause, 0);
    return FALSE;
  }
  entry->storedLength = storedLength;
  record->atWritePosition = true;  // the stream ends the data
  return TRUE;
}

BOOL CKvMorvel::ZIPCompressFile2(HANDLE source, ULONGLONG length,
                                 ULONGLONG budget, HANDLE archive,
                                 ULONGLONG* stored, int level) {
  DeflateWriteOptions options;
  options.budget = budget;
  options.programAllocator = true;
  options.logFailures = true;
  options.digest = ManifestDigest(m_manifest);
  if (m_version == 2 && m_control)
    options.workspace = &static_cast<_MVRL_OBJECT_2*>(m_control)->deflate;
  options.cancel = &m_cancel;
  ULONGLONG written = 0;
  const BOOL ok =
      WriteDeflateChunks(source, length, archive, &written, level, options);
  if (stored) *stored = written;
  return ok;
}
