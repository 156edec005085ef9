// SPDX-License-Identifier: GPL-2.0-or-later
// Reads of one file at given offsets, served from a window of the file
// read ahead in one large piece.
//
// Catalogue records and the small items of a part (block lengths,
// descriptor blocks, the payloads of small files) lie one behind the
// other; reading each with its own seek and read costs two system calls
// for a few bytes. Here one read fills the window and the items inside
// it are copied out. The file must not change while a window of it is
// held (Reset forgets it).
#ifndef KVMORVEL_FORMATS_READ_BUFFER_H
#define KVMORVEL_FORMATS_READ_BUFFER_H

#include <cstddef>
#include <memory>

#include "kvwin32.h"

class FileReadBuffer {
 public:
  // `capacity` bytes are taken at the first read, not before.
  explicit FileReadBuffer(DWORD capacity) : capacity_(capacity) {}
  FileReadBuffer(const FileReadBuffer&) = delete;
  FileReadBuffer& operator=(const FileReadBuffer&) = delete;

  // Reads from `file` from now on, forgetting any window held.
  void Reset(HANDLE file);
  HANDLE file() const { return file_; }

  // Reads `size` bytes at `offset` into `out`, as a seek and ReadFile
  // would: `*got` is less than `size` only where the file ends. False,
  // with the last error of the failed seek or read, when one fails
  // (`*got` then counts the bytes copied before it).
  bool ReadAt(ULONGLONG offset, void* out, DWORD size, DWORD* got);

 private:
  // Copies what the window holds of [offset, offset + size) when it
  // starts inside it; the count copied.
  DWORD CopyFromWindow(ULONGLONG offset, BYTE* out, DWORD size) const;
  // Seeks to `offset` and reads up to `size` bytes into `out`.
  bool ReadDirect(ULONGLONG offset, BYTE* out, DWORD size, DWORD* got);
  bool Fill(ULONGLONG offset);

  DWORD capacity_;
  std::unique_ptr<BYTE[]> window_;
  HANDLE file_ = INVALID_HANDLE_VALUE;
  ULONGLONG start_ = 0;  // file offset of window_[0]
  DWORD held_ = 0;       // bytes of the window that hold file bytes
  bool endsFile_ = false;  // the file ended inside the window
};

#endif  // KVMORVEL_FORMATS_READ_BUFFER_H
