// SPDX-License-Identifier: GPL-2.0-or-later
// Fuzz targets for the archive readers, one pair per version: open and
// list every entry, and restore every entry into a scratch target.
// Each pins the version field of its input, so that the fuzzer stays on
// the reader it is named after whatever it mutates.
//
// Input of the version 1 and 2 targets: the archive file. Input of the
// version 5 targets: u32 n, the n bytes of the main file, then the bytes
// of part 1 (where version 5 keeps the data).
#include <cstring>

#include "KvMorvel.h"
#include "common/archive_constants.h"
#include "fuzz/fuzz_support.h"

namespace {

const size_t kVersionAt = 8;  // u32 version after the 8-byte signature

// A catalogue listing more entries than this is cut off: far beyond any
// input the fuzzer makes, it only bounds a listing that cycles.
const size_t kMaxEntries = 100000;

// Makes `main` read as `version`: versions 2 and 5 by their version field;
// version 1 by anything that is neither those nor an image.
void PinVersion(FuzzBytes* main, DWORD version) {
  if (version == 1) {
    if (main->size() >= 8 && memcmp(main->data(), kImageSignature, 8) == 0)
      (*main)[0] ^= 1;
    if (main->size() >= kVersionAt + 4 &&
        ((*main)[kVersionAt] == 2 || (*main)[kVersionAt] == 5))
      (*main)[kVersionAt + 3] |= 0x80;
    return;
  }
  if (main->size() < kVersionAt + 4) main->resize(kVersionAt + 4);
  for (int i = 0; i < 4; ++i)
    (*main)[kVersionAt + i] = static_cast<uint8_t>(version >> (8 * i));
}

// Writes the input as "a.arc" (and "a_0001.arc" for version 5).
void WriteArchive(FuzzScratch& scratch, DWORD version, const uint8_t* data,
                  size_t size) {
  FuzzBytes main, part;
  if (version == 5)
    SplitInput(data, size, &main, &part);
  else
    main.assign(data, data + size);
  PinVersion(&main, version);
  scratch.Write("a.arc", main.data(), main.size());
  if (version == 5) scratch.Write("a_0001.arc", part.data(), part.size());
}

// Everything a host reads of the current entry.
void ReadEntry(CKvMorvel& archive) {
  WCHAR name[260];
  archive.GetFile(name, 260);
  DWORD needed = 0;
  archive.GetEntryName(nullptr, 0, &needed);
  archive.GetEntryName(name, 260, &needed);
  archive.GetEncryptedFileName(name, 260);
  archive.GetAttributesData();
  archive.GetLength64();
  archive.GetLastWriteTime();
}

int List(DWORD version, const uint8_t* data, size_t size) {
  FuzzScratch scratch;
  WriteArchive(scratch, version, data, size);
  CKvMorvel archive;
  if (archive.Open(AsWideChars(scratch.Wide("a.arc")), TRUE, 0)) {
    archive.GetVersion();
    for (size_t i = 0; i < kMaxEntries && archive.Info(i > 0); ++i)
      ReadEntry(archive);
    archive.Close();
  }
  scratch.CheckNothingEscaped();
  return 0;
}

// The host's restore loop: Info(0), ExtractFile, Info(1) per entry.
int Restore(DWORD version, const uint8_t* data, size_t size) {
  FuzzScratch scratch;
  WriteArchive(scratch, version, data, size);
  CKvMorvel archive;
  const std::u16string target = scratch.Wide("target");
  if (archive.Open(AsWideChars(scratch.Wide("a.arc")), TRUE, 0)) {
    for (size_t i = 0; i < kMaxEntries && archive.Info(0); ++i) {
      archive.ExtractFile(AsWideChars(target), 0);
      archive.Info(1);
    }
    archive.Close();
  }
  scratch.CheckNothingEscaped();
  return 0;
}

}  // namespace

int FuzzListV1(const uint8_t* data, size_t size) { return List(1, data, size); }
int FuzzListV2(const uint8_t* data, size_t size) { return List(2, data, size); }
int FuzzListV5(const uint8_t* data, size_t size) { return List(5, data, size); }
int FuzzRestoreV1(const uint8_t* data, size_t size) {
  return Restore(1, data, size);
}
int FuzzRestoreV2(const uint8_t* data, size_t size) {
  return Restore(2, data, size);
}
int FuzzRestoreV5(const uint8_t* data, size_t size) {
  return Restore(5, data, size);
}
