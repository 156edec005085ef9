// SPDX-License-Identifier: GPL-2.0-or-later
// Gathered writes: one write per buffer's worth of items.
#include "formats/write_buffer.h"

#include <cstring>
#include <new>

#include "formats/file_io.h"

void FileWriteBuffer::Attach(HANDLE file, ULONGLONG position,
                             bool positioned) {
  file_ = file;
  start_ = position;
  used_ = 0;
  positioned_ = positioned;
}

bool FileWriteBuffer::WriteOut(const BYTE* bytes, DWORD size) {
  // The file pointer is moved only when it is not known to stand where
  // the bytes go: after Attach without it, or after a failed write.
  if (!positioned_ && !SeekTo(file_, start_)) return false;
  positioned_ = false;
  if (!WriteExact(file_, bytes, size)) return false;
  positioned_ = true;
  start_ += size;
  ++writes_;
  return true;
}

bool FileWriteBuffer::Flush() {
  if (used_ == 0) return true;
  const DWORD size = static_cast<DWORD>(used_);
  used_ = 0;
  return WriteOut(bytes_.get(), size);
}

bool FileWriteBuffer::Append(const void* bytes, DWORD size) {
  if (size == 0) return true;
  if (size > capacity_ - used_ && !Flush()) return false;
  if (size > capacity_) return WriteOut(static_cast<const BYTE*>(bytes), size);
  if (!bytes_) {
    bytes_.reset(new (std::nothrow) BYTE[capacity_]);
    if (!bytes_) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return false;
    }
  }
  memcpy(bytes_.get() + used_, bytes, size);
  used_ += size;
  return true;
}
