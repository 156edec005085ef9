// SPDX-License-Identifier: GPL-2.0-or-later
// The manifest beside an archive (CKvMorvel::BeginManifest): the SHA-256
// of each file's data as the adder read it and of each archive file, in
// lines sha256sum checks; marked complete only by a successful Close; an
// append keeps the entry lines of the archive it adds to. And the SHA-256
// itself, against published vectors.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "KvMorvel.h"
#include "KvMorvelHost.h"
#include "common/manifest_text.h"
#include "common/sha256.h"
#include "kvwin32.h"
#include "support/test_support.h"

namespace {

std::string Hex(const std::string& bytes) {
  Sha256 digest;
  digest.Update(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  return digest.FinishHex();
}

TEST(Sha256, PublishedVectors) {
  EXPECT_EQ("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855", Hex(""));
  EXPECT_EQ("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad", Hex("abc"));
  EXPECT_EQ("248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1",
            Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"));
  EXPECT_EQ("cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0",
            Hex(std::string(1000000, 'a')));
  // Fed in uneven pieces, across block edges, the digest is the same.
  const std::string text(1000000, 'a');
  Sha256 pieces;
  for (size_t at = 0, step = 1; at < text.size(); at += step, step = step * 3 % 257 + 1)
    pieces.Update(reinterpret_cast<const uint8_t*>(text.data()) + at,
                  std::min(step, text.size() - at));
  EXPECT_EQ("cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0",
            pieces.FinishHex());
}

// The manifest's lines, split.
std::vector<std::string> ManifestLines(const std::string& archive) {
  std::vector<std::string> lines;
  const std::string text = ReadBytes(archive + ".sha256");
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = text.find('\n', start);
    lines.push_back(text.substr(start, end - start));
    start = end == std::string::npos ? text.size() : end + 1;
  }
  return lines;
}

struct Manifests : ::testing::TestWithParam<DWORD> {
  TempDir src, dir;
  std::string archive = dir / "a.kvm";

  // Opens the archive for writing with a manifest kept.
  void Begin(CKvMorvel& writer) {
    ASSERT_TRUE(writer.Open(P(W(archive)), FALSE, GetParam())) << writer.GetErrorCode();
    writer.SetSplitSize(1048576);
    ASSERT_TRUE(writer.BeginManifest()) << writer.GetErrorCode();
  }
  // Adds the file `file` holding `bytes` as the entry `entry`.
  void Add(CKvMorvel& writer, const std::string& file, const std::string& bytes,
           const std::string& entry = "") {
    WriteBytes(src / file, bytes);
    ASSERT_TRUE(writer.AddFile(P(W(src / file)), P(W(entry.empty() ? file : entry)),
                               nullptr, 0))
        << file;
  }
  // The file lines a finished manifest must end with: main file, parts.
  std::vector<std::string> FileLines() {
    std::vector<std::string> lines = {ManifestFileLine(Hex(ReadBytes(archive)), "a.kvm")};
    for (DWORD part = 1; GetParam() == 5; ++part) {
      const std::string name = "a_" + std::string(part < 10 ? "000" : "00") +
                               std::to_string(part) + ".kvm";
      if (!Exists(dir / name)) break;
      lines.push_back(ManifestFileLine(Hex(ReadBytes(dir / name)), name));
    }
    for (std::string& line : lines) line.pop_back();  // the line feed
    return lines;
  }
};

TEST_P(Manifests, CloseCompletesWhatTheAddersDigested) {
  const std::string big = PatternBytes(3 * 1048576 + 5, 11);
  CKvMorvel writer;
  Begin(writer);
  EXPECT_FALSE(writer.BeginManifest());
  EXPECT_EQ(183u, writer.GetErrorCode());
  EXPECT_EQ(std::string(kManifestIncomplete), ReadBytes(archive + ".sha256"));
  Add(writer, "a.txt", "alpha");
  Add(writer, "big.bin", big);
  Add(writer, "empty", "", "new\nline%");
  if (GetParam() != 1) {  // a folder has no data and no line
    ASSERT_TRUE(writer.AddFile(P(W(src.path())), P(u"folder"), nullptr, 0));
  }
  // Before Close the manifest says it is not whole.
  EXPECT_EQ(0u, ReadBytes(archive + ".sha256").find(kManifestIncomplete));
  ASSERT_TRUE(writer.Close()) << writer.GetErrorCode();

  std::vector<std::string> expected = {
      std::string(kManifestComplete, sizeof(kManifestComplete) - 2),
      "# entry " + Hex("alpha") + " a.txt", "# entry " + Hex(big) + " big.bin",
      "# entry " + Hex("") + " new%0Aline%25"};
  for (const std::string& line : FileLines()) expected.push_back(line);
  EXPECT_EQ(expected, ManifestLines(archive));
  if (GetParam() == 5) {
    EXPECT_GE(expected.size(), 7u);  // parts listed
  }

  WCHAR name[300];
  ASSERT_TRUE(CKvMorvelHost::GetManifestFileName(P(W(archive)), name, 300));
  EXPECT_EQ(W(archive + ".sha256"), Text16(name));
  EXPECT_FALSE(CKvMorvelHost::GetManifestFileName(P(W(archive)), name, 5));
  BYTE digest[32];
  ASSERT_TRUE(CKvMorvelHost::GetFileSha256(P(W(src / "big.bin")), digest, 32));
  EXPECT_EQ(Hex(big), Sha256::ToHex(digest));
  EXPECT_FALSE(CKvMorvelHost::GetFileSha256(P(W(src / "gone")), digest, 32));
  EXPECT_EQ(2u, CKvMorvelHost::GetSystemError());
}

TEST_P(Manifests, AppendKeepsEarlierEntriesOnlyOfTheSameArchive) {
  {
    CKvMorvel first;
    Begin(first);
    Add(first, "one", "1");
    ASSERT_TRUE(first.Close());
  }
  {
    CKvMorvel second;
    Begin(second);
    Add(second, "two", "22");
    ASSERT_TRUE(second.Close());
  }
  std::vector<std::string> lines = ManifestLines(archive);
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ("# entry " + Hex("1") + " one", lines[1]);
  EXPECT_EQ("# entry " + Hex("22") + " two", lines[2]);
  EXPECT_EQ(FileLines(), std::vector<std::string>(lines.begin() + 3, lines.end()));

  // A manifest that does not describe the archive found (another archive
  // of that name was put there) gives its entries to none.
  const std::string manifest = ReadBytes(archive + ".sha256");
  {
    CKvMorvel third;
    Begin(third);
    Add(third, "three", "333");
    ASSERT_TRUE(third.Close());
  }
  std::string stale = manifest;
  stale.replace(stale.find("  a.kvm") - 64, 64, std::string(64, '0'));
  WriteBytes(archive + ".sha256", stale);
  CKvMorvel fourth;
  Begin(fourth);
  Add(fourth, "four", "4444");
  ASSERT_TRUE(fourth.Close());
  lines = ManifestLines(archive);
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ("# entry " + Hex("4444") + " four", lines[1]);
  EXPECT_EQ(std::string::npos, ReadBytes(archive + ".sha256").find(" one"));
}

TEST_P(Manifests, RunThatDoesNotFinishLeavesItMarkedIncomplete) {
  {
    CKvMorvel stopped;
    Begin(stopped);
    Add(stopped, "one", "1");
    EXPECT_TRUE(stopped.LeaveManifestIncomplete());
    EXPECT_FALSE(stopped.LeaveManifestIncomplete());
    EXPECT_EQ(87u, stopped.GetErrorCode());
    ASSERT_TRUE(stopped.Close());
  }
  EXPECT_EQ(0u, ReadBytes(archive + ".sha256").find(kManifestIncomplete));
  {
    CKvMorvel writer;
    ASSERT_TRUE(writer.Open(P(W(dir / "b.kvm")), FALSE, GetParam()));
    ASSERT_TRUE(writer.BeginManifest());
    Add(writer, "two", "2");
    {
      CKvMorvel copy(writer);  // a copy keeps no manifest of its own
      EXPECT_FALSE(copy.LeaveManifestIncomplete());
    }
    // Until Close completes it (a run killed before would leave it so).
    const std::string left = ReadBytes(dir / "b.kvm.sha256");
    EXPECT_EQ(0u, left.find(kManifestIncomplete));
    EXPECT_NE(std::string::npos, left.find("# entry " + Hex("2") + " two"));
    ASSERT_TRUE(writer.Close());
  }
  EXPECT_EQ(0u, ReadBytes(dir / "b.kvm.sha256").find(kManifestComplete));
  // For reading, none is kept.
  CKvMorvel reader;
  ASSERT_TRUE(reader.Open(P(W(archive)), TRUE, 0));
  EXPECT_FALSE(reader.BeginManifest());
  EXPECT_EQ(87u, reader.GetErrorCode());
  reader.Close();
}

INSTANTIATE_TEST_SUITE_P(Versions, Manifests, ::testing::Values(1u, 2u, 5u));

}  // namespace
