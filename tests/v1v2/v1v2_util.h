// SPDX-License-Identifier: GPL-2.0-or-later
// Helpers of the version 1 and 2 tests: chunk parsing and an independent
// zlib reader.
#ifndef KVMORVEL_TESTS_V1V2_UTIL_H
#define KVMORVEL_TESTS_V1V2_UTIL_H

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <string>
#include <vector>

#include "KvMorvel.h"
#include "kvwin32.h"
#include "support/archive_bytes.h"
#include "support/bytes.h"
#include "support/test_support.h"

// Splits a chunked stream of `stored` bytes at `offset` into payloads.
// Fails the test when a length runs past the stored bytes.
std::vector<std::string> SplitChunks(const std::string& bytes, size_t offset,
                                     size_t stored);
std::string Join(const std::vector<std::string>& parts);

// Inflates a whole zlib stream with zlib's own reader; `ended` tells
// whether the stream's end was reached.
std::string Inflate(const std::string& zlibStream, bool* ended = nullptr);

// The stored data of an entry: the chunks of `stored` bytes at `offset`,
// joined and inflated by zlib's own reader.
std::string StoredContent(const std::string& bytes, uint64_t offset,
                          uint64_t stored);

// The name of the entry Info loaded last, read back with GetFile.
std::string EntryName(CKvMorvel& m);

// Base of the version 1 and version 2 fixtures: the archive "a.arc" in a
// temporary folder.
class ArchiveTest : public ::testing::Test {
 protected:
  std::u16string Arc() const { return dir.W("a.arc"); }
  std::string ArcPath() const { return dir / "a.arc"; }

  // Opens the archive for writing as `version`, writes `content` to
  // src/<name> and adds it as "d\<name>" with no descriptor.
  void AppendFile(int version, const std::string& name,
                  const std::string& content);

  TempDir dir;
};

// Steps through the entries of the open archive with Info(1), priming
// stale codes before each call so that the code the list ends with is
// Info's own; returns how many Info listed.
int CountEntries(CKvMorvel& m);

// Opens `path` for reading and steps through every entry; returns the
// number listed, or -1 when Open refuses the file.
int ListAll(const std::u16string& path);

// Damages `original` (a whole archive) at `path` in every way a short
// sweep can: each header and catalogue byte set to 0xFF or 0x00 and the
// file cut at every length, listing it each time. `from` is where the
// catalogue begins. Returns how many variants opened.
int SweepDamage(const std::string& path, const std::string& original,
                size_t from);

#endif  // KVMORVEL_TESTS_V1V2_UTIL_H
