// SPDX-License-Identifier: GPL-2.0-or-later
#include "v1v2/v1v2_util.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

std::vector<std::string> SplitChunks(const std::string& bytes, size_t offset,
                                     size_t stored) {
  std::vector<std::string> parts;
  size_t at = offset;
  const size_t end = offset + stored;
  while (at < end) {
    EXPECT_LE(at + 4, end);
    if (at + 4 > end) break;
    const uint32_t length = U32At(bytes, at);
    at += 4;
    EXPECT_LE(at + length, end);
    if (at + length > end) break;
    parts.push_back(bytes.substr(at, length));
    at += length;
  }
  return parts;
}

std::string Join(const std::vector<std::string>& parts) {
  std::string all;
  for (const std::string& p : parts) all += p;
  return all;
}

std::string Inflate(const std::string& zlibStream, bool* ended) {
  z_stream z = {};
  EXPECT_EQ(Z_OK, inflateInit(&z));
  std::string out;
  std::vector<unsigned char> buffer(1 << 16);
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(zlibStream.data()));
  z.avail_in = static_cast<uInt>(zlibStream.size());
  int result = Z_OK;
  while (result == Z_OK) {
    z.next_out = buffer.data();
    z.avail_out = static_cast<uInt>(buffer.size());
    result = inflate(&z, Z_NO_FLUSH);
    out.append(reinterpret_cast<char*>(buffer.data()),
               buffer.size() - z.avail_out);
    if (result == Z_BUF_ERROR && z.avail_in == 0) break;
  }
  if (ended) *ended = result == Z_STREAM_END;
  inflateEnd(&z);
  return out;
}

int CountEntries(CKvMorvel& m) {
  int n = 0;
  // The bound ends a listing that would never end instead of hanging.
  while (n < 100000) {
    PrimeStaleCodes(m);
    if (!m.Info(1)) break;
    ++n;
  }
  return n;
}

int ListAll(const std::u16string& path) {
  CKvMorvel m;
  if (!m.Open(P(path), TRUE, 0)) return -1;
  const int n = CountEntries(m);
  m.Close();
  return n;
}

int SweepDamage(const std::string& path, const std::string& original,
                size_t from) {
  const std::u16string wide = W(path);
  int opened = 0;
  std::vector<size_t> positions;
  for (size_t i = 0; i < 40 && i < original.size(); ++i) positions.push_back(i);
  for (size_t i = from; i < original.size(); ++i) positions.push_back(i);
  for (size_t at : positions) {
    for (char value : {'\xFF', '\x00'}) {
      std::string bytes = original;
      bytes[at] = value;
      WriteBytes(path, bytes);
      if (ListAll(wide) >= 0) ++opened;
    }
  }
  for (size_t length = 0; length < original.size(); ++length) {
    WriteBytes(path, original.substr(0, length));
    if (ListAll(wide) >= 0) ++opened;
  }
  return opened;
}

std::string StoredContent(const std::string& bytes, uint64_t offset,
                          uint64_t stored) {
  return Inflate(Join(SplitChunks(bytes, offset, stored)));
}

std::string EntryName(CKvMorvel& m) {
  WCHAR buffer[1024];  // room for the longest name a version stores
  EXPECT_TRUE(m.GetFile(buffer, 1024));
  return N(reinterpret_cast<const char16_t*>(buffer));
}

void ArchiveTest::AppendFile(int version, const std::string& name,
                             const std::string& content) {
  mkdir((dir / "src").c_str(), 0755);
  WriteBytes(dir / ("src/" + name), content);
  CKvMorvel m;
  ASSERT_TRUE(m.Open(P(Arc()), FALSE, version));
  ASSERT_TRUE(
      m.AddFile(P(dir.W("src/" + name)), P(W("d\\" + name)), nullptr, 0));
  ASSERT_TRUE(m.Close());
}
