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
  const DWORD code = allowed != 0 ? Deliver(bytes, allowed, &put) : 0;
  written_ += put;
  left_ -= put;
  if (code) return code;
  return overran_ ? kRecordedSizeCode : 0;
}

DWORD SizedOutput::Deliver(const BYTE* bytes, DWORD size, DWORD* put) {
  if (!sink_) return WriteToFile(bytes, size, put);
  const DWORD code = sink_(context_, bytes, size);
  *put = code ? 0 : size;
  return code;
}

DWORD SizedOutput::WriteToFile(const BYTE* bytes, DWORD size, DWORD* put) {
  // Runs of zeros become holes of the new file (see hole_writer.h).
  if (!WriteKeepingHoles(target_, written_, bytes, size, put))
    return LastErrorOr(ERROR_DISK_FULL);
  return *put != size ? ERROR_DISK_FULL : 0;
}
