// SPDX-License-Identifier: GPL-2.0-or-later
// Whole archives of every version written byte by byte, so a test opens
// them through Open as a host would and still controls every stored
// field, including fields no writer of the library would produce. The
// records follow the documented layouts field by field (see bytes.h);
// compressed data comes from zlib and LZO directly, never from the
// library's own writers.
#ifndef KVMORVEL_TESTS_SUPPORT_ARCHIVE_BYTES_H
#define KVMORVEL_TESTS_SUPPORT_ARCHIVE_BYTES_H

#include <string>
#include <vector>

#include "KvMorvelTypes.h"
#include "support/bytes.h"

// The time every stored entry carries unless a test gives another.
const unsigned long long kStoredTime = 132000000000000000ull;

// Attribute data with one time in all three fields.
WIN32_FILE_ATTRIBUTE_DATA Attributes(DWORD attributes,
                                     unsigned long long size = 0,
                                     unsigned long long time = 0);

// One entry as a catalogue records it. Every field is written as given.
struct StoredEntry {
  std::string name;  // UTF-8, stored as UTF-16 with its terminator
  WIN32_FILE_ATTRIBUTE_DATA data = {};
  // Bytes stored (versions 1 and 2); length of a version 5 reparse record.
  unsigned long long storedLength = 0;
  unsigned long long blockCount = 1;  // version 5
  // From the start of the part (version 5) or of the data area (1 and 2:
  // the archive writer adds the data start).
  unsigned long long dataOffset = 0;
  unsigned long long descriptorOffset = 0;  // version 5
  DWORD dataPart = 1;                       // version 5
  DWORD descriptorPart = 0xFFFFFFFFu;       // version 5: none
  std::u16string shortName;                 // at most 13 units
  std::string descriptor;                   // version 2: in the record
};

// A file or folder entry stored at kStoredTime.
StoredEntry Entry(const std::string& name, DWORD attributes,
                  unsigned long long size = 0);

std::string V1Record(const StoredEntry& e);
std::string V2Record(const StoredEntry& e);
std::string V5Record(const StoredEntry& e);

// Version 5: the main file at `mainPath` (header and records) and
// parts[i] as part i + 1, named after it ("x.arc": "x_0001.arc").
void WriteV5Archive(const std::string& mainPath,
                    const std::vector<StoredEntry>& entries,
                    const std::vector<std::string>& parts);
std::string V5PartPath(const std::string& mainPath, unsigned part);

// Version 1 or 2: header, `data` from the data start, then the catalogue.
void WriteV1OrV2Archive(const std::string& path, DWORD version,
                        const std::vector<StoredEntry>& entries,
                        const std::string& data);

// A file's LZO block stream: one block per MiB, one for an empty file.
std::string LzoBlocks(const std::string& content);
// One chunk (u32 length, payload) holding a whole zlib stream.
std::string DeflateChunk(const std::string& content);
// The chunked stream an adder writes: one chunk per MiB of `content`, each
// ended by a sync flush, the last by the finish.
std::string DeflateChunks(const std::string& content);
// REPARSE_DATA_BUFFER of a mount point or of a link to a file.
std::string MountPointBuffer(const std::u16string& printName);
std::string SymlinkBuffer(const std::u16string& printName);
// The stored reparse record: u32 length, then the buffer.
std::string ReparseRecord(const std::string& buffer);

#endif  // KVMORVEL_TESTS_SUPPORT_ARCHIVE_BYTES_H
