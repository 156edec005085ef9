// Helpers of the version 5 tests: a probe into the archive object's
// protected members, expected header bytes and an archive in a temporary
// folder.
#ifndef KVMORVEL_TESTS_V5_UTIL_H
#define KVMORVEL_TESTS_V5_UTIL_H

#include <cstdint>
#include <string>

#include "KvMorvel.h"
#include "formats/v5/v5_format.h"
#include "support/bytes.h"
#include "support/test_support.h"

class Probe : public CKvMorvel {
 public:
  using CKvMorvel::AddPart;
  using CKvMorvel::GetPartName;
  using CKvMorvel::SetBatchFlushPolicy;
  using CKvMorvel::ZIPDecompressFile5;
  using CKvMorvel::m_archivePath;
  using CKvMorvel::m_catalogueEnded;
  using CKvMorvel::m_entries5;
  using CKvMorvel::m_header5;
  using CKvMorvel::m_partFill;
  using CKvMorvel::m_partHandle;
  using CKvMorvel::m_partNumber;
};

// The 40-byte header: "MVRLIGHT", version 5, data start 0, catalogue
// offset 40, reserved 1, reserved 0, part count.
inline std::string HeaderBytes(uint32_t partCount) {
  return Bytes()
      .Raw("MVRLIGHT")
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
