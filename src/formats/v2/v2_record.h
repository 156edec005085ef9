// SPDX-License-Identifier: GPL-2.0-or-later
// The version 2 entry record in file form. Packed, little-endian:
//   0  record size u32 (90 + 2 x name length + descriptor length)
//   4  attribute data (36 bytes)
//   40 stored length u64    48 data offset u64
//   56 short name 14 WCHAR
//   84 name length u16 (WCHARs, terminator included)
//   86 descriptor length u16 (0 to 1024)
//   88 descriptor offset u16 (90 + 2 x name length)
//   90 name, then the security descriptor
#ifndef KVMORVEL_FORMATS_V2_RECORD_H
#define KVMORVEL_FORMATS_V2_RECORD_H

#include "formats/catalogue_store.h"
#include "formats/v2/v2_format.h"
#include "kvwin32.h"

// What the catalogue walk found at a record.
enum V2RecordState {
  kV2RecordLoaded,    // a well-formed record, copied into the entry
  kV2RecordNameStop,  // name length above 1024: the walk ends quietly
  kV2RecordDamaged,   // the record does not hold together: the walk ends
  kV2RecordUnread,    // reading the catalogue failed (see GetLastError)
};

// Decodes the record at the start of `bytes` (`remaining` bytes of
// catalogue from there) into `entry`. A record is loaded only when its
// fixed part and its record size lie within `remaining`, its name length
// is 1 to 1024, its name and descriptor fit the 1520 bytes behind the
// fixed part, its record size is exactly 90 + 2 x name length +
// descriptor length and a descriptor starts right behind the name. No
// byte outside `bytes[0, remaining)` or the entry is touched.
V2RecordState DecodeV2Record(const BYTE* bytes, DWORD remaining,
                             _MVRL_FILEENTRY_2* entry);

// Reads the record at `offset` of `catalogue` (its fixed part, then the
// rest its record size names, never more than an entry holds) and
// decodes it as DecodeV2Record does, with the catalogue's end as the
// limit.
V2RecordState ReadV2Record(CatalogueStore& catalogue, ULONGLONG offset,
                           _MVRL_FILEENTRY_2* entry);

// Writes the first record-size bytes of `entry` (its file form) to `out`.
// Returns the record size, or 0 when it exceeds `room` or the entry.
DWORD EncodeV2Record(const _MVRL_FILEENTRY_2& entry, BYTE* out, DWORD room);

// Stores `name` (`length` characters, without terminator) in the entry's
// tail and sets its name length; false when name and terminator do not
// fit beside `descriptorLength` descriptor bytes.
bool SetV2EntryName(_MVRL_FILEENTRY_2* entry, LPCWSTR name, DWORD length,
                    DWORD descriptorLength);

// Places the descriptor behind the name, sets its offset and length and
// the record size. The name must be set first and both must fit (see
// SetV2EntryName).
void SetV2EntryDescriptor(_MVRL_FILEENTRY_2* entry, const BYTE* descriptor,
                          DWORD length);

#endif  // KVMORVEL_FORMATS_V2_RECORD_H
