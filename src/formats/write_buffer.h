// SPDX-License-Identifier: GPL-2.0-or-later
// Writes to one file gathered in memory and written out in large pieces.
//
// A format that stores many small items (a block's length and payload, a
// descriptor block, catalogue records) appends them here; they reach the
// file in one write when the buffer fills or when the owner flushes it.
// The owner flushes before anything reads the file, before it lets the
// file go, and before it writes anything that refers to the bytes (a
// catalogue record is never written ahead of its data).
#ifndef KVMORVEL_FORMATS_WRITE_BUFFER_H
#define KVMORVEL_FORMATS_WRITE_BUFFER_H

#include <cstddef>
#include <memory>

#include "kvwin32.h"

class FileWriteBuffer {
 public:
  // `capacity` bytes are taken at the first append, not before.
  explicit FileWriteBuffer(size_t capacity) : capacity_(capacity) {}
  FileWriteBuffer(const FileWriteBuffer&) = delete;
  FileWriteBuffer& operator=(const FileWriteBuffer&) = delete;

  // Writes go to `file` from `position` on. `positioned` tells that the
  // file pointer already stands there (a file just created, or one moved
  // to its end); otherwise the first write moves it there. Bytes still
  // gathered for the previous file are dropped: flush first.
  void Attach(HANDLE file, ULONGLONG position, bool positioned);
  // Forgets the file (and any bytes not flushed).
  void Detach() { Attach(INVALID_HANDLE_VALUE, 0, false); }
  HANDLE file() const { return file_; }

  // Adds `size` bytes behind those gathered. When they do not fit, what is
  // gathered is written first, and an item larger than the whole buffer
  // is written straight from `bytes`. False, with the failed write's last
  // error (112 for a short write), when a write fails; the bytes not
  // written are then dropped and the next write goes to where they would
  // have gone.
  bool Append(const void* bytes, DWORD size);
  // Writes out what is gathered. True at once when nothing is.
  bool Flush();
  // The file offset the next appended byte goes to.
  ULONGLONG end() const { return start_ + used_; }
  // Bytes gathered and not yet written.
  size_t pending() const { return used_; }
  // How many writes have succeeded so far: when it grew during an
  // Append, every byte appended before that Append is in the file.
  unsigned long long writes() const { return writes_; }

 private:
  bool WriteOut(const BYTE* bytes, DWORD size);

  size_t capacity_;
  std::unique_ptr<BYTE[]> bytes_;
  size_t used_ = 0;
  HANDLE file_ = INVALID_HANDLE_VALUE;
  ULONGLONG start_ = 0;      // file offset of bytes_[0]
  bool positioned_ = false;  // the file pointer stands at start_
  unsigned long long writes_ = 0;
};

#endif  // KVMORVEL_FORMATS_WRITE_BUFFER_H
