// SPDX-License-Identifier: GPL-2.0-or-later
#include "formats/write_failure.h"

#include "KvLog.h"

DWORD LogWriteFailure(const WCHAR* format) {
  const DWORD code = GetLastError();
  CKvLog::GetInstance()->AddError(format, static_cast<unsigned>(code),
                                  static_cast<unsigned>(code));
  return code ? code : ERROR_DISK_FULL;
}
