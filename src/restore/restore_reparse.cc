// SPDX-License-Identifier: GPL-2.0-or-later
// Reparse points of the restore and the image copy.
#include "restore/restore_reparse.h"

#include "KvLog.h"
#include "common/archive_constants.h"
#include "formats/le_codec.h"
#include "formats/reparse_point.h"
#include "restore/restore_common.h"
#include "restore/restore_paths.h"

namespace {
CKvLog* Log() { return CKvLog::GetInstance(); }
}  // namespace

void CreateLinkOnRestoreDrive(WCHAR* link, const WCHAR* fullPath,
                              int nameStart) {
  link[0] = fullPath[0];
  Log()->AddInfo(TEXT("Create Link: %s"), link);
  CreateLinkedFolderInTarget(link, fullPath, nameStart);
}

void PrepareLinkTarget(WCHAR* link, const WCHAR* fullPath, int nameStart) {
  if (!link[0]) {
    Log()->AddInfo(TEXT("No link found"));
    return;
  }
  if (!IsDriveQualified(link) || !IsDriveQualified(fullPath)) {
    Log()->AddInfo(TEXT("Link target not on a drive: %s"), link);
    return;
  }
  CreateLinkOnRestoreDrive(link, fullPath, nameStart);
}

DWORD SetReparseFromRecord(HANDLE source, ULONGLONG offset, HANDLE target,
                           const WCHAR* fullPath, int nameStart) {
  BYTE buffer[kReparseBufferSize] = {};
  WCHAR link[kLinkTargetChars] = {};
  DWORD n = 0;
  bool whole = false;
  const DWORD lengthCode = ReadBlockLength(source, offset, &n, &whole);
  // A read that succeeds short is logged and leaves the reparse point
  // unset; only a failed read fails the restore.
  if (!whole) {
    Log()->AddError(TEXT("ReadFile failed - %u"),
                    static_cast<unsigned>(ShortReadCode(lengthCode)));
    return lengthCode;
  }
  // The record must hold the 8-byte header and fit the 17000-byte buffer.
  if (n < kReparseHeaderSize || n > kReparseBufferSize) {
    Log()->AddError(TEXT("Invalid reparse data length - %u"),
                    static_cast<unsigned>(n));
    return ERROR_INVALID_REPARSE_DATA;
  }
  DWORD got = 0;
  const BOOL ok = ReadFile(source, buffer, n, &got, nullptr);
  const DWORD dataCode = ok ? 0 : LastErrorOr(ERROR_HANDLE_EOF);
  if (!ok || got != n) {
    Log()->AddError(TEXT("ReadFile (reparse data) failed - %u"),
                    static_cast<unsigned>(ShortReadCode(dataCode)));
    return dataCode;
  }
  const DWORD tag = LoadU32(buffer);
  const DWORD dataLength = LoadU16(buffer + 4);
  if (dataLength + kReparseHeaderSize > n) return ERROR_INVALID_REPARSE_DATA;
  if (tag == kTagMicrosoftMountPoint || tag == IO_REPARSE_TAG_MOUNT_POINT) {
    const DWORD code = ParsePrintName(buffer, n, link, kLinkTargetChars);
    if (code) return code;
    if (tag == kTagMicrosoftMountPoint)
      Log()->AddInfo(TEXT("Link to %s"), link);
  }
  PrepareLinkTarget(link, fullPath, nameStart);
  DWORD returned = 0;
  if (!DeviceIoControl(target, FSCTL_SET_REPARSE_POINT, buffer,
                       dataLength + kReparseHeaderSize, nullptr, 0, &returned,
                       nullptr))
    return LastErrorOr(ERROR_INVALID_REPARSE_DATA);
  return 0;
}
