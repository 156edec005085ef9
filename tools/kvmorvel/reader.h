// SPDX-License-Identifier: GPL-2.0-or-later
// Opening an archive or image for reading and stepping through its
// entries, shared by list and extract.
#ifndef KVMORVEL_TOOL_READER_H
#define KVMORVEL_TOOL_READER_H

#include <string>

#include "common.h"

// Opens the absolute `path` for reading (the version comes from the
// file). On failure reports it and returns false. The path is handed to
// the library untouched: the command opens nothing itself, so a pipe or
// device is refused by the library at once instead of blocking a read
// here, and the current folder is never changed.
bool OpenForReading(CKvMorvel* archive, const std::string& path);
// The path the last OpenForReading was given (empty before any), so that
// a failure of an entry can name the archive's part files.
const std::string& OpenedArchivePath();

// Loads the entry at the current position with Info(advance). Returns
// true when one was loaded; false at the end, or on a read failure, which
// sets *failed and is reported. An image's walk ends without a code, an
// archive's with 259, or with 1392 at a damaged catalogue record, which
// is reported as damage after entry `loaded` (the entries loaded so far).
bool LoadEntry(CKvMorvel* archive, bool advance, bool* failed,
               unsigned long long loaded);

// The current entry's whole name (CKvMorvel::GetEntryName), however
// long; empty when the library gives none.
std::u16string EntryName(CKvMorvel* archive);

// The part file behind the archive's last failure, as the library keeps
// it (CKvMorvel::GetFailedPartFile), in words: "part file NAME is
// missing", or "part file NAME cannot be read (error N)". Empty when no
// part file is behind it; *cause (optional) gets the failure's own code.
std::string FailedPartFile(CKvMorvel* archive, DWORD* cause = nullptr);
// The name alone of that part file, as printed; empty when none.
std::string FailedPartName(CKvMorvel* archive, DWORD* cause);

// After Open: warns on stderr (and with --json as a line of type
// "warning") of a part file the archive's header counts that is missing;
// the entries stored in it cannot be restored. The exit status is left
// to the run.
void WarnOfMissingPart(CKvMorvel* archive);

// The name of version 5 part file `number` of `archive`, as the library
// names it (CKvMorvelHost::GetPartFileName); empty when the library would
// make no such name (too long) or `archive` is not UTF-8.
std::string PartName(const std::string& archive, DWORD number);

// The bytes of the archive at `path` on disk: the main file and, for
// version 5, the part files beside it.
uint64_t ArchiveBytes(const std::string& path, DWORD version);

// The number of entries of the archive at `path` and the sum of their
// sizes, read from its catalogue alone (a second pass over the archive,
// made only for the progress bar on a terminal). False when it does not
// open or its catalogue cannot be read to the end.
bool CountEntries(const std::string& path, uint64_t* entries, uint64_t* bytes);

#endif  // KVMORVEL_TOOL_READER_H
