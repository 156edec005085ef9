// SPDX-License-Identifier: GPL-2.0-or-later
// Helpers of the version 5 tests: expected header bytes, attribute data
// with distinct times, the records of a main file read back from its
// bytes, and an archive in a temporary folder.
#ifndef KVMORVEL_TESTS_V5_UTIL_H
#define KVMORVEL_TESTS_V5_UTIL_H

#include <cstdint>
#include <string>
#include <vector>

#include "KvMorvel.h"
#include "support/archive_bytes.h"
#include "support/bytes.h"
#include "support/test_support.h"

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
inline WIN32_FILE_ATTRIBUTE_DATA DistinctTimes(DWORD attributes,
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

// At most `units` UTF-16 units of `bytes` from `at`, up to a zero one.
inline std::u16string WideAt(const std::string& bytes, size_t at,
                             size_t units) {
  std::u16string text;
  for (size_t i = 0; i < units && U16At(bytes, at + 2 * i); ++i)
    text += static_cast<char16_t>(U16At(bytes, at + 2 * i));
  return text;
}

// The records of a main file's catalogue (from offset 40 to the end),
// read field by field as the layout lists them: record size, attribute
// data, stored length, block count, data offset, descriptor offset, data
// part, descriptor part, short name (14 units), name length, name.
inline std::vector<StoredEntry> StoredRecords(const std::string& main) {
  std::vector<StoredEntry> records;
  for (size_t at = 40; at + 110 <= main.size() && U32At(main, at) >= 110;
       at += U32At(main, at)) {
    StoredEntry e;
    WIN32_FILE_ATTRIBUTE_DATA& d = e.data;
    d.dwFileAttributes = U32At(main, at + 4);
    d.ftCreationTime = {U32At(main, at + 8), U32At(main, at + 12)};
    d.ftLastAccessTime = {U32At(main, at + 16), U32At(main, at + 20)};
    d.ftLastWriteTime = {U32At(main, at + 24), U32At(main, at + 28)};
    d.nFileSizeHigh = U32At(main, at + 32);
    d.nFileSizeLow = U32At(main, at + 36);
    e.storedLength = U64At(main, at + 40);
    e.blockCount = U64At(main, at + 48);
    e.dataOffset = U64At(main, at + 56);
    e.descriptorOffset = U64At(main, at + 64);
    e.dataPart = U32At(main, at + 72);
    e.descriptorPart = U32At(main, at + 76);
    e.shortName = WideAt(main, at + 80, 14);
    e.name = N(WideAt(main, at + 110, U16At(main, at + 108)));
    records.push_back(e);
  }
  return records;
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
