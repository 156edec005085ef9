// SPDX-License-Identifier: GPL-2.0-or-later
// Stored data belongs to one entry: the restore refuses an entry whose
// stored bytes lie where an earlier entry's do, as zip readers refuse
// overlapping members. Without the rule a small archive of many records
// pointing at one stream restores that stream once per record.
#ifndef KVMORVEL_RESTORE_DATA_OWNERS_H
#define KVMORVEL_RESTORE_DATA_OWNERS_H

#include "kvwin32.h"

struct V1Record;
struct _MVRL_FILEENTRY_2;
struct _MVRL_FILEENTRY_MAX_5;

// The code of an entry refused for data that is another entry's: the
// catalogue that names it is damaged.
const DWORD kSharedDataCode = ERROR_FILE_CORRUPT;  // 1392

// A place in an archive's stored bytes: a part file (version 5; 0 for
// versions 1 and 2, whose data is in the archive file) and an offset in
// it. Places compare part first.
struct StoredPosition {
  ULONGLONG part;
  ULONGLONG offset;
};

inline bool operator<(const StoredPosition& a, const StoredPosition& b) {
  return a.part != b.part ? a.part < b.part : a.offset < b.offset;
}

// What the restore of one open archive has read so far, kept in its
// control record from Open to Close.
//
// Every writer of this library stores each entry's data behind the data
// of the entries before it in the catalogue, an append included (versions
// 1 and 2 write behind the old data and catalogue, version 5 at the end
// of the last part or in a new part). So the bytes read so far end at one
// furthest place, and an entry whose data begins before it overlaps data
// read before: a check against that place alone finds every overlap, in
// constant memory whatever the entry count. It may also refuse data that
// lies wholly before an earlier entry's without sharing a byte; no
// writer here stores data out of order, so only a crafted catalogue does.
//
// Only entries whose data is read are counted: a host that steps over
// entries with Info(1) reads none of theirs, and each byte is still read
// once at most. The cursor only moves forward, so the rule needs no
// memory of where an entry lies beyond the furthest place.
class DataOwners {
 public:
  // Claims the data from `begin` to `end` for the entry at the cursor.
  // Returns 0, or kSharedDataCode when it begins before the furthest end
  // claimed by an earlier entry. The same entry claiming again (a second
  // ExtractFile of it) is no overlap.
  DWORD Claim(StoredPosition begin, StoredPosition end);
  // Moves the furthest end on to `end` when it lies beyond: where the
  // read of a version 5 stream stopped, known only once it is read.
  void ReachedEnd(StoredPosition end);
  // The cursor moved past an entry: the next claim is another entry's.
  void PassEntry() { ++entry_; }

 private:
  StoredPosition furthest_ = {0, 0};
  bool claimed_ = false;
  ULONGLONG entry_ = 0;     // entries the cursor passed
  ULONGLONG claimant_ = 0;  // entry_ at the last claim
};

// The claim of each version's entry: its data stream or reparse record
// (nothing for a folder, or an entry that stores no bytes). Each returns
// 0 or kSharedDataCode, the refusal logged with the entry's name. Every
// path that reads an entry's data calls it first; version 5 then reports
// the stream's end with ReachedEnd.
DWORD ClaimV1Data(DataOwners& owners, const V1Record& record);
DWORD ClaimV2Data(DataOwners& owners, const _MVRL_FILEENTRY_2& entry,
                  const WCHAR* name);
DWORD ClaimV5Data(DataOwners& owners, const _MVRL_FILEENTRY_MAX_5& entry);

#endif  // KVMORVEL_RESTORE_DATA_OWNERS_H
