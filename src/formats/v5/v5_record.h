// SPDX-License-Identifier: GPL-2.0-or-later
// Field codecs of the version 5 header and entry record.
#ifndef KVMORVEL_FORMATS_V5_RECORD_H
#define KVMORVEL_FORMATS_V5_RECORD_H

#include <cstddef>

#include "formats/v5/v5_format.h"
#include "kvwin32.h"

// The 40-byte header, field by field: signature, version, data start,
// catalogue offset, reserved (1), reserved (0), part count.
void EncodeV5Header(const _MVRL_HEADER_5& header, BYTE (&out)[kV5HeaderSize]);
_MVRL_HEADER_5 DecodeV5Header(const BYTE (&in)[kV5HeaderSize]);
// True when the header carries the signature "MVRLIGHT" and version 5.
bool IsV5Header(const _MVRL_HEADER_5& header);

// On-disk size of a record whose name holds `nameLength` WCHARs (the
// terminator included).
inline DWORD V5RecordSize(DWORD nameLength) {
  return kV5RecordFixedSize + 2 * nameLength;
}

// Writes the on-disk record of `entry` (the 110-byte fixed part, then
// nameLength WCHARs of its name) into `out`. Returns the byte count, or 0
// when `capacity` is too small or the entry's name length does not fit
// the in-memory name area.
size_t EncodeV5Record(const _MVRL_FILEENTRY_MAX_5& entry, BYTE* out,
                      size_t capacity);

// Outcome of decoding one catalogue record from the bytes read at its
// position.
enum V5RecordCheck {
  kV5RecordGood,
  kV5RecordDamaged,  // too short, bad sizes, name unterminated
};

// Decodes the record in `in` (the `size` bytes read at its position,
// `room` bytes of the main file left from that position) into `entry`,
// which must be cleared by the caller. A record is accepted only when its
// name length is 1 to 631, its record size covers the fixed part and the
// name, the record lies inside the file, all its bytes were read and its
// name ends with its terminator; anything else is reported as damaged and
// nothing beyond the entry's name area is written.
V5RecordCheck DecodeV5Record(const BYTE* in, size_t size, ULONGLONG room,
                             _MVRL_FILEENTRY_MAX_5* entry);

#endif  // KVMORVEL_FORMATS_V5_RECORD_H
