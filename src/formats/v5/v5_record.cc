// SPDX-License-Identifier: GPL-2.0-or-later
// Field codecs of the version 5 header and entry record.
#include "common/archive_constants.h"
#include "formats/v5/v5_record.h"

#include <cstring>

#include "formats/le_codec.h"

void EncodeV5Header(const _MVRL_HEADER_5& header,
                    BYTE (&out)[kV5HeaderSize]) {
  LeWriter w(out, sizeof(out));
  w.Bytes(header.signature, 8);
  w.U32(header.version);
  w.U64(header.dataStart);
  w.U64(header.catalogueOffset);
  w.U32(header.reserved1);
  w.U32(header.reserved2);
  w.U32(header.partCount);
}

_MVRL_HEADER_5 DecodeV5Header(const BYTE (&in)[kV5HeaderSize]) {
  LeReader r(in, sizeof(in));
  _MVRL_HEADER_5 h = {};
  r.Bytes(h.signature, 8);
  h.version = r.U32();
  h.dataStart = r.U64();
  h.catalogueOffset = r.U64();
  h.reserved1 = r.U32();
  h.reserved2 = r.U32();
  h.partCount = r.U32();
  return h;
}

bool IsV5Header(const _MVRL_HEADER_5& header) {
  return memcmp(header.signature, kArchiveSignature, 8) == 0 && header.version == 5;
}

size_t EncodeV5Record(const _MVRL_FILEENTRY_MAX_5& e, BYTE* out,
                      size_t capacity) {
  if (e.nameLength > kV5NameChars) return 0;
  const DWORD size = V5RecordSize(e.nameLength);
  if (size > capacity) return 0;
  LeWriter w(out, capacity);
  // The record size is the length of what follows, whatever the field
  // held, so that a reader always lands on the next record.
  w.U32(size);
  WriteAttributeData(w, e.data);
  w.U64(e.storedLength);
  w.U64(e.blockCount);
  w.U64(e.dataOffset);
  w.U64(e.descriptorOffset);
  w.U32(e.dataPart);
  w.U32(e.descriptorPart);
  w.Wide(e.shortName, 14);
  w.U16(e.nameLength);
  w.Wide(e.name, e.nameLength);
  return w.ok() ? w.pos() : 0;
}

V5RecordCheck DecodeV5Record(const BYTE* in, size_t size, ULONGLONG room,
                             _MVRL_FILEENTRY_MAX_5* e) {
  if (size < kV5RecordFixedSize) return kV5RecordDamaged;
  LeReader r(in, size);
  e->recordSize = r.U32();
  e->data = ReadAttributeData(r);
  e->storedLength = r.U64();
  e->blockCount = r.U64();
  e->dataOffset = r.U64();
  e->descriptorOffset = r.U64();
  e->dataPart = r.U32();
  e->descriptorPart = r.U32();
  r.Wide(e->shortName, 14);
  e->nameLength = r.U16();
  const DWORD nameLength = e->nameLength;
  if (nameLength < 1 || nameLength > kV5NameChars) return kV5RecordDamaged;
  if (e->recordSize < V5RecordSize(nameLength)) return kV5RecordDamaged;
  if (e->recordSize > room) return kV5RecordDamaged;
  if (r.remaining() < 2u * nameLength) return kV5RecordDamaged;
  r.Wide(e->name, nameLength);
  if (e->name[nameLength - 1] != 0) return kV5RecordDamaged;
  // The short name field need not be terminated on disk; the in-memory
  // copy always is, so readers can treat it as a string.
  e->shortName[13] = 0;
  return kV5RecordGood;
}
