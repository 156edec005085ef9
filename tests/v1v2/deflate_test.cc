// The chunked deflate stream: chunk layout, independent readability,
// levels, the reader's refusals and the version 2 writer's budget.
#include <gtest/gtest.h>

#include "formats/deflate/deflate_stream.h"
#include "v1v2/v1v2_util.h"

namespace {

const size_t kPiece = 1048576;

class DeflateTest : public ::testing::Test {
 protected:
  // Compresses `content` with ZIPCompressFile into a fresh archive file
  // and returns what was written; `stored` receives the reported length.
  std::string Compress(const std::string& content, int level,
                       LONGLONG* stored, BOOL* ok = nullptr) {
    WriteBytes(dir / "src", content);
    HANDLE source = OpenRead(dir / "src");
    HANDLE archive = OpenWrite(dir / "arc");
    const BOOL result =
        probe.ZIPCompressFile(source, static_cast<LONGLONG>(content.size()),
                              archive, stored, level);
    if (ok) *ok = result;
    else EXPECT_TRUE(result);
    CloseHandle(source);
    CloseHandle(archive);
    return ReadBytes(dir / "arc");
  }

  // Runs ZIPDecompressFile over `stream` and returns the target's bytes.
  std::string Decompress(const std::string& stream, LONGLONG stored,
                         BOOL* ok, LONGLONG* written,
                         ULONGLONG* endPosition = nullptr) {
    WriteBytes(dir / "in", stream);
    HANDLE archive = OpenRead(dir / "in");
    HANDLE target = OpenWrite(dir / "out");
    *ok = probe.ZIPDecompressFile(archive, stored, target, written);
    if (endPosition) *endPosition = Position(archive);
    CloseHandle(archive);
    CloseHandle(target);
    return ReadBytes(dir / "out");
  }

  TempDir dir;
  Probe probe;
};

TEST_F(DeflateTest, EmptySourceWritesNothingAndReadsBackEmpty) {
  LONGLONG stored = 77;
  EXPECT_EQ("", Compress("", 1, &stored));
  EXPECT_EQ(0, stored);
  BOOL ok = FALSE;
  LONGLONG written = 77;
  EXPECT_EQ("", Decompress("", 0, &ok, &written));
  EXPECT_TRUE(ok);
  EXPECT_EQ(0, written);
}

TEST_F(DeflateTest, OnePieceIsOneChunkEndedByTheFinish) {
  const std::string content = PatternBytes(kPiece, 3);
  LONGLONG stored = 0;
  const std::string stream = Compress(content, 1, &stored);
  ASSERT_EQ(static_cast<size_t>(stored), stream.size());
  const std::vector<std::string> chunks = SplitChunks(stream, 0, stream.size());
  ASSERT_EQ(1u, chunks.size());
  EXPECT_LE(chunks[0].size(), 1064979u);
  bool ended = false;
  EXPECT_EQ(content, Inflate(chunks[0], &ended));
  EXPECT_TRUE(ended);
}

TEST_F(DeflateTest, OneByteMoreMakesASyncFlushedChunkAndAFinishedOne) {
  const std::string content = PatternBytes(kPiece + 1, 4);
  LONGLONG stored = 0;
  const std::string stream = Compress(content, 1, &stored);
  ASSERT_EQ(static_cast<size_t>(stored), stream.size());
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
    LONGLONG stored = 0;
    const std::string stream = Compress(content, 9, &stored);
    BOOL ok = FALSE;
    LONGLONG written = 0;
    EXPECT_EQ(content, Decompress(stream, stored, &ok, &written)) << size;
    EXPECT_TRUE(ok) << size;
    EXPECT_EQ(static_cast<LONGLONG>(size), written);
  }
}

TEST_F(DeflateTest, LevelSettingsMapToZlibLevels) {
  EXPECT_EQ(0, ZlibLevelForSetting(-1));
  EXPECT_EQ(1, ZlibLevelForSetting(0));
  EXPECT_EQ(-1, ZlibLevelForSetting(1));
  EXPECT_EQ(9, ZlibLevelForSetting(2));
  EXPECT_EQ(1, ZlibLevelForSetting(3));
  EXPECT_EQ(1, ZlibLevelForSetting(-2));
}

TEST_F(DeflateTest, StreamHeaderCarriesTheLevel) {
  const std::string zeros(100000, '\0');
  LONGLONG stored = 0;
  std::string stream = Compress(zeros, 9, &stored);
  EXPECT_EQ("\x78\xDA", stream.substr(4, 2));
  stream = Compress(zeros, -1, &stored);
  EXPECT_EQ("\x78\x9C", stream.substr(4, 2));
  stream = Compress(zeros, 1, &stored);
  EXPECT_EQ("\x78\x01", stream.substr(4, 2));
  EXPECT_LT(stored, 10000);
  // Level 0 stores: the payload is larger than the source.
  stream = Compress(zeros, 0, &stored);
  EXPECT_GT(stored, 100000);
  EXPECT_EQ(zeros, Inflate(Join(SplitChunks(stream, 0, stream.size()))));
}

TEST_F(DeflateTest, FirstChunkLongerThanTheLimitIsRefusedBeforeItsPayload) {
  Bytes b;
  b.U32(1064980).Zeros(1064980);
  BOOL ok = TRUE;
  LONGLONG written = 5;
  ULONGLONG end = 0;
  EXPECT_EQ("", Decompress(b.str(), static_cast<LONGLONG>(b.str().size()), &ok,
                           &written, &end));
  EXPECT_FALSE(ok);
  EXPECT_EQ(0, written);
  EXPECT_EQ(4u, end);  // only the length word was read
}

TEST_F(DeflateTest, ChunkRunningPastTheStoredLengthIsRefused) {
  LONGLONG stored = 0;
  const std::string stream = Compress(PatternBytes(5000), 1, &stored);
  BOOL ok = TRUE;
  LONGLONG written = 0;
  ULONGLONG end = 0;
  Decompress(stream, stored - 1, &ok, &written, &end);
  EXPECT_FALSE(ok);
  EXPECT_EQ(4u, end);
  Decompress(stream, 3, &ok, &written);
  EXPECT_FALSE(ok);
  Decompress(stream, -1, &ok, &written);
  EXPECT_FALSE(ok);
}

TEST_F(DeflateTest, TruncatedOrDamagedStreamFails) {
  LONGLONG stored = 0;
  const std::string content = PatternBytes(kPiece + 1000, 9);
  const std::string stream = Compress(content, 1, &stored);
  BOOL ok = TRUE;
  LONGLONG written = 0;
  // The file ends before the stored length does.
  Decompress(stream.substr(0, stream.size() - 10), stored, &ok, &written);
  EXPECT_FALSE(ok);
  // A payload byte changed.
  std::string damaged = stream;
  damaged[100] = static_cast<char>(damaged[100] ^ 0x55);
  damaged[101] = static_cast<char>(damaged[101] ^ 0x55);
  Decompress(damaged, stored, &ok, &written);
  EXPECT_FALSE(ok);
  // Stored length cut at the first chunk: that chunk cannot end the stream.
  const LONGLONG first = 4 + U32At(stream, 0);
  Decompress(stream, first, &ok, &written);
  EXPECT_FALSE(ok);
  EXPECT_EQ(0, written);
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
  BOOL ok = TRUE;
  LONGLONG written = 0;
  Decompress(b.str(), static_cast<LONGLONG>(b.str().size()), &ok, &written);
  EXPECT_FALSE(ok);
  EXPECT_LE(written, static_cast<LONGLONG>(kPiece));
}

TEST_F(DeflateTest, ProgramAllocatorRefusesProductsBeyond32Bits) {
  EXPECT_EQ(nullptr, KvZlibAlloc(nullptr, 0x10000u, 0x10000u));
  void* block = KvZlibAlloc(nullptr, 100, 8);
  ASSERT_NE(nullptr, block);
  static_cast<char*>(block)[799] = 1;
  KvZlibFree(nullptr, block);
  KvZlibFree(nullptr, nullptr);
}

class Deflate2Test : public DeflateTest {
 protected:
  BOOL Compress2(const std::string& content, ULONGLONG budget,
                 ULONGLONG* stored, std::string* stream) {
    WriteBytes(dir / "src", content);
    HANDLE source = OpenRead(dir / "src");
    HANDLE archive = OpenWrite(dir / "arc");
    const BOOL ok = probe.ZIPCompressFile2(source, content.size(), budget,
                                           archive, stored, 1);
    CloseHandle(source);
    CloseHandle(archive);
    *stream = ReadBytes(dir / "arc");
    return ok;
  }
};

TEST_F(Deflate2Test, OutputBeyondTheBudgetFailsAtTheFinish) {
  LogCapture log;
  ULONGLONG stored = 0;
  std::string stream;
  EXPECT_FALSE(Compress2(PatternBytes(2 * kPiece, 8), 100, &stored, &stream));
  EXPECT_TRUE(log.HasPrefix(CKvLog::kError, "deflate (end) - "));
  EXPECT_EQ(0u, stored);
}

TEST_F(Deflate2Test, BudgetEndingTheStreamEarlyIsNotReportedAsSuccess) {
  LogCapture log;
  const std::string zeros(3 * kPiece, '\0');
  ULONGLONG stored = 0;
  std::string stream;
  EXPECT_FALSE(Compress2(zeros, 1064979 + 20000, &stored, &stream));
  EXPECT_TRUE(log.Has(CKvLog::kError, "deflate budget exhausted - 112"));
  // What was written is a complete stream of the two pieces read.
  const std::vector<std::string> chunks = SplitChunks(stream, 0, stored);
  ASSERT_EQ(2u, chunks.size());
  bool ended = false;
  EXPECT_EQ(zeros.substr(0, 2 * kPiece), Inflate(Join(chunks), &ended));
  EXPECT_TRUE(ended);
}

TEST_F(Deflate2Test, SourceShorterThanItsLengthFailsBothWriters) {
  LogCapture log;
  WriteBytes(dir / "src", "abc");
  HANDLE source = OpenRead(dir / "src");
  HANDLE archive = OpenWrite(dir / "arc");
  ULONGLONG stored = 9;
  EXPECT_FALSE(probe.ZIPCompressFile2(source, 10, kNoDeflateBudget, archive,
                                      &stored, 1));
  EXPECT_EQ(0u, stored);
  EXPECT_TRUE(log.HasPrefix(CKvLog::kError, "ReadFile - "));
  log.Clear();
  LONGLONG stored1 = 9;
  SetFilePointer(source, 0, nullptr, FILE_BEGIN);
  EXPECT_FALSE(probe.ZIPCompressFile(source, 10, archive, &stored1, 1));
  EXPECT_FALSE(probe.ZIPCompressFile(source, -5, archive, &stored1, 1));
  EXPECT_EQ(0, stored1);
  EXPECT_TRUE(log.lines().empty());  // the version 1 writer logs nothing
  CloseHandle(source);
  CloseHandle(archive);
}

}  // namespace
