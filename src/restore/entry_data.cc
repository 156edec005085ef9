// SPDX-License-Identifier: GPL-2.0-or-later
// ReadEntryData: an entry's data streamed to a host's sink through the
// readers the restores use, held to the recorded size by the same
// SizedOutput; nothing is written to the disk and no name becomes a path.
#include "KvMorvel.h"
#include "archive/manifest.h"
#include "formats/deflate/deflate_stream.h"
#include "formats/sized_output.h"
#include "formats/v1/v1_format.h"
#include "formats/v1/v1_record.h"
#include "formats/v2/v2_format.h"
#include "formats/v5/v5_format.h"
#include "restore/data_owners.h"

namespace {

// The record at a version 1 archive's read cursor, inflated into `output`.
DWORD StreamV1(_MVRL_OBJECT* control, KvDataSink sink, void* context,
               const CancelFlag* cancel) {
  if (control->readCursor >= control->catalogue.length()) return ERROR_NO_MORE_ITEMS;
  V1Record record;
  DWORD code = ReadV1Record(control->catalogue, control->readCursor, &record);
  // Data another entry read already in this pass is refused (1392).
  if (!code) code = ClaimV1Data(control->owners, record);
  if (code) return code;
  // Reading moves the archive's file pointer away from where adds write.
  control->atWritePosition = false;
  SizedOutput output(sink, context, RecordedFileSize(record.data));
  return InflateEntryData(control->archive, record.dataOffset,
                          record.storedLength, output, &control->deflate,
                          cancel);
}

DWORD StreamV2(_MVRL_OBJECT_2* control, const _MVRL_FILEENTRY_2& entry,
               KvDataSink sink, void* context, const CancelFlag* cancel) {
  if (!HasEntryData(2, entry.data.dwFileAttributes)) return 0;
  WCHAR name[kV2TailSize / 2 + 1];
  V2EntryName(entry, name, sizeof(name) / sizeof(name[0]));
  // Data another entry read already in this pass is refused (1392).
  const DWORD shared = ClaimV2Data(control->owners, entry, name);
  if (shared) return shared;
  control->atWritePosition = false;
  SizedOutput output(sink, context, RecordedFileSize(entry.data));
  return InflateEntryData(control->archive, entry.dataOffset,
                          entry.storedLength, output, &control->deflate,
                          cancel);
}

}  // namespace

BOOL CKvMorvel::ReadEntryData(KvDataSink sink, void* context) {
  DWORD code = 0;
  if (m_version == 3)
    code = E_NOTIMPL;
  else if (!sink || !m_control || !m_read)
    code = ERROR_INVALID_PARAMETER;
  else if (m_version == 1)
    code = StreamV1(static_cast<_MVRL_OBJECT*>(m_control), sink, context,
                    &m_cancel);
  else if (m_version == 2) {
    FillVector(1);
    code = m_currentIndex < m_entries2.size()
               ? StreamV2(static_cast<_MVRL_OBJECT_2*>(m_control),
                          m_entries2[m_currentIndex], sink, context, &m_cancel)
               : ERROR_NO_MORE_ITEMS;
  } else if (m_currentIndex >= m_entries5.size()) {
    code = ERROR_NO_MORE_ITEMS;
  } else if (HasEntryData(5, m_entries5[m_currentIndex].data.dwFileAttributes)) {
    // A copy: the batch may be refilled while parts are read.
    const _MVRL_FILEENTRY_MAX_5 entry = m_entries5[m_currentIndex];
    _MVRL_OBJECT_5* record = V5Record(m_control);
    record->cause.Clear();
    // Data another entry read already in this pass is refused (1392).
    code = ClaimV5Data(record->owners, entry);
    SizedOutput output(sink, context, RecordedFileSize(entry.data));
    if (!code)
      code = ReadEntryBlocks5(record, m_archivePath,
                              [this](DWORD number) { return OpenPart5(number); },
                              entry, output, &m_cancel);
  }
  if (code) m_error.SetError(code);
  return code == 0;
}
