// SPDX-License-Identifier: GPL-2.0-or-later
// Through the public class: what the adders stored comes back by the
// host's loop Info(0), ExtractFile, Info(1), for every archive version.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "restore/restore_fixture.h"

namespace {

class RoundTrip : public ::testing::TestWithParam<DWORD> {};

TEST_P(RoundTrip, EveryEntryComesBackThroughTheHostLoop) {
  const DWORD version = GetParam();
  TempDir src, dir;
  const std::string files[][2] = {{"a.txt", "alpha"},
                                  {"sub/b.bin", PatternBytes(1048577, 9)},
                                  {"sub/empty", ""}};
  mkdir((src / "sub").c_str(), 0755);
  CKvMorvel writer;
  ASSERT_TRUE(writer.Open(P(W(dir / "t.arc")), FALSE, version));
  if (version != 1) {  // version 1 holds files only
    ASSERT_TRUE(writer.AddFile(P(W(src / "sub")), P(u"sub"), nullptr, 0));
  }
  for (const auto& f : files) {
    WriteBytes(src / f[0], f[1]);
    std::string name = f[0];
    for (char& c : name)
      if (c == '/') c = '\\';
    ASSERT_TRUE(writer.AddFile(P(W(src / f[0])), P(W(name)), nullptr, 0))
        << f[0] << " code " << writer.GetErrorCode();
  }
  ASSERT_TRUE(writer.Close());

  CKvMorvel reader;
  ASSERT_TRUE(reader.Open(P(W(dir / "t.arc")), TRUE, 0));
  int restored = 0;
  while (reader.Info(0)) {
    ASSERT_TRUE(reader.ExtractFile(P(W(dir / "out")), 0))
        << reader.GetErrorCode();
    ++restored;
    reader.Info(1);
  }
  EXPECT_EQ(259u, reader.GetErrorCode());
  reader.Close();
  EXPECT_EQ(version == 1 ? 3 : 4, restored);
  for (const auto& f : files)
    EXPECT_EQ(f[1], ReadBytes(dir / ("out/" + f[0]))) << f[0];
}

// A sink that keeps what it is given; one that refuses with its own code.
DWORD KeepBytes(void* context, const BYTE* bytes, DWORD size) {
  static_cast<std::string*>(context)->append(reinterpret_cast<const char*>(bytes), size);
  return 0;
}
DWORD RefuseBytes(void*, const BYTE*, DWORD) { return 0x2000AB; }

// ReadEntryData gives each entry's data as the restore would write it,
// without a file: folders give nothing, the cursor stays, and the host's
// sink may stop the read with a code of its own.
TEST_P(RoundTrip, EveryEntryStreamsToASinkWithoutAFile) {
  const DWORD version = GetParam();
  TempDir src, dir;
  const std::string big = PatternBytes(2 * 1048576 + 17, 3);
  WriteBytes(src / "a.txt", "alpha");
  WriteBytes(src / "big.bin", big);
  WriteBytes(src / "empty", "");
  CKvMorvel writer;
  const std::string archive = dir / "t.arc";
  ASSERT_TRUE(writer.Open(P(W(archive)), FALSE, version));
  writer.SetSplitSize(1048576);
  if (version != 1) {
    ASSERT_TRUE(writer.AddFile(P(W(src.path())), P(u"folder"), nullptr, 0));
  }
  for (const char* name : {"a.txt", "big.bin", "empty"})
    ASSERT_TRUE(writer.AddFile(P(W(src / name)), P(W(name)), nullptr, 0)) << name;
  std::string none;
  EXPECT_FALSE(writer.ReadEntryData(KeepBytes, &none));  // open for writing
  EXPECT_EQ(87u, writer.GetErrorCode());
  ASSERT_TRUE(writer.Close());

  CKvMorvel reader;
  EXPECT_FALSE(reader.ReadEntryData(KeepBytes, &none));  // nothing open
  EXPECT_EQ(87u, reader.GetErrorCode());
  ASSERT_TRUE(reader.Open(P(W(archive)), TRUE, 0));
  EXPECT_FALSE(reader.ReadEntryData(nullptr, nullptr));
  EXPECT_EQ(87u, reader.GetErrorCode());
  std::vector<std::string> streamed;
  while (reader.Info(0)) {
    std::string bytes;
    ASSERT_TRUE(reader.ReadEntryData(KeepBytes, &bytes)) << reader.GetErrorCode();
    std::string again;  // the cursor did not move
    ASSERT_TRUE(reader.ReadEntryData(KeepBytes, &again));
    EXPECT_EQ(bytes, again);
    if (reader.GetLength64() > 0) {
      EXPECT_FALSE(reader.ReadEntryData(RefuseBytes, nullptr));
      EXPECT_EQ(0x2000ABu, reader.GetErrorCode());
    }
    streamed.push_back(bytes);
    reader.Info(1);
  }
  EXPECT_FALSE(reader.ReadEntryData(KeepBytes, &none));
  EXPECT_EQ(259u, reader.GetErrorCode());
  reader.Close();
  std::vector<std::string> expected = {"alpha", big, ""};
  if (version != 1) expected.insert(expected.begin(), "");  // the folder
  EXPECT_EQ(expected.size(), streamed.size());
  for (size_t i = 0; i < expected.size() && i < streamed.size(); ++i)
    EXPECT_TRUE(expected[i] == streamed[i]) << i << ": " << streamed[i].size() << " bytes";
}

// Each stored byte belongs to one entry, and the restore refuses an entry
// whose data lies in data read for an earlier one (1392). Archives the
// writers make never trip that rule: files empty and of several pieces,
// folders, links, version 5 streams that run on into the next part, and
// appends to an archive that was closed, all come back in one pass.
TEST_P(RoundTrip, ArchivesTheWritersMakeNeverShareData) {
  const DWORD version = GetParam();
  TempDir src, dir;
  const std::string arc = dir / "t.arc";
  mkdir((src / "sub").c_str(), 0755);
  WriteBytes(src / "a.txt", "alpha");
  WriteBytes(src / "empty", "");
  WriteBytes(src / "sub/big", PatternBytes(2 * 1048576 + 7, 4));
  // Wine makes no links: the rounds go without one there.
  const bool links = !UnderWine();
  if (links) {
    ASSERT_EQ(0, symlink("../a.txt", (src / "sub/link").c_str()));
  }
  // Adds the sources in three rounds, the archive closed and opened to
  // add after each one.
  const char* const rounds[][4] = {{"a.txt", "empty", "sub", "sub/big"},
                                   {"sub/link", "empty", "a.txt", nullptr},
                                   {"sub/big", "empty", nullptr, nullptr}};
  int added = 0;
  for (int round = 0; round < 3; ++round) {
    CKvMorvel writer;
    ASSERT_TRUE(writer.Open(P(W(arc)), FALSE, version)) << writer.GetErrorCode();
    writer.SetSplitSize(1048576);  // version 5: streams run across parts
    for (const char* source : rounds[round]) {
      if (!source) break;
      const std::string s = source;
      // Version 1 holds files only.
      if (version == 1 && (s == "sub" || s == "sub/link")) continue;
      if (!links && s == "sub/link") continue;
      std::string name = "r" + std::to_string(round) + "\\" + s;
      for (char& c : name)
        if (c == '/') c = '\\';
      ASSERT_TRUE(writer.AddFile(P(W(src / s)), P(W(name)), nullptr, 0))
          << s << " code " << writer.GetErrorCode();
      ++added;
    }
    ASSERT_TRUE(writer.Close()) << writer.GetErrorCode();
  }
  CKvMorvel reader;
  ASSERT_TRUE(reader.Open(P(W(arc)), TRUE, 0));
  int restored = 0;
  for (; reader.Info(0); reader.Info(1)) {
    EXPECT_TRUE(reader.ExtractFile(P(W(dir / "out")), 0))
        << restored << " code " << reader.GetErrorCode();
    ++restored;
  }
  EXPECT_EQ(259u, reader.GetErrorCode());
  reader.Close();
  EXPECT_EQ(added, restored);
  EXPECT_EQ(PatternBytes(2 * 1048576 + 7, 4), ReadBytes(dir / "out/r2/sub/big"));
  EXPECT_EQ("alpha", ReadBytes(dir / "out/r1/a.txt"));
}

INSTANTIATE_TEST_SUITE_P(Versions, RoundTrip, ::testing::Values(1u, 2u, 5u));

// The 8.3 name is best effort: where it cannot be set (an invalid stored
// name, or a system without SetFileShortNameW, as under Wine) the line
// "Cannot set short name NAME of PATH - CODE" is logged and the entry is
// restored all the same.
class ShortNames : public Restoring,
                   public ::testing::WithParamInterface<DWORD> {};

TEST_P(ShortNames, AStoredShortNameNeverFailsTheRestore) {
  const DWORD version = GetParam();
  const std::string contents[] = {"alpha", "beta"};
  const char16_t* shortNames[] = {u"ALPHA~1.TXT", u"A?B.TXT"};
  std::vector<StoredEntry> entries;
  std::string data;
  for (int i = 0; i < 2; ++i) {
    const std::string name = i == 0 ? "alphabetical.txt" : "beta.txt";
    StoredEntry e = Entry(name, 0x20, contents[i].size());
    e.shortName = shortNames[i];
    const std::string stored =
        version == 5 ? LzoBlocks(contents[i]) : DeflateChunks(contents[i]);
    e = DataAt(e, data.size());
    e.storedLength = stored.size();
    data += stored;
    entries.push_back(e);
  }
  if (version == 5)
    WriteV5(entries, {data});
  else
    WriteV1OrV2(version, entries, data);

  LogCapture log;
  EXPECT_EQ(std::vector<DWORD>(2, 0), RestoreAll(out));
  EXPECT_EQ("alpha", ReadBytes(out + "/alphabetical.txt"));
  EXPECT_EQ("beta", ReadBytes(out + "/beta.txt"));
  // Wine's SetFileShortNameW is a stub: the library does not call it.
  const DWORD invalidCode =
      UnderWine() ? ERROR_CALL_NOT_IMPLEMENTED : ERROR_INVALID_PARAMETER;
  EXPECT_TRUE(
      HasErrorLine(log, "Cannot set short name A?B.TXT of ", invalidCode));
  if (UnderWine()) {
    EXPECT_TRUE(HasErrorLine(log, "Cannot set short name ALPHA~1.TXT of ",
                             ERROR_CALL_NOT_IMPLEMENTED));
    return;
  }
  WCHAR shortPath[MAX_PATH];
  const DWORD n = GetShortPathNameW(P(W(out + "/alphabetical.txt")),
                                    shortPath, MAX_PATH);
  ASSERT_GT(n, 0u);
  const std::u16string got(reinterpret_cast<const char16_t*>(shortPath), n);
  EXPECT_EQ(u"ALPHA~1.TXT", got.substr(got.size() - 11));
  EXPECT_FALSE(log.HasPrefix(CKvLog::kError, "Cannot set short name ALPHA"));
}

INSTANTIATE_TEST_SUITE_P(Versions, ShortNames, ::testing::Values(1u, 2u, 5u));

}  // namespace
