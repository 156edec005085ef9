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

// Reads fields of a byte vector in order; a read past the end makes ok()
// false and yields zero (or an empty string) from then on.
class FieldReader {
 public:
  explicit FieldReader(const std::vector<uint8_t>& b, size_t at = 0)
      : b_(b), at_(at) {}
  bool ok() const { return ok_; }
  bool done() const { return at_ >= b_.size(); }
  void Align(size_t n) { at_ = (at_ + n - 1) / n * n; }
  uint64_t Le(size_t n) {
    if (!Have(n)) return 0;
    uint64_t v = 0;
    for (size_t i = 0; i < n; ++i)
      v |= static_cast<uint64_t>(b_[at_ + i]) << (8 * i);
    at_ += n;
    return v;
  }
  // Steps over `n` bytes, or over a string up to and with its NUL; a
  // step past the end makes ok() false as a read would.
  void Skip(size_t n) {
    if (Have(n)) at_ += n;
  }
  void SkipPastNul() {
    size_t end = at_;
    while (end < b_.size() && b_[end] != 0) ++end;
    Skip(end - at_ + 1);
  }
  size_t at() const { return at_; }
  std::string Text(size_t n) {
    if (!Have(n)) return std::string();
    std::string s(b_.begin() + at_, b_.begin() + at_ + n);
    at_ += n;
    return s;
  }

 private:
  bool Have(size_t n) {
    if (ok_ && (at_ > b_.size() || n > b_.size() - at_)) ok_ = false;
    return ok_;
  }
  const std::vector<uint8_t>& b_;
  size_t at_;
  bool ok_ = true;
};

#endif  // KVMORVEL_COMMON_LE_BYTES_H
