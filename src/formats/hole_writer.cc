// SPDX-License-Identifier: GPL-2.0-or-later
// Writing restored data with holes for its runs of zeros.
#include "formats/hole_writer.h"

#include <cstring>

namespace {

bool IsZeroBlock(const BYTE* bytes, DWORD size) {
  return size == kHoleBlock && bytes[0] == 0 &&
         memcmp(bytes, bytes + 1, size - 1) == 0;
}

// The length of the stretch at `from` (file offset `at`) that is all
// zero blocks or all data, whichever its first block is; *zero tells.
DWORD StretchAt(ULONGLONG at, const BYTE* bytes, DWORD from, DWORD size,
                bool* zero) {
  DWORD end = from;
  bool first = true;
  while (end < size) {
    const DWORD toBoundary =
        kHoleBlock - static_cast<DWORD>((at + end) % kHoleBlock);
    const DWORD block = toBoundary < size - end ? toBoundary : size - end;
    const bool blockZero = IsZeroBlock(bytes + end, block);
    if (first) *zero = blockZero;
    else if (blockZero != *zero) break;
    first = false;
    end += block;
  }
  return end - from;
}

}  // namespace

BOOL WriteKeepingHoles(HANDLE file, ULONGLONG at, const BYTE* bytes,
                       DWORD size, DWORD* put) {
  *put = 0;
  bool zero = false;
  while (*put < size) {
    const DWORD run = StretchAt(at, bytes, *put, size, &zero);
    if (zero) {
      LARGE_INTEGER skip;
      skip.QuadPart = run;
      if (!SetFilePointerEx(file, skip, nullptr, FILE_CURRENT)) return FALSE;
    } else {
      DWORD written = 0;
      if (!WriteFile(file, bytes + *put, run, &written, nullptr)) return FALSE;
      if (written != run) {
        *put += written;
        return TRUE;  // short: the caller sees fewer bytes placed
      }
    }
    *put += run;
  }
  // A run of zeros at the end is no part of the file until its size says
  // so; a later write, if any, fills the hole's far side.
  return zero && size != 0 ? SetEndOfFile(file) : TRUE;
}
