// SPDX-License-Identifier: GPL-2.0-or-later
// Reads served from a read-ahead window.
#include "formats/read_buffer.h"

#include <cstring>
#include <new>

#include "formats/file_io.h"

void FileReadBuffer::Reset(HANDLE file) {
  file_ = file;
  start_ = 0;
  held_ = 0;
  endsFile_ = false;
}

DWORD FileReadBuffer::CopyFromWindow(ULONGLONG offset, BYTE* out,
                                     DWORD size) const {
  if (held_ == 0 || offset < start_ || offset - start_ >= held_) return 0;
  const DWORD from = static_cast<DWORD>(offset - start_);
  const DWORD n = held_ - from < size ? held_ - from : size;
  if (n) memcpy(out, window_.get() + from, n);  // `out` may be null for 0
  return n;
}

bool FileReadBuffer::ReadDirect(ULONGLONG offset, BYTE* out, DWORD size,
                                DWORD* got) {
  *got = 0;
  return SeekTo(file_, offset) && ReadFile(file_, out, size, got, nullptr);
}

bool FileReadBuffer::Fill(ULONGLONG offset) {
  held_ = 0;
  endsFile_ = false;
  if (!window_) {
    window_.reset(new (std::nothrow) BYTE[capacity_]);
    if (!window_) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return false;
    }
  }
  DWORD got = 0;
  if (!ReadDirect(offset, window_.get(), capacity_, &got)) return false;
  start_ = offset;
  held_ = got;
  endsFile_ = got < capacity_;
  return true;
}

bool FileReadBuffer::ReadAt(ULONGLONG offset, void* out, DWORD size,
                            DWORD* got) {
  BYTE* to = static_cast<BYTE*>(out);
  *got = CopyFromWindow(offset, to, size);
  if (*got == size) return true;
  const ULONGLONG next = offset + *got;
  // The window reaches the end of the file: nothing lies past it.
  if (endsFile_ && (*got != 0 || offset == start_ + held_)) return true;
  // What the window lacks: a large rest is read straight into `out`; a
  // small one refills the window from where it begins.
  const DWORD rest = size - *got;
  if (rest >= capacity_ / 2) {
    DWORD more = 0;
    const bool ok = ReadDirect(next, to + *got, rest, &more);
    *got += more;
    return ok;
  }
  if (!Fill(next)) return false;
  *got += CopyFromWindow(next, to + *got, rest);
  return true;
}
