// SPDX-License-Identifier: GPL-2.0-or-later
// Reparse points of the restore and the image copy: the stored record set
// on the restored object, and the folder a restored mount point names.
#ifndef KVMORVEL_RESTORE_RESTORE_REPARSE_H
#define KVMORVEL_RESTORE_RESTORE_REPARSE_H

#include "kvwin32.h"

enum {
  kLinkTargetChars = 264,  // print name of a mount point
};

// Moves the print name `link` of a restored mount point to the drive of
// `fullPath` (its first character), logs it and creates the folder it
// names when that lies inside the restore target (the first `nameStart`
// characters of `fullPath`), as CreateLinkedFolderInTarget checks.
void CreateLinkOnRestoreDrive(WCHAR* link, const WCHAR* fullPath,
                              int nameStart);

// A mount point's print name on drive D: is made to point at the drive
// being restored to, and that folder is created when missing and inside
// the restore target. Only a drive-qualified name under a drive-qualified
// restore path is adjusted: for any other form the first-character swap
// would name an unrelated folder (on a POSIX path, one at the root of the
// file system).
void PrepareLinkTarget(WCHAR* link, const WCHAR* fullPath, int nameStart);

// Reads the reparse record at `offset` of `source` (u32 length N, then N
// bytes of REPARSE_DATA_BUFFER) and sets it on `target`. Returns 0 to go
// on, or the code that fails the restore. A read that succeeds with fewer
// bytes than asked is logged and leaves the target without reparse point,
// and the restore goes on.
DWORD SetReparseFromRecord(HANDLE source, ULONGLONG offset, HANDLE target,
                           const WCHAR* fullPath, int nameStart);

#endif  // KVMORVEL_RESTORE_RESTORE_REPARSE_H
