// SPDX-License-Identifier: GPL-2.0-or-later
// Restoring a version 1 entry: the record at the catalogue's read cursor,
// its chunked deflate stream from the archive file.
#include "formats/deflate/deflate_stream.h"
#include "formats/v1/v1_format.h"
#include "formats/v1/v1_record.h"
#include "restore/restore_common.h"

namespace {

// The folder made for a missing parent gets the stored short name of the
// source's folder, best effort: the name is a convenience. It is set
// through the folder's held handle.
void SetParentShortName(HANDLE folder, const WCHAR* fullPath,
                        const WCHAR* shortName) {
  WCHAR parent[kRestorePathChars];
  lstrcpynW(parent, fullPath, kRestorePathChars);
  PathRemoveFileSpecW(parent);
  SetShortNameBestEffort(folder, shortName, parent);
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

// Builds the restore path of `record` under `target` and reaches its
// folder from the held target, making the missing ones. Returns 0 or the
// refusing code; `*folder` is held by `folders`.
DWORD PrepareRestorePath(const WCHAR* target, const V1Record& record,
                         WCHAR* fullPath, FolderChain* folders,
                         HANDLE* folder) {
  DWORD code = BuildRestorePath(target, record.name, fullPath, kRestorePathChars);
  bool made = false;
  if (!code) code = folders->Reach(target, record.name, false, folder, &made);
  if (!code && made)
    SetParentShortName(*folder, fullPath, record.directoryShortName);
  return code;
}

// Sets the stored times and attributes through the open `file`, then
// closes it.
void FinishRestoredFile(HANDLE file, const WIN32_FILE_ATTRIBUTE_DATA& data) {
  WIN32_FILE_ATTRIBUTE_DATA utc = data;
  utc.ftCreationTime = ToUtc(data.ftCreationTime);
  utc.ftLastAccessTime = ToUtc(data.ftLastAccessTime);
  utc.ftLastWriteTime = ToUtc(data.ftLastWriteTime);
  SetTimesAndAttributesThrough(file, utc);
  CloseHandle(file);
}

}  // namespace

BOOL CKvMorvel::MorvelExtractFile(LPCWSTR target, int flag) {
  _MVRL_OBJECT* control = static_cast<_MVRL_OBJECT*>(m_control);
  if (control->readCursor >= control->catalogue.length()) {
    m_error.SetError(ERROR_NO_MORE_ITEMS);
    return FALSE;
  }
  // Reading moves the archive's file pointer away from where adds write.
  control->atWritePosition = false;
  control->cause.Clear();
  V1Record record;
  WCHAR fullPath[kRestorePathChars];
  // The catalogue's own reader, so the restore refuses exactly what Info
  // refuses: a record that runs past the catalogue, or whose name length
  // is 0 or above the longest an adder writes, fails with 1392.
  DWORD code = ReadV1Record(control->catalogue, control->readCursor, &record);
  // Data another entry's restore read already is refused before anything
  // on disk is touched.
  if (!code) code = ClaimV1Data(control->owners, record);
  HANDLE folder = INVALID_HANDLE_VALUE;
  if (!code)
    code = PrepareRestorePath(target, record, fullPath, &control->folders, &folder);
  if (code) {
    m_error.SetError(code);
    return FALSE;
  }
  if (!flag && IsSpecialFile(fullPath)) {
    SetEntryName(record.name);
    return TRUE;
  }
  // An existing file, read-only included, is replaced as in the other
  // versions; a failure is reported with its reason.
  int leafEnd = 0;
  const int leaf = LastComponentOf(record.name, &leafEnd);
  ReplacePolicy policy;
  policy.options = m_restoreOptions;
  policy.storedWrite = ToUtc(record.data.ftLastWriteTime);
  HANDLE file = CreateFileBeneath(folder, record.name + leaf,
                                  static_cast<size_t>(leafEnd - leaf), &policy);
  if (file == INVALID_HANDLE_VALUE && policy.outcome == KV_RESTORED_KEPT) {
    m_restoreOutcome = KV_RESTORED_KEPT;
    m_entryData = record.data;
    SetEntryName(record.name);
    return TRUE;
  }
  if (file == INVALID_HANDLE_VALUE) {
    m_error.SetError(LastErrorOr(ERROR_INVALID_HANDLE));
    return FALSE;
  }
  SetShortNameBestEffort(file, record.shortName, fullPath);
  SizedOutput output(file, RecordedFileSize(record.data));
  code = InflateEntryData(control->archive, record.dataOffset,
                          record.storedLength, output, &control->deflate,
                          &m_cancel);
  if (code) {
    // The one code for a failed stream and for data that does not hold
    // the recorded size (kRecordedSizeCode is this 1359); the cause goes
    // to the log, and the file made for the data goes.
    LogDataFailure(fullPath, code);
    if (code != kCancelledCode) DiscardRestoredFile(file, fullPath);
    CloseHandle(file);
    control->cause.Set(code);
    SetDataFailure(code, 0);
    return FALSE;
  }
  FinishRestoredFile(file, record.data);
  m_restoreOutcome = policy.outcome;
  m_entryData = record.data;
  SetEntryName(record.name);
  return TRUE;
}
