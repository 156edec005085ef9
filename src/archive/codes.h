// SPDX-License-Identifier: GPL-2.0-or-later
// The library's own error codes, beside the Windows codes it reports.
#ifndef KVMORVEL_ARCHIVE_CODES_H
#define KVMORVEL_ARCHIVE_CODES_H

#include "KvMorvelTypes.h"
#include "kvwin32.h"

const DWORD kErrorNullTarget = 0x10000002u;  // null target, bad buffer
const DWORD kErrorNoArchive = 0x10000203u;   // no archive open
const DWORD kErrorNotMounted = 0x10000405u;  // no image, unmount failed
// Open on an object that still holds an open archive or mounted image:
// the first one is left open and untouched (Close it first).
const DWORD kErrorAlreadyOpen = 0x10000204u;
// The cause GetErrorCause gives when a source ended before the length it
// was added with: it changed (shrank) while it was read.
const DWORD kErrorSourceChanged = 0x10000205u;
// The cause of a failed add from the code its data step left: every
// writer fails a source that ends early with 38, which as a cause is
// named for what happened to the source. No code at all (a step that set
// none) stays 1359.
inline DWORD AddFailureCause(DWORD code) {
  if (code == ERROR_HANDLE_EOF) return kErrorSourceChanged;
  return code ? code : ERROR_INTERNAL_ERROR;
}

// A name or path that does not fit its fixed field (an archive or image
// path in Open, a stored entry name in every version's adder, a part-file
// name, a restore or copy path, a caller's buffer) is refused with this one
// code in every version, never cut: a cut name names some other file.
// 122 is the code the restores already give a restore path that is too
// long, so it serves every other field as well. The Win32 layer itself
// keeps 206 for a path the file system refuses as too long.
const DWORD kErrorNameTooLong = ERROR_INSUFFICIENT_BUFFER;

#endif  // KVMORVEL_ARCHIVE_CODES_H
