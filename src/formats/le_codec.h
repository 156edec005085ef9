// SPDX-License-Identifier: GPL-2.0-or-later
// Little-endian record cursors for on-disk records: a writer and a reader
// over a caller's buffer, on top of the field codec of common/le_bytes.h.
//
// Records are read and written field by field through these helpers,
// never by casting a byte pointer to a struct: the file layout has no
// padding and unaligned 64-bit fields, and it is little-endian on every
// host.
#ifndef KVMORVEL_FORMATS_LE_CODEC_H
#define KVMORVEL_FORMATS_LE_CODEC_H

#include "common/le_bytes.h"
#include "kvwin32.h"

#include <cstddef>
#include <cstdint>

// Sequential writer over a caller's buffer. Writing past the end is a
// programming error caught by `ok()`, never a write past the buffer.
class LeWriter {
 public:
  LeWriter(BYTE* buffer, size_t size) : p_(buffer), size_(size) {}
  void U16(uint16_t v) { if (Room(2)) StoreU16(p_ + pos_, v), pos_ += 2; }
  void U32(uint32_t v) { if (Room(4)) StoreU32(p_ + pos_, v), pos_ += 4; }
  void U64(uint64_t v) { if (Room(8)) StoreU64(p_ + pos_, v), pos_ += 8; }
  void FileTime(const FILETIME& t) {
    U32(t.dwLowDateTime);
    U32(t.dwHighDateTime);
  }
  void Bytes(const void* src, size_t n);
  // UTF-16 code units, each as a u16.
  void Wide(const WCHAR* s, size_t count);
  size_t pos() const { return pos_; }
  bool ok() const { return ok_; }

 private:
  bool Room(size_t n) {
    if (n > size_ - pos_) ok_ = false;
    return ok_;
  }
  BYTE* p_;
  size_t size_;
  size_t pos_ = 0;
  bool ok_ = true;
};

// The bounded reader (common/le_bytes.h) with the Win32 fields of
// records: times and UTF-16 text.
class LeReader : public ByteReader {
 public:
  LeReader(const BYTE* buffer, size_t size) : ByteReader(buffer, size) {}
  FILETIME FileTime() {
    FILETIME t;
    t.dwLowDateTime = U32();
    t.dwHighDateTime = U32();
    return t;
  }
  void Bytes(void* dst, size_t n) { Copy(dst, n); }
  // `count` UTF-16 units; zeros when they are not all there.
  void Wide(WCHAR* dst, size_t count);
  size_t pos() const { return at(); }
};

// The 36 bytes of a WIN32_FILE_ATTRIBUTE_DATA as every entry record holds
// them: attributes, creation, last access, last write, size high, size low.
enum { kAttributeDataSize = 36 };
void WriteAttributeData(LeWriter& w, const WIN32_FILE_ATTRIBUTE_DATA& d);
WIN32_FILE_ATTRIBUTE_DATA ReadAttributeData(LeReader& r);

#endif  // KVMORVEL_FORMATS_LE_CODEC_H
