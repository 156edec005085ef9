// SPDX-License-Identifier: GPL-2.0-or-later
// Version 1 header and catalogue: reading them at Open, walking the
// catalogue for Info, writing them back at Close.
#include "KvMorvel.h"
#include "archive/codes.h"
#include "formats/catalogue_block.h"
#include "formats/file_io.h"
#include "formats/le_codec.h"
#include "formats/v1/v1_format.h"
#include "formats/v1/v1_record.h"

namespace {

void DecodeHeader(const BYTE* bytes, MvrlHeaderV1* header) {
  LeReader r(bytes, kV1HeaderSize);
  r.Bytes(header->signature, sizeof(header->signature));
  header->version = r.U32();
  header->dataStart = r.U64();
  header->catalogueOffset = r.U64();
  header->catalogueLength = r.U32();
}

void EncodeHeader(const MvrlHeaderV1& header, BYTE* bytes) {
  LeWriter w(bytes, kV1HeaderSize);
  w.Bytes(header.signature, sizeof(header.signature));
  w.U32(header.version);
  w.U64(header.dataStart);
  w.U64(header.catalogueOffset);
  w.U32(header.catalogueLength);
}

// Reads the header; false when the file is shorter than it, the read
// comes up short, the signature differs or the version is above 1.
bool ReadHeader(HANDLE file, ULONGLONG* fileLength, MvrlHeaderV1* header) {
  BYTE bytes[kV1HeaderSize];
  if (!ReadHeaderBlock(file, bytes, sizeof(bytes), fileLength)) return false;
  DecodeHeader(bytes, header);
  return HasArchiveSignature(header->signature) && header->version <= 1;
}

// The end of the furthest entry data the catalogue names, in `*end`; the
// walk stops at the first record that does not hold together. False when
// a read fails: an append must not guess where the data ends.
bool FindDataEnd(_MVRL_OBJECT& record, ULONGLONG* end) {
  *end = 0;
  DWORD offset = 0;
  V1Record entry;
  while (offset < record.catalogue.length()) {
    const DWORD code = ReadV1Record(record.catalogue, offset, &entry);
    if (code == ERROR_FILE_CORRUPT) return true;
    if (code) return false;
    if (entry.storedLength != 0 &&
        entry.dataOffset + entry.storedLength > *end)
      *end = entry.dataOffset + entry.storedLength;
    offset += V1RecordLength(entry.nameLength);
  }
  return true;
}

void ReleaseRecord(_MVRL_OBJECT* record) {
  CloseHandle(record->archive);
  delete record;
}

// Close in write mode: the catalogue first, then the header that names it
// (see CommitHeader). Records only ever join the catalogue, so one with
// none added stays in its own place, and an archive opened and closed
// without adds keeps its bytes. Otherwise the whole catalogue goes behind
// the data added since Open, and the old one stays a gap. Nothing of the
// record changes, so a failed Close can be tried again.
bool WriteCatalogueAndHeaderV1(_MVRL_OBJECT* record) {
  MvrlHeaderV1 header = record->header;
  if (header.dataStart == 0) header.dataStart = kV1HeaderSize;
  CatalogueStore& catalogue = record->catalogue;
  if (catalogue.added() != 0) {
    header.catalogueOffset = record->writePosition;
    header.catalogueLength = static_cast<DWORD>(catalogue.length());
    if (!catalogue.WriteTo(record->archive, header.catalogueOffset,
                          catalogue.stored()))
      return false;
  } else if (catalogue.length() == 0) {
    header.catalogueOffset = 0;
    header.catalogueLength = 0;
  }
  BYTE bytes[kV1HeaderSize];
  EncodeHeader(header, bytes);
  if (!CommitHeader(record->archive, bytes, sizeof(bytes))) return false;
  record->header = header;
  return true;
}

}  // namespace

BOOL CKvMorvel::InitStructuresV1(HANDLE file, _MVRL_OBJECT* record) {
  record->archive = file;
  ULONGLONG fileLength = 0;
  if (!ReadHeader(file, &fileLength, &record->header)) {
    m_error.SetError(ERROR_BAD_FORMAT);
    return FALSE;
  }
  if (record->header.catalogueLength != 0 &&
      !CatalogueBlockFits(fileLength, kV1HeaderSize,
                          record->header.catalogueOffset,
                          record->header.catalogueLength)) {
    m_error.SetError(ERROR_FILE_CORRUPT);
    return FALSE;
  }
  record->catalogue.Attach(file, record->header.catalogueOffset,
                           record->header.catalogueLength,
                           &record->atWritePosition);
  record->catalogue.SetArchivePath(m_archivePath);
  // New data goes behind the old catalogue, never over it (see
  // AppendPosition); Close writes the new catalogue behind the new data.
  // Only an append needs to know where the data ends; a reader skips the
  // walk, which would read the whole catalogue once more.
  ULONGLONG dataEnd = 0;
  if (!m_read && !FindDataEnd(*record, &dataEnd)) {
    m_error.SetError(ERROR_FILE_CORRUPT);
    return FALSE;
  }
  record->writePosition = AppendPosition(
      kV1HeaderSize, record->header.catalogueOffset,
      record->header.catalogueLength, dataEnd);
  m_control = record;
  m_error.SetError(ERROR_SUCCESS);
  return TRUE;
}

BOOL CKvMorvel::CloseStructuresV1() {
  _MVRL_OBJECT* record = static_cast<_MVRL_OBJECT*>(m_control);
  if (!record) {
    m_error.SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (!record->archive || record->archive == INVALID_HANDLE_VALUE) {
    m_error.SetError(kErrorNoArchive);
    return FALSE;
  }
  if (!m_read && !WriteCatalogueAndHeaderV1(record)) {
    m_error.SetError(GetLastError());
    return FALSE;
  }
  ReleaseRecord(record);
  m_control = nullptr;
  m_error.SetError(ERROR_SUCCESS);
  return TRUE;
}

ULONGLONG CKvMorvel::GetFileSize64(HANDLE file) {
  ULONGLONG length = 0;
  return FileLength(file, &length) ? length : 0;
}

// Entry names up to 455 characters are stored; the current entry's name
// field holds 259, so a longer name is cut there for the accessors (the
// restore reads the whole name from the record).
BOOL CKvMorvel::InfoV1(BOOL advance) {
  _MVRL_OBJECT* record = static_cast<_MVRL_OBJECT*>(m_control);
  if (!record) {
    m_error.SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (record->readCursor >= record->catalogue.length()) {
    m_error.SetError(ERROR_NO_MORE_ITEMS);
    return FALSE;
  }
  V1Record entry;
  const DWORD code = ReadV1Record(record->catalogue, record->readCursor, &entry);
  if (code) {
    m_error.SetError(code);
    return FALSE;
  }
  m_entryData = entry.data;
  SetEntryName(entry.name);
  if (advance) record->readCursor += V1RecordLength(entry.nameLength);
  return TRUE;
}
