// SPDX-License-Identifier: GPL-2.0-or-later
#include "formats/v2/v2_record.h"

#include <cstring>

#include "common/le_bytes.h"
#include "formats/le_codec.h"

namespace {

void DecodeFixedPart(LeReader& r, _MVRL_FILEENTRY_2* e) {
  e->recordSize = r.U32();
  e->data = ReadAttributeData(r);
  e->storedLength = r.U64();
  e->dataOffset = r.U64();
  r.Wide(e->shortName, 14);
  e->nameLength = r.U16();
  e->descriptorLength = r.U16();
  e->descriptorOffset = r.U16();
}

}  // namespace

V2RecordState DecodeV2Record(const BYTE* bytes, DWORD remaining,
                             _MVRL_FILEENTRY_2* entry) {
  if (remaining < static_cast<DWORD>(kV2RecordFixedSize))
    return kV2RecordDamaged;
  _MVRL_FILEENTRY_2 e;
  LeReader r(bytes, kV2RecordFixedSize);
  DecodeFixedPart(r, &e);
  if (e.nameLength > kV2MaxNameLength) return kV2RecordNameStop;
  const DWORD nameBytes = 2u * e.nameLength;
  const DWORD tailBytes = nameBytes + e.descriptorLength;
  if (e.nameLength == 0 || tailBytes > static_cast<DWORD>(kV2TailSize) ||
      e.recordSize != kV2RecordFixedSize + tailBytes ||
      e.recordSize > remaining)
    return kV2RecordDamaged;
  if (e.descriptorLength != 0 &&
      e.descriptorOffset != kV2RecordFixedSize + nameBytes)
    return kV2RecordDamaged;
  memset(e.tail, 0, sizeof(e.tail));
  memcpy(e.tail, bytes + kV2RecordFixedSize, tailBytes);
  *entry = e;
  return kV2RecordLoaded;
}

V2RecordState ReadV2Record(CatalogueStore& catalogue, ULONGLONG offset,
                           _MVRL_FILEENTRY_2* entry) {
  BYTE bytes[kV2EntrySize];
  DWORD length = 0;
  if (!catalogue.ReadAt(offset, bytes, kV2RecordFixedSize, &length))
    return kV2RecordUnread;
  if (length == kV2RecordFixedSize) {
    const DWORD size = LoadU32(bytes);
    const DWORD limit = kV2EntrySize;
    const DWORD want = size < limit ? size : limit;
    DWORD rest = 0;
    if (want > length &&
        !catalogue.ReadAt(offset + length, bytes + length, want - length, &rest))
      return kV2RecordUnread;
    length += rest;
  }
  // Where the record claims more than was read, the decoder sees the
  // catalogue's end there, or a size no entry holds: damaged either way.
  return DecodeV2Record(bytes, length, entry);
}

DWORD EncodeV2Record(const _MVRL_FILEENTRY_2& e, BYTE* out, DWORD room) {
  if (e.recordSize < static_cast<DWORD>(kV2RecordFixedSize) ||
      e.recordSize > static_cast<DWORD>(kV2EntrySize) || e.recordSize > room)
    return 0;
  LeWriter w(out, e.recordSize);
  w.U32(e.recordSize);
  WriteAttributeData(w, e.data);
  w.U64(e.storedLength);
  w.U64(e.dataOffset);
  w.Wide(e.shortName, 14);
  w.U16(e.nameLength);
  w.U16(e.descriptorLength);
  w.U16(e.descriptorOffset);
  w.Bytes(e.tail, e.recordSize - kV2RecordFixedSize);
  return w.ok() ? e.recordSize : 0;
}

bool SetV2EntryName(_MVRL_FILEENTRY_2* entry, LPCWSTR name, DWORD length,
                    DWORD descriptorLength) {
  const ULONGLONG needed = 2ull * (length + 1ull) + descriptorLength;
  if (length + 1ull > kV2MaxNameLength || needed > kV2TailSize) return false;
  LeWriter w(entry->tail, kV2TailSize);
  w.Wide(name, length);
  w.U16(0);
  entry->nameLength = static_cast<WORD>(length + 1);
  return w.ok();
}

void SetV2EntryDescriptor(_MVRL_FILEENTRY_2* entry, const BYTE* descriptor,
                          DWORD length) {
  const DWORD nameBytes = 2u * entry->nameLength;
  entry->descriptorOffset = static_cast<WORD>(kV2RecordFixedSize + nameBytes);
  entry->descriptorLength = static_cast<WORD>(length);
  if (length) memcpy(entry->tail + nameBytes, descriptor, length);
  entry->recordSize = kV2RecordFixedSize + nameBytes + length;
}
