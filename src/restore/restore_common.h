// Steps shared by the restore of every archive version.
//
// Versions 5 and 2 restore an entry by the same procedure; they differ only
// in where an entry's stored items come from (part files or the archive
// file, a descriptor block or the record). RestoreStoredEntry runs that
// procedure over a RestoreSource that each version fills in. Version 1
// uses the path, parent-folder and file-creation steps on their own.
#ifndef KVMORVEL_RESTORE_RESTORE_COMMON_H
#define KVMORVEL_RESTORE_RESTORE_COMMON_H

#include <functional>

#include "KvMorvel.h"
#include "common/archive_constants.h"
#include "formats/short_name.h"
#include "kvwin32.h"

enum {
  kRestorePathChars = 1024,   // full path, terminator included
  kEnvValueChars = 260,       // value of "USERPART"
  kEncFolderChars = 296,      // "%s\System Recovery\ENC"
  kSecondPathChars = 264,     // "\\.\%c:" or the redirected "%s\%s"
  kLinkTargetChars = 264,     // print name of a mount point
};

// Codes of the choices this library makes where the stored input or the
// caller's target cannot be restored safely.
const DWORD kUnsafeNameCode = ERROR_INVALID_NAME;          // 123
const DWORD kLinkInPathCode = ERROR_CANT_RESOLVE_FILENAME;  // 1921

// What the shared procedure needs to know of an entry.
struct RestoreEntry {
  WIN32_FILE_ATTRIBUTE_DATA data;
  const WCHAR* name;       // path below the target, "\" separated
  const WCHAR* shortName;  // 8.3 name, empty for none
  // A reparse-point entry whose adder stored no reparse record (stored
  // length 0) is restored as a plain folder or an empty file.
  bool hasReparseRecord;
};

// Where the stored items of an entry are read from.
struct RestoreSource {
  // Writes a file entry's whole content to `target`; FALSE on failure.
  std::function<BOOL(HANDLE target)> writeData;
  // Opens the file holding the reparse record (INVALID_HANDLE_VALUE with
  // the last error set on failure) and gives the record's offset in it.
  std::function<HANDLE(ULONGLONG* offset)> openReparse;
  // Releases what openReparse gave.
  std::function<void(HANDLE file)> closeReparse;
  // Applies the entry's security descriptor to `path`. Returns 0, or the
  // code that fails the restore.
  std::function<DWORD(const WCHAR* path)> applyDescriptor;
};

// Copies a stored 14-character short-name field into `out`
// (kShortNameChars + 1), terminated even when the field is full.
void CopyShortName(const WCHAR* field, WCHAR* out);

// Moves to `offset` of `file` and reads the u32 length that opens the
// block stored there (a reparse record, a descriptor block). Returns what
// ReadFile returned; `*whole` tells whether all four bytes came, and only
// then is `*length` set. A read that succeeds short leaves `*whole` false.
BOOL ReadBlockLength(HANDLE file, ULONGLONG offset, DWORD* length,
                     bool* whole);

// Whether `name` stays strictly below the folder it is joined to: not
// empty, not rooted, not drive-qualified, and no component ("\" and "/"
// both separate) that is empty or only dots and spaces: ".", "..", and
// the forms Windows trims to them ("...", ". ", " "). Such a component
// would name the target itself or a folder above the entry. Trailing
// separators are allowed: "dir\" names the folder dir.
bool IsContainedName(const WCHAR* name);

// Whether `name` is one plain file name as a folder listing gives it: a
// contained name without separator. A Linux name may hold "\", which the
// layer reads as a separator, so such a name names another path.
bool IsPlainFileName(const WCHAR* name);

// Builds target, a separator unless the target ends with one, and name
// into `out` (`capacity` characters). Returns 0 or the code refusing it:
// 87 empty target, 123 a name that is not contained, 122 too long.
DWORD BuildRestorePath(const WCHAR* target, const WCHAR* name, WCHAR* out,
                       DWORD capacity = kRestorePathChars);

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

// Creates the missing folders above `fullPath`. Returns true when the
// parent was missing (and so was made here).
bool CreateMissingParents(const WCHAR* fullPath);

// Creates the folder `path`, with its missing parents, unless something by
// that name already exists.
void CreateFolderIfMissing(const WCHAR* path);

// Creates the folder a restored mount point or junction names (`link`,
// already moved to the restore drive) when it lies inside the restore
// target, the first `nameStart` characters of `fullPath`: `link` must be
// that target followed by a name that passes the check of every restored
// name, with no link on its way. Anything else is logged and not made, so
// a stored link cannot create folders elsewhere on the restore volume,
// above the target or through a link.
void CreateLinkedFolderInTarget(const WCHAR* link, const WCHAR* fullPath,
                                int nameStart);

// On an opened restored object: asks for default compression when
// `attributes` hold FILE_ATTRIBUTE_COMPRESSED, and sets `shortName` unless
// it is empty. Failures are ignored: neither is needed to use the object.
void ApplyCompressionAndShortName(HANDLE target, DWORD attributes,
                                  const WCHAR* shortName);

// Replaces whatever file is at `path` by a new empty one, opened for
// writing. INVALID_HANDLE_VALUE with the last error on failure.
HANDLE CreateRestoredFile(const WCHAR* path);

// Whether `length` bytes hold a whole self-relative security descriptor:
// its header, and every SID and ACL its offsets name, inside the bytes.
// SetFileSecurityW takes no length, so a cut descriptor (a version 2
// adder keeps only the first 1024 bytes) would make it read past them.
bool IsWholeDescriptor(const BYTE* descriptor, DWORD length);

// Applies a whole descriptor with owner, group, DACL and SACL under
// "SeSecurityPrivilege", disabling the privilege again when asked to. A
// descriptor that is not whole is logged and not applied (FALSE).
bool SetDescriptorUnderPrivilege(const WCHAR* path, BYTE* descriptor,
                                 DWORD length, bool disableAfter);

// Restores a version 5 or version 2 entry under `target`: path, parents,
// target object, compression, short name, content, times, descriptor,
// attributes. `encryptedName` is the current encrypted-file name. On
// failure the code is in `error` and FALSE is returned.
BOOL RestoreStoredEntry(const RestoreEntry& entry, const WCHAR* target,
                        const WCHAR* encryptedName,
                        const RestoreSource& source, CKvError& error);

#endif  // KVMORVEL_RESTORE_RESTORE_COMMON_H
