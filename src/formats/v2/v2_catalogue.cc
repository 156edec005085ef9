// SPDX-License-Identifier: GPL-2.0-or-later
// Version 2 header and catalogue: reading them at Open into the entry
// list, writing the list and the header back at Close.
#include <vector>

#include "KvLog.h"
#include "KvMorvel.h"
#include "archive/codes.h"
#include "formats/catalogue_block.h"
#include "formats/file_io.h"
#include "formats/le_codec.h"
#include "formats/v2/v2_format.h"
#include "formats/v2/v2_record.h"
#include "formats/write_buffer.h"

namespace {

// Bytes of catalogue records gathered per write.
const size_t kV2CatalogueGather = 64 * 1024;

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

}  // namespace

BOOL CKvMorvel::InitStructuresV2(HANDLE file, _MVRL_OBJECT_2* record) {
  record->archive = file;
  ULONGLONG fileLength = 0;
  if (!ReadHeader(file, &fileLength, &record->header)) {
    m_error.SetError(ERROR_BAD_FORMAT);
    return FALSE;
  }
  if (record->header.catalogueSize != 0) {
    record->catalogue =
        ReadCatalogueBlock(file, fileLength, kV2HeaderSize,
                           record->header.catalogueOffset,
                           record->header.catalogueSize);
    if (!record->catalogue) {
      m_error.SetError(ERROR_FILE_CORRUPT);
      return FALSE;
    }
    record->catalogueBufferSize = record->header.catalogueSize;
    // New data goes behind the old catalogue, never over it (see
    // AppendPosition); FillVector raises the position past the data of
    // every entry it loads.
    record->writePosition =
        AppendPosition(kV2HeaderSize, record->header.catalogueOffset,
                       record->header.catalogueSize, 0);
    record->catalogueBytes = record->header.catalogueSize;
    record->budget = record->header.capacity - kV2HeaderSize;
  }
  m_control = record;
  m_error.SetError(ERROR_SUCCESS);
  return TRUE;
}

// Loads the raw catalogue into the entry list. The walk ends at the first
// record whose name length is above 1024, and at the first record that
// does not hold together (see DecodeV2Record), keeping the entries before
// it: an archive with a damaged tail still lists what is intact, and Info
// then ends the list with 1392, not 259 (no writer makes a name length
// above 1024 either, so that too is damage). The catalogue byte count
// then counts the loaded records only, so that a catalogue written back
// at Close matches the header that names it.
void CKvMorvel::FillVector(int load) {
  m_entries2.clear();
  m_listEndCode = ERROR_NO_MORE_ITEMS;
  _MVRL_OBJECT_2* record = static_cast<_MVRL_OBJECT_2*>(m_control);
  if (!load || !record || !record->catalogue) return;
  const DWORD end = record->catalogueBytes < record->catalogueBufferSize
                        ? record->catalogueBytes
                        : record->catalogueBufferSize;
  DWORD offset = record->catalogueCursor;
  record->atWritePosition = false;  // the write position may move here
  while (offset < end) {
    _MVRL_FILEENTRY_2 entry;
    const V2RecordState state =
        DecodeV2Record(record->catalogue + offset, end - offset, &entry);
    if (state == kV2RecordDamaged)
      CKvLog::GetInstance()->AddError(
          TEXT("Catalogue record at %u is damaged; the list ends there"),
          static_cast<unsigned>(offset));
    if (state != kV2RecordLoaded) {
      m_listEndCode = ERROR_FILE_CORRUPT;
      break;
    }
    m_entries2.push_back(entry);
    offset += entry.recordSize;
    const ULONGLONG dataEnd = entry.dataOffset + entry.storedLength;
    if (entry.storedLength != 0 && dataEnd > record->writePosition)
      record->writePosition = dataEnd;
  }
  record->catalogueBytes = offset - record->catalogueCursor;
}

BOOL CKvMorvel::WriteVector(HANDLE file) {
  // The records go out back to back in large writes from the file's
  // current position.
  FileWriteBuffer out(kV2CatalogueGather);
  out.Attach(file, 0, true);
  std::vector<BYTE> bytes(kV2EntrySize);
  for (const _MVRL_FILEENTRY_2& entry : m_entries2) {
    const DWORD size = EncodeV2Record(entry, bytes.data(), kV2EntrySize);
    if (size == 0 || !out.Append(bytes.data(), size)) return FALSE;
  }
  return out.Flush();
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
    if (!m_entries2.empty()) {
      header.catalogueOffset = record->writePosition;
      header.catalogueSize = record->catalogueBytes;
      ok = SeekTo(record->archive, record->writePosition) &&
           WriteVector(record->archive);
      m_entries2.clear();
    }
    BYTE bytes[kV2HeaderSize];
    EncodeHeader(header, bytes);
    ok = ok && CommitHeader(record->archive, bytes, sizeof(bytes));
  }
  const DWORD code = ok ? ERROR_SUCCESS : GetLastError();
  CloseHandle(record->archive);
  delete[] record->catalogue;
  delete record;
  m_control = nullptr;
  m_error.SetError(code);
  return ok;
}
