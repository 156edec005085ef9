// SPDX-License-Identifier: GPL-2.0-or-later
// Little-endian fields, the one codec every part of the project uses: the
// archive formats (through the record cursors of formats/le_codec.h) and
// the platform layer's own records (extended attributes, descriptors,
// reparse buffers). It lives outside both so that neither depends on the
// other, and includes no system header so that it builds everywhere.
//
// Fields are read and written byte by byte, never by casting a pointer
// to a struct: records have no padding, hold unaligned 64-bit fields and
// are little-endian on every host.
#ifndef KVMORVEL_COMMON_LE_BYTES_H
#define KVMORVEL_COMMON_LE_BYTES_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

inline uint16_t LoadU16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t LoadU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}
inline uint64_t LoadU64(const uint8_t* p) {
  return static_cast<uint64_t>(LoadU32(p)) |
         (static_cast<uint64_t>(LoadU32(p + 4)) << 32);
}
inline void StoreU16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void StoreU32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void StoreU64(uint8_t* p, uint64_t v) {
  StoreU32(p, static_cast<uint32_t>(v));
  StoreU32(p + 4, static_cast<uint32_t>(v >> 32));
}

// Appends the low `n` bytes of `v`, least significant first.
inline void PutLe(std::vector<uint8_t>& b, uint64_t v, size_t n) {
  for (size_t i = 0; i < n; ++i)
    b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
inline void AppendU16(std::vector<uint8_t>& b, uint16_t v) { PutLe(b, v, 2); }
inline void AppendU32(std::vector<uint8_t>& b, uint32_t v) { PutLe(b, v, 4); }

// The one bounded reader every decoder reads through: archive records
// (LeReader of formats/le_codec.h adds times and UTF-16 text), extended
// attributes, NDR blobs, POSIX ACL values and link records. Fields are
// read in order from `size` bytes at `data`; a read or step past the end
// makes ok() false, yields zero (an empty string, zeroed bytes) and leaves
// the position where it was, and every later read fails the same way.
// Have() is the only bound check.
class ByteReader {
 public:
  ByteReader(const uint8_t* data, size_t size, size_t at = 0)
      : data_(data), size_(size), at_(at) {}
  bool ok() const { return ok_; }
  bool done() const { return at_ >= size_; }
  size_t at() const { return at_; }
  size_t remaining() const { return at_ < size_ ? size_ - at_ : 0; }

  // The next `n` (at most 8) bytes as an unsigned little-endian number.
  uint64_t Le(size_t n) {
    if (n > 8) Fail();
    if (!Have(n)) return 0;
    uint64_t v = 0;
    for (size_t i = 0; i < n; ++i)
      v |= static_cast<uint64_t>(data_[at_ + i]) << (8 * i);
    at_ += n;
    return v;
  }
  uint16_t U16() { return static_cast<uint16_t>(Le(2)); }
  uint32_t U32() { return static_cast<uint32_t>(Le(4)); }
  uint64_t U64() { return Le(8); }
  // The next `n` bytes into `out`; zeroed when they are not all there.
  void Copy(void* out, size_t n) {
    uint8_t* bytes = static_cast<uint8_t*>(out);
    if (!Have(n)) {
      for (size_t i = 0; i < n; ++i) bytes[i] = 0;
      return;
    }
    for (size_t i = 0; i < n; ++i) bytes[i] = data_[at_ + i];
    at_ += n;
  }
  std::string Text(size_t n) {
    if (!Have(n)) return std::string();
    std::string s(reinterpret_cast<const char*>(data_) + at_, n);
    at_ += n;
    return s;
  }
  // Steps over `n` bytes, or over a string up to and with its NUL.
  void Skip(size_t n) {
    if (Have(n)) at_ += n;
  }
  void SkipPastNul() {
    size_t end = at_;
    while (end < size_ && data_[end] != 0) ++end;
    Skip(end - at_ + 1);
  }
  // Moves to the next multiple of `n`; a position past the end is caught
  // by the next read.
  void Align(size_t n) { at_ = (at_ + n - 1) / n * n; }

 protected:
  // Makes every read from now on fail, as one past the end does.
  void Fail() { ok_ = false; }
  // Whether `n` more bytes are there; once one is not, never again.
  bool Have(size_t n) {
    if (ok_ && (at_ > size_ || n > size_ - at_)) ok_ = false;
    return ok_;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_;
  bool ok_ = true;
};

// The same over a byte vector, which must outlive it.
class FieldReader : public ByteReader {
 public:
  explicit FieldReader(const std::vector<uint8_t>& b, size_t at = 0)
      : ByteReader(b.data(), b.size(), at) {}
};

#endif  // KVMORVEL_COMMON_LE_BYTES_H
