// SPDX-License-Identifier: GPL-2.0-or-later
// Reparse points as the archive stores them: a REPARSE_DATA_BUFFER (tag
// u32, data length u16, reserved u16, data) of at most kReparseBufferSize
// bytes. Reading one from the file system (the adders and the image copy)
// and taking the print name out of a mount point's data (the restore and
// the image copy) live here once.
#ifndef KVMORVEL_FORMATS_REPARSE_POINT_H
#define KVMORVEL_FORMATS_REPARSE_POINT_H

#include "common/archive_constants.h"
#include "kvwin32.h"

enum {
  kReparseHeaderSize = 8,  // tag, data length, reserved
  // A mount point's data: substitute name offset and length, print name
  // offset and length (u16 each), then its path buffer.
  kPrintNameOffsetAt = 12,
  kPrintNameLengthAt = 14,
  kMountPathBufferAt = 16,
};
// The tag of a mount point as older archives stored it.
const DWORD kTagMicrosoftMountPoint = 0x80000000u;

// Which step of ReadReparsePoint failed, so each caller can report it in
// its own words.
enum ReparseReadStep { kReparseOpen, kReparseControl };

// Reads the reparse buffer of `path` (the link itself, never its target)
// into `buffer` of kReparseBufferSize bytes with FSCTL_GET_REPARSE_POINT.
// Returns 0 with the byte count the device control gave in `*returned`,
// or the failure's code with the failing step in `*step`.
DWORD ReadReparsePoint(LPCWSTR path, BYTE* buffer, DWORD* returned,
                       ReparseReadStep* step);
// The same read through `link`, a handle opened on the reparse point
// itself (FILE_FLAG_OPEN_REPARSE_POINT).
DWORD ReadReparsePointOf(HANDLE link, BYTE* buffer, DWORD* returned);

// Copies the print name of the mount-point data in the first `n` bytes of
// `buffer` into `name` (`capacity` WCHARs, terminator included), up to its
// first zero character. Offsets and lengths that leave the stored bytes
// are refused with 4392 (invalid reparse data), a name that does not fit
// with 122 (insufficient buffer); `name` is then empty.
DWORD ParsePrintName(const BYTE* buffer, DWORD n, WCHAR* name,
                     DWORD capacity);

#endif  // KVMORVEL_FORMATS_REPARSE_POINT_H
