// SPDX-License-Identifier: GPL-2.0-or-later
#include "formats/reparse_point.h"

#include "formats/le_codec.h"

DWORD ReadReparsePoint(LPCWSTR path, BYTE* buffer, DWORD* returned,
                       ReparseReadStep* step) {
  *returned = 0;
  *step = kReparseOpen;
  HANDLE link = CreateFileW(
      path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
      FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (link == INVALID_HANDLE_VALUE) return GetLastError();
  *step = kReparseControl;
  const DWORD code = ReadReparsePointOf(link, buffer, returned);
  CloseHandle(link);
  return code;
}

DWORD ReadReparsePointOf(HANDLE link, BYTE* buffer, DWORD* returned) {
  *returned = 0;
  const BOOL read = DeviceIoControl(link, FSCTL_GET_REPARSE_POINT, nullptr, 0,
                                    buffer, kReparseBufferSize, returned,
                                    nullptr);
  return read ? ERROR_SUCCESS : GetLastError();
}

DWORD ParsePrintName(const BYTE* buffer, DWORD n, WCHAR* name,
                     DWORD capacity) {
  name[0] = 0;
  if (n < kMountPathBufferAt) return ERROR_INVALID_REPARSE_DATA;
  const DWORD offset = LoadU16(buffer + kPrintNameOffsetAt);
  const DWORD bytes = LoadU16(buffer + kPrintNameLengthAt);
  if (offset + bytes > n - kMountPathBufferAt)
    return ERROR_INVALID_REPARSE_DATA;
  const BYTE* text = buffer + kMountPathBufferAt + offset;
  DWORD count = 0;
  while (count < bytes / 2) {
    const WCHAR c = static_cast<WCHAR>(LoadU16(text + 2 * count));
    if (!c) break;
    if (count + 1 >= capacity) {
      name[0] = 0;
      return ERROR_INSUFFICIENT_BUFFER;
    }
    name[count++] = c;
  }
  name[count] = 0;
  return 0;
}
