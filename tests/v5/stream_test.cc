// SPDX-License-Identifier: GPL-2.0-or-later
// The LZO block stream across part files: block sizes, split sizes,
// missing or empty parts, damaged blocks.
#include <gtest/gtest.h>
#include <lzo/lzo1x.h>

#include <unistd.h>

#include <string>
#include <vector>

#include "v5_test_util.h"

namespace {

const size_t kMiB = 1048576;

// Writes `content` as "src.bin" and adds it as "f.bin" to a new archive
// with the given split size.
void ArchiveFile(const ArchiveDir& a, const std::string& content,
                 ULONGLONG split, const std::string* descriptor = nullptr) {
  WriteBytes(a.dir / "src.bin", content);
  CKvMorvel arc;
  arc.SetSplitSize(split);
  ASSERT_TRUE(arc.Open(P(a.wmain()), FALSE, 5));
  WIN32_FILE_ATTRIBUTE_DATA d =
      DistinctTimes(0x20, static_cast<DWORD>(content.size()));
  ASSERT_TRUE(arc.AddFile(P(W(a.dir / "src.bin")), P(u"f.bin"), &d,
                          descriptor ? const_cast<char*>(descriptor->data())
                                     : nullptr,
                          descriptor ? descriptor->size() : 0));
  ASSERT_TRUE(arc.Close());
}

// Restores the first entry through ExtractFile into "out". A restore
// whose data fails reports 1359 and logs its cause, which `log` (when
// given) yields as `cause`.
struct Restored {
  BOOL ok;
  DWORD code;
  DWORD cause;
  std::string bytes;
};
Restored RestoreFirst(const ArchiveDir& a, const LogCapture* log = nullptr) {
  CKvMorvel reader;
  Restored r = {FALSE, 0, 0, ""};
  if (!reader.Open(P(a.wmain()), TRUE, 0) || !reader.Info(0)) return r;
  PrimeStaleCodes(reader);
  r.ok = reader.ExtractFile(P(W(a.dir / "out")), 0);
  r.code = reader.GetErrorCode();
  reader.Close();
  r.bytes = ReadBytes(a.dir / "out/f.bin");
  const std::string logged = "Cannot restore data of ";
  if (log)
    for (const auto& line : log->lines())
      if (line.first == CKvLog::kError && line.second.rfind(logged, 0) == 0)
        r.cause = std::stoul(line.second.substr(line.second.rfind(' ') + 1));
  return r;
}

// The restore failed with 1359 and logged `cause` as the reason.
::testing::AssertionResult FailedFor(const Restored& r, DWORD cause) {
  if (!r.ok && r.code == 1359 && r.cause == cause)
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "ok " << r.ok << ", code " << r.code
                                       << ", logged cause " << r.cause;
}

StoredEntry FirstEntry(const ArchiveDir& a) {
  const std::vector<StoredEntry> records = StoredRecords(ReadBytes(a.main()));
  return records.empty() ? StoredEntry() : records[0];
}

// Payload lengths of the blocks one after another in `part` from `at`.
std::vector<uint32_t> BlockLengths(const std::string& part, size_t at = 0) {
  std::vector<uint32_t> lengths;
  while (at + 4 <= part.size()) {
    lengths.push_back(U32At(part, at));
    at += 4 + lengths.back();
  }
  return lengths;
}

TEST(V5Stream, EmptyFileIsOneThreeByteBlock) {
  ArchiveDir a;
  ArchiveFile(a, "", 650117120ull);
  EXPECT_EQ(ReadBytes(a.part(1)),
            Bytes().U32(3).Raw(std::string("\x11\x00\x00", 3)).str());
  const StoredEntry e = FirstEntry(a);
  EXPECT_EQ(e.storedLength, 3u);
  EXPECT_EQ(e.blockCount, 1u);
  const Restored r = RestoreFirst(a);
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.code, 0u);
  EXPECT_EQ(r.bytes, "");
}

TEST(V5Stream, OneMiBIsOneBlockAndOneMoreByteIsTwo) {
  for (size_t size : {kMiB, kMiB + 1}) {
    SCOPED_TRACE(size);
    ArchiveDir a;
    const std::string content = PatternBytes(size, 3);
    ArchiveFile(a, content, 650117120ull);
    const std::vector<uint32_t> lengths = BlockLengths(ReadBytes(a.part(1)));
    const StoredEntry e = FirstEntry(a);
    ASSERT_EQ(lengths.size(), size == kMiB ? 1u : 2u);
    EXPECT_EQ(e.blockCount, lengths.size());
    uint64_t sum = 0;
    for (uint32_t n : lengths) sum += n;
    EXPECT_EQ(e.storedLength, sum);
    EXPECT_EQ(e.data.nFileSizeLow, size);
    const Restored r = RestoreFirst(a);
    EXPECT_TRUE(r.ok);
    EXPECT_TRUE(r.bytes == content);
  }
}

TEST(V5Stream, SplitSizeTenMovesTheSecondBlockToANewPart) {
  ArchiveDir a;
  const std::string content = PatternBytes(kMiB + 1, 4);
  const std::string descriptor = PatternBytes(16, 5);
  ArchiveFile(a, content, 10, &descriptor);
  // Block 1 passes the split size alone in part 1; block 2 starts part 2
  // at offset 0. Its one source byte packs to 5 bytes: 9 with its length,
  // not past 10, so the descriptor follows it in part 2.
  const std::string part1 = ReadBytes(a.part(1));
  ASSERT_EQ(BlockLengths(part1).size(), 1u);
  EXPECT_EQ(U32At(part1, 0) + 4, part1.size());
  const std::string part2 = ReadBytes(a.part(2));
  ASSERT_EQ(part2.size(), 9u + 20u);
  EXPECT_EQ(U32At(part2, 0), 5u);
  EXPECT_EQ(part2.substr(9), Bytes().U32(16).Raw(descriptor).str());
  EXPECT_FALSE(Exists(a.part(3)));
  const StoredEntry e = FirstEntry(a);
  EXPECT_EQ(e.dataPart, 1u);
  EXPECT_EQ(e.dataOffset, 0u);
  EXPECT_EQ(e.blockCount, 2u);
  EXPECT_EQ(e.descriptorPart, 2u);
  EXPECT_EQ(e.descriptorOffset, 9u);
  EXPECT_EQ(U32At(ReadBytes(a.main()), 36), 2u);  // part count
  EXPECT_TRUE(RestoreFirst(a).bytes == content);
}

TEST(V5Stream, SplitSizeZeroPutsEveryBlockInItsOwnPart) {
  ArchiveDir a;
  const std::string content = PatternBytes(3 * kMiB + 1, 6);
  ArchiveFile(a, content, 0);
  for (unsigned part = 1; part <= 4; ++part)
    EXPECT_EQ(BlockLengths(ReadBytes(a.part(part))).size(), 1u) << part;
  EXPECT_EQ(ReadBytes(a.part(5)), "");
  EXPECT_EQ(FirstEntry(a).blockCount, 4u);
  EXPECT_TRUE(RestoreFirst(a).bytes == content);
}

TEST(V5Stream, MissingOrEmptyNextPartIsReported) {
  ArchiveDir a;
  const std::string content = PatternBytes(3 * kMiB + 1, 6);
  ArchiveFile(a, content, 0);
  const std::string part4 = ReadBytes(a.part(4));
  {
    LogCapture log;
    unlink(a.part(4).c_str());
    const Restored r = RestoreFirst(a, &log);
    EXPECT_TRUE(FailedFor(r, 2));
    EXPECT_TRUE(log.Has(CKvLog::kError, "Change Cannot part#4 - 2"));
    EXPECT_TRUE(r.bytes.empty());  // the cut file is removed
  }
  {
    LogCapture log;
    WriteBytes(a.part(4), "");
    const Restored r = RestoreFirst(a, &log);
    EXPECT_TRUE(FailedFor(r, 259));
    EXPECT_TRUE(log.Has(CKvLog::kError, "Invalid Block - Part#4"));
  }
  {
    LogCapture log;
    unlink(a.part(1).c_str());
    const Restored r = RestoreFirst(a, &log);
    // Looked for before the file is made: nothing is made.
    EXPECT_TRUE(FailedFor(r, 2));
    EXPECT_FALSE(Exists(a.dir / "out/f.bin"));
  }
}

// Replaces part 1 with `bytes` and restores the file stored there.
Restored RestoreDamaged(const ArchiveDir& a, const std::string& bytes,
                        const LogCapture& log) {
  WriteBytes(a.part(1), bytes);
  return RestoreFirst(a, &log);
}

TEST(V5Stream, DamagedBlocksFailWithTheirCodes) {
  ArchiveDir a;
  ArchiveFile(a, PatternBytes(5000, 8), 650117120ull);
  const std::string good = ReadBytes(a.part(1));
  {
    LogCapture log;
    // The payload is cut short by the end of the part.
    const Restored r =
        RestoreDamaged(a, good.substr(0, good.size() - 10), log);
    EXPECT_TRUE(FailedFor(r, 38));
    EXPECT_TRUE(log.HasPrefix(CKvLog::kError, "ReadFile (Block) - "));
  }
  {
    LogCapture log;
    const Restored r = RestoreDamaged(a, good.substr(0, 2), log);
    EXPECT_TRUE(FailedFor(r, 38));
    EXPECT_TRUE(log.HasPrefix(CKvLog::kError, "ReadFile (Block Size) - "));
  }
  {
    LogCapture log;
    std::string bytes = good;
    bytes[3] = '\x7F';  // payload length near 2 GiB
    const Restored r = RestoreDamaged(a, bytes, log);
    EXPECT_TRUE(FailedFor(r, 1359));
  }
  {
    LogCapture log;
    std::string bytes = good;
    bytes.resize(4 + 3);
    bytes.replace(0, 4, Bytes().U32(3).str());
    bytes.replace(4, 3, "\x01\x02\x03");
    const Restored r = RestoreDamaged(a, bytes, log);
    EXPECT_TRUE(FailedFor(r, 1359));
    EXPECT_TRUE(log.HasPrefix(CKvLog::kError, "lzo1x_decompress (Block) - "));
  }
}

TEST(V5Stream, BlockInflatingBeyondOneMiBIsRefused) {
  // A genuine LZO1X-1 stream of 1 MiB + 1 zero bytes: valid, but more
  // than any block may hold.
  ASSERT_EQ(lzo_init(), LZO_E_OK);
  const std::vector<unsigned char> zeros(kMiB + 1, 0);
  std::vector<unsigned char> packed(kMiB * 2);
  std::vector<unsigned char> work(LZO1X_1_MEM_COMPRESS);
  lzo_uint n = 0;
  ASSERT_EQ(lzo1x_1_compress(zeros.data(), zeros.size(), packed.data(), &n,
                             work.data()),
            LZO_E_OK);
  ArchiveDir a;
  ArchiveFile(a, "", 650117120ull);
  LogCapture log;
  const Restored r = RestoreDamaged(
      a, Bytes()
             .U32(n)
             .Raw(std::string(reinterpret_cast<char*>(packed.data()), n))
             .str(),
      log);
  EXPECT_TRUE(FailedFor(r, 1359));
  EXPECT_EQ(r.bytes, "");  // nothing of the block reached the file
  EXPECT_TRUE(log.HasPrefix(CKvLog::kError, "lzo1x_decompress (Block) - "));
}

}  // namespace
