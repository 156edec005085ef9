// Restoring a version 1 entry: the record at the catalogue's read cursor,
// its chunked deflate stream from the archive file.
#include "formats/le_codec.h"
#include "formats/v1/v1_format.h"
#include "restore/restore_common.h"

namespace {

// The fields of a version 1 record that the restore uses.
struct V1Record {
  WIN32_FILE_ATTRIBUTE_DATA data;
  ULONGLONG storedLength;
  ULONGLONG dataOffset;
  WCHAR shortName[kShortNameChars + 1];
  WCHAR directoryShortName[kShortNameChars + 1];
  WCHAR name[kRestorePathChars];
};

// Decodes the record at the read cursor. A record that runs past the
// catalogue is refused with 1392; a name that cannot fit a restore path
// with 122, as the too-long path it would make.
DWORD DecodeV1Record(const _MVRL_OBJECT& control, V1Record* record) {
  const DWORD remaining = control.catalogueLength - control.readCursor;
  if (!control.catalogue ||
      remaining < kV1RecordFixedSize + kV1RecordEndSize)
    return ERROR_FILE_CORRUPT;
  LeReader in(control.catalogue + control.readCursor, remaining);
  record->data = ReadAttributeData(in);
  record->storedLength = in.U64();
  record->dataOffset = in.U64();
  const DWORD nameLength = in.U16();
  WCHAR field[kV1ShortNameChars];
  in.Wide(field, kV1ShortNameChars);
  CopyShortName(field, record->shortName);
  in.Wide(field, kV1ShortNameChars);
  CopyShortName(field, record->directoryShortName);
  if (2u * nameLength + kV1RecordEndSize > in.remaining())
    return ERROR_FILE_CORRUPT;
  if (nameLength >= kRestorePathChars) return ERROR_INSUFFICIENT_BUFFER;
  in.Wide(record->name, nameLength);
  record->name[nameLength] = 0;  // the stored terminator may be damaged
  return 0;
}

// The folder made for a missing parent gets the stored short name of the
// source's folder. Failures are ignored: the name is a convenience.
void SetParentShortName(const WCHAR* fullPath, const WCHAR* shortName) {
  WCHAR parent[kRestorePathChars];
  lstrcpynW(parent, fullPath, kRestorePathChars);
  PathRemoveFileSpecW(parent);
  HANDLE folder = CreateFileW(parent, GENERIC_READ | GENERIC_WRITE | DELETE,
                              0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS |
                                  FILE_ATTRIBUTE_NORMAL,
                              nullptr);
  if (folder == INVALID_HANDLE_VALUE) return;
  if (shortName[0]) SetFileShortNameW(folder, shortName);
  CloseHandle(folder);
}

// The special file "TEPH.DAV", anywhere in the path and in any case, is
// restored only when the caller's flag asks for it.
bool IsSpecialFile(const WCHAR* fullPath) {
  WCHAR upper[kRestorePathChars];
  lstrcpynW(upper, fullPath, kRestorePathChars);
  CharUpperW(upper);
  const WCHAR* special = TEXT("TEPH.DAV");
  const int n = lstrlenW(special);
  for (const WCHAR* p = upper; *p; ++p) {
    int i = 0;
    while (i < n && p[i] == special[i]) ++i;
    if (i == n) return true;
  }
  return false;
}

// Version 1 keeps local times: each is turned into UTC before it is set.
// A time that cannot be converted is set as stored.
FILETIME ToUtc(const FILETIME& local) {
  FILETIME utc;
  return LocalFileTimeToFileTime(&local, &utc) ? utc : local;
}

}  // namespace

BOOL CKvMorvel::MorvelExtractFile(LPCWSTR target, int flag) {
  _MVRL_OBJECT* control = static_cast<_MVRL_OBJECT*>(m_control);
  if (control->readCursor >= control->catalogueLength) {
    m_error.SetError(ERROR_NO_MORE_ITEMS);
    return FALSE;
  }
  V1Record record;
  WCHAR fullPath[kRestorePathChars];
  DWORD code = DecodeV1Record(*control, &record);
  if (!code) code = BuildRestorePath(target, record.name, fullPath);
  if (!code)
    code = CheckNoLinkOnPath(fullPath,
                             lstrlenW(fullPath) - lstrlenW(record.name));
  if (code) {
    m_error.SetError(code);
    return FALSE;
  }
  if (CreateMissingParents(fullPath))
    SetParentShortName(fullPath, record.directoryShortName);
  if (!flag && IsSpecialFile(fullPath)) {
    lstrcpynW(m_entryName, record.name, 260);
    return TRUE;
  }
  // An existing file, read-only included, is replaced as in the other
  // versions; a failure is reported with its reason.
  HANDLE file = CreateRestoredFile(fullPath);
  if (file == INVALID_HANDLE_VALUE) {
    code = GetLastError();
    m_error.SetError(code ? code : ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (record.shortName[0]) SetFileShortNameW(file, record.shortName);
  LARGE_INTEGER at;
  at.QuadPart = static_cast<LONGLONG>(record.dataOffset);
  SetFilePointerEx(control->archive, at, nullptr, FILE_BEGIN);
  LONGLONG written = 0;
  const BOOL ok =
      ZIPDecompressFile(control->archive,
                        static_cast<LONGLONG>(record.storedLength), file,
                        &written);
  const ULONGLONG size =
      (static_cast<ULONGLONG>(record.data.nFileSizeHigh) << 32) |
      record.data.nFileSizeLow;
  if (!ok || static_cast<ULONGLONG>(written) != size) {
    CloseHandle(file);
    m_error.SetError(ERROR_INTERNAL_ERROR);
    return FALSE;
  }
  const FILETIME creation = ToUtc(record.data.ftCreationTime);
  const FILETIME access = ToUtc(record.data.ftLastAccessTime);
  const FILETIME write = ToUtc(record.data.ftLastWriteTime);
  SetFileTime(file, &creation, &access, &write);
  CloseHandle(file);
  SetFileAttributesW(fullPath, record.data.dwFileAttributes);
  m_entryData = record.data;
  lstrcpynW(m_entryName, record.name, 260);
  return TRUE;
}
