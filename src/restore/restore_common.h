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
#include "formats/short_name.h"
#include "kvwin32.h"
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

// The last error of a failing call; `fallback` when the call left none, so
// a failure is never reported as code 0.
DWORD LastErrorOr(DWORD fallback);

// On an opened restored object: asks for default compression when
// `attributes` hold FILE_ATTRIBUTE_COMPRESSED, and sets `shortName` unless
// it is empty. Failures are ignored: neither is needed to use the object.
void ApplyCompressionAndShortName(HANDLE target, DWORD attributes,
                                  const WCHAR* shortName);

// Replaces whatever file is at `path` by a new empty one, opened for
// writing. INVALID_HANDLE_VALUE with the last error on failure.
HANDLE CreateRestoredFile(const WCHAR* path);

// Restores a version 5 or version 2 entry under `target`: path, parents,
// target object, compression, short name, content, times, descriptor,
// attributes. `encryptedName` is the current encrypted-file name. On
// failure the code is in `error` and FALSE is returned.
BOOL RestoreStoredEntry(const RestoreEntry& entry, const WCHAR* target,
                        const WCHAR* encryptedName,
                        const RestoreSource& source, CKvError& error);

#endif  // KVMORVEL_RESTORE_RESTORE_COMMON_H
