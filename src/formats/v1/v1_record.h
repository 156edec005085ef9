// SPDX-License-Identifier: GPL-2.0-or-later
// The version 1 entry record, decoded. On disk (little-endian, packed):
//   0   attribute data (36 bytes: attributes, three FILETIMEs, size high,
//       size low)
//   36  stored length u64     44  data offset u64
//   52  name length u16 (WCHARs, terminator included)
//   54  short name 14 WCHAR   82  directory short name 14 WCHAR
//   110 name, name length WCHARs
//   110 + 2 x name length: u16 0
#ifndef KVMORVEL_FORMATS_V1_RECORD_H
#define KVMORVEL_FORMATS_V1_RECORD_H

#include "formats/catalogue_store.h"
#include "formats/short_name.h"
#include "formats/v1/v1_format.h"
#include "kvwin32.h"

enum {
  // The adder keeps 1024 free bytes in the catalogue buffer before a
  // record goes in, so a record may take at most 1024 bytes: 112 + 2 x 456
  // makes 455 characters and the terminator the longest name.
  kV1MaxNameChars = 455,
  kV1MaxNameLength = kV1MaxNameChars + 1,
  kV1NameLengthOffset = 52,
  kV1MaxRecordSize = kV1RecordFixedSize + 2 * kV1MaxNameLength +
                     kV1RecordEndSize,
};

struct V1Record {
  WIN32_FILE_ATTRIBUTE_DATA data;
  ULONGLONG storedLength;
  ULONGLONG dataOffset;
  WORD nameLength;  // WCHARs with the terminator
  WCHAR shortName[kShortNameChars];
  WCHAR directoryShortName[kShortNameChars];
  WCHAR name[kV1MaxNameLength];  // always terminated
};

inline DWORD V1RecordLength(DWORD nameLength) {
  return kV1RecordFixedSize + 2 * nameLength + kV1RecordEndSize;
}

// Writes `record` at `out` (room bytes). Returns the record's length, or 0
// when its name length is 0 or above kV1MaxNameLength or it does not fit.
DWORD EncodeV1Record(const V1Record& record, BYTE* out, DWORD room);

// Reads the record at `offset` of a catalogue of `length` bytes. Returns
// false, touching nothing outside the catalogue, when the fixed part or
// the whole record runs past the catalogue's end or the name length is 0
// or above kV1MaxNameLength (no writer makes such a record). The name is
// taken up to its first zero and always terminated.
bool DecodeV1Record(const BYTE* catalogue, DWORD length, DWORD offset,
                    V1Record* record);

// Reads and decodes the record at `offset` of `catalogue`: two reads,
// the fixed part and then the rest its name length asks for. Returns 0,
// 1392 when the record does not hold together (as DecodeV1Record), or the
// code of a failed read.
DWORD ReadV1Record(CatalogueStore& catalogue, DWORD offset, V1Record* record);

#endif  // KVMORVEL_FORMATS_V1_RECORD_H
