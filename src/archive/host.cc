// SPDX-License-Identifier: GPL-2.0-or-later
// CKvMorvelHost: the library's rules for the files around an archive,
// answered by the code the archive object uses. The part file names are
// built in formats/v5/v5_parts.cc beside the object's own use of them.
#include <cstring>

#include "KvMorvelHost.h"
#include "common/archive_constants.h"
#include "kvwin32.h"
#include "formats/source_descriptor.h"
#include "restore/restore_paths.h"

BOOL CKvMorvelHost::IsContainedName(LPCWSTR name) {
  return name && ::IsContainedName(name) ? TRUE : FALSE;
}

DWORD CKvMorvelHost::GetImageSignature(BYTE* buffer, DWORD capacity) {
  const DWORD size = static_cast<DWORD>(kImageSignatureSize);
  if (buffer && capacity >= size) memcpy(buffer, kImageSignature, size);
  return size;
}

DWORD CKvMorvelHost::GetSystemError() { return GetLastError(); }

void CKvMorvelHost::ClearSystemError() { SetLastError(0); }

HANDLE CKvMorvelHost::OpenSource(LPCWSTR path, WIN32_FILE_ATTRIBUTE_DATA* data,
                                 DWORD* volume, ULONGLONG* fileIndex) {
  if (!path) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  // Shared for reading only, as the adders open a file's data; the
  // flags open a link itself and a folder at all.
  HANDLE source = CreateFileW(
      path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
      FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (source == INVALID_HANDLE_VALUE) return nullptr;
  BY_HANDLE_FILE_INFORMATION info;
  WIN32_FILE_ATTRIBUTE_DATA own;
  if (!ReadSourceData(source, data ? data : &own, &info)) {
    const DWORD code = GetLastError();
    CloseHandle(source);
    SetLastError(code);
    return nullptr;
  }
  if (volume) *volume = info.dwVolumeSerialNumber;
  if (fileIndex)
    *fileIndex = (static_cast<ULONGLONG>(info.nFileIndexHigh) << 32) |
                 info.nFileIndexLow;
  return source;
}

BOOL CKvMorvelHost::GetSourceDescriptor(HANDLE source, BYTE* buffer,
                                        DWORD capacity, DWORD* needed) {
  if (!source || !needed) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return ReadSourceDescriptor(source, buffer, capacity, needed);
}

BOOL CKvMorvelHost::CloseSource(HANDLE source) {
  return CloseHandle(source);
}
