// SPDX-License-Identifier: GPL-2.0-or-later
// The rule that stored data belongs to one entry, and where each version
// keeps an entry's data.
#include "restore/data_owners.h"

#include "KvLog.h"
#include "formats/v1/v1_record.h"
#include "formats/v2/v2_format.h"
#include "formats/v5/v5_format.h"

DWORD DataOwners::Claim(StoredPosition begin, StoredPosition end) {
  if (claimed_ && claimant_ == entry_) {
    ReachedEnd(end);
    return 0;
  }
  if (claimed_ && begin < furthest_) return kSharedDataCode;
  claimed_ = true;
  claimant_ = entry_;
  furthest_ = end;
  return 0;
}

void DataOwners::ReachedEnd(StoredPosition end) {
  if (furthest_ < end) furthest_ = end;
}

namespace {

const DWORD kKindBits = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;

// Claims `length` bytes at `offset` of `part`; no bytes, no claim.
DWORD ClaimBytes(DataOwners& owners, ULONGLONG part, ULONGLONG offset,
                 ULONGLONG length, const WCHAR* name) {
  if (length == 0) return 0;
  // An end past 2^64 is damage as well; it is held at the top.
  const ULONGLONG end = offset + length < offset ? ~0ull : offset + length;
  const DWORD code = owners.Claim({part, offset}, {part, end});
  if (code)
    CKvLog::GetInstance()->AddError(
        TEXT("Data of %s lies in data read for an earlier entry - %u"), name,
        static_cast<unsigned>(code));
  return code;
}

}  // namespace

DWORD ClaimV1Data(DataOwners& owners, const V1Record& record) {
  // Version 1 restores every entry as a file from its stream.
  return ClaimBytes(owners, 0, record.dataOffset, record.storedLength,
                    record.name);
}

DWORD ClaimV2Data(DataOwners& owners, const _MVRL_FILEENTRY_2& entry,
                  const WCHAR* name) {
  // A folder stores nothing; a reparse point its record; a file its
  // stream (none when empty).
  const DWORD a = entry.data.dwFileAttributes;
  if ((a & kKindBits) == FILE_ATTRIBUTE_DIRECTORY) return 0;
  return ClaimBytes(owners, 0, entry.dataOffset, entry.storedLength, name);
}

DWORD ClaimV5Data(DataOwners& owners, const _MVRL_FILEENTRY_MAX_5& entry) {
  const DWORD a = entry.data.dwFileAttributes;
  if ((a & kKindBits) == FILE_ATTRIBUTE_DIRECTORY) return 0;
  if (a & FILE_ATTRIBUTE_REPARSE_POINT)
    return ClaimBytes(owners, entry.dataPart, entry.dataOffset,
                      entry.storedLength, entry.name);
  // A file's block stream may run on into the next parts, so its end is
  // known once it is read (ReachedEnd); its first byte is claimed now.
  return ClaimBytes(owners, entry.dataPart, entry.dataOffset, 1, entry.name);
}
