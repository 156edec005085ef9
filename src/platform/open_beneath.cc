// SPDX-License-Identifier: GPL-2.0-or-later
// The relative open of the core, over NtCreateFile on both systems.
#include "open_beneath.h"

DWORD OpenBeneath(HANDLE folder, const WCHAR* name, size_t length,
                  DWORD access, DWORD share, DWORD disposition,
                  BeneathKind kind, HANDLE* out, bool* created) {
  *out = INVALID_HANDLE_VALUE;
  if (created) *created = false;
#if defined(_WIN32)
  // A Win32 path loses the trailing dots and spaces of its names
  // (CreateFileW opens "a." as "a"); the native call keeps them. They are
  // trimmed here, so an entry lands where a path would have put it. The
  // Linux layer keeps such names as they are, as its CreateFileW does.
  while (length > 0 && (name[length - 1] == '.' || name[length - 1] == ' '))
    --length;
#endif
  // UNICODE_STRING counts bytes in 16 bits.
  if (length == 0 || length > 0x7FFF / sizeof(WCHAR)) return ERROR_INVALID_NAME;
  UNICODE_STRING objectName;
  objectName.Length = static_cast<USHORT>(length * sizeof(WCHAR));
  objectName.MaximumLength = objectName.Length;
  objectName.Buffer = const_cast<WCHAR*>(name);
  OBJECT_ATTRIBUTES attributes = {};
  attributes.Length = sizeof(attributes);
  attributes.RootDirectory = folder;
  attributes.ObjectName = &objectName;
  attributes.Attributes = OBJ_CASE_INSENSITIVE;  // as Win32 names are
  // Synchronous handles, as CreateFileW gives; backup intent lets an
  // administrator's restore reach what the descriptors would keep from
  // it, as FILE_FLAG_BACKUP_SEMANTICS does; never through a link.
  const ULONG options =
      FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_FOR_BACKUP_INTENT |
      FILE_OPEN_REPARSE_POINT |
      (kind == BeneathKind::kFolder ? FILE_DIRECTORY_FILE : FILE_NON_DIRECTORY_FILE);
  IO_STATUS_BLOCK status = {};
  HANDLE opened = nullptr;
  const NTSTATUS result = NtCreateFile(
      &opened, access | SYNCHRONIZE, &attributes, &status, nullptr,
      FILE_ATTRIBUTE_NORMAL, share, disposition, options, nullptr, 0);
  if (result != 0) return RtlNtStatusToDosError(result);
  *out = opened;
  if (created) *created = status.Information == FILE_CREATED;
  return 0;
}

bool IsLinkHandle(HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION info;
  return !GetFileInformationByHandle(handle, &info) ||
         (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
}
