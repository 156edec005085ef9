// SPDX-License-Identifier: GPL-2.0-or-later
#include "formats/v1/v1_record.h"

#include "common/le_bytes.h"
#include "formats/file_io.h"
#include "formats/le_codec.h"

DWORD EncodeV1Record(const V1Record& record, BYTE* out, DWORD room) {
  const DWORD n = record.nameLength;
  if (n == 0 || n > kV1MaxNameLength) return 0;
  const DWORD size = V1RecordLength(n);
  if (size > room) return 0;
  LeWriter w(out, size);
  WriteAttributeData(w, record.data);
  w.U64(record.storedLength);
  w.U64(record.dataOffset);
  w.U16(static_cast<uint16_t>(n));
  w.Wide(record.shortName, kShortNameChars);
  w.Wide(record.directoryShortName, kShortNameChars);
  w.Wide(record.name, n - 1);
  w.U16(0);  // the name's terminator
  w.U16(0);  // record end
  return w.ok() ? size : 0;
}

bool DecodeV1Record(const BYTE* catalogue, DWORD length, DWORD offset,
                    V1Record* record) {
  if (!catalogue || offset > length ||
      length - offset < static_cast<DWORD>(kV1RecordFixedSize))
    return false;
  LeReader r(catalogue + offset, length - offset);
  record->data = ReadAttributeData(r);
  record->storedLength = r.U64();
  record->dataOffset = r.U64();
  record->nameLength = r.U16();
  r.Wide(record->shortName, kShortNameChars);
  r.Wide(record->directoryShortName, kShortNameChars);
  const DWORD n = record->nameLength;
  if (n == 0 || n > kV1MaxNameLength || V1RecordLength(n) > length - offset)
    return false;
  r.Wide(record->name, n);
  record->name[n - 1] = 0;
  record->shortName[kShortNameChars - 1] = 0;
  record->directoryShortName[kShortNameChars - 1] = 0;
  return r.ok();
}

DWORD ReadV1Record(CatalogueStore& catalogue, DWORD offset, V1Record* record) {
  BYTE bytes[kV1MaxRecordSize];
  DWORD length = 0;
  if (!catalogue.ReadAt(offset, bytes, kV1RecordFixedSize, &length))
    return LastErrorOr(ERROR_HANDLE_EOF);
  const DWORD n =
      length == kV1RecordFixedSize ? LoadU16(bytes + kV1NameLengthOffset) : 0;
  if (n != 0 && n <= kV1MaxNameLength) {
    DWORD rest = 0;
    if (!catalogue.ReadAt(static_cast<ULONGLONG>(offset) + length, bytes + length,
                          V1RecordLength(n) - length, &rest))
      return LastErrorOr(ERROR_HANDLE_EOF);
    length += rest;
  }
  return DecodeV1Record(bytes, length, 0, record) ? 0 : ERROR_FILE_CORRUPT;
}
