// Bytes of the main file and of part files, compared with bytes built
// here field by field from the documented layouts; part file names.
#include <gtest/gtest.h>

#include <dirent.h>

#include <cstring>

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
  const WIN32_FILE_ATTRIBUTE_DATA dir = Attributes(0x10);
  const WIN32_FILE_ATTRIBUTE_DATA file = Attributes(0x20);
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
  Probe arc;
  ASSERT_TRUE(arc.Open(P(a.wmain()), FALSE, 5));
  WIN32_FILE_ATTRIBUTE_DATA d = Attributes(0x10);
  const std::u16string longest(630, u'n');
  const std::u16string tooLong(631, u'n');
  ASSERT_TRUE(arc.AddFile(P(u"/nowhere"), P(longest), &d, nullptr, 0));
  EXPECT_FALSE(arc.AddFile(P(u"/nowhere"), P(tooLong), &d, nullptr, 0));
  EXPECT_EQ(arc.GetErrorCode(), 122u);
  EXPECT_EQ(arc.m_entries5.size(), 1u);
  ASSERT_TRUE(arc.Close());
  EXPECT_EQ(ReadBytes(a.main()).size(), 40u + 110u + 2u * 631u);

  Probe reader;
  ASSERT_TRUE(reader.Open(P(a.wmain()), TRUE, 0));
  ASSERT_EQ(reader.m_entries5.size(), 1u);
  EXPECT_EQ(std::u16string(reader.m_entries5[0].name), longest);
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

std::u16string PartName(Probe& p, const std::u16string& main, DWORD n) {
  lstrcpynW(p.m_archivePath, P(main), 260);
  WCHAR buffer[264];
  p.GetPartName(n, buffer, 264);
  return std::u16string(buffer);
}

TEST(V5PartNames, NumberGoesBeforeTheLastDotOfTheWholePath) {
  Probe p;
  EXPECT_EQ(PartName(p, u"C:\\b\\x.arc", 1), u"C:\\b\\x_0001.arc");
  EXPECT_EQ(PartName(p, u"C:\\b\\x.arc", 2), u"C:\\b\\x_0002.arc");
  EXPECT_EQ(PartName(p, u"C:\\b\\x.arc", 10000), u"C:\\b\\x_10000.arc");
  EXPECT_EQ(PartName(p, u"C:\\b.d\\x", 1), u"C:\\b_0001.d\\x");
  EXPECT_EQ(PartName(p, u"C:\\b\\disk", 1), u"C:\\b\\disk_0001");
}

TEST(V5PartNames, NameThatDoesNotFitIsRefusedNeverCut) {
  Probe p;
  // 255 characters before the dot: the part name needs 264 characters
  // and its terminator.
  const std::u16string main = u"/" + std::u16string(254, u'a') + u".arc";
  EXPECT_EQ(PartName(p, main, 1), u"");
  // A buffer smaller than the name is left empty, nothing past it.
  lstrcpynW(p.m_archivePath, P(u"C:\\b\\x.arc"), 260);
  WCHAR buffer[20];
  for (WCHAR& c : buffer) c = u'Z';
  p.GetPartName(1, buffer, 10);
  EXPECT_EQ(buffer[0], 0);
  for (int i = 10; i < 20; ++i) EXPECT_EQ(buffer[i], u'Z');
}

TEST(V5PartNames, OpenFailsWhenThePartNameDoesNotFit) {
  TempDir dir;
  std::string main = dir.path() + "/";
  main += std::string(259 - main.size() - 4, 'a') + ".arc";
  ASSERT_EQ(main.size(), 259u);
  CKvMorvel arc;
  EXPECT_FALSE(arc.Open(P(W(main)), FALSE, 5));
  EXPECT_EQ(arc.GetErrorCode(), 122u);
  arc.Close();
  // Nothing but the main file was made: no part under a cut name.
  EXPECT_EQ(FolderEntries(dir.path()), 1u);
}

}  // namespace
