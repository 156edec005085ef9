// SPDX-License-Identifier: GPL-2.0-or-later
// CKvMorvelHost: the library's rules for the files around an archive,
// answered by the code the archive object uses. The part file names are
// built in formats/v5/v5_parts.cc beside the object's own use of them.
#include <cstring>

#include "KvMorvelHost.h"
#include "common/archive_constants.h"
#include "kvwin32.h"
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
