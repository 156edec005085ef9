// Helpers of the version 1 and 2 tests: a byte builder for expected
// records, chunk parsing and an independent zlib reader.
#ifndef KVMORVEL_TESTS_V1V2_UTIL_H
#define KVMORVEL_TESTS_V1V2_UTIL_H

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <string>
#include <vector>

#include "KvMorvel.h"
#include "kvwin32.h"
#include "support/test_support.h"

// Appends little-endian fields, written out by hand from the layout
// tables so that expected bytes never come from the library's codecs.
struct ByteBuilder {
  std::string s;
  ByteBuilder& u16(uint32_t v) {
    for (int i = 0; i < 2; ++i) s += static_cast<char>((v >> (8 * i)) & 0xFF);
    return *this;
  }
  ByteBuilder& u32(uint32_t v) {
    for (int i = 0; i < 4; ++i) s += static_cast<char>((v >> (8 * i)) & 0xFF);
    return *this;
  }
  ByteBuilder& u64(uint64_t v) {
    for (int i = 0; i < 8; ++i) s += static_cast<char>((v >> (8 * i)) & 0xFF);
    return *this;
  }
  ByteBuilder& raw(const std::string& bytes) {
    s += bytes;
    return *this;
  }
  // `count` UTF-16 units of `text`, zero-padded.
  ByteBuilder& wide(const std::u16string& text, size_t count) {
    for (size_t i = 0; i < count; ++i) u16(i < text.size() ? text[i] : 0);
    return *this;
  }
  ByteBuilder& zeros(size_t n) {
    s.append(n, '\0');
    return *this;
  }
};

inline uint32_t GetU32(const std::string& b, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i)
    v = (v << 8) | static_cast<unsigned char>(b.at(at + i));
  return v;
}
inline uint64_t GetU64(const std::string& b, size_t at) {
  return GetU32(b, at) | (static_cast<uint64_t>(GetU32(b, at + 4)) << 32);
}
inline uint16_t GetU16(const std::string& b, size_t at) {
  return static_cast<uint16_t>(static_cast<unsigned char>(b.at(at)) |
                               (static_cast<unsigned char>(b.at(at + 1)) << 8));
}

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

// Opens `path` for reading and steps through every entry; returns the
// number listed, or -1 when Open refuses the file.
int ListAll(const std::u16string& path);

// Damages `original` (a whole archive) at `path` in every way a short
// sweep can: each header and catalogue byte set to 0xFF or 0x00 and the
// file cut at every length, listing it each time. `from` is where the
// catalogue begins. Returns how many variants opened.
int SweepDamage(const std::string& path, const std::string& original,
                size_t from);

// The test's own handles through the Win32 layer.
HANDLE OpenRead(const std::string& path);
HANDLE OpenWrite(const std::string& path);  // created or truncated
ULONGLONG Position(HANDLE file);

// Exposes the protected members the tests drive directly.
class Probe : public CKvMorvel {
 public:
  using CKvMorvel::FillVector;
  using CKvMorvel::InitStructuresV1;
  using CKvMorvel::InitStructuresV2;
  using CKvMorvel::ZIPCompressFile;
  using CKvMorvel::ZIPCompressFile2;
  using CKvMorvel::ZIPDecompressFile;
  using CKvMorvel::m_control;
  using CKvMorvel::m_currentIndex;
  using CKvMorvel::m_entries2;
  using CKvMorvel::m_error;
};

#endif  // KVMORVEL_TESTS_V1V2_UTIL_H
