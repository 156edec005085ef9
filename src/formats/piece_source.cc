// SPDX-License-Identifier: GPL-2.0-or-later
// Reading a source piece by piece, holes made as zeros.
#include "formats/piece_source.h"

#include <cstring>

#include "formats/file_io.h"

namespace {

// A source of at most this many bytes is read whole: asking for its
// ranges would cost more than reading it.
const ULONGLONG kAskRangesAbove = 0x100000;

}  // namespace

DWORD PieceSource::Next(BYTE* piece, DWORD size, bool* hole) {
  *hole = false;
  if (CancelRequested(cancel_)) return kCancelledCode;
  if (InHole(size)) {
    memset(piece, 0, size);
    *hole = true;
    at_ += size;
    behind_ = true;
    return 0;
  }
  if (behind_) {
    if (!SeekTo(source_, at_)) return LastErrorOr(ERROR_NEGATIVE_SEEK);
    behind_ = false;
  }
  const DWORD code = Read(piece, size);
  if (code == 0) at_ += size;
  return code;
}

bool PieceSource::InHole(DWORD size) {
  if (!askRanges_ || length_ <= kAskRangesAbove) return false;
  const ULONGLONG end = at_ + size;
  if (end <= holeEnd_) return true;
  if (at_ < dataEnd_) return false;  // the piece meets known data
  LearnRangesFrom(at_);
  return end <= holeEnd_;
}

// Asks for the first data range at or after `offset`. A hole never
// reaches past the source's present size, so a source that shrank is
// read, and fails as short, rather than stored as zeros.
void PieceSource::LearnRangesFrom(ULONGLONG offset) {
  // The question is the reader's own: its answer (234 for more ranges
  // than asked for, 1 where no file system answers) is no failure of the
  // add, and the last error stays as it was.
  const DWORD lastError = GetLastError();
  FILE_ALLOCATED_RANGE_BUFFER asked, found;
  asked.FileOffset.QuadPart = static_cast<LONGLONG>(offset);
  asked.Length.QuadPart = static_cast<LONGLONG>(length_ - offset);
  found.FileOffset.QuadPart = 0;
  found.Length.QuadPart = 0;
  DWORD returned = 0;
  LARGE_INTEGER size;
  const bool answered =
      (DeviceIoControl(source_, FSCTL_QUERY_ALLOCATED_RANGES, &asked,
                       sizeof(asked), &found, sizeof(found), &returned,
                       nullptr) ||
       GetLastError() == ERROR_MORE_DATA) &&
      GetFileSizeEx(source_, &size);
  SetLastError(lastError);
  if (!answered) {
    askRanges_ = false;  // read everything, as without holes
    return;
  }
  const ULONGLONG present = static_cast<ULONGLONG>(size.QuadPart);
  ULONGLONG holeEnd = returned >= sizeof(found)
                          ? static_cast<ULONGLONG>(found.FileOffset.QuadPart)
                          : length_;
  if (holeEnd < offset) holeEnd = offset;
  holeEnd_ = holeEnd < present ? holeEnd : present;
  dataEnd_ = returned >= sizeof(found)
                 ? holeEnd + static_cast<ULONGLONG>(found.Length.QuadPart)
                 : holeEnd_;
}

DWORD PieceSource::Read(BYTE* piece, DWORD size) {
  DWORD got = 0;
  while (got < size) {
    DWORD n = 0;
    if (!ReadFile(source_, piece + got, size - got, &n, nullptr))
      return LastErrorOr(ERROR_HANDLE_EOF);
    if (n == 0) break;
    got += n;
  }
  // A source that ends before the length it was added with cannot be
  // stored: the record would promise bytes the data does not hold.
  return got < size ? ERROR_HANDLE_EOF : 0;
}
