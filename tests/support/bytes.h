// SPDX-License-Identifier: GPL-2.0-or-later
// Expected on-disk bytes for the format tests, written field by field the
// way the documented layout tables list them, and little-endian reads of
// fields out of file bytes. Written out by hand so that expected bytes
// never come from the library's own codecs.
#ifndef KVMORVEL_TESTS_SUPPORT_BYTES_H
#define KVMORVEL_TESTS_SUPPORT_BYTES_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "KvMorvelTypes.h"

class Bytes {
 public:
  Bytes& U16(uint64_t v) { return Put(v, 2); }
  Bytes& U32(uint64_t v) { return Put(v, 4); }
  Bytes& U64(uint64_t v) { return Put(v, 8); }
  Bytes& Raw(const std::string& bytes) {
    s_ += bytes;
    return *this;
  }
  // UTF-16 code units, each as a u16, padded with zeros to `units`.
  Bytes& Wide(const std::u16string& text, size_t units) {
    for (size_t i = 0; i < units; ++i) U16(i < text.size() ? text[i] : 0);
    return *this;
  }
  Bytes& Zeros(size_t n) {
    s_.append(n, '\0');
    return *this;
  }
  // The 36 bytes of attribute data every entry record holds: attributes,
  // creation, last access and last write time (low, high), size high,
  // size low.
  Bytes& AttributeData(const WIN32_FILE_ATTRIBUTE_DATA& d) {
    return U32(d.dwFileAttributes)
        .U32(d.ftCreationTime.dwLowDateTime)
        .U32(d.ftCreationTime.dwHighDateTime)
        .U32(d.ftLastAccessTime.dwLowDateTime)
        .U32(d.ftLastAccessTime.dwHighDateTime)
        .U32(d.ftLastWriteTime.dwLowDateTime)
        .U32(d.ftLastWriteTime.dwHighDateTime)
        .U32(d.nFileSizeHigh)
        .U32(d.nFileSizeLow);
  }
  const std::string& str() const { return s_; }
  size_t size() const { return s_.size(); }

 private:
  Bytes& Put(uint64_t v, int n) {
    for (int i = 0; i < n; ++i) s_ += static_cast<char>((v >> (8 * i)) & 0xFF);
    return *this;
  }
  std::string s_;
};

// Little-endian fields of `bytes` at offset `at` (throws when past the end).
inline uint16_t U16At(const std::string& bytes, size_t at) {
  return static_cast<uint16_t>(
      static_cast<unsigned char>(bytes.at(at)) |
      (static_cast<unsigned char>(bytes.at(at + 1)) << 8));
}
inline uint32_t U32At(const std::string& bytes, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i)
    v = (v << 8) | static_cast<unsigned char>(bytes.at(at + i));
  return v;
}
inline uint64_t U64At(const std::string& bytes, size_t at) {
  return U32At(bytes, at) | (static_cast<uint64_t>(U32At(bytes, at + 4)) << 32);
}

#endif  // KVMORVEL_TESTS_SUPPORT_BYTES_H
