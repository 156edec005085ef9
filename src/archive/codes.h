// SPDX-License-Identifier: GPL-2.0-or-later
// The library's own error codes, beside the Windows codes it reports.
#ifndef KVMORVEL_ARCHIVE_CODES_H
#define KVMORVEL_ARCHIVE_CODES_H

#include "KvMorvelTypes.h"
#include "kvwin32.h"

const DWORD kErrorNullTarget = 0x10000002u;  // null target, bad buffer
const DWORD kErrorNoArchive = 0x10000203u;   // no archive open
const DWORD kErrorNotMounted = 0x10000405u;  // no image, unmount failed

// A name or path that does not fit its fixed field (an archive or image
// path in Open, a stored entry name in every version's adder, a part-file
// name, a restore or copy path, a caller's buffer) is refused with this one
// code in every version, never cut: a cut name names some other file.
// 122 is the code the restores already give a restore path that is too
// long, so it serves every other field as well. The Win32 layer itself
// keeps 206 for a path the file system refuses as too long.
const DWORD kErrorNameTooLong = ERROR_INSUFFICIENT_BUFFER;

#endif  // KVMORVEL_ARCHIVE_CODES_H
