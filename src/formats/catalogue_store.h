// SPDX-License-Identifier: GPL-2.0-or-later
// The catalogue of an open version 1 or version 2 archive, never held
// whole in memory.
//
// The catalogue reads as one run of records: first those the archive held
// when it was opened ("stored"), read from the file where they stand,
// then those added since ("added"), which wait for Close. The first
// kAddedInMemory bytes of added records stay in memory; past that they go
// to a spill file beside the archive, made with FILE_FLAG_DELETE_ON_CLOSE
// so that nothing of it outlives the handle, even a crash. The memory an
// archive takes thus stays the same whatever the number of its entries.
//
// Close writes the new catalogue behind the data with WriteTo: a prefix of
// the stored records, copied as they stand, then the added ones.
#ifndef KVMORVEL_FORMATS_CATALOGUE_STORE_H
#define KVMORVEL_FORMATS_CATALOGUE_STORE_H

#include <memory>
#include <vector>

#include "formats/read_buffer.h"
#include "kvwin32.h"

class CatalogueStore {
 public:
  // Added records kept in memory before the first spill.
  static const DWORD kAddedInMemory = 1u << 20;

  CatalogueStore();
  ~CatalogueStore();
  CatalogueStore(const CatalogueStore&) = delete;
  CatalogueStore& operator=(const CatalogueStore&) = delete;

  // The stored records: `length` bytes at `offset` of `archive`.
  // `*filePointerHere` is the owner's note that the archive's file pointer
  // stands where its next write goes; every read of the archive clears
  // it, since a read moves the pointer.
  void Attach(HANDLE archive, ULONGLONG offset, DWORD length,
              bool* filePointerHere);
  // The archive's own path: a spill file is made in its folder (the one
  // folder the caller is known to write to, on the archive's volume).
  void SetArchivePath(LPCWSTR path);

  ULONGLONG stored() const { return storedLength_; }
  ULONGLONG added() const { return spilled_ + memory_.size(); }
  ULONGLONG length() const { return stored() + added(); }

  // Reads up to `size` bytes at `offset` of the catalogue, across the
  // border of stored and added records as one run would. `*got` is short
  // only where the catalogue ends. False, with the last error, when a
  // read fails.
  bool ReadAt(ULONGLONG offset, BYTE* out, DWORD size, DWORD* got);

  // Adds one record behind the others. False, with the last error (and
  // the catalogue unchanged), when the spill file cannot be made or
  // written, or `size` is 0 (a record that could not be encoded, 1359);
  // the owner's file-pointer note is then cleared.
  bool Add(const BYTE* record, DWORD size);

  // Writes the first `storedBytes` of the stored records, then every added
  // record, at `position` of `file` (the archive). The store itself is
  // unchanged, so a failed Close can write again. False with the last
  // error.
  bool WriteTo(HANDLE file, ULONGLONG position, DWORD storedBytes);

 private:
  bool AddBytes(const BYTE* record, DWORD size);
  bool OpenSpillFile();
  bool SpillMemory();
  bool ReadStored(ULONGLONG offset, BYTE* out, DWORD size, DWORD* got);
  bool ReadAdded(ULONGLONG offset, BYTE* out, DWORD size, DWORD* got);

  HANDLE archive_ = INVALID_HANDLE_VALUE;
  ULONGLONG offset_ = 0;
  DWORD storedLength_ = 0;
  bool* filePointerHere_ = nullptr;
  FileReadBuffer in_;
  std::vector<WCHAR> archivePath_;
  std::vector<BYTE> memory_;  // added records behind the spilled ones
  HANDLE spill_ = INVALID_HANDLE_VALUE;
  ULONGLONG spilled_ = 0;
};

#endif  // KVMORVEL_FORMATS_CATALOGUE_STORE_H
