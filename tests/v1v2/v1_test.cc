// SPDX-License-Identifier: GPL-2.0-or-later
// Version 1 archives: header, records, catalogue walk, appending and
// damaged input.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "KvMorvelHost.h"
#include "v1v2/v1v2_util.h"

namespace {

std::string V1Header(uint64_t catalogueOffset, uint32_t catalogueLength,
                     uint32_t version = 1) {
  Bytes b;
  b.Raw("MVRLIGHT").U32(version).U64(32).U64(catalogueOffset).U32(
      catalogueLength);
  return b.str();
}

void SetShortName(const std::string& path, const char* shortName) {
  HANDLE h = CreateFileW(P(W(path)), GENERIC_READ | GENERIC_WRITE | DELETE, 0,
                         nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                         nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  EXPECT_TRUE(SetFileShortNameW(h, P(W(shortName))));
  CloseHandle(h);
}

class V1Test : public ArchiveTest {
 protected:
  // Writes `files` (name, content) into src/ and adds them as "d\<name>".
  void Create(const std::vector<std::pair<std::string, std::string>>& files,
              int level = 0) {
    mkdir((dir / "src").c_str(), 0755);
    CKvMorvel m;
    m.SetCompressionLevel(level);
    ASSERT_TRUE(m.Open(P(Arc()), FALSE, 1));
    for (const auto& f : files) {
      WriteBytes(dir / ("src/" + f.first), f.second);
      ASSERT_TRUE(m.AddFile(P(dir.W("src/" + f.first)),
                            P(W("d\\" + f.first)), nullptr, 0));
    }
    ASSERT_TRUE(m.Close());
  }

  // Reads every record of the archive's catalogue with the layout table.
  struct Parsed {
    std::string name;
    uint64_t stored, offset;
  };
  std::vector<Parsed> Catalogue(const std::string& bytes) {
    std::vector<Parsed> out;
    size_t at = U64At(bytes, 20);
    const size_t end = at + U32At(bytes, 28);
    while (at < end) {
      const uint16_t n = U16At(bytes, at + 52);
      std::u16string name;
      for (size_t i = 0; i + 1 < n; ++i)
        name += static_cast<char16_t>(U16At(bytes, at + 110 + 2 * i));
      out.push_back({N(name), U64At(bytes, at + 36), U64At(bytes, at + 44)});
      at += 112 + 2 * n;
    }
    return out;
  }

  std::string Content(const std::string& bytes, const Parsed& p) {
    return StoredContent(bytes, p.offset, p.stored);
  }
};

TEST_F(V1Test, EmptyArchiveIsExactlyTheHeader) {
  CKvMorvel m;
  ASSERT_TRUE(m.Open(P(Arc()), FALSE, 1));
  ASSERT_TRUE(m.Close());
  EXPECT_EQ(V1Header(0, 0), ReadBytes(ArcPath()));
  ASSERT_TRUE(m.Open(P(Arc()), TRUE, 0));
  EXPECT_EQ(1u, m.GetVersion());
  PrimeStaleCodes(m);
  EXPECT_FALSE(m.Info(0));
  EXPECT_EQ(259u, m.GetErrorCode());
  EXPECT_TRUE(m.Close());
}

TEST_F(V1Test, RecordHoldsTheSourcesOwnValuesFieldByField) {
  SKIP_UNDER_WINE(kWineNoShortNames);
  mkdir((dir / "source").c_str(), 0755);
  const std::string src = dir / "source/alpha.txt";
  WriteBytes(src, "hello world");
  SetShortName(dir / "source", "SOURCE~1");
  SetShortName(src, "ALPHA~1.TXT");
  WIN32_FILE_ATTRIBUTE_DATA own;
  ASSERT_TRUE(GetFileAttributesExW(P(W(src)), GetFileExInfoStandard, &own));

  CKvMorvel m;
  ASSERT_TRUE(m.Open(P(Arc()), FALSE, 1));
  WIN32_FILE_ATTRIBUTE_DATA callers = {};
  callers.dwFileAttributes = 0x4000;
  callers.nFileSizeLow = 999;
  ASSERT_TRUE(m.AddFile(P(W(src)), P(W("dir\\a.txt")), &callers, nullptr, 0));
  ASSERT_TRUE(m.Close());

  const std::string bytes = ReadBytes(ArcPath());
  const uint64_t stored = 4 + U32At(bytes, 32);
  Bytes record;
  record.AttributeData(own)  // the source's, not the caller's
      .U64(stored)
      .U64(32)
      .U16(10)
      .Wide(u"ALPHA~1.TXT", 14)
      .Wide(u"SOURCE~1", 14)
      .Wide(u"dir\\a.txt", 10)
      .U16(0);
  ASSERT_EQ(132u, record.str().size());
  EXPECT_EQ(
      V1Header(32 + stored, 132) + bytes.substr(32, stored) + record.str(),
      bytes);
  EXPECT_EQ("hello world", Inflate(bytes.substr(36, stored - 4)));
}

TEST_F(V1Test, InfoWalksTheCatalogue) {
  Create({{"one.txt", "first"}, {"two.txt", std::string(3000, 'x')}});
  CKvMorvel m;
  ASSERT_TRUE(m.Open(P(Arc()), TRUE, 0));
  ASSERT_TRUE(m.Info(0));
  ASSERT_TRUE(m.Info(0));
  EXPECT_EQ("d\\one.txt", EntryName(m));
  EXPECT_EQ(5, m.GetLength64());
  ASSERT_TRUE(m.Info(1));
  ASSERT_TRUE(m.Info(1));
  EXPECT_EQ("d\\two.txt", EntryName(m));
  EXPECT_EQ(3000, m.GetLength64());
  PrimeStaleCodes(m);
  EXPECT_FALSE(m.Info(1));
  EXPECT_EQ(259u, m.GetErrorCode());
  EXPECT_TRUE(m.Close());
  PrimeStaleCodes(m);
  EXPECT_FALSE(m.Close());
  EXPECT_EQ(87u, m.GetErrorCode());
}

TEST_F(V1Test, EmptyFileHasNoDataAndTheWritePositionAsOffset) {
  Create({{"a", "abc"}, {"empty", ""}, {"b", "def"}});
  const std::string bytes = ReadBytes(ArcPath());
  const std::vector<Parsed> c = Catalogue(bytes);
  ASSERT_EQ(3u, c.size());
  EXPECT_EQ(0u, c[1].stored);
  EXPECT_EQ(c[0].offset + c[0].stored, c[1].offset);
  EXPECT_EQ(c[1].offset, c[2].offset);
  EXPECT_EQ("def", Content(bytes, c[2]));
}

TEST_F(V1Test, LevelSettingTwoWritesAMaximumCompressionHeader) {
  Create({{"f", std::string(5000, 'q')}}, 2);
  const std::string bytes = ReadBytes(ArcPath());
  EXPECT_EQ("\x78\xDA", bytes.substr(36, 2));
}

TEST_F(V1Test, ReopeningWithoutAddsKeepsEveryByte) {
  SKIP_ON_WINDOWS(kWindowsHeldArchive);
  Create({{"a", "alpha"}, {"b", "beta"}});
  const std::string before = ReadBytes(ArcPath());
  CKvMorvel m;
  ASSERT_TRUE(m.Open(P(Arc()), FALSE, 1));
  // Listing reads the catalogue where it stands, and must not leave the
  // file pointer where Close would then write.
  int listed = 0;
  while (m.Info(TRUE)) ++listed;
  EXPECT_EQ(2, listed);
  ASSERT_TRUE(m.Close());
  EXPECT_EQ(before, ReadBytes(ArcPath()));
}

TEST_F(V1Test, AppendingPutsNewDataBehindTheOldCatalogue) {
  Create({{"a", "alpha"}});
  const std::string old = ReadBytes(ArcPath());
  const uint64_t oldEnd = U64At(old, 20) + U32At(old, 28);
  AppendFile(1, "b", PatternBytes(70000));
  const std::string bytes = ReadBytes(ArcPath());
  const std::vector<Parsed> c = Catalogue(bytes);
  ASSERT_EQ(2u, c.size());
  EXPECT_EQ("d\\a", c[0].name);
  EXPECT_EQ("d\\b", c[1].name);
  EXPECT_EQ(oldEnd, c[1].offset);
  EXPECT_EQ(c[1].offset + c[1].stored, U64At(bytes, 20));
  EXPECT_EQ("alpha", Content(bytes, c[0]));
  EXPECT_EQ(PatternBytes(70000), Content(bytes, c[1]));
}

TEST_F(V1Test, CatalogueGrowsPastItsFirstBlock) {
  // 150 records of 112 + 2 x 401 bytes need more than two 102400-byte
  // growth steps.
  const std::string pad(396, 'n');
  {
    CKvMorvel m;
    ASSERT_TRUE(m.Open(P(Arc()), FALSE, 1));
    for (int i = 0; i < 150; ++i) {
      const std::string file = dir / std::to_string(i);
      WriteBytes(file, std::to_string(i));
      ASSERT_TRUE(m.AddFile(P(W(file)), P(W(pad + std::to_string(1000 + i))),
                            nullptr, 0));
    }
    ASSERT_TRUE(m.Close());
  }
  CKvMorvel m;
  ASSERT_TRUE(m.Open(P(Arc()), TRUE, 0));
  EXPECT_EQ(150, CountEntries(m));
  EXPECT_TRUE(m.Close());
  const std::string bytes = ReadBytes(ArcPath());
  EXPECT_EQ(150u * 914, U32At(bytes, 28));
  const std::vector<Parsed> c = Catalogue(bytes);
  ASSERT_EQ(150u, c.size());
  EXPECT_EQ(pad + "1149", c[149].name);
  EXPECT_EQ("149", Content(bytes, c[149]));
}

TEST_F(V1Test, NamesLongerThan455CharactersAreRefused) {
  WriteBytes(dir / "f", "x");
  CKvMorvel m;
  ASSERT_TRUE(m.Open(P(Arc()), FALSE, 1));
  PrimeStaleCodes(m);
  EXPECT_FALSE(m.AddFile(P(dir.W("f")), P(W(std::string(456, 'a'))),
                         nullptr, 0));
  EXPECT_EQ(122u, m.GetErrorCode());
  ASSERT_TRUE(m.AddFile(P(dir.W("f")), P(W(std::string(455, 'b'))),
                        nullptr, 0));
  ASSERT_TRUE(m.Close());
  const std::string bytes = ReadBytes(ArcPath());
  EXPECT_EQ(1024u, U32At(bytes, 28));
  ASSERT_TRUE(m.Open(P(Arc()), TRUE, 0));
  ASSERT_TRUE(m.Info(1));
  EXPECT_EQ(std::string(455, 'b'), EntryName(m));  // whole, never cut
  EXPECT_TRUE(m.Close());
}

TEST_F(V1Test, FolderOrMissingSourceAddsNothingAndSetsNoCode) {
  CKvMorvel m;
  ASSERT_TRUE(m.Open(P(Arc()), FALSE, 1));
  // The holder keeps the code it had; the last error tells why.
  PrimeStaleCodes(m);
  EXPECT_FALSE(m.AddFile(P(dir.W()), P(W("folder")), nullptr, 0));
  EXPECT_EQ(0x10000002u, m.GetErrorCode());
  EXPECT_NE(0xDEADBEEFu, GetLastError());
  PrimeStaleCodes(m);
  EXPECT_FALSE(m.AddFile(P(dir.W("missing")), P(W("m")), nullptr, 0));
  EXPECT_EQ(0x10000002u, m.GetErrorCode());
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
  // A host reads the same code through the library, and clears it there.
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND),
            CKvMorvelHost::GetSystemError());
  CKvMorvelHost::ClearSystemError();
  EXPECT_EQ(0u, CKvMorvelHost::GetSystemError());
  EXPECT_FALSE(m.AddFile(P(dir.W("missing")), P(W("m")), nullptr, 0));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND),
            CKvMorvelHost::GetSystemError());
  ASSERT_TRUE(m.Close());
  EXPECT_EQ(V1Header(0, 0), ReadBytes(ArcPath()));
}

TEST_F(V1Test, DamagedHeadersAreRefusedWithBadFormat) {
  CKvMorvel m;
  WriteBytes(ArcPath(), V1Header(0, 0).substr(0, 31));
  PrimeStaleCodes(m);
  EXPECT_FALSE(m.Open(P(Arc()), TRUE, 0));
  EXPECT_EQ(11u, m.GetErrorCode());
  std::string bad = V1Header(0, 0);
  bad[0] = 'N';
  WriteBytes(ArcPath(), bad);
  PrimeStaleCodes(m);
  EXPECT_FALSE(m.Open(P(Arc()), TRUE, 0));
  EXPECT_EQ(11u, m.GetErrorCode());
  WriteBytes(ArcPath(), V1Header(0, 0, 3));
  PrimeStaleCodes(m);
  EXPECT_FALSE(m.Open(P(Arc()), TRUE, 0));
  EXPECT_EQ(11u, m.GetErrorCode());
  WriteBytes(ArcPath(), V1Header(0, 0, 0));
  EXPECT_TRUE(m.Open(P(Arc()), TRUE, 0));
  EXPECT_TRUE(m.Close());
}

TEST_F(V1Test, CatalogueOutsideTheFileIsRefusedAsCorrupt) {
  CKvMorvel m;
  // Past the end, reaching past the end, inside the header.
  for (const std::string& header :
       {V1Header(49, 1), V1Header(32, 200), V1Header(8, 10),
        V1Header(0xFFFFFFFFFFFFFFF0ull, 0x20)}) {
    WriteBytes(ArcPath(), header + std::string(16, '\0'));
    PrimeStaleCodes(m);
    EXPECT_FALSE(m.Open(P(Arc()), TRUE, 0));
    EXPECT_EQ(1392u, m.GetErrorCode());
  }
}

TEST_F(V1Test, RecordsRunningPastTheCatalogueStopTheWalk) {
  Create({{"a", "1"}, {"b", "2"}});
  const std::string good = ReadBytes(ArcPath());
  const size_t cat = U64At(good, 20);
  const size_t second = cat + 112 + 2 * 4;

  auto walk = [&](const std::string& bytes, int* listed) {
    WriteBytes(ArcPath(), bytes);
    CKvMorvel m;
    EXPECT_TRUE(m.Open(P(Arc()), TRUE, 0));
    *listed = CountEntries(m);
    const DWORD code = m.GetErrorCode();
    m.Close();
    return code;
  };
  int listed = 0;
  std::string bytes = good;
  bytes[second + 52] = static_cast<char>(0xFF);  // name length 0x??FF
  EXPECT_EQ(1392u, walk(bytes, &listed));
  EXPECT_EQ(1, listed);
  bytes = good;
  bytes[second + 52] = 0;
  bytes[second + 53] = 0;  // name length 0
  EXPECT_EQ(1392u, walk(bytes, &listed));
  EXPECT_EQ(1, listed);
  // The catalogue length cuts the second record.
  bytes = good;
  bytes[28] = static_cast<char>(U32At(good, 28) - 3);
  EXPECT_EQ(1392u, walk(bytes, &listed));
  EXPECT_EQ(1, listed);
  // Too short for a fixed part.
  bytes = good;
  bytes.replace(28, 4, std::string("\x0B\x00\x00\x00", 4));
  EXPECT_EQ(1392u, walk(bytes, &listed));
  EXPECT_EQ(0, listed);
}

TEST_F(V1Test, DamageAnywhereInHeaderOrCatalogueNeverBreaksTheWalk) {
  Create({{"a", "1"}, {"bb", "22"}});
  const std::string good = ReadBytes(ArcPath());
  EXPECT_GT(SweepDamage(ArcPath(), good, U64At(good, 20)), 0);
  WriteBytes(ArcPath(), good);
  EXPECT_EQ(2, ListAll(Arc()));
}

}  // namespace
