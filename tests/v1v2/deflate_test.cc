// SPDX-License-Identifier: GPL-2.0-or-later
// The chunked deflate stream: chunk layout, independent readability and
// levels of what AddFile writes, and the reader's refusals of crafted
// streams handed to ExtractFile.
#include <gtest/gtest.h>
#include <unistd.h>

#include "formats/deflate/deflate_stream.h"
#include "support/piece_cases.h"
#include "v1v2/v1v2_util.h"

namespace {

const size_t kPiece = 1048576;

class DeflateTest : public ::testing::Test {
 protected:
  // Adds `content` to a fresh version 1 archive at compression `setting`
  // and returns the entry's stored stream, which must end where the
  // catalogue begins.
  std::string Stored(const std::string& content, int setting = 0) {
    WriteBytes(dir / "src", content);
    unlink(Arc().c_str());
    CKvMorvel m;
    m.SetCompressionLevel(setting);
    EXPECT_TRUE(m.Open(P(W(Arc())), FALSE, 1));
    EXPECT_TRUE(m.AddFile(P(dir.W("src")), P(W("src")), nullptr, 0));
    EXPECT_TRUE(m.Close());
    const std::string bytes = ReadBytes(Arc());
    const uint64_t catalogue = U64At(bytes, 20);
    const uint64_t stored = U64At(bytes, catalogue + 36);
    const uint64_t offset = U64At(bytes, catalogue + 44);
    EXPECT_EQ(catalogue, offset + stored);
    return bytes.substr(offset, stored);
  }

  // Restores a file recorded as `size` bytes whose `stored` bytes of data
  // begin with `data`, the last bytes of a version 1 archive: behind the
  // catalogue, so that a read past them meets the end of the file.
  // Returns 0 or the code ExtractFile failed with; Restored() then holds
  // what reached the disk.
  DWORD Restore(const std::string& data, unsigned long long stored,
                unsigned long long size) {
    StoredEntry e = Entry("f", FILE_ATTRIBUTE_NORMAL, size);
    e.storedLength = stored;
    e.dataOffset = V1Record(e).size();
    WriteV1OrV2Archive(Arc(), 1, {e}, "");
    WriteBytes(Arc(), ReadBytes(Arc()) + data);
    unlink((dir / "out/f").c_str());
    CKvMorvel m;
    EXPECT_TRUE(m.Open(P(W(Arc())), TRUE, 0));
    EXPECT_TRUE(m.Info(0));
    PrimeStaleCodes(m);
    const DWORD code = m.ExtractFile(P(dir.W("out")), 0) ? 0 : m.GetErrorCode();
    m.Close();
    return code;
  }
  std::string Restored() { return ReadBytes(dir / "out/f"); }
  // The line a failed restore of the data logs with its cause.
  std::string CauseLine(DWORD cause) {
    return "Cannot restore data of " + dir / "out" + "\\f - " +
           std::to_string(cause);
  }
  std::string Arc() { return dir / "a.arc"; }

  TempDir dir;
};

TEST_F(DeflateTest, EmptySourceWritesNothingAndReadsBackEmpty) {
  EXPECT_EQ("", Stored(""));
  EXPECT_EQ(0u, Restore("", 0, 0));
  EXPECT_TRUE(Exists(dir / "out/f"));
  EXPECT_TRUE(Restored().empty());
}

TEST_F(DeflateTest, OnePieceIsOneChunkEndedByTheFinish) {
  const std::string content = PatternBytes(kPiece, 3);
  const std::string stream = Stored(content);
  const std::vector<std::string> chunks = SplitChunks(stream, 0, stream.size());
  ASSERT_EQ(1u, chunks.size());
  EXPECT_LE(chunks[0].size(), 1064979u);
  bool ended = false;
  EXPECT_EQ(content, Inflate(chunks[0], &ended));
  EXPECT_TRUE(ended);
}

TEST_F(DeflateTest, OneByteMoreMakesASyncFlushedChunkAndAFinishedOne) {
  const std::string content = PatternBytes(kPiece + 1, 4);
  const std::string stream = Stored(content);
  const std::vector<std::string> chunks = SplitChunks(stream, 0, stream.size());
  ASSERT_EQ(2u, chunks.size());
  // A sync flush ends with an empty stored block: 00 00 FF FF.
  EXPECT_EQ(std::string("\x00\x00\xFF\xFF", 4),
            chunks[0].substr(chunks[0].size() - 4));
  bool ended = true;
  EXPECT_EQ(content.substr(0, kPiece), Inflate(chunks[0], &ended));
  EXPECT_FALSE(ended);
  EXPECT_EQ(content, Inflate(Join(chunks), &ended));
  EXPECT_TRUE(ended);
}

TEST_F(DeflateTest, RoundTripsThroughTheReader) {
  for (size_t size : {size_t(1), kPiece - 1, kPiece, 3 * kPiece + 17}) {
    const std::string content = PatternBytes(size, static_cast<unsigned>(size));
    const std::string stream = Stored(content, 2);
    EXPECT_EQ(0u, Restore(stream, stream.size(), size)) << size;
    EXPECT_TRUE(content == Restored()) << size;
  }
}

TEST_F(DeflateTest, LevelSettingsChooseTheStreamsLevel) {
  // The second header byte names the level: 01 fastest, 9C default, DA
  // best. A stored stream (setting -1) is larger than its source.
  const std::string zeros(100000, '\0');
  const std::pair<int, const char*> headers[] = {
      {0, "\x78\x01"}, {1, "\x78\x9C"}, {2, "\x78\xDA"},
      {3, "\x78\x01"}, {-2, "\x78\x01"}};
  for (const auto& h : headers) {
    const std::string stream = Stored(zeros, h.first);
    EXPECT_EQ(h.second, stream.substr(4, 2)) << h.first;
    EXPECT_LT(stream.size(), 10000u) << h.first;
  }
  const std::string stream = Stored(zeros, -1);
  EXPECT_GT(stream.size(), 100000u);
  EXPECT_EQ(zeros, Inflate(Join(SplitChunks(stream, 0, stream.size()))));
}

TEST_F(DeflateTest, FirstChunkLongerThanTheLimitIsRefusedBeforeItsPayload) {
  // Only the length word is there: a reader that went on to the payload
  // would meet the end of the file (38) instead of refusing the length.
  LogCapture log;
  EXPECT_EQ(1359u, Restore(Bytes().U32(1064980).str(), 4 + 1064980, 10));
  EXPECT_TRUE(Restored().empty());
  EXPECT_TRUE(log.Has(CKvLog::kError, CauseLine(kDamagedStreamCode)));
}

TEST_F(DeflateTest, ChunkRunningPastTheStoredLengthIsRefused) {
  const std::string content = PatternBytes(kPiece + 1000, 5);
  const std::string stream = Stored(content);
  LogCapture log;
  // The stored length ends one byte before the first chunk does, though
  // the file holds it whole: nothing of it is inflated.
  EXPECT_EQ(1359u, Restore(stream, 4 + U32At(stream, 0) - 1, content.size()));
  EXPECT_TRUE(Restored().empty());
  EXPECT_TRUE(log.Has(CKvLog::kError, CauseLine(kDamagedStreamCode)));
  for (unsigned long long stored : {3ull, ~0ull})
    EXPECT_EQ(1359u, Restore(stream, stored, content.size())) << stored;
}

TEST_F(DeflateTest, TruncatedOrDamagedStreamFails) {
  const std::string content = PatternBytes(kPiece + 1000, 9);
  const std::string stream = Stored(content);
  // The file ends before the stored length does.
  EXPECT_EQ(1359u,
            Restore(stream.substr(0, stream.size() - 10), stream.size(),
                    content.size()));
  // A payload byte changed.
  std::string damaged = stream;
  damaged[100] = static_cast<char>(damaged[100] ^ 0x55);
  damaged[101] = static_cast<char>(damaged[101] ^ 0x55);
  EXPECT_EQ(1359u, Restore(damaged, stream.size(), content.size()));
  // Stored length cut at the first chunk: that chunk cannot end the stream.
  EXPECT_EQ(1359u, Restore(stream, 4 + U32At(stream, 0), content.size()));
  EXPECT_TRUE(Restored().empty());
}

TEST_F(DeflateTest, ChunkInflatingBeyondOnePieceIsRefused) {
  // One chunk holding 2 MiB of zeros, sync flushed: it cannot be inflated
  // into the reader's 1 MiB buffer in one call.
  std::string zeros(2 * kPiece, '\0');
  z_stream z = {};
  ASSERT_EQ(Z_OK, deflateInit(&z, 9));
  std::string out(compressBound(zeros.size()), '\0');
  z.next_in = reinterpret_cast<Bytef*>(&zeros[0]);
  z.avail_in = static_cast<uInt>(zeros.size());
  z.next_out = reinterpret_cast<Bytef*>(&out[0]);
  z.avail_out = static_cast<uInt>(out.size());
  ASSERT_EQ(Z_OK, deflate(&z, Z_SYNC_FLUSH));
  out.resize(out.size() - z.avail_out);
  deflateEnd(&z);
  Bytes b;
  b.U32(static_cast<uint32_t>(out.size())).Raw(out);
  b.U32(static_cast<uint32_t>(out.size())).Raw(out);
  EXPECT_EQ(1359u, Restore(b.str(), b.size(), 4 * kPiece));
  EXPECT_LE(Restored().size(), kPiece);
}

TEST_F(DeflateTest, ProgramAllocatorRefusesProductsBeyond32Bits) {
  EXPECT_EQ(nullptr, KvZlibAlloc(nullptr, 0x10000u, 0x10000u));
  void* block = KvZlibAlloc(nullptr, 100, 8);
  ASSERT_NE(nullptr, block);
  static_cast<char*>(block)[799] = 1;
  KvZlibFree(nullptr, block);
  KvZlibFree(nullptr, nullptr);
}

// AddFile takes the length from the source itself, so a source shorter
// than its length is shown on the writer both versions share.
TEST_F(DeflateTest, SourceShorterThanItsLengthFailsTheWriter) {
  WriteBytes(dir / "src", "abc");
  WriteBytes(dir / "arc", "");
  for (const bool logFailures : {true, false}) {
    LogCapture log;
    HANDLE source = CreateFileW(P(dir.W("src")), GENERIC_READ, 0, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    HANDLE archive = CreateFileW(P(dir.W("arc")), GENERIC_WRITE, 0, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    DeflateWriteOptions options;
    options.logFailures = logFailures;
    ULONGLONG stored = 9;
    EXPECT_FALSE(WriteDeflateChunks(source, 10, archive, &stored, 1, options));
    EXPECT_EQ(0u, stored);
    EXPECT_EQ(logFailures, log.Has(CKvLog::kError, "ReadFile - 38"));
    EXPECT_EQ(logFailures, !log.lines().empty());
    CloseHandle(source);
    CloseHandle(archive);
  }
  EXPECT_EQ("", ReadBytes(dir / "arc"));
}

// Sparse sources in both deflate versions: holes deflated without being
// read, zeros restored as holes.
TEST(DeflatePieces, SparseSourcesRoundTripWithoutReadingTheirHoles) {
  for (DWORD version : {1u, 2u}) ExpectSparseRoundTrip(version);
}

// Cancel takes effect between the pieces of one large file, adding and
// restoring, and the archive stays whole.
TEST(DeflatePieces, CancelStopsAnAddOrARestoreBetweenPieces) {
  for (DWORD version : {1u, 2u}) {
    ExpectAddCancelledBetweenPieces(version, 16ull << 30, 256ull << 10);
    ExpectRestoreCancelledBetweenPieces(version, 512ull << 20, 32ull << 20);
  }
}

}  // namespace
