// SPDX-License-Identifier: GPL-2.0-or-later
// Writing restored content no further than the recorded size.
#include "formats/sized_output.h"

#include "formats/file_io.h"

DWORD SizedOutput::Write(const BYTE* bytes, DWORD size) {
  DWORD allowed = size;
  if (size > left_) {
    allowed = static_cast<DWORD>(left_);
    overran_ = true;
  }
  DWORD put = 0;
  if (allowed != 0 && !WriteFile(target_, bytes, allowed, &put, nullptr))
    return LastErrorOr(ERROR_DISK_FULL);
  written_ += put;
  left_ -= put;
  if (put != allowed) return ERROR_DISK_FULL;
  return overran_ ? kRecordedSizeCode : 0;
}
