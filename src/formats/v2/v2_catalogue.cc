// SPDX-License-Identifier: GPL-2.0-or-later
// Version 2 header and catalogue: checking them at Open, listing the
// catalogue a window at a time, writing it and the header back at Close.
#include <vector>

#include "KvLog.h"
#include "KvMorvel.h"
#include "archive/codes.h"
#include "formats/catalogue_block.h"
#include "formats/file_io.h"
#include "formats/le_codec.h"
#include "formats/v2/v2_format.h"
#include "formats/v2/v2_record.h"

namespace {

void DecodeHeader(const BYTE* bytes, MvrlHeaderV2* header) {
  LeReader r(bytes, kV2HeaderSize);
  r.Bytes(header->signature, sizeof(header->signature));
  header->version = r.U32();
  header->dataStart = r.U64();
  header->catalogueOffset = r.U64();
  header->catalogueSize = r.U32();
  header->capacity = r.U64();
}

void EncodeHeader(const MvrlHeaderV2& header, BYTE* bytes) {
  LeWriter w(bytes, kV2HeaderSize);
  w.Bytes(header.signature, sizeof(header.signature));
  w.U32(header.version);
  w.U64(header.dataStart);
  w.U64(header.catalogueOffset);
  w.U32(header.catalogueSize);
  w.U64(header.capacity);
}

// Reads the header; false when the file is shorter than it, the read
// comes up short, the signature differs or the version is not 2.
bool ReadHeader(HANDLE file, ULONGLONG* fileLength, MvrlHeaderV2* header) {
  BYTE bytes[kV2HeaderSize];
  if (!ReadHeaderBlock(file, bytes, sizeof(bytes), fileLength)) return false;
  DecodeHeader(bytes, header);
  return HasArchiveSignature(header->signature) && header->version == 2;
}

bool HasArchive(const _MVRL_OBJECT_2* record) {
  return record && record->archive && record->archive != INVALID_HANDLE_VALUE;
}

// Walks the stored records once at Open, holding one at a time, and
// gives the code that will end the list. False when a read fails. The walk
// ends at the first record whose name length is above 1024, and at the
// first record that does not hold together (see DecodeV2Record): the
// records before it are listed and Info then ends the list with 1392, not
// 259 (no writer makes a name length above 1024 either, so that too is
// damage). Only those records are written back at Close, so that the
// catalogue matches the header that names it.
bool ScanCatalogue(_MVRL_OBJECT_2* record, DWORD* endCode) {
  *endCode = ERROR_NO_MORE_ITEMS;
  const ULONGLONG end = record->catalogue.stored();
  ULONGLONG offset = 0;
  while (offset < end) {
    _MVRL_FILEENTRY_2 entry;
    const V2RecordState state =
        ReadV2Record(record->catalogue, offset, &entry);
    // A record that cannot be read is not damage: the archive does not
    // open, rather than lose at Close what could not be read now.
    if (state == kV2RecordUnread) return false;
    if (state == kV2RecordDamaged)
      CKvLog::GetInstance()->AddError(
          TEXT("Catalogue record at %u is damaged; the list ends there"),
          static_cast<unsigned>(offset));
    if (state != kV2RecordLoaded) {
      *endCode = ERROR_FILE_CORRUPT;
      break;
    }
    offset += entry.recordSize;
    const ULONGLONG dataEnd = entry.dataOffset + entry.storedLength;
    if (entry.storedLength != 0 && dataEnd > record->writePosition)
      record->writePosition = dataEnd;
  }
  record->storedIntact = static_cast<DWORD>(offset);
  record->catalogueBytes = record->storedIntact;
  return true;
}

}  // namespace

BOOL CKvMorvel::InitStructuresV2(HANDLE file, _MVRL_OBJECT_2* record) {
  record->archive = file;
  ULONGLONG fileLength = 0;
  if (!ReadHeader(file, &fileLength, &record->header)) {
    m_error.SetError(ERROR_BAD_FORMAT);
    return FALSE;
  }
  const MvrlHeaderV2& header = record->header;
  if (header.catalogueSize != 0 &&
      !CatalogueBlockFits(fileLength, kV2HeaderSize, header.catalogueOffset,
                          header.catalogueSize)) {
    m_error.SetError(ERROR_FILE_CORRUPT);
    return FALSE;
  }
  record->catalogue.Attach(file, header.catalogueOffset, header.catalogueSize,
                           &record->atWritePosition);
  record->catalogue.SetArchivePath(m_archivePath);
  if (header.catalogueSize != 0) {
    // New data goes behind the old catalogue, never over it (see
    // AppendPosition); ScanCatalogue raises the position past the data
    // of every entry.
    record->writePosition = AppendPosition(
        kV2HeaderSize, header.catalogueOffset, header.catalogueSize, 0);
    record->budget = header.capacity - kV2HeaderSize;
  }
  m_nextCataloguePos = 0;
  if (!ScanCatalogue(record, &m_listEndCode)) {
    m_error.SetError(ERROR_FILE_CORRUPT);
    return FALSE;
  }
  m_control = record;
  m_error.SetError(ERROR_SUCCESS);
  return TRUE;
}

// The entry list holds a window of the catalogue, kV2Batch entries at a
// time, so that listing an archive takes the same memory whatever its
// size. While the index stands inside the list this does nothing; once
// it has passed the end, the next records (the intact stored ones, then
// those added since Open) replace the list and the index starts over.
// Without `load` the list is emptied.
void CKvMorvel::FillVector(int load) {
  _MVRL_OBJECT_2* record = static_cast<_MVRL_OBJECT_2*>(m_control);
  if (load && m_currentIndex < m_entries2.size()) return;
  m_entries2.clear();
  m_currentIndex = 0;
  if (!load || !record) return;
  CatalogueStore& catalogue = record->catalogue;
  ULONGLONG offset = m_nextCataloguePos;
  while (m_entries2.size() < kV2Batch) {
    // The damaged tail of the stored records is passed over.
    if (offset >= record->storedIntact && offset < catalogue.stored())
      offset = catalogue.stored();
    if (offset >= catalogue.length()) break;
    _MVRL_FILEENTRY_2 entry;
    if (ReadV2Record(catalogue, offset, &entry) != kV2RecordLoaded) {
      m_listEndCode = LastErrorOr(ERROR_FILE_CORRUPT);
      break;
    }
    m_entries2.push_back(entry);
    offset += entry.recordSize;
  }
  m_nextCataloguePos = offset;
}

// Writes the catalogue into `file` (the archive) at the write position:
// the intact stored records as they stand, then those added.
BOOL CKvMorvel::WriteVector(HANDLE file) {
  _MVRL_OBJECT_2* record = static_cast<_MVRL_OBJECT_2*>(m_control);
  return record->catalogue.WriteTo(file, record->writePosition,
                                   record->storedIntact);
}

BOOL CKvMorvel::CloseStructuresV2() {
  _MVRL_OBJECT_2* record = static_cast<_MVRL_OBJECT_2*>(m_control);
  if (!HasArchive(record)) {
    m_error.SetError(kErrorNoArchive);
    return FALSE;
  }
  MvrlHeaderV2& header = record->header;
  if (header.dataStart == 0) header.dataStart = kV2HeaderSize;
  BOOL ok = TRUE;
  if (record->modified) {
    // The catalogue goes behind the data (behind the old catalogue when
    // appending), and the header that names it is written last (see
    // CommitHeader): a failure on the way leaves the old archive whole.
    header.catalogueOffset = 0;
    header.catalogueSize = 0;
    if (record->catalogueBytes != 0) {
      header.catalogueOffset = record->writePosition;
      header.catalogueSize = record->catalogueBytes;
      ok = WriteVector(record->archive);
    }
    BYTE bytes[kV2HeaderSize];
    EncodeHeader(header, bytes);
    ok = ok && CommitHeader(record->archive, bytes, sizeof(bytes));
  }
  const DWORD code = ok ? ERROR_SUCCESS : GetLastError();
  CloseHandle(record->archive);
  delete record;
  m_control = nullptr;
  m_entries2.clear();
  m_error.SetError(code);
  return ok;
}
