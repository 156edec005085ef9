// Helpers of the version 5 tests: a probe into the archive object's
// protected members, a little-endian byte builder that states expected
// bytes field by field, and an archive in a temporary folder.
#ifndef KVMORVEL_TESTS_V5_UTIL_H
#define KVMORVEL_TESTS_V5_UTIL_H

#include <cstdint>
#include <string>

#include "KvMorvel.h"
#include "formats/v5/v5_format.h"
#include "support/test_support.h"

class Probe : public CKvMorvel {
 public:
  using CKvMorvel::AddPart;
  using CKvMorvel::GetPartName;
  using CKvMorvel::ZIPDecompressFile5;
  using CKvMorvel::m_archivePath;
  using CKvMorvel::m_catalogueEnded;
  using CKvMorvel::m_entries5;
  using CKvMorvel::m_header5;
  using CKvMorvel::m_partFill;
  using CKvMorvel::m_partHandle;
  using CKvMorvel::m_partNumber;
};

// Expected bytes, written the way the documented tables list them.
class Bytes {
 public:
  Bytes& U16(uint64_t v) { return Put(v, 2); }
  Bytes& U32(uint64_t v) { return Put(v, 4); }
  Bytes& U64(uint64_t v) { return Put(v, 8); }
  Bytes& Ascii(const std::string& s) {
    s_ += s;
    return *this;
  }
  // UTF-16 code units, each as a u16, padded with zeros to `units`.
  Bytes& Wide(const std::u16string& s, size_t units) {
    for (size_t i = 0; i < units; ++i) U16(i < s.size() ? s[i] : 0);
    return *this;
  }
  Bytes& Raw(const std::string& s) { return Ascii(s); }
  const std::string& str() const { return s_; }

 private:
  Bytes& Put(uint64_t v, int n) {
    for (int i = 0; i < n; ++i) s_ += static_cast<char>((v >> (8 * i)) & 0xFF);
    return *this;
  }
  std::string s_;
};

inline uint32_t U32At(const std::string& s, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i)
    v = (v << 8) | static_cast<unsigned char>(s.at(at + i));
  return v;
}

// The 40-byte header: "MVRLIGHT", version 5, data start 0, catalogue
// offset 40, reserved 1, reserved 0, part count.
inline std::string HeaderBytes(uint32_t partCount) {
  return Bytes()
      .Ascii("MVRLIGHT")
      .U32(5)
      .U64(0)
      .U64(40)
      .U32(1)
      .U32(0)
      .U32(partCount)
      .str();
}

// Attribute data with distinct, recognisable times.
inline WIN32_FILE_ATTRIBUTE_DATA Attributes(DWORD attributes,
                                            DWORD sizeLow = 0) {
  WIN32_FILE_ATTRIBUTE_DATA d = {};
  d.dwFileAttributes = attributes;
  d.ftCreationTime = {0x11111111u, 0x01D00001u};
  d.ftLastAccessTime = {0x22222222u, 0x01D00002u};
  d.ftLastWriteTime = {0x33333333u, 0x01D00003u};
  d.nFileSizeHigh = 0;
  d.nFileSizeLow = sizeLow;
  return d;
}

// An archive "x.arc" in a fresh folder; its parts are "x_0001.arc" ...
struct ArchiveDir {
  TempDir dir;
  std::string main() const { return dir / "x.arc"; }
  std::u16string wmain() const { return W(main()); }
  std::string part(unsigned n) const {
    char name[32];
    snprintf(name, sizeof(name), "x_%04u.arc", n);
    return dir / name;
  }
};

#endif  // KVMORVEL_TESTS_V5_UTIL_H
