// SPDX-License-Identifier: GPL-2.0-or-later
// Path safety of the restore and the image copy: the one check between a
// stored or listed name and the disk (containment, links on the path),
// and the folders a restore creates (missing parents, the folder a
// restored link names, only inside the target).
#ifndef KVMORVEL_RESTORE_RESTORE_PATHS_H
#define KVMORVEL_RESTORE_RESTORE_PATHS_H

#include "kvwin32.h"

enum {
  kRestorePathChars = 1024,  // full path, terminator included
};

// Codes of the choices this library makes where the stored input or the
// caller's target cannot be restored safely.
const DWORD kUnsafeNameCode = ERROR_INVALID_NAME;          // 123
const DWORD kLinkInPathCode = ERROR_CANT_RESOLVE_FILENAME;  // 1921
// An entry whose path holds an object of another kind: a file where a
// folder entry goes, a folder where a file entry goes. What is there is
// left exactly as it was.
const DWORD kOtherKindCode = ERROR_ALREADY_EXISTS;  // 183

// "\" and "/" both separate components, as on Windows.
inline bool IsPathSeparator(WCHAR c) { return c == '\\' || c == '/'; }

// Whether `path` starts with a drive letter and a colon.
bool IsDriveQualified(const WCHAR* path);

// Whether `path` is rooted: a separator first, or "X:" and a separator.
bool IsAbsolutePath(const WCHAR* path);

// Whether `name` stays strictly below the folder it is joined to: not
// empty, not rooted, not drive-qualified, and no component ("\" and "/"
// both separate) that is empty or only dots and spaces: ".", "..", and
// the forms Windows trims to them ("...", ". ", " "). Such a component
// would name the target itself or a folder above the entry. Trailing
// separators are allowed: "dir\" names the folder dir. On Windows a
// component that names a device (IsDeviceName) is refused as well: the
// file system would hand the restore that device instead of a file. The
// Linux layer keeps such names as ordinary file names.
bool IsContainedName(const WCHAR* name);

// Whether the component [begin, end) names a device on Windows: CON, PRN,
// AUX, NUL, COM1-COM9, LPT1-LPT9 (also with the superscript digits 1, 2
// and 3, which Windows takes as devices too), CONIN$ and CONOUT$, in any
// case, with any extension ("aux.txt", "nul.tar.gz") and with the
// trailing dots and spaces Windows trims ("con. ", "lpt1 .log").
// Compiled and tested on every system; only the Windows build applies it.
bool IsDeviceName(const WCHAR* begin, const WCHAR* end);

// Whether `name` is one plain file name as a folder listing gives it: a
// contained name without separator. A Linux name may hold "\", which the
// layer reads as a separator, so such a name names another path.
bool IsPlainFileName(const WCHAR* name);

// Builds target, a separator unless the target ends with one, and name
// into `out` (`capacity` characters). Returns 0 or the code refusing it:
// 87 empty target, 123 a name that is not contained, 122 too long.
DWORD BuildRestorePath(const WCHAR* target, const WCHAR* name, WCHAR* out,
                       DWORD capacity = kRestorePathChars);

// The folders the previous entry went into, held open from the restore
// target down. Each entry's folder is reached from the target's handle
// one name at a time, with the relative open that never follows a link
// (a link found on the way refuses the entry with 1921), and missing
// folders are made there: no path is looked up again below the target,
// so a folder renamed or swapped for a link meanwhile cannot take an
// entry out of the target. The entries of one folder come one after
// another: the held handles let the next one start where they end. The
// target itself is opened by its path, links on it followed (the
// caller's choice), but a target that is itself a link is refused
// (1921), as each entry would go through it. Each archive object keeps
// one across its entries.
class FolderChain {
 public:
  FolderChain() = default;
  ~FolderChain() { Close(); }
  FolderChain(const FolderChain&) = delete;
  FolderChain& operator=(const FolderChain&) = delete;

  // Opens the folder that `name` (a contained name, "\" or "/"
  // separated) goes into below `target`, made when missing; with
  // `whole`, the folder `name` itself. Returns 0 with `*folder` (held
  // here: valid until the next call, never to be closed by the caller)
  // and `*made` telling whether the last folder was made now; or 1921 a
  // link on the way (or the target a link), 3 a file on the way, the code
  // of a failed open or create. A failure lets every held folder go.
  DWORD Reach(const WCHAR* target, const WCHAR* name, bool whole,
              HANDLE* folder, bool* made = nullptr);
  // Lets every held folder go.
  void Close();

 private:
  DWORD OpenTarget(const WCHAR* target);
  DWORD Step(const WCHAR* component, int length, bool* made);

  HANDLE m_target = INVALID_HANDLE_VALUE;
  WCHAR m_targetPath[kRestorePathChars] = {};
  // The held folders below the target, deepest last, with the end of
  // each one's name in m_names ("a\b" for a and b).
  HANDLE m_folders[kRestorePathChars / 2] = {};
  int m_ends[kRestorePathChars / 2] = {};
  int m_depth = 0;
  WCHAR m_names[kRestorePathChars] = {};
};

// Where the last component of the contained `name` starts (trailing
// separators left out: "a\dir\" gives the start of "dir"), and through
// `end` where it ends.
int LastComponentOf(const WCHAR* name, int* end);

// Refuses (1921) a path on which the target folder itself (the part
// before `nameStart`, where the entry's name begins) or a folder of the
// name above its last component is a link, so nothing is written through
// a link found in the target or restored there by an earlier entry.
DWORD CheckNoLinkAbove(WCHAR* fullPath, int nameStart);

// CheckNoLinkAbove, and a link at the path itself is removed, as an
// existing file would be, and never followed.
DWORD CheckNoLinkOnPath(WCHAR* fullPath, int nameStart);

// The one check between a stored or listed name and the disk, shared by
// the restore of every version and the image copy-out: BuildRestorePath,
// then CheckNoLinkOnPath. Returns 0 or the refusing code; nothing is
// created, and only a link at the path itself is removed.
DWORD ConfineRestorePath(const WCHAR* target, const WCHAR* name, WCHAR* out,
                         DWORD capacity = kRestorePathChars);

// Makes sure the folder a folder entry is restored into is there: made
// when nothing is at `path`, kept when a folder is. Returns 0, or
// kOtherKindCode when something else (a file) is there, which is then
// left untouched, or the code of the failed create.
DWORD MakeFolderTarget(const WCHAR* path);

// Whether a folder is at `path` (a link at its end not followed).
bool IsFolderAt(const WCHAR* path);

// Whether the open `handle` is a folder; a failed query counts as not.
bool IsFolderHandle(HANDLE handle);

// Creates the folder a restored mount point or junction names (`link`,
// already moved to the restore drive) when it lies inside the restore
// target, the first `nameStart` characters of `fullPath`: `link` must be
// that target followed by a name that passes the check of every restored
// name. The folders are made from the target's handle one name at a time
// (FolderChain), so a link on the way is never followed. Anything else
// is logged and not made, so a stored link cannot create folders
// elsewhere on the restore volume, above the target or through a link.
void CreateLinkedFolderInTarget(const WCHAR* link, const WCHAR* fullPath,
                                int nameStart);

#endif  // KVMORVEL_RESTORE_RESTORE_PATHS_H
