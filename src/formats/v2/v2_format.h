// SPDX-License-Identifier: GPL-2.0-or-later
// Version 2 archive layout: a 40-byte header, the entries' stored data
// from offset 40 on, and a catalogue of variable-length records behind
// it: a 90-byte fixed part, the name, then the security descriptor.
#ifndef KVMORVEL_FORMATS_V2_FORMAT_H
#define KVMORVEL_FORMATS_V2_FORMAT_H

#include "common/le_bytes.h"
#include "formats/catalogue_block.h"
#include "formats/catalogue_store.h"
#include "formats/deflate/deflate_workspace.h"
#include "restore/data_owners.h"
#include "restore/restore_cause.h"
#include "restore/restore_paths.h"
#include "kvwin32.h"

enum {
  kV2HeaderSize = 40,        // signature 8, version u32, data start u64,
                             // catalogue offset u64, catalogue size u32,
                             // capacity u64
  kV2RecordFixedSize = 90,   // record size u32, attribute data 36, stored
                             // length u64, data offset u64, short name
                             // 14 WCHAR, name length u16, descriptor
                             // length u16, descriptor offset u16
  kV2EntrySize = 1610,       // in-memory entry: fixed part + 1520 bytes
  kV2TailSize = kV2EntrySize - kV2RecordFixedSize,  // name + descriptor
  kV2MaxDescriptor = 1024,
  kV2MaxNameLength = 1024,   // FillVector stops at a larger name length
  kV2Batch = 256,            // entries FillVector loads at a time
};

struct MvrlHeaderV2 {
  BYTE signature[8];
  DWORD version;
  ULONGLONG dataStart;
  ULONGLONG catalogueOffset;
  DWORD catalogueSize;
  ULONGLONG capacity;
};

// One entry of the in-memory list. `tail` holds the name (name length
// WCHARs, little-endian) at record offset 90 and the descriptor at
// `descriptorOffset`, so the first `recordSize` bytes of the encoded
// entry are exactly the on-disk record.
struct _MVRL_FILEENTRY_2 {
  DWORD recordSize;
  WIN32_FILE_ATTRIBUTE_DATA data;
  ULONGLONG storedLength;
  ULONGLONG dataOffset;
  WCHAR shortName[14];
  WORD nameLength;
  WORD descriptorLength;
  WORD descriptorOffset;
  BYTE tail[kV2TailSize];
};

struct _MVRL_OBJECT_2 {
  HANDLE archive = nullptr;
  BOOL modified = FALSE;
  // The records the header names, read where they stand, and those added
  // since Open, written behind the data at Close.
  CatalogueStore catalogue;
  // Bytes of stored records up to the first that does not hold together:
  // only these are listed and written back.
  DWORD storedIntact = 0;
  DWORD catalogueBytes = 0;  // what Close writes: intact and added records
  ULONGLONG writePosition = kV2HeaderSize;
  // The file pointer stands at writePosition: the last add wrote up to it
  // (see PlaceAtWritePosition).
  bool atWritePosition = false;
  ULONGLONG budget = 0;
  MvrlHeaderV2 header = MvrlHeaderV2();
  // The folders the last restored entry went into, held open from the target.
  FolderChain folders;
  // The data the restore read so far (see DataOwners).
  DataOwners owners;
  // Why the last restore could not restore an entry's data.
  RestoreCause cause;
  // Buffers and zlib streams of the entries' data, kept across entries.
  DeflateWorkspace deflate;
};

// Decodes the entry's name from its tail into `name` (at most `capacity`
// characters with the terminator; a longer name is cut).
inline void V2EntryName(const _MVRL_FILEENTRY_2& e, WCHAR* name,
                        size_t capacity) {
  size_t n = 0;
  const size_t stored = e.nameLength;
  while (n + 1 < capacity && n < stored && 2 * n + 1 < kV2TailSize) {
    name[n] = static_cast<WCHAR>(LoadU16(e.tail + 2 * n));
    if (!name[n]) break;
    ++n;
  }
  name[n] = 0;
}

// Sets a new control record's header to the one a new archive gets.
inline void InitV2ControlRecord(_MVRL_OBJECT_2* record) {
  for (int i = 0; i < 8; ++i)
    record->header.signature[i] = kArchiveSignature[i];
  record->header.version = 2;
  record->header.dataStart = kV2HeaderSize;
}

#endif  // KVMORVEL_FORMATS_V2_FORMAT_H
