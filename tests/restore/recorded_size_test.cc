// SPDX-License-Identifier: GPL-2.0-or-later
// Entries whose stored data holds more or fewer bytes than their records
// say, in archives written byte by byte and restored through Open, Info
// and ExtractFile: the restored file never grows past its recorded size,
// and the restore fails with 1359 either way and removes the file it made.
// Each entry is also streamed to a sink first (ReadEntryData): the sink
// receives what the file would, under the same rule, and no file is made.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <vector>

#include "restore/restore_fixture.h"

namespace {

const size_t kMiB = 1048576;
const unsigned long long kLargestSize = ~0ull;

// An entry as the test stores it, and what its restore must give.
struct Stored {
  std::string name;
  unsigned long long size;    // recorded file size
  unsigned long long amount;  // block count (5), stored length (1, 2)
  unsigned long long offset;  // data offset
  std::string holds;          // the bytes a restored file must hold (the
                              // data up to the size, for a failing entry)
  bool restores = false;      // whether the restore succeeds (else 1359)
};

std::vector<StoredEntry> Records(DWORD version,
                                 const std::vector<Stored>& stored) {
  std::vector<StoredEntry> records;
  for (const Stored& s : stored) {
    StoredEntry e = Entry(s.name, 0x20, s.size);
    (version == 5 ? e.blockCount : e.storedLength) = s.amount;
    e.dataOffset = s.offset;
    records.push_back(e);
  }
  return records;
}

// A sink that keeps what it is given.
DWORD KeepBytes(void* context, const BYTE* bytes, DWORD size) {
  static_cast<std::string*>(context)->append(reinterpret_cast<const char*>(bytes), size);
  return 0;
}

// Compares restored bytes without printing megabytes when they differ.
::testing::AssertionResult Holds(const std::string& expected,
                                 const std::string& actual) {
  if (expected == actual) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << "holds " << actual.size() << " bytes, expected " << expected.size()
         << (expected.size() == actual.size() ? " (the bytes differ)" : "");
}

struct RecordedSize : Restoring {
  // Restores each entry of the archive written last into "out", each from
  // the archive opened afresh (the entries share their data, which one
  // pass over the archive refuses), and checks it against its
  // expectations.
  void RestoreAndCheck(const std::vector<Stored>& entries) {
    for (DWORD i = 0; i < entries.size(); ++i) {
      const Stored& e = entries[i];
      ASSERT_TRUE(At(i)) << e.name;
      Stream(e);
      const BOOL ok = Extract(out);
      EXPECT_EQ(e.restores, ok != FALSE) << e.name << " " << arc.GetErrorCode();
      if (!e.restores) {
        EXPECT_EQ(1359u, arc.GetErrorCode()) << e.name;
        // A file whose data failed is removed: no cut or empty file
        // looks restored.
        EXPECT_FALSE(Exists(out + "/" + e.name)) << e.name;
      } else {
        EXPECT_TRUE(Holds(e.holds, Restored(e.name))) << e.name;
      }
    }
    ASSERT_TRUE(At(static_cast<DWORD>(entries.size()) - 1));
    arc.Info(1);
    EXPECT_FALSE(arc.Info(0));  // no entry beyond those stored
  }

  // Streams the entry at the cursor: the bytes and the outcome its restore
  // gives, bytes up to the size then 1359 when data was there to stream,
  // and no file made.
  void Stream(const Stored& e) {
    std::string streamed;
    const BOOL ok = arc.ReadEntryData(KeepBytes, &streamed);
    EXPECT_EQ(e.restores, ok != FALSE) << e.name << " " << arc.GetErrorCode();
    if (!ok) {
      EXPECT_NE(0u, arc.GetErrorCode()) << e.name;
      if (!e.holds.empty()) {
        EXPECT_EQ(1359u, arc.GetErrorCode()) << e.name;
      }
    }
    EXPECT_TRUE(Holds(e.holds, streamed)) << e.name;
    EXPECT_FALSE(Exists(out + "/" + e.name)) << e.name;
  }

  std::string Restored(const std::string& name) {
    return ReadBytes(out + "/" + name);
  }
};

TEST_F(RecordedSize, V5BlocksHoldingMoreAreCutAtTheSizeAndRefused) {
  const std::string content = PatternBytes(2 * kMiB + kMiB / 2, 4);
  const std::vector<Stored> entries = {
      {"whole", content.size(), 3, 0, content, true},
      // The third block passes the size, the first one does already.
      {"cut", 2 * kMiB + 5, 3, 0, content.substr(0, 2 * kMiB + 5)},
      {"tiny", 10, 1, 0, content.substr(0, 10)},
      // Three blocks cannot make 10 bytes: refused before one is read.
      {"count", 10, 3, 0, ""}};
  LogCapture log;
  WriteV5(Records(5, entries), {LzoBlocks(content)});
  RestoreAndCheck(entries);
  EXPECT_TRUE(
      log.Has(CKvLog::kError, "Blocks hold more than the recorded size"));
  EXPECT_TRUE(log.HasPrefix(CKvLog::kError, "Block count 3 does not fit"));
}

TEST_F(RecordedSize, V5BlocksHoldingLessFail) {
  const std::string blocks = LzoBlocks("hello");
  const std::string part = blocks + Bytes().U32(0).str();  // empty payload
  const std::vector<Stored> entries = {
      {"short", 6, 1, 0, "hello"},
      {"missing", kMiB + 1, 2, 0, "hello"},  // no part holds block 2
      {"largest", kLargestSize, 1, 0, ""},
      // The count that size gives: the stream runs out after one block.
      {"counted", kLargestSize, (kLargestSize - 1) / kMiB + 1, 0, "hello"},
      {"empty", 5, 1, blocks.size(), ""},
      {"past", 5, 1, part.size(), ""}};  // no block at that offset
  LogCapture log;
  WriteV5(Records(5, entries), {part});
  RestoreAndCheck(entries);
  EXPECT_TRUE(log.Has(CKvLog::kError, "Blocks end short of the recorded size"));
}

// 200 entries naming the same 64 KiB block, each restored on its own:
// each fails at its own recorded size and leaves nothing; an honest entry
// on the same block restores whole.
// (Restored in one pass, all but the first are refused: see
// restore_safety_test.cc, EntriesSharingStoredDataAreRefusedAfterTheFirst.)
TEST_F(RecordedSize, V5EntriesSharingOneBlockEachStopAtTheirOwnSize) {
  const std::string content = PatternBytes(64 * 1024, 6);
  std::vector<Stored> entries = {
      {"honest", content.size(), 1, 0, content, true}};
  for (int i = 0; i < 200; ++i)
    entries.push_back(
        {"f" + std::to_string(i), 1000, 1, 0, content.substr(0, 1000)});
  WriteV5(Records(5, entries), {LzoBlocks(content)});
  RestoreAndCheck(entries);
}

struct DeflateSizes : RecordedSize, ::testing::WithParamInterface<DWORD> {};

TEST_P(DeflateSizes, StreamInflatingPastTheSizeIsCutThere) {
  const std::string content = PatternBytes(2 * kMiB + kMiB / 2, 7);
  const std::string stream = DeflateChunks(content);
  const size_t cut = kMiB + kMiB / 2;  // inside the second chunk
  const std::vector<Stored> entries = {
      {"whole", content.size(), stream.size(), 0, content, true},
      {"cut", cut, stream.size(), 0, content.substr(0, cut)},
      {"tiny", 3, stream.size(), 0, content.substr(0, 3)}};
  WriteV1OrV2(GetParam(), Records(GetParam(), entries), stream);
  RestoreAndCheck(entries);
}

TEST_P(DeflateSizes, StreamEndingShortFails) {
  const std::string chunk = DeflateChunk("hello");
  const std::vector<Stored> entries = {
      {"short", 6, chunk.size(), 0, "hello"},
      {"largest", kLargestSize, chunk.size(), 0, "hello"},
      {"unstored", 5, 0, 0, ""},
      // A stored length running far past the file: the chunk that ends
      // the stream is not the last one the length asks for, and the read
      // stops there.
      {"endless", 5, kLargestSize >> 1, 0, ""}};
  WriteV1OrV2(GetParam(), Records(GetParam(), entries), chunk);
  RestoreAndCheck(entries);
}

INSTANTIATE_TEST_SUITE_P(Versions, DeflateSizes, ::testing::Values(1u, 2u));

}  // namespace
