// SPDX-License-Identifier: GPL-2.0-or-later
// Version 5 archive layout: a main file with a 40-byte header and the
// catalogue from offset 40 to its end, and numbered part files holding
// every stored byte (LZO block streams, reparse records, descriptor
// blocks).
#ifndef KVMORVEL_FORMATS_V5_FORMAT_H
#define KVMORVEL_FORMATS_V5_FORMAT_H

#include "KvMorvel.h"
#include "common/archive_constants.h"
#include "formats/piece_worker.h"
#include "formats/read_buffer.h"
#include "formats/piece_source.h"
#include "formats/v5/v5_io.h"
#include "formats/write_buffer.h"
#include "restore/data_owners.h"
#include "restore/restore_cause.h"
#include "restore/restore_paths.h"
#include "kvwin32.h"

enum {
  kV5HeaderSize = 40,        // signature 8, version u32, data start u64,
                             // catalogue offset u64, reserved u32 (1),
                             // reserved u32 (0), part count u32
  kV5RecordFixedSize = 110,  // record size u32, attribute data 36, stored
                             // length u64, block count u64, data offset
                             // u64, descriptor offset u64, data part u32,
                             // descriptor part u32, short name 14 WCHAR,
                             // name length u16
  kV5NameChars = 631,        // in-memory name area, terminator included
  kV5EntrySize = kV5RecordFixedSize + 2 * kV5NameChars,  // 1372
  kV5FirstBatch = 1001,      // entries loaded by Open
  kV5NextBatch = 101,        // entries loaded by each LoadNextEntries
  kV5FlushAbove = 10000,     // the add batch is flushed past this count
  // Besides, the batch reaches the main file every 1000 entries and at
  // the first add 5 seconds after the last flush, each time behind its
  // entries' data (see CKvMorvel::FlushBatch5): a crash then loses at most
  // the entries of the last 5 seconds, and never more than 999. Each flush
  // is one write of the records and one of the header; 1000 entries keep
  // that small against adding them even when the files are tiny (see
  // bench/v5_memory.cc, "flush"), and 5 seconds bound the loss when the
  // files are large and each add takes long. Flushes to the disk follow
  // their own clock (kV5SyncEveryMilliseconds).
  kV5FlushEveryEntries = 1000,
  kV5FlushEveryMilliseconds = 5000,
  // A flush of the batch makes the files durable (part, then main file)
  // only when this long has passed since they last were, and at Close:
  // every flush still writes the records, so a killed process loses none
  // of them; a power loss loses at most the entries of the last few
  // seconds, as the file system's own commit interval does. A flush to
  // the disk per 1000 tiny entries would set the pace of adding them.
  kV5SyncEveryMilliseconds = 5000,
  kV5PartNameChars = 264,
};

const DWORD kV5NoDescriptorPart = 0xFFFFFFFFu;

struct _MVRL_FILEENTRY_MAX_5 {
  DWORD recordSize;
  WIN32_FILE_ATTRIBUTE_DATA data;
  ULONGLONG storedLength;
  ULONGLONG blockCount;
  ULONGLONG dataOffset;
  ULONGLONG descriptorOffset;
  DWORD dataPart;
  DWORD descriptorPart;
  WCHAR shortName[14];
  WORD nameLength;
  WCHAR name[kV5NameChars];
};

struct _MVRL_OBJECT_5 {
  HANDLE archive;
  _MVRL_HEADER_5 header;
  // Bytes bound for the part being written (m_partHandle), gathered and
  // written in large pieces; see CKvMorvel::WritePartGather5 for when.
  FileWriteBuffer partOut{kV5WriteGather};
  // How many entries at the front of the add batch have all their bytes
  // written to the parts; the rest have bytes still gathered.
  size_t entriesWritten = 0;
  // The part a restore reads, kept open across entries.
  V5PartInput partIn;
  // The main file read ahead for the catalogue walk.
  FileReadBuffer catalogueIn{kV5ReadWindow};
  V5CodecBuffers codec;
  // The second buffers and the thread that pack a large file's pieces
  // while the next is read (see PackAhead).
  V5CodecBuffers codecAhead;
  PieceWorker worker;
  // The packed form of a piece of zeros, for the holes of sparse sources.
  V5ZeroPiece zeroPiece;
  // The folders the last restored entry went into, held open from the target.
  FolderChain folders;
  // The data the restore read so far (see DataOwners).
  DataOwners owners;
  // Why the last restore could not restore an entry's data.
  RestoreCause cause;
  // When the files were last made durable, and how long a batch flush
  // waits for it to be due again (see kV5SyncEveryMilliseconds); Close
  // sets `closing`, which makes its flush durable whatever the time.
  DWORD lastSyncTick = GetTickCount();
  DWORD syncMilliseconds = kV5SyncEveryMilliseconds;
  bool closing = false;
};

// The header every new archive and control record starts from.
inline _MVRL_HEADER_5 DefaultV5Header() {
  _MVRL_HEADER_5 h = {};
  for (int i = 0; i < 8; ++i) h.signature[i] = kArchiveSignature[i];
  h.version = 5;
  h.dataStart = 0;
  h.catalogueOffset = kV5HeaderSize;
  h.reserved1 = 1;
  h.reserved2 = 0;
  h.partCount = 1;
  return h;
}

// The control record of an open version 5 archive (null when none).
inline _MVRL_OBJECT_5* V5Record(void* control) {
  return static_cast<_MVRL_OBJECT_5*>(control);
}

class SizedOutput;
// The decompressed data of `entry`, from its data part on, into `output`
// (a restored file or a caller's sink), read through `record`'s part input
// and codec buffers, parts opened with `open`. Returns 0 or the logged
// code: kRecordedSizeCode for blocks that hold more or fewer bytes than
// the recorded size, the read's code (a missing part, a part cut short),
// 1359 for a damaged block, what `output` refused, or 1223 when `cancel`
// is set before a block. The bytes read are claimed for the entry in
// `record`'s data owners, and a part file at fault is named in its cause
// (`archivePath` is the main file).
DWORD ReadEntryBlocks5(_MVRL_OBJECT_5* record, const WCHAR* archivePath,
                       const V5PartInput::Opener& open,
                       const _MVRL_FILEENTRY_MAX_5& entry, SizedOutput& output,
                       const CancelFlag* cancel);

inline void InitV5ControlRecord(_MVRL_OBJECT_5* record) {
  record->archive = nullptr;
  record->header = DefaultV5Header();
}

#endif  // KVMORVEL_FORMATS_V5_FORMAT_H
