// SPDX-License-Identifier: GPL-2.0-or-later
#include "formats/source_descriptor.h"

#include "common/archive_constants.h"

BOOL ReadSourceDescriptor(HANDLE source, PSECURITY_DESCRIPTOR buffer,
                          DWORD capacity, LPDWORD needed) {
  if (GetKernelObjectSecurity(source, kAllSecurityInformation, buffer,
                              capacity, needed))
    return TRUE;
  // The SACL is read only through a handle opened with
  // ACCESS_SYSTEM_SECURITY, which needs a privilege an item opened for
  // reading does not ask for: Windows then refuses the whole read, and
  // the descriptor is read again without its SACL.
  const DWORD code = GetLastError();
  if (code != ERROR_ACCESS_DENIED && code != ERROR_PRIVILEGE_NOT_HELD)
    return FALSE;
  return GetKernelObjectSecurity(
      source, kAllSecurityInformation & ~SACL_SECURITY_INFORMATION, buffer,
      capacity, needed);
}

BOOL ReadSourceData(HANDLE source, WIN32_FILE_ATTRIBUTE_DATA* data,
                    BY_HANDLE_FILE_INFORMATION* info) {
  BY_HANDLE_FILE_INFORMATION own;
  BY_HANDLE_FILE_INFORMATION& answer = info ? *info : own;
  if (!GetFileInformationByHandle(source, &answer)) return FALSE;
  data->dwFileAttributes = answer.dwFileAttributes;
  data->ftCreationTime = answer.ftCreationTime;
  data->ftLastAccessTime = answer.ftLastAccessTime;
  data->ftLastWriteTime = answer.ftLastWriteTime;
  data->nFileSizeHigh = answer.nFileSizeHigh;
  data->nFileSizeLow = answer.nFileSizeLow;
  return TRUE;
}
