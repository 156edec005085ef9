// SPDX-License-Identifier: GPL-2.0-or-later
// Version 5 part files: naming, creating, reopening.
//
// Part N of main file "D:\b\disk.img" is "D:\b\disk_000N.img": the number
// goes before the last "." of the whole path (also when that "." is in a
// folder name), or after the path when it has none.
#include "archive/codes.h"
#include "KvLog.h"
#include "KvMorvel.h"
#include "KvMorvelHost.h"
#include "formats/file_io.h"
#include "formats/v5/v5_format.h"
#include "formats/v5/v5_record.h"
#include "formats/write_failure.h"
#include "kvwin32.h"

namespace {

// Builds the name of part `part` of `mainPath` into `buffer` of
// kV5PartNameChars WCHARs. A name that does not fit is refused (false,
// last error kErrorNameTooLong), never cut: a cut name would be some other
// file.
bool BuildPartName(const WCHAR* mainPath, DWORD part,
                   WCHAR (&buffer)[kV5PartNameChars]) {
  const WCHAR* dot = nullptr;
  for (const WCHAR* p = mainPath; *p; ++p)
    if (*p == '.') dot = p;
  int written;
  if (dot) {
    const int prefixLength = static_cast<int>(dot - mainPath);
    WCHAR prefix[kV5PartNameChars];
    if (prefixLength >= kV5PartNameChars) {
      written = -1;
    } else {
      lstrcpynW(prefix, mainPath, prefixLength + 1);
      written = KvFormatW(buffer, kV5PartNameChars, TEXT("%s_%.4i%s"), prefix,
                          static_cast<int>(part), dot);
    }
  } else {
    written = KvFormatW(buffer, kV5PartNameChars, TEXT("%s_%.4i"), mainPath,
                        static_cast<int>(part));
  }
  if (written < 0) {
    buffer[0] = 0;
    SetLastError(kErrorNameTooLong);
    return false;
  }
  return true;
}

const DWORD kPartAccess = GENERIC_READ | GENERIC_WRITE;
const DWORD kPartSharing = FILE_SHARE_READ | FILE_SHARE_WRITE;

// True when `found` is a plain file holding bytes: not a link or other
// reparse point, not a folder, not empty.
bool HoldsData(const WIN32_FILE_ATTRIBUTE_DATA& found) {
  const DWORD notPlain = FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY;
  return !(found.dwFileAttributes & notPlain) &&
         (found.nFileSizeHigh != 0 || found.nFileSizeLow != 0);
}

// Makes the part file `name` as a new file of the writer's own. Whatever
// else is at the name (an empty file, a link, a link to a file) is removed
// first, never opened: someone who may write the archive's folder could
// have put it there to receive the archive's data in a file they own, or
// to have it written through a link into any file. DeleteFileW removes a
// link, not its target. A plain file that holds bytes is left alone and
// refused (80, logged): they may be the data of entries of this archive
// (its header written before a crash, or a count gone stale). When the
// exclusive create still finds something (put there after the removal),
// it fails with 80 too.
HANDLE CreatePartFile(const WCHAR* name) {
  WIN32_FILE_ATTRIBUTE_DATA found;
  if (GetFileAttributesExW(name, GetFileExInfoStandard, &found)) {
    if (HoldsData(found)) {
      CKvLog::GetInstance()->AddError(TEXT("Part %s already holds data"), name);
      SetLastError(ERROR_FILE_EXISTS);
      return INVALID_HANDLE_VALUE;
    }
    if (!DeleteFileW(name)) {
      const DWORD code = GetLastError();
      CKvLog::GetInstance()->AddError(
          TEXT("Cannot remove what is at the name of part %s - %u"), name, code);
      SetLastError(code);
      return INVALID_HANDLE_VALUE;
    }
  }
  HANDLE part = CreateFileW(name, kPartAccess, kPartSharing, nullptr,
                            CREATE_NEW, 0, nullptr);
  if (part == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_EXISTS)
    CKvLog::GetInstance()->AddError(
        TEXT("Part %s was made by someone else while it was being created"), name);
  return part;
}

// True when the handle is a plain file with no other name: not a link or
// other reparse point, not a folder, not a hard link that another name
// (someone else's file) shares.
bool IsOwnPlainFile(HANDLE file) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(file, &info)) return false;
  const DWORD notPlain = FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY;
  return !(info.dwFileAttributes & notPlain) && info.nNumberOfLinks == 1;
}

// Reopens the archive's existing last part `name` to append to it, or
// makes it when it is missing. A link at the name is opened as itself,
// never followed, and refused (80) like anything but a plain file with
// one name: the append writes only into the part it made.
HANDLE ReopenPartFile(const WCHAR* name) {
  HANDLE part = CreateFileW(name, kPartAccess, kPartSharing, nullptr,
                            OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (part == INVALID_HANDLE_VALUE)
    return GetLastError() == ERROR_FILE_NOT_FOUND ? CreatePartFile(name) : part;
  if (!IsOwnPlainFile(part)) {
    CloseHandle(part);
    CKvLog::GetInstance()->AddError(TEXT("Part %s is not a plain file"), name);
    SetLastError(ERROR_FILE_EXISTS);
    return INVALID_HANDLE_VALUE;
  }
  return part;
}

}  // namespace

BOOL CKvMorvelHost::GetPartFileName(LPCWSTR archive, DWORD part,
                                    WCHAR* buffer, DWORD capacity) {
  // The capacity counts WCHARs, the terminator included. A name that does
  // not fit the caller's buffer leaves it empty instead of cut.
  if (!buffer || capacity == 0) return FALSE;
  WCHAR name[kV5PartNameChars];
  return GiveNameToHost(archive && BuildPartName(archive, part, name), name,
                        buffer, capacity);
}

void CKvMorvel::GetPartName(DWORD part, WCHAR* buffer, DWORD capacity) {
  CKvMorvelHost::GetPartFileName(m_archivePath, part, buffer, capacity);
}

HANDLE CKvMorvel::OpenPart5(DWORD part) {
  WCHAR name[kV5PartNameChars];
  if (!BuildPartName(m_archivePath, part, name)) return INVALID_HANDLE_VALUE;
  return CreateFileW(name, GENERIC_READ, FILE_SHARE_READ, nullptr,
                     OPEN_EXISTING, 0, nullptr);
}

BOOL CKvMorvel::AddPart() {
  // The part's gathered bytes go out before it is let go. When they
  // cannot, no part is begun: the next add reopens this one at its end.
  if (m_partHandle != INVALID_HANDLE_VALUE && !ReleaseWritePart5())
    return FALSE;
  // A part kept open for reading would refuse this one's write access.
  V5Record(m_control)->partIn.Close();
  ++m_partNumber;
  WCHAR name[kV5PartNameChars];
  if (!BuildPartName(m_archivePath, m_partNumber, name)) return FALSE;
  HANDLE part = CreatePartFile(name);
  if (part == INVALID_HANDLE_VALUE) return FALSE;
  m_partHandle = part;
  V5Record(m_control)->partOut.Attach(part, 0, true);
  // The header image names the last part created, so that a later
  // PointToLastPart5 (after a restore closed the part, or after a failed
  // AddPart) reopens this one and not the first.
  m_header5.partCount = m_partNumber;
  CKvLog::GetInstance()->AddInfo(TEXT("New Split part: %s"), name);
  return TRUE;
}

BOOL CKvMorvel::PointToLastPart5() {
  // A count of 0 only comes from a damaged header; parts start at 1.
  DWORD last = m_header5.partCount ? m_header5.partCount : 1;
  V5Record(m_control)->partIn.Close();
  WCHAR name[kV5PartNameChars];
  if (!BuildPartName(m_archivePath, last, name)) return FALSE;
  HANDLE part = ReopenPartFile(name);
  if (part == INVALID_HANDLE_VALUE) return FALSE;
  ULONGLONG length = 0;
  if (!FileLength(part, &length) || !SeekToEnd(part)) {
    CloseHandle(part);
    return FALSE;
  }
  m_partHandle = part;
  m_partFill = length;
  m_partNumber = last;
  m_header5.partCount = last;
  V5Record(m_control)->partOut.Attach(part, length, true);
  return TRUE;
}

namespace {

// Takes the entries whose bytes were gathered when a write of them failed
// out of the batch: only the first `written` of it have all their bytes in
// the parts, and a record must never name bytes that are not there.
void DropUnwrittenEntries(std::vector<_MVRL_FILEENTRY_MAX_5>& batch,
                          size_t written) {
  if (written < batch.size()) batch.resize(written);
}

}  // namespace

BOOL CKvMorvel::WritePart5(ULONGLONG offset, const void* bytes, DWORD size) {
  // No part open (it could not be reopened): the write fails, as a write
  // to no file does, before anything is gathered for it.
  if (m_partHandle == INVALID_HANDLE_VALUE) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  _MVRL_OBJECT_5* record = V5Record(m_control);
  FileWriteBuffer& out = record->partOut;
  // The gathered bytes end where these go, unless the part or the fill
  // was changed behind the buffer's back (a part reopened, a fill set by
  // hand): they then go out first, and writing starts over at `offset`,
  // as a seek to it would.
  if (out.file() != m_partHandle || out.end() != offset) {
    if (!WritePartGather5()) return FALSE;
    out.Attach(m_partHandle, offset, false);
  }
  const unsigned long long writesBefore = out.writes();
  if (!out.Append(bytes, size)) {
    const DWORD code = LastErrorOr(ERROR_DISK_FULL);
    DropUnwrittenEntries(m_entries5, record->entriesWritten);
    m_partFill = out.end();
    SetLastError(code);
    return FALSE;
  }
  // A write went out: every entry in the batch has its bytes in the part.
  if (out.writes() != writesBefore) record->entriesWritten = m_entries5.size();
  return TRUE;
}

BOOL CKvMorvel::WritePartGather5() {
  _MVRL_OBJECT_5* record = V5Record(m_control);
  if (!record) return TRUE;
  FileWriteBuffer& out = record->partOut;
  if (out.Flush()) {
    record->entriesWritten = m_entries5.size();
    return TRUE;
  }
  const DWORD code = LastErrorOr(ERROR_DISK_FULL);
  DropUnwrittenEntries(m_entries5, record->entriesWritten);
  // The fill goes back only while the buffer writes that part.
  if (out.file() == m_partHandle) m_partFill = out.end();
  SetLastError(code);
  return FALSE;
}

BOOL CKvMorvel::ReleaseWritePart5() {
  const BOOL written = WritePartGather5();
  const DWORD code = written ? ERROR_SUCCESS
                             : LogWriteFailure(TEXT("WriteFile failed - %u (%8.8X)"));
  FlushFileBuffers(m_partHandle);
  CloseHandle(m_partHandle);
  m_partHandle = INVALID_HANDLE_VALUE;
  if (_MVRL_OBJECT_5* record = V5Record(m_control)) record->partOut.Detach();
  SetLastError(code);
  return written;
}
