// SPDX-License-Identifier: GPL-2.0-or-later
// Writing restored content no further than the recorded size.
#include "formats/sized_output.h"

#include "formats/file_io.h"
#include "formats/hole_writer.h"

DWORD SizedOutput::Write(const BYTE* bytes, DWORD size) {
  DWORD allowed = size;
  if (size > left_) {
    allowed = static_cast<DWORD>(left_);
    overran_ = true;
  }
  DWORD put = 0;
  // Runs of zeros become holes of the new file (see hole_writer.h).
  if (allowed != 0 &&
      !WriteKeepingHoles(target_, written_, bytes, allowed, &put))
    return LastErrorOr(ERROR_DISK_FULL);
  written_ += put;
  left_ -= put;
  if (put != allowed) return ERROR_DISK_FULL;
  return overran_ ? kRecordedSizeCode : 0;
}
