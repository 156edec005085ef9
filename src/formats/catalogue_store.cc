// SPDX-License-Identifier: GPL-2.0-or-later
// The catalogue of an open version 1 or 2 archive: stored records read
// from the archive, added records in memory and in a spill file.
#include "formats/catalogue_store.h"

#include <cstring>
#include <new>

#include "formats/file_io.h"

namespace {

// The window stored records are read through, and the piece Close copies
// at a time.
const DWORD kReadWindow = 64 * 1024;
const DWORD kCopyPiece = 256 * 1024;
// Names tried for a spill file before giving up.
const unsigned kSpillNameTries = 16;

// The folder part of `path` with its separator ("" for a bare name).
size_t FolderLength(const std::vector<WCHAR>& path) {
  size_t length = 0;
  for (size_t i = 0; i < path.size() && path[i]; ++i)
    if (path[i] == '\\' || path[i] == '/' || path[i] == ':') length = i + 1;
  return length;
}

}  // namespace

CatalogueStore::CatalogueStore() : in_(kReadWindow) {}

CatalogueStore::~CatalogueStore() {
  if (spill_ != INVALID_HANDLE_VALUE) CloseHandle(spill_);
}

void CatalogueStore::Attach(HANDLE archive, ULONGLONG offset, DWORD length,
                            bool* filePointerHere) {
  archive_ = archive;
  offset_ = offset;
  storedLength_ = length;
  filePointerHere_ = filePointerHere;
  in_.Reset(archive);
}

void CatalogueStore::SetArchivePath(LPCWSTR path) {
  archivePath_.assign(path, path + lstrlenW(path) + 1);
}

bool CatalogueStore::ReadStored(ULONGLONG offset, BYTE* out, DWORD size,
                                DWORD* got) {
  *got = 0;
  if (offset >= storedLength_ || size == 0) return true;
  const ULONGLONG left = storedLength_ - offset;
  const DWORD n = left < size ? static_cast<DWORD>(left) : size;
  if (filePointerHere_) *filePointerHere_ = false;
  return in_.ReadAt(offset_ + offset, out, n, got);
}

bool CatalogueStore::ReadAdded(ULONGLONG offset, BYTE* out, DWORD size,
                               DWORD* got) {
  *got = 0;
  while (*got < size && offset < added()) {
    DWORD n = 0;
    if (offset < spilled_) {
      const ULONGLONG left = spilled_ - offset;
      const DWORD want = left < size - *got ? static_cast<DWORD>(left)
                                            : size - *got;
      if (!SeekTo(spill_, offset) ||
          !ReadFile(spill_, out + *got, want, &n, nullptr))
        return false;
      if (n == 0) return true;  // the spill file came up short
    } else {
      const size_t from = static_cast<size_t>(offset - spilled_);
      const size_t left = memory_.size() - from;
      n = left < size - *got ? static_cast<DWORD>(left) : size - *got;
      memcpy(out + *got, memory_.data() + from, n);
    }
    *got += n;
    offset += n;
  }
  return true;
}

bool CatalogueStore::ReadAt(ULONGLONG offset, BYTE* out, DWORD size,
                            DWORD* got) {
  if (!ReadStored(offset, out, size, got)) return false;
  if (*got == size || offset + *got < storedLength_) return true;
  DWORD more = 0;
  const bool ok =
      ReadAdded(offset + *got - storedLength_, out + *got, size - *got, &more);
  *got += more;
  return ok;
}

// The spill file goes beside the archive as "~kvcat<tick>-<n>.tmp";
// CREATE_NEW never takes over a file that is there. With
// FILE_FLAG_DELETE_ON_CLOSE it is gone once its handle closes, whatever
// ends the process. Left to the implementer: a folder so long that the
// name does not fit fails the add with 206 rather than spill elsewhere.
bool CatalogueStore::OpenSpillFile() {
  const size_t folder = FolderLength(archivePath_);
  for (unsigned n = 0; n < kSpillNameTries; ++n) {
    WCHAR leaf[64];
    KvFormatW(leaf, 64, TEXT("~kvcat%u-%u.tmp"),
              static_cast<unsigned>(GetTickCount()), n);
    const size_t leafLength = static_cast<size_t>(lstrlenW(leaf));
    if (folder + leafLength >= MAX_PATH) {
      SetLastError(ERROR_FILENAME_EXCED_RANGE);
      return false;
    }
    WCHAR name[MAX_PATH];
    memcpy(name, archivePath_.data(), folder * sizeof(WCHAR));
    memcpy(name + folder, leaf, (leafLength + 1) * sizeof(WCHAR));
    spill_ = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                         CREATE_NEW,
                         FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_HIDDEN |
                             FILE_FLAG_DELETE_ON_CLOSE,
                         nullptr);
    if (spill_ != INVALID_HANDLE_VALUE) return true;
    if (GetLastError() != ERROR_FILE_EXISTS) return false;
  }
  return false;
}

// Moves the records held in memory to the end of the spill file.
bool CatalogueStore::SpillMemory() {
  if (spill_ == INVALID_HANDLE_VALUE && !OpenSpillFile()) return false;
  if (!WriteAt(spill_, spilled_, memory_.data(),
               static_cast<DWORD>(memory_.size())))
    return false;
  spilled_ += memory_.size();
  memory_.clear();
  return true;
}

bool CatalogueStore::Add(const BYTE* record, DWORD size) {
  if (AddBytes(record, size)) return true;
  // The caller wrote the entry's data before its record: the file pointer
  // stands behind data the next add must write over.
  if (filePointerHere_) *filePointerHere_ = false;
  return false;
}

bool CatalogueStore::AddBytes(const BYTE* record, DWORD size) {
  if (size == 0) {  // the record could not be encoded
    SetLastError(ERROR_INTERNAL_ERROR);
    return false;
  }
  if (memory_.size() + size > kAddedInMemory && !memory_.empty() &&
      !SpillMemory())
    return false;
  try {
    memory_.insert(memory_.end(), record, record + size);
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
  return true;
}

bool CatalogueStore::WriteTo(HANDLE file, ULONGLONG position,
                             DWORD storedBytes) {
  std::unique_ptr<BYTE[]> piece(new (std::nothrow) BYTE[kCopyPiece]);
  if (!piece) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
  if (filePointerHere_) *filePointerHere_ = false;
  const ULONGLONG end = static_cast<ULONGLONG>(storedBytes) + added();
  // Offsets of the catalogue as one run; the part skipped is the stored
  // records behind the prefix kept.
  for (ULONGLONG at = 0; at < end;) {
    const ULONGLONG from = at < storedBytes ? at : at - storedBytes + storedLength_;
    const ULONGLONG limit = at < storedBytes ? storedBytes : end;
    const DWORD want = limit - at < kCopyPiece ? static_cast<DWORD>(limit - at)
                                               : kCopyPiece;
    DWORD got = 0;
    if (!ReadAt(from, piece.get(), want, &got)) return false;
    if (got != want) {
      SetLastError(ERROR_HANDLE_EOF);
      return false;
    }
    if (!WriteAt(file, position + at, piece.get(), got)) return false;
    at += got;
  }
  return true;
}
