// SPDX-License-Identifier: GPL-2.0-or-later
// Restoring a version 2 entry: data and reparse record come from the
// archive file, the security descriptor from the entry record itself.
#include <cstring>
#include <new>

#include "formats/deflate/deflate_stream.h"
#include "formats/v2/v2_format.h"
#include "restore/restore_common.h"
#include "restore/stored_descriptor.h"

bool DescriptorInsideRecord(const _MVRL_FILEENTRY_2& entry) {
  const DWORD length = entry.descriptorLength;
  const DWORD offset = entry.descriptorOffset;
  if (length == 0) return true;
  if (offset < kV2RecordFixedSize) return false;
  return offset + length <= entry.recordSize &&
         offset - kV2RecordFixedSize + length <= kV2TailSize;
}

BOOL CKvMorvel::MorvelExtractFile2(LPCWSTR target, int flag) {
  FillVector(1);
  if (m_currentIndex >= m_entries2.size()) {
    m_error.SetError(ERROR_NO_MORE_ITEMS);
    return FALSE;
  }
  const _MVRL_FILEENTRY_2 entry = m_entries2[m_currentIndex];
  // Reading moves the archive's file pointer away from where adds write.
  static_cast<_MVRL_OBJECT_2*>(m_control)->atWritePosition = false;
  static_cast<_MVRL_OBJECT_2*>(m_control)->cause.Clear();
  // A descriptor said to lie past its record is refused before anything
  // on disk is touched: its bytes would come from outside the entry.
  if (!DescriptorInsideRecord(entry)) {
    m_error.SetError(ERROR_FILE_CORRUPT);
    return FALSE;
  }
  WCHAR name[kV2TailSize / 2 + 1];
  V2EntryName(entry, name, sizeof(name) / sizeof(name[0]));
  // Data another entry's restore read already is refused before anything
  // on disk is touched.
  const DWORD shared = ClaimV2Data(
      static_cast<_MVRL_OBJECT_2*>(m_control)->owners, entry, name);
  if (shared) {
    m_error.SetError(shared);
    return FALSE;
  }
  WCHAR shortName[kShortNameChars + 1];
  CopyShortName(entry.shortName, shortName);
  HANDLE archive = static_cast<_MVRL_OBJECT_2*>(m_control)->archive;

  RestoreEntry view;
  view.data = entry.data;
  view.name = name;
  view.shortName = shortName;
  view.hasReparseRecord = entry.storedLength != 0;

  RestoreSource source;
  // The cause of a failed data restore is kept for GetErrorCause; the
  // restore reports 1359 in its place.
  source.writeData = [&](HANDLE file) -> DWORD {
    SizedOutput output(file, RecordedFileSize(entry.data));
    const DWORD cause = InflateEntryData(
        archive, entry.dataOffset, entry.storedLength, output,
        &static_cast<_MVRL_OBJECT_2*>(m_control)->deflate, &m_cancel);
    if (cause) SetDataFailure(cause, 0);
    return cause;
  };
  source.openReparse = [&](HANDLE* file, ULONGLONG* offset) -> DWORD {
    *offset = entry.dataOffset;
    *file = archive;
    return 0;
  };
  source.closeReparse = [](HANDLE) {};  // the archive file stays open
  source.cause = &static_cast<_MVRL_OBJECT_2*>(m_control)->cause;
  // The privilege stays enabled after the descriptor is applied. A failed
  // allocation skips the descriptor; nothing here fails the restore.
  source.applyDescriptor = [&](HANDLE restored, const WCHAR*) -> DWORD {
    const DWORD length = entry.descriptorLength;
    if (length == 0) return 0;
    BYTE* copy = new (std::nothrow) BYTE[length];
    if (!copy) return 0;
    memcpy(copy, entry.tail + (entry.descriptorOffset - kV2RecordFixedSize),
           length);
    SetDescriptorUnderPrivilege(restored, copy, length, false, m_restoreOptions);
    delete[] copy;
    return 0;
  };

  ReplacePolicy policy;
  policy.options = m_restoreOptions;
  policy.storedWrite = entry.data.ftLastWriteTime;
  if (!RestoreStoredEntry(view, target, m_encryptedName, source,
                          &static_cast<_MVRL_OBJECT_2*>(m_control)->folders,
                          &policy, m_error))
    return FALSE;
  m_restoreOutcome = policy.outcome;
  LoadCurrentEntry(entry.data, name);
  return TRUE;
}
