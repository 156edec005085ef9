// Little-endian field codecs for on-disk records.
//
// Records are read and written field by field through these helpers,
// never by casting a byte pointer to a struct: the file layout has no
// padding and unaligned 64-bit fields, and it is little-endian on every
// host.
#ifndef KVMORVEL_FORMATS_LE_CODEC_H
#define KVMORVEL_FORMATS_LE_CODEC_H

#include "kvwin32.h"

#include <cstddef>
#include <cstdint>

inline uint16_t LoadU16(const BYTE* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t LoadU32(const BYTE* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}
inline uint64_t LoadU64(const BYTE* p) {
  return static_cast<uint64_t>(LoadU32(p)) |
         (static_cast<uint64_t>(LoadU32(p + 4)) << 32);
}
inline void StoreU16(BYTE* p, uint16_t v) {
  p[0] = static_cast<BYTE>(v);
  p[1] = static_cast<BYTE>(v >> 8);
}
inline void StoreU32(BYTE* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<BYTE>(v >> (8 * i));
}
inline void StoreU64(BYTE* p, uint64_t v) {
  StoreU32(p, static_cast<uint32_t>(v));
  StoreU32(p + 4, static_cast<uint32_t>(v >> 32));
}

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

// Sequential reader; reads past the end yield zeros and clear `ok()`.
class LeReader {
 public:
  LeReader(const BYTE* buffer, size_t size) : p_(buffer), size_(size) {}
  uint16_t U16() { return Room(2) ? Advance(LoadU16(p_ + pos_), 2) : 0; }
  uint32_t U32() { return Room(4) ? Advance(LoadU32(p_ + pos_), 4) : 0; }
  uint64_t U64() { return Room(8) ? Advance(LoadU64(p_ + pos_), 8) : 0; }
  FILETIME FileTime() {
    FILETIME t;
    t.dwLowDateTime = U32();
    t.dwHighDateTime = U32();
    return t;
  }
  void Bytes(void* dst, size_t n);
  void Wide(WCHAR* dst, size_t count);
  size_t pos() const { return pos_; }
  size_t remaining() const { return size_ - pos_; }
  bool ok() const { return ok_; }

 private:
  bool Room(size_t n) {
    if (n > size_ - pos_) ok_ = false;
    return ok_;
  }
  template <typename T>
  T Advance(T v, size_t n) {
    pos_ += n;
    return v;
  }
  const BYTE* p_;
  size_t size_;
  size_t pos_ = 0;
  bool ok_ = true;
};

// The 36 bytes of a WIN32_FILE_ATTRIBUTE_DATA as every entry record holds
// them: attributes, creation, last access, last write, size high, size low.
enum { kAttributeDataSize = 36 };
void WriteAttributeData(LeWriter& w, const WIN32_FILE_ATTRIBUTE_DATA& d);
WIN32_FILE_ATTRIBUTE_DATA ReadAttributeData(LeReader& r);

#endif  // KVMORVEL_FORMATS_LE_CODEC_H
