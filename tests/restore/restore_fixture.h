// SPDX-License-Identifier: GPL-2.0-or-later
// Archives the restore tests write byte by byte (support/archive_bytes.h)
// and restore as a host does: Open, Info to walk to an entry, ExtractFile.
#ifndef KVMORVEL_TESTS_RESTORE_FIXTURE_H
#define KVMORVEL_TESTS_RESTORE_FIXTURE_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "KvMorvel.h"
#include "kvwin32.h"
#include "support/archive_bytes.h"
#include "support/bytes.h"
#include "support/test_support.h"

// WriteBytes after creating the missing folders above `path`.
void WriteNested(const std::string& path, const std::string& bytes);
// Overwrites the bytes of the file at `path` from offset `at` on.
void Patch(const std::string& path, size_t at, const std::string& bytes);
bool IsLink(const std::string& path);

DWORD LayerAttributes(const std::string& path);
unsigned long long LayerWriteTime(const std::string& path);
// The self-relative descriptor the layer gives for `path`; empty if none.
std::string LayerDescriptor(const std::string& path);

// The current entry's name and its name for an encrypted restore.
std::string CurrentName(CKvMorvel& object);
std::string EncryptedName(CKvMorvel& object);

// `e` with its data (or reparse record) at `offset`.
StoredEntry DataAt(StoredEntry e, unsigned long long offset);
// A folder entry whose reparse record is `length` bytes at the data offset.
StoredEntry Reparse(const std::string& name, unsigned long long length,
                    DWORD attributes = 0x410);

// Whether an error line ends with " - <code>" and names `what`, as the
// restore's "Cannot restore data of <path> - <cause>" line does.
bool HasErrorLine(const LogCapture& log, const std::string& what,
                  DWORD code);

struct Restoring : ::testing::Test {
  TempDir dir;
  std::string out = dir / "out";
  CKvMorvel arc;
  std::string path;  // the archive's main file, set by the writers

  void TearDown() override { Close(); }
  // Version 5 at "arc.mvr" with its parts; versions 1 and 2 at "a.arc".
  void WriteV5(const std::vector<StoredEntry>& entries,
               const std::vector<std::string>& parts);
  void WriteV1OrV2(DWORD version, const std::vector<StoredEntry>& entries,
                   const std::string& data);
  std::string Part(unsigned n) const { return V5PartPath(path, n); }

  // Opens the archive afresh, closing it first if it is open.
  bool OpenArchive();
  void Close();
  // Opens the archive afresh and walks Info to entry `index`.
  bool At(DWORD index);
  // Restores the current entry; stale codes are left right before, so a
  // failure code checked after it is the restore's own.
  BOOL Extract(const std::string& target, int flag = 0);
  BOOL Restore(DWORD index, const std::string& target, int flag = 0) {
    return At(index) && Extract(target, flag);
  }
  // Restores every entry in turn through the host's loop: each restore's
  // code, 0 on success.
  std::vector<DWORD> RestoreAll(const std::string& target);

 private:
  bool open_ = false;
};

#endif  // KVMORVEL_TESTS_RESTORE_FIXTURE_H
