// SPDX-License-Identifier: GPL-2.0-or-later
// Steps shared by the restore of every archive version.
//
// Versions 5 and 2 restore an entry by the same procedure; they differ only
// in where an entry's stored items come from (part files or the archive
// file, a descriptor block or the record). RestoreStoredEntry runs that
// procedure over a RestoreSource that each version fills in. Version 1
// uses the path, parent-folder and file-creation steps on their own.
// Path safety, reparse points and descriptors each have their own file
// (restore_paths, restore_reparse, restore_descriptors), which the image
// copy uses as well; this header brings them in for the restores.
#ifndef KVMORVEL_RESTORE_RESTORE_COMMON_H
#define KVMORVEL_RESTORE_RESTORE_COMMON_H

#include <functional>

#include "KvMorvel.h"
#include "common/archive_constants.h"
#include "formats/file_io.h"
#include "formats/short_name.h"
#include "kvwin32.h"
#include "restore/restore_cause.h"
#include "restore/restore_descriptors.h"
#include "restore/restore_paths.h"
#include "restore/restore_reparse.h"

enum {
  kEnvValueChars = 260,       // value of "USERPART"
  kEncFolderChars = 296,      // "%s\System Recovery\ENC"
  kSecondPathChars = 264,     // "\\.\%c:" or the redirected "%s\%s"
};

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
// Every callback returns 0, or the code of what went wrong; none leaves
// its cause in the thread's last error for the procedure to read later.
struct RestoreSource {
  // Writes a file entry's whole content to `target`. Returns 0 or the
  // cause of the failure (a read or write error, a damaged stream, data
  // that does not hold the recorded size).
  std::function<DWORD(HANDLE target)> writeData;
  // Opens the file holding the reparse record into `*file` and gives the
  // record's offset in it. Returns 0 or the code of the failed open.
  std::function<DWORD(HANDLE* file, ULONGLONG* offset)> openReparse;
  // Releases what openReparse gave.
  std::function<void(HANDLE file)> closeReparse;
  // Applies the entry's security descriptor to the restored object open
  // as `target` (`path` names it in the log). Returns 0, or the code that
  // fails the restore.
  std::function<DWORD(HANDLE target, const WCHAR* path)> applyDescriptor;
  // Where the cause of a failed data restore is kept (the archive's),
  // unless writeData kept a more precise one there already.
  RestoreCause* cause = nullptr;
};

// Copies a stored 14-character short-name field into `out`
// (kShortNameChars + 1), terminated even when the field is full.
void CopyShortName(const WCHAR* field, WCHAR* out);

// Moves to `offset` of `file` and reads the u32 length that opens the
// block stored there (a reparse record, a descriptor block). Returns 0,
// or the code of a failed read (never 0). `*whole` tells whether all four
// bytes came, and only then is `*length` set: a read that succeeds short
// returns 0 with `*whole` false.
DWORD ReadBlockLength(HANDLE file, ULONGLONG offset, DWORD* length,
                      bool* whole);

// The code logged for a read of a stored item that did not deliver all
// its bytes: `readCode` when the read failed, else 38 (the file ends
// inside the item).
inline DWORD ShortReadCode(DWORD readCode) {
  return readCode ? readCode : ERROR_HANDLE_EOF;
}

// Logs why the data of the file at `fullPath` could not be restored,
// for a restore that reports the one data-failure code 1359 instead.
void LogDataFailure(const WCHAR* fullPath, DWORD cause);

// Removes the file a restore created, opened as `file`, whose data could
// not be restored whole: a file at the entry's path would look restored.
// It goes through its own handle, never by looking `fullPath` up again
// (only logged with it). A file that was at that path before was already
// replaced when the data was read, and is not brought back; an entry
// whose version 5 part is missing is refused before anything is replaced.
// A failure to remove is logged; the restore fails either way.
void DiscardRestoredFile(HANDLE file, const WCHAR* fullPath);

// On an opened restored object: asks for default compression when
// `attributes` hold FILE_ATTRIBUTE_COMPRESSED, and sets `shortName` unless
// it is empty (SetShortNameBestEffort). Neither failure fails the
// restore: neither is needed to use the object.
void ApplyCompressionAndShortName(HANDLE target, DWORD attributes,
                                  const WCHAR* shortName, const WCHAR* path);

// Gives the restored object `path`, opened as `target`, the stored 8.3
// name unless it is empty. The name is best effort, as on Windows itself
// on a volume without 8.3 names: a failure, or a system without
// SetFileShortNameW, only logs "Cannot set short name NAME of PATH - CODE".
void SetShortNameBestEffort(HANDLE target, const WCHAR* shortName,
                            const WCHAR* path);

// Replaces whatever file is at `path` by a new empty one, opened for
// writing. INVALID_HANDLE_VALUE with the last error on failure:
// kOtherKindCode when a folder is there, which is left untouched. Only
// for a path outside any restore target (an encrypted file's redirect).
HANDLE CreateRestoredFile(const WCHAR* path);

// What a restore may do to what it finds at an entry's name: the host's
// KV_RESTORE_* options and the entry's last-write time (UTC), which
// KV_RESTORE_KEEP_NEWER compares with what is there. `outcome` gets what
// the restore did (KV_RESTORED_*).
struct ReplacePolicy {
  DWORD options = 0;
  FILETIME storedWrite = {};
  DWORD outcome = KV_RESTORED_NOTHING;
};

// Creates the file of an entry as `leaf` (`length` characters, one name)
// in the open `folder`, exclusively and never through a link. A file or
// link already at that name is opened there without following it, kept
// when `policy` says so (INVALID_HANDLE_VALUE with the last error 0 and
// the outcome KV_RESTORED_KEPT), else removed through that handle and the
// file made again. A folder at the name stays as it was (kOtherKindCode).
// INVALID_HANDLE_VALUE with the last error on failure.
HANDLE CreateFileBeneath(HANDLE folder, const WCHAR* leaf, size_t length,
                         ReplacePolicy* policy);

// Where an entry goes: the folder its name ends in, held by a FolderChain,
// and its last component.
struct EntryPlace {
  HANDLE folder = INVALID_HANDLE_VALUE;
  const WCHAR* leaf = nullptr;
  size_t length = 0;
};

// Reaches the folder the contained `name` ends in below `target` through
// `folders` (FolderChain::Reach: missing folders made, a link on the way
// refused with 1921). Returns 0 with `*place` set, or the refusing code.
DWORD ReachEntryFolder(const WCHAR* target, const WCHAR* name,
                       FolderChain* folders, EntryPlace* place);

// Opens the folder an item with `attributes` (a folder, or a junction's
// folder) is restored into, made when missing, in its held parent. A
// file (or anything but a folder) at its name is refused with
// kOtherKindCode and left as it was: its times, attributes and
// descriptor are not the item's to set. A link at the name is replaced,
// never followed. A folder that is there already is left as it was when
// `policy` keeps it (INVALID_HANDLE_VALUE, `*refusal` 0, the outcome
// KV_RESTORED_KEPT). INVALID_HANDLE_VALUE with `*refusal` set on failure.
HANDLE OpenFolderTarget(DWORD attributes, const EntryPlace& place,
                        ReplacePolicy* policy, DWORD* refusal);

// Gives the restored object open as `target` the stored attributes,
// through the handle (FILE_ATTRIBUTE_NORMAL for none).
void SetAttributesThrough(HANDLE target, DWORD attributes);
// The stored times (UTC) and attributes together, in one FileBasicInfo
// call, which keeps the creation time in the same write as the
// attributes.
void SetTimesAndAttributesThrough(HANDLE target,
                                  const WIN32_FILE_ATTRIBUTE_DATA& data);

// Restores a version 5 or version 2 entry under `target`: path, parents,
// target object, compression, short name, content, times, descriptor,
// attributes, all through the handle it was made or opened by.
// `encryptedName` is the current encrypted-file name; `folders` holds the
// archive's folders of its last entry; `policy` says what may happen to
// what is at the entry's path, and gets what did. On failure the code is
// in `error` and FALSE is returned.
BOOL RestoreStoredEntry(const RestoreEntry& entry, const WCHAR* target,
                        const WCHAR* encryptedName,
                        const RestoreSource& source, FolderChain* folders,
                        ReplacePolicy* policy, CKvError& error);

#endif  // KVMORVEL_RESTORE_RESTORE_COMMON_H
