// SPDX-License-Identifier: GPL-2.0-or-later
// Bytes of the main file and of part files, compared with bytes built
// here field by field from the documented layouts; part file names.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>

#include "KvMorvelHost.h"
#include "support/probe.h"
#include "v5_test_util.h"

namespace {

// One on-disk entry record as the layout table lists it.
std::string RecordBytes(const WIN32_FILE_ATTRIBUTE_DATA& d, uint64_t stored,
                        uint64_t blocks, uint64_t dataOffset,
                        uint64_t sdOffset, uint32_t dataPart,
                        uint32_t sdPart, const std::u16string& name) {
  const size_t nameLength = name.size() + 1;
  return Bytes()
      .U32(110 + 2 * nameLength)
      .AttributeData(d)
      .U64(stored)
      .U64(blocks)
      .U64(dataOffset)
      .U64(sdOffset)
      .U32(dataPart)
      .U32(sdPart)
      .Wide(u"", 14)  // no 8.3 name
      .U16(nameLength)
      .Wide(name, nameLength)
      .str();
}

TEST(V5Layout, NewArchiveIsFortyByteHeaderAndOneEmptyPart) {
  ArchiveDir a;
  CKvMorvel arc;
  ASSERT_TRUE(arc.Open(P(a.wmain()), FALSE, 5));
  ASSERT_TRUE(arc.Close());
  EXPECT_EQ(ReadBytes(a.main()), HeaderBytes(1));
  ASSERT_TRUE(Exists(a.part(1)));
  EXPECT_EQ(ReadBytes(a.part(1)), "");
  EXPECT_FALSE(Exists(a.part(2)));

  CKvMorvel reader;
  ASSERT_TRUE(reader.Open(P(a.wmain()), TRUE, 0));
  EXPECT_EQ(reader.GetVersion(), 5u);
  EXPECT_FALSE(reader.Info(0));
  EXPECT_EQ(reader.GetErrorCode(), 259u);
  EXPECT_TRUE(reader.Close());
}

TEST(V5Layout, KnownTreeGivesDocumentedRecordsAndPartBytes) {
  ArchiveDir a;
  WriteBytes(a.dir / "e.txt", "");
  const std::string descriptor = PatternBytes(20, 7);
  const WIN32_FILE_ATTRIBUTE_DATA dir = DistinctTimes(0x10);
  const WIN32_FILE_ATTRIBUTE_DATA file = DistinctTimes(0x20);
  {
    CKvMorvel arc;
    ASSERT_TRUE(arc.Open(P(a.wmain()), FALSE, 5));
    WIN32_FILE_ATTRIBUTE_DATA d1 = dir, d2 = file, d3 = dir;
    ASSERT_TRUE(arc.AddFile(P(W(a.dir / "nowhere")), P(u"docs"), &d1,
                            nullptr, 0));
    ASSERT_TRUE(arc.AddFile(P(W(a.dir / "e.txt")), P(u"docs\\e.txt"), &d2,
                            const_cast<char*>(descriptor.data()), 20));
    ASSERT_TRUE(arc.AddFile(P(W(a.dir / "nowhere")), P(u"docs\\sub"), &d3,
                            nullptr, 0));
    ASSERT_TRUE(arc.Close());
  }
  // Part 1: the empty file's one block (payload: LZO's 3-byte end of
  // stream), then its descriptor block.
  const std::string part = Bytes()
                               .U32(3)
                               .Raw(std::string("\x11\x00\x00", 3))
                               .U32(20)
                               .Raw(descriptor)
                               .str();
  EXPECT_EQ(ReadBytes(a.part(1)), part);
  const std::string expected =
      HeaderBytes(1) +
      RecordBytes(dir, 0, 0, 0, 0, 1, 0xFFFFFFFFu, u"docs") +
      RecordBytes(file, 3, 1, 0, 7, 1, 1, u"docs\\e.txt") +
      RecordBytes(dir, 0, 0, 31, 0, 1, 0xFFFFFFFFu, u"docs\\sub");
  EXPECT_EQ(ReadBytes(a.main()), expected);
}

TEST(V5Layout, NameOf630CharactersFitsAndLongerIsRefused) {
  ArchiveDir a;
  CKvMorvel arc;
  ASSERT_TRUE(arc.Open(P(a.wmain()), FALSE, 5));
  WIN32_FILE_ATTRIBUTE_DATA d = DistinctTimes(0x10);
  // Folders within folders, so that a restore can make the whole name.
  const std::string folders = std::string(200, 'n') + "/" +
                              std::string(200, 'n') + "/" +
                              std::string(228, 'n');
  std::u16string longest = W(folders);
  std::replace(longest.begin(), longest.end(), u'/', u'\\');
  const std::u16string tooLong = longest + u"n";
  ASSERT_EQ(longest.size(), 630u);
  ASSERT_TRUE(arc.AddFile(P(u"/nowhere"), P(longest), &d, nullptr, 0));
  PrimeStaleCodes(arc);
  EXPECT_FALSE(arc.AddFile(P(u"/nowhere"), P(tooLong), &d, nullptr, 0));
  EXPECT_EQ(arc.GetErrorCode(), 122u);
  ASSERT_TRUE(arc.Close());
  EXPECT_EQ(ReadBytes(a.main()).size(), 40u + 110u + 2u * 631u);

  CKvMorvel reader;
  ASSERT_TRUE(reader.Open(P(a.wmain()), TRUE, 0));
  ASSERT_TRUE(reader.Info(0));
  ASSERT_TRUE(reader.ExtractFile(P(W(a.dir / "out")), 0))
      << reader.GetErrorCode();
  EXPECT_TRUE(Exists(a.dir / ("out/" + folders)));
  ASSERT_TRUE(reader.Info(1));
  EXPECT_FALSE(reader.Info(0));  // the one entry
  reader.Close();
}

size_t FolderEntries(const std::string& path) {
  size_t n = 0;
  DIR* d = opendir(path.c_str());
  while (dirent* e = d ? readdir(d) : nullptr)
    if (strcmp(e->d_name, ".") && strcmp(e->d_name, "..")) ++n;
  if (d) closedir(d);
  return n;
}

// Restores an entry stored in part `n` of the archive `main` from the
// file `partName` (both "C:\..." paths, C: a fresh folder). 0 when the
// library reads part n of `main` under exactly that name; else the
// restore's code (or ~0u when it restored other bytes).
DWORD RestoreFromPart(const std::u16string& main, DWORD n,
                      const std::u16string& partName) {
  TempDir drive;
  DosDevices devices;
  devices.Map('c', drive.path());
  // The POSIX path of a "C:\..." path, its folders made.
  auto onDrive = [&drive](const std::u16string& path) {
    std::string posix = drive.path() + N(path.substr(2));
    std::replace(posix.begin(), posix.end(), '\\', '/');
    for (size_t at = drive.path().size() + 1;
         (at = posix.find('/', at)) != std::string::npos; ++at)
      mkdir(posix.substr(0, at).c_str(), 0755);
    return posix;
  };
  StoredEntry e = Entry("f", 0x20, 4);
  e.dataPart = n;
  WriteV5Archive(onDrive(main), {e}, {});
  WriteBytes(onDrive(partName), LzoBlocks("part"));
  CKvMorvel reader;
  if (!reader.Open(P(main), TRUE, 0) || !reader.Info(0)) return ~0u;
  PrimeStaleCodes(reader);
  const BOOL ok = reader.ExtractFile(P(W(drive / "out")), 0);
  const DWORD code = reader.GetErrorCode();
  reader.Close();
  if (!ok) return code;
  return ReadBytes(drive / "out/f") == "part" ? 0 : ~0u;
}

// The name CKvMorvelHost gives part `n` of `main`; "(none)" when it
// refuses one.
std::u16string HostPartName(const std::u16string& main, DWORD n) {
  WCHAR name[1024];
  if (!CKvMorvelHost::GetPartFileName(P(main), n, name, 1024))
    return u"(none)";
  return reinterpret_cast<const char16_t*>(name);
}

// Each case is read by the object from that name, and a host asking the
// library for the name gets the same one.
TEST(V5PartNames, NumberGoesBeforeTheLastDotOfTheWholePath) {
  SKIP_UNDER_WINE(kWineNoDriveMapping);
  const struct {
    std::u16string main;
    DWORD part;
    std::u16string name;
  } cases[] = {{u"C:\\b\\x.arc", 1, u"C:\\b\\x_0001.arc"},
               {u"C:\\b\\x.arc", 2, u"C:\\b\\x_0002.arc"},
               {u"C:\\b\\x.arc", 10000, u"C:\\b\\x_10000.arc"},
               {u"C:\\b.d\\x", 1, u"C:\\b_0001.d\\x"},
               {u"C:\\b\\disk", 1, u"C:\\b\\disk_0001"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(N(c.name));
    EXPECT_EQ(0u, RestoreFromPart(c.main, c.part, c.name));
    EXPECT_EQ(c.name, HostPartName(c.main, c.part));
  }
}

TEST(V5PartNames, NameThatDoesNotFitIsRefusedNeverCut) {
  SKIP_UNDER_WINE(kWineNoDriveMapping);
  // 259 characters: the part name needs 264 characters and its
  // terminator. Cut to fit, it would end "_0001.ar": the part stored
  // there is never read.
  const std::u16string stem =
      u"C:\\" + std::u16string(125, u'a') + u"\\" + std::u16string(126, u'b');
  ASSERT_EQ((stem + u".arc").size(), 259u);
  LogCapture log;
  EXPECT_EQ(1359u, RestoreFromPart(stem + u".arc", 1, stem + u"_0001.ar"));
  // The part is looked for before the entry's file is made.
  EXPECT_TRUE(log.Has(CKvLog::kError, "Cannot restore data of f - 122"));
  EXPECT_EQ(u"(none)", HostPartName(stem + u".arc", 1));

  // A caller's buffer smaller than the name is left empty, nothing past
  // it.
  ArchiveDir a;
  Probe p;
  ASSERT_TRUE(p.Open(P(a.wmain()), FALSE, 5));
  WCHAR buffer[20];
  for (WCHAR& c : buffer) c = u'Z';
  p.GetPartName(1, buffer, 10);
  EXPECT_EQ(buffer[0], 0);
  for (int i = 10; i < 20; ++i) EXPECT_EQ(buffer[i], u'Z');
  p.Close();
  for (WCHAR& c : buffer) c = u'Z';
  EXPECT_FALSE(CKvMorvelHost::GetPartFileName(P(a.wmain()), 1, buffer, 10));
  EXPECT_EQ(buffer[0], 0);
  for (int i = 10; i < 20; ++i) EXPECT_EQ(buffer[i], u'Z');
}

TEST(V5PartNames, OpenFailsWhenThePartNameDoesNotFit) {
  TempDir dir;
  std::string main = dir.path() + "/";
  main += std::string(259 - main.size() - 4, 'a') + ".arc";
  ASSERT_EQ(main.size(), 259u);
  CKvMorvel arc;
  PrimeStaleCodes(arc);
  EXPECT_FALSE(arc.Open(P(W(main)), FALSE, 5));
  EXPECT_EQ(arc.GetErrorCode(), 122u);
  arc.Close();
  // No part under a cut name, and the main file the failed Open made is
  // gone again: nothing is left.
  EXPECT_EQ(FolderEntries(dir.path()), 0u);
}

}  // namespace
