// SPDX-License-Identifier: GPL-2.0-or-later
// Adding a file to a version 1 archive: its data as a chunked deflate
// stream at the data write position, its record appended to the
// catalogue that Close writes behind the data.
#include <cstring>
#include <vector>

#include "archive/codes.h"
#include "KvMorvel.h"
#include "formats/deflate/deflate_stream.h"
#include "formats/file_io.h"
#include "formats/short_name.h"
#include "formats/v1/v1_format.h"
#include "formats/v1/v1_record.h"

namespace {

// The header's catalogue length is 32 bits: the catalogue may not pass it.
bool CatalogueHasRoom(const _MVRL_OBJECT& record, DWORD recordLength) {
  return record.catalogue.length() + recordLength <= 0xFFFFFFFFull;
}

// The record's two short names: the source's own and its folder's. A
// bare drive ("C:") has none.
void LookUpShortNames(LPCWSTR source, V1Record* entry) {
  std::vector<WCHAR> folder(source, source + lstrlenW(source) + 1);
  PathRemoveFileSpecW(folder.data());
  const int length = lstrlenW(folder.data());
  for (WCHAR& c : entry->directoryShortName) c = 0;
  if (length == 0 || folder[length - 1] != ':')
    LookUpShortName(folder.data(), entry->directoryShortName);
  LookUpShortName(source, entry->shortName);
}

}  // namespace

BOOL CKvMorvel::AddFileProcess(HANDLE file, LPCWSTR path, LPCWSTR name,
                               WIN32_FILE_ATTRIBUTE_DATA* data, void*,
                               DWORD) {
  _MVRL_OBJECT* record = static_cast<_MVRL_OBJECT*>(m_control);
  // A record holds at most 455 name characters (see kV1MaxNameChars); a
  // longer name is refused before anything is written.
  const int nameChars = lstrlenW(name);
  if (nameChars > kV1MaxNameChars) {
    m_error.SetError(kErrorNameTooLong);
    return FALSE;
  }
  if (!CatalogueHasRoom(*record, V1RecordLength(nameChars + 1))) {
    m_error.SetError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  // Version 1 keeps file data only: a folder or a link is refused as an
  // open for data would be, the holder as it was.
  if (data->dwFileAttributes &
      (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }

  // `data` is what the handle reads: the record keeps the file's own.
  V1Record entry = V1Record();
  entry.data = *data;
  entry.nameLength = static_cast<WORD>(nameChars + 1);
  lstrcpynW(entry.name, name, kV1MaxNameLength);
  LookUpShortNames(path, &entry);
  entry.dataOffset = record->writePosition;

  LONGLONG stored = 0;
  const BOOL compressed =
      PlaceAtWritePosition(record->archive, record->writePosition,
                           &record->atWritePosition) &&
      ZIPCompressFile(file, static_cast<LONGLONG>(GetFileSize64(file)),
                      record->archive, &stored,
                      ZlibLevelForSetting(m_compressionLevel));
  const DWORD cause = compressed ? 0 : AddFailureCause(GetLastError());
  if (!compressed) {
    SetDataFailure(cause, 0);
    return FALSE;
  }
  entry.storedLength = static_cast<ULONGLONG>(stored);
  record->atWritePosition = true;  // the stream ends the data
  // Until its record is in the catalogue the data is no entry's: a record
  // that cannot be kept leaves the write position where it was, and the
  // next add writes over the data (Add tells the file pointer moved).
  BYTE bytes[kV1MaxRecordSize];
  const DWORD length = EncodeV1Record(entry, bytes, sizeof(bytes));
  if (!record->catalogue.Add(bytes, length)) {
    m_error.SetError(LastErrorOr(ERROR_NOT_ENOUGH_MEMORY));
    return FALSE;
  }
  record->writePosition += entry.storedLength;
  return TRUE;
}
