// Opening an archive or image for reading and stepping through its
// entries, shared by list and extract.
#ifndef KVMORVEL_TOOL_READER_H
#define KVMORVEL_TOOL_READER_H

#include <string>

#include "common.h"

// Opens the absolute `path` for reading (the version comes from the
// file). On failure reports it and returns false. For a disk image it may
// change the current folder to find the mount library.
bool OpenForReading(CKvMorvel* archive, const std::string& path);

// Loads the entry at the current position with Info(advance). Returns
// true when one was loaded; false at the end, or on a read failure, which
// sets *failed and is reported. An image's walk ends without a code, an
// archive's with 259, or with 1392 at a damaged catalogue record, which
// is reported as damage after entry `loaded` (the entries loaded so far).
bool LoadEntry(CKvMorvel* archive, bool advance, bool* failed,
               unsigned long long loaded);

// The current entry's name.
std::u16string EntryName(CKvMorvel* archive);

#endif  // KVMORVEL_TOOL_READER_H
