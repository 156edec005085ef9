// Entries whose stored data holds more or fewer bytes than their records
// say, in archives written byte by byte and restored through Open, Info
// and ExtractFile: the restored file never grows past its recorded size,
// and the restore fails with 1359 either way.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <vector>

#include "restore/restore_fixture.h"

namespace {

const size_t kMiB = 1048576;
const unsigned long long kLargestSize = ~0ull;

struct Stored {
  std::string name;
  unsigned long long size;    // recorded file size
  unsigned long long amount;  // block count (5), stored length (1, 2)
  unsigned long long offset;  // data offset
};

// Record size, attribute data, stored length, block count, data offset,
// descriptor offset, data part 1, no descriptor part, short name, name
// length, name.
std::string V5Record(const Stored &s) {
  const std::u16string name = W(s.name);
  const size_t units = name.size() + 1;
  return Bytes()
      .U32(110 + 2 * units)
      .AttributeData(Attributes(0x20, s.size))
      .U64(0)
      .U64(s.amount)
      .U64(s.offset)
      .U64(0)
      .U32(1)
      .U32(0xFFFFFFFFu)
      .Zeros(28)
      .U16(units)
      .Wide(name, units)
      .str();
}

// Record size, attribute data, stored length, data offset, short name,
// name length, descriptor length 0 at the record's end, name.
std::string V2Record(const Stored &s) {
  const std::u16string name = W(s.name);
  const size_t units = name.size() + 1;
  return Bytes()
      .U32(90 + 2 * units)
      .AttributeData(Attributes(0x20, s.size))
      .U64(s.amount)
      .U64(s.offset)
      .Zeros(28)
      .U16(units)
      .U16(0)
      .U16(90 + 2 * units)
      .Wide(name, units)
      .str();
}

struct Outcome {
  BOOL ok;
  DWORD code;
};

struct RecordedSize : ::testing::Test {
  TempDir dir;
  std::string out = dir / "out";

  // Main file "x.arc" (header, then the catalogue) and its part 1.
  std::string WriteV5(const std::vector<Stored> &entries,
                      const std::string &part) {
    Bytes main;
    main.Raw("MVRLIGHT").U32(5).U64(0).U64(40).U32(1).U32(0).U32(1);
    for (const Stored &s : entries) main.Raw(V5Record(s));
    WriteBytes(dir / "x.arc", main.str());
    WriteBytes(dir / "x_0001.arc", part);
    return dir / "x.arc";
  }

  // One archive file: header, `data` from the data start, then the
  // catalogue. Entry offsets count from the data start.
  std::string WriteV1OrV2(DWORD version, std::vector<Stored> entries,
                          const std::string &data) {
    const unsigned long long start = version == 1 ? 32 : 40;
    std::string catalogue;
    for (Stored &s : entries) {
      s.offset += start;
      catalogue += version == 1 ? V1Record(s.name, Attributes(0x20, s.size),
                                           s.amount, s.offset)
                                : V2Record(s);
    }
    Bytes header;
    header.Raw("MVRLIGHT").U32(version).U64(start).U64(start + data.size());
    header.U32(catalogue.size());
    if (version == 2) header.U64(1ull << 40);  // capacity
    WriteBytes(dir / "a.arc", header.str() + data + catalogue);
    return dir / "a.arc";
  }

  // Restores every entry of `archive` into "out", one outcome each.
  std::vector<Outcome> RestoreAll(const std::string &archive) {
    std::vector<Outcome> outcomes;
    CKvMorvel m;
    EXPECT_TRUE(m.Open(P(W(archive)), TRUE, 0)) << m.GetErrorCode();
    while (m.Info(0)) {
      const BOOL ok = m.ExtractFile(P(W(out)), 0);
      outcomes.push_back({ok, m.GetErrorCode()});
      m.Info(1);
    }
    m.Close();
    return outcomes;
  }

  std::string Restored(const std::string &name) {
    return ReadBytes(out + "/" + name);
  }
  unsigned long long RestoredSize(const std::string &name) {
    struct stat st;
    return stat((out + "/" + name).c_str(), &st) == 0 ? st.st_size : ~0ull;
  }
};

// Compares restored bytes without printing megabytes when they differ.
::testing::AssertionResult Holds(const std::string &expected,
                                 const std::string &actual) {
  if (expected == actual) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << "holds " << actual.size() << " bytes, expected " << expected.size()
         << (expected.size() == actual.size() ? " (the bytes differ)" : "");
}

void ExpectRefused(const Outcome &o, const std::string &name) {
  EXPECT_FALSE(o.ok) << name;
  EXPECT_EQ(1359u, o.code) << name;
}

TEST_F(RecordedSize, V5BlocksHoldingMoreAreCutAtTheSizeAndRefused) {
  const std::string content = PatternBytes(2 * kMiB + kMiB / 2, 4);
  LogCapture log;
  const auto outcomes = RestoreAll(
      WriteV5({{"whole", content.size(), 3, 0},
               {"cut", 2 * kMiB + 5, 3, 0},  // the third block passes the size
               {"tiny", 10, 1, 0},           // the first block does already
               {"count", 10, 3, 0}},  // three blocks cannot make 10 bytes
              LzoBlocks(content)));
  ASSERT_EQ(4u, outcomes.size());
  EXPECT_TRUE(outcomes[0].ok) << outcomes[0].code;
  EXPECT_TRUE(Holds(content, Restored("whole")));
  ExpectRefused(outcomes[1], "cut");
  EXPECT_TRUE(Holds(content.substr(0, 2 * kMiB + 5), Restored("cut")));
  ExpectRefused(outcomes[2], "tiny");
  EXPECT_TRUE(Holds(content.substr(0, 10), Restored("tiny")));
  ExpectRefused(outcomes[3], "count");
  EXPECT_TRUE(Holds("", Restored("count")));  // refused before a block is read
  EXPECT_TRUE(
      log.Has(CKvLog::kError, "Blocks hold more than the recorded size"));
  EXPECT_TRUE(log.HasPrefix(CKvLog::kError, "Block count 3 does not fit"));
}

TEST_F(RecordedSize, V5BlocksHoldingLessFail) {
  const std::string blocks = LzoBlocks("hello");
  const std::string part = blocks + Bytes().U32(0).str();  // empty payload
  LogCapture log;
  const auto outcomes = RestoreAll(WriteV5(
      {{"short", 6, 1, 0},
       {"missing", kMiB + 1, 2, 0},  // the second block is in no part
       {"largest", kLargestSize, 1, 0},
       // The count that size gives: the stream runs out after one block.
       {"counted", kLargestSize, (kLargestSize - 1) / kMiB + 1, 0},
       {"empty", 5, 1, blocks.size()},
       {"past", 5, 1, part.size()}},  // no block at that offset
      part));
  ASSERT_EQ(6u, outcomes.size());
  for (size_t i = 0; i < 6; ++i) ExpectRefused(outcomes[i], std::to_string(i));
  EXPECT_TRUE(Holds("hello", Restored("short")));
  EXPECT_TRUE(Holds("hello", Restored("missing")));
  EXPECT_TRUE(Holds("", Restored("largest")));
  EXPECT_TRUE(Holds("hello", Restored("counted")));
  EXPECT_TRUE(Holds("", Restored("empty")));
  EXPECT_TRUE(Holds("", Restored("past")));
  EXPECT_TRUE(log.Has(CKvLog::kError, "Blocks end short of the recorded size"));
}

// 200 entries naming the same 1 MiB block: each is cut at its own
// recorded size, so the disk receives their sizes' sum and no more; an
// honest entry on the same block restores whole.
TEST_F(RecordedSize, V5EntriesSharingOneBlockEachStopAtTheirOwnSize) {
  const std::string content = PatternBytes(kMiB, 6);
  std::vector<Stored> entries = {{"honest", kMiB, 1, 0}};
  for (int i = 0; i < 200; ++i)
    entries.push_back({"f" + std::to_string(i), 1000, 1, 0});
  const auto outcomes = RestoreAll(WriteV5(entries, LzoBlocks(content)));
  ASSERT_EQ(201u, outcomes.size());
  EXPECT_TRUE(outcomes[0].ok) << outcomes[0].code;
  EXPECT_TRUE(Holds(content, Restored("honest")));
  unsigned long long total = 0;
  for (int i = 0; i < 200; ++i) {
    const std::string name = "f" + std::to_string(i);
    ExpectRefused(outcomes[i + 1], name);
    total += RestoredSize(name);
  }
  EXPECT_EQ(200u * 1000u, total);
  EXPECT_TRUE(Holds(content.substr(0, 1000), Restored("f199")));
}

struct DeflateSizes : RecordedSize, ::testing::WithParamInterface<DWORD> {};

TEST_P(DeflateSizes, StreamInflatingPastTheSizeIsCutThere) {
  const std::string content = PatternBytes(2 * kMiB + kMiB / 2, 7);
  const std::string stream = DeflateChunks(content);
  const auto outcomes = RestoreAll(WriteV1OrV2(
      GetParam(),
      {{"whole", content.size(), stream.size(), 0},
       {"cut", kMiB + kMiB / 2, stream.size(), 0},  // inside the 2nd chunk
       {"tiny", 3, stream.size(), 0}},
      stream));
  ASSERT_EQ(3u, outcomes.size());
  EXPECT_TRUE(outcomes[0].ok) << outcomes[0].code;
  EXPECT_TRUE(Holds(content, Restored("whole")));
  ExpectRefused(outcomes[1], "cut");
  EXPECT_TRUE(Holds(content.substr(0, kMiB + kMiB / 2), Restored("cut")));
  ExpectRefused(outcomes[2], "tiny");
  EXPECT_TRUE(Holds(content.substr(0, 3), Restored("tiny")));
}

TEST_P(DeflateSizes, StreamEndingShortFails) {
  const std::string chunk = DeflateChunk("hello");
  const auto outcomes =
      RestoreAll(WriteV1OrV2(GetParam(),
                             {{"short", 6, chunk.size(), 0},
                              {"largest", kLargestSize, chunk.size(), 0},
                              {"unstored", 5, 0, 0},
                              // A stored length running far past the file: the
                              // chunk that ends the stream is not the last one
                              // the length asks for, and the read stops there.
                              {"endless", 5, kLargestSize >> 1, 0}},
                             chunk));
  ASSERT_EQ(4u, outcomes.size());
  for (size_t i = 0; i < 4; ++i) ExpectRefused(outcomes[i], std::to_string(i));
  EXPECT_TRUE(Holds("hello", Restored("short")));
  EXPECT_TRUE(Holds("hello", Restored("largest")));
  EXPECT_TRUE(Holds("", Restored("unstored")));
  EXPECT_TRUE(Holds("", Restored("endless")));
}

INSTANTIATE_TEST_SUITE_P(Versions, DeflateSizes, ::testing::Values(1u, 2u));

}  // namespace
