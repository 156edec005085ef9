// SPDX-License-Identifier: GPL-2.0-or-later
// Version 1 archive layout: a 32-byte header, the entries' chunked
// deflate streams from offset 32 on, and behind them a catalogue of
// variable-length records (112 + 2 x name length bytes each).
#ifndef KVMORVEL_FORMATS_V1_FORMAT_H
#define KVMORVEL_FORMATS_V1_FORMAT_H

#include "formats/catalogue_block.h"
#include "formats/catalogue_store.h"
#include "formats/deflate/deflate_workspace.h"
#include "restore/data_owners.h"
#include "restore/restore_cause.h"
#include "restore/restore_paths.h"
#include "kvwin32.h"

enum {
  kV1HeaderSize = 32,        // signature 8, version u32, data start u64,
                             // catalogue offset u64, catalogue length u32
  kV1RecordFixedSize = 110,  // attribute data 36, stored length u64, data
                             // offset u64, name length u16, short name
                             // 14 WCHAR, directory short name 14 WCHAR
  kV1RecordEndSize = 2,      // u16 0 behind the name
};

// Header image, field by field.
struct MvrlHeaderV1 {
  BYTE signature[8];
  DWORD version;
  ULONGLONG dataStart;
  ULONGLONG catalogueOffset;
  DWORD catalogueLength;
};

// Control record of an open version 1 archive.
struct _MVRL_OBJECT {
  HANDLE archive = nullptr;
  // The records the header names, read where they stand, and those added
  // since Open, written behind the data at Close.
  CatalogueStore catalogue;
  DWORD readCursor = 0;  // catalogue offset of the record Info loads next
  ULONGLONG writePosition = kV1HeaderSize;
  // The file pointer stands at writePosition: the last add wrote up to it
  // (see PlaceAtWritePosition).
  bool atWritePosition = false;
  MvrlHeaderV1 header = MvrlHeaderV1();
  // The folders the last restored entry went into, held open from the target.
  FolderChain folders;
  // The data the restore read so far (see DataOwners).
  DataOwners owners;
  // Why the last restore could not restore an entry's data.
  RestoreCause cause;
  // Buffers and zlib streams of the entries' data, kept across entries.
  DeflateWorkspace deflate;
};

// Sets a new control record's header to the one a new archive gets.
inline void InitV1ControlRecord(_MVRL_OBJECT* record) {
  for (int i = 0; i < 8; ++i)
    record->header.signature[i] = kArchiveSignature[i];
  record->header.version = 1;
  record->header.dataStart = kV1HeaderSize;
}

#endif  // KVMORVEL_FORMATS_V1_FORMAT_H
