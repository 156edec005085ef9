// SPDX-License-Identifier: GPL-2.0-or-later
// Version 2 archives: header with capacity, records with descriptors,
// the catalogue walk, appending, the writer's budget and damaged input.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "archive/codes.h"
#include "v1v2/v1v2_util.h"

namespace {

std::string V2Header(uint64_t catalogueOffset, uint32_t catalogueSize,
                     uint64_t capacity, uint32_t version = 2) {
  Bytes b;
  b.Raw("MVRLIGHT").U32(version).U64(40).U64(catalogueOffset).U32(
      catalogueSize).U64(capacity);
  return b.str();
}

std::string Descriptor(size_t size) {
  std::string d(size, '\0');
  for (size_t i = 0; i < size; ++i) d[i] = static_cast<char>(i * 7 + 1);
  return d;
}

struct Record {
  uint32_t size, attributes;
  uint64_t stored, offset;
  uint16_t nameLength, descriptorLength, descriptorOffset;
  std::string name, descriptor;
};

// Reads the catalogue the header names, with the layout table.
std::vector<Record> Catalogue(const std::string& bytes) {
  std::vector<Record> out;
  size_t at = U64At(bytes, 20);
  const size_t end = at + U32At(bytes, 28);
  while (at < end) {
    Record r;
    r.size = U32At(bytes, at);
    r.attributes = U32At(bytes, at + 4);
    r.stored = U64At(bytes, at + 40);
    r.offset = U64At(bytes, at + 48);
    r.nameLength = U16At(bytes, at + 84);
    r.descriptorLength = U16At(bytes, at + 86);
    r.descriptorOffset = U16At(bytes, at + 88);
    std::u16string name;
    for (size_t i = 0; i + 1 < r.nameLength; ++i)
      name += static_cast<char16_t>(U16At(bytes, at + 90 + 2 * i));
    r.name = N(name);
    r.descriptor = bytes.substr(at + r.descriptorOffset, r.descriptorLength);
    out.push_back(r);
    if (r.size == 0) break;
    at += r.size;
  }
  return out;
}

class V2Test : public ArchiveTest {
 protected:
  // Adds each (name, content) from src/ under "d\name", with a caller's
  // descriptor of 16 bytes so that records have a known size.
  void Create(const std::vector<std::pair<std::string, std::string>>& files,
              BOOL existing = FALSE) {
    mkdir((dir / "src").c_str(), 0755);
    CKvMorvel m;
    ASSERT_TRUE(m.Open(P(Arc()), FALSE, 2));
    std::string d = Descriptor(16);
    for (const auto& f : files) {
      WriteBytes(dir / ("src/" + f.first), f.second);
      ASSERT_TRUE(m.AddFile(P(dir.W("src/" + f.first)), P(W("d\\" + f.first)),
                            &d[0], 16));
    }
    ASSERT_TRUE(m.Close());
  }

  std::string Content(const std::string& bytes, const Record& r) {
    return StoredContent(bytes, r.offset, r.stored);
  }

  // Writes an empty archive whose capacity leaves an add of `name`
  // `budget` bytes of output, and opens it for adding. The budget is
  // capacity - catalogue bytes (0) - 2 x name length (with the
  // terminator) - write position (40) - 93.
  void OpenWithBudget(CKvMorvel& m, const std::string& name,
                      uint64_t budget) {
    const uint64_t nameBytes = 2 * (name.size() + 1);
    WriteBytes(ArcPath(), V2Header(0, 0, budget + nameBytes + 40 + 93));
    ASSERT_TRUE(m.Open(P(Arc()), FALSE, 2));
  }

  // Adds dir/<name> as <name>; the add must fail with 1359.
  void AddFails(CKvMorvel& m, const std::string& name) {
    PrimeStaleCodes(m);
    EXPECT_FALSE(m.AddFile(P(dir.W(name)), P(W(name)), nullptr, 0));
    EXPECT_EQ(1359u, m.GetErrorCode());
  }

  // Opens the archive for reading and counts the listed entries; the
  // list must end with `endCode` (259, or 1392 after a damaged record).
  int Listed(DWORD* openCode = nullptr, DWORD endCode = 259) {
    CKvMorvel m;
    PrimeStaleCodes(m);
    const BOOL opened = m.Open(P(Arc()), TRUE, 0);
    if (openCode) *openCode = m.GetErrorCode();
    if (!opened) return -1;
    const int n = CountEntries(m);
    EXPECT_EQ(endCode, m.GetErrorCode());
    EXPECT_TRUE(m.Close());
    return n;
  }
};

TEST_F(V2Test, EmptyArchiveIsExactly40BytesWithTheCapacity) {
  ULARGE_INTEGER caller, total, totalFree;
  ASSERT_TRUE(GetDiskFreeSpaceExW(P(W("/")), &caller, &total, &totalFree));
  CKvMorvel m;
  ASSERT_TRUE(m.Open(P(Arc()), FALSE, 2));
  ASSERT_TRUE(m.Close());
  const std::string bytes = ReadBytes(ArcPath());
  ASSERT_EQ(40u, bytes.size());
  EXPECT_EQ(V2Header(0, 0, 0).substr(0, 32), bytes.substr(0, 32));
  const uint64_t capacity = U64At(bytes, 32);
  EXPECT_EQ(0u, capacity % 1024);
  const uint64_t measured = totalFree.QuadPart;
  EXPECT_LT(capacity > measured ? capacity - measured : measured - capacity,
            64ull << 20);
  EXPECT_EQ(0, Listed());
}

TEST_F(V2Test, RecordOfAKnownEntryMatchesTheLayoutFieldByField) {
  SKIP_UNDER_WINE(kWineNoShortNames);
  const std::string src = dir / "alpha.txt";
  WriteBytes(src, "hello world");
  HANDLE h = CreateFileW(P(W(src)), GENERIC_READ | GENERIC_WRITE | DELETE, 0,
                         nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                         nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  ASSERT_TRUE(SetFileShortNameW(h, P(W("ALPHA~1.TXT"))));
  CloseHandle(h);
  WIN32_FILE_ATTRIBUTE_DATA data = {};
  data.dwFileAttributes = 0x21;
  data.ftCreationTime = {1, 2};
  data.ftLastAccessTime = {3, 4};
  data.ftLastWriteTime = {5, 6};
  data.nFileSizeLow = 11;
  std::string descriptor = Descriptor(100);

  CKvMorvel m;
  ASSERT_TRUE(m.Open(P(Arc()), FALSE, 2));
  ASSERT_TRUE(m.AddFile(P(W(src)), P(W("data\\a.txt")), &data, &descriptor[0],
                        100));
  ASSERT_TRUE(m.Close());

  const std::string bytes = ReadBytes(ArcPath());
  const uint64_t stored = 4 + U32At(bytes, 40);
  Bytes record;
  record.U32(212).U32(0x21).U32(1).U32(2).U32(3).U32(4).U32(5).U32(6)
      .U32(0).U32(11)
      .U64(stored).U64(40)
      .Wide(u"ALPHA~1.TXT", 14)
      .U16(11).U16(100).U16(112)
      .Wide(u"data\\a.txt", 11)
      .Raw(descriptor);
  ASSERT_EQ(212u, record.str().size());
  EXPECT_EQ(V2Header(40 + stored, 212, U64At(bytes, 32)) +
                bytes.substr(40, stored) + record.str(),
            bytes);
  EXPECT_EQ("hello world", Inflate(bytes.substr(44, stored - 4)));
}

TEST_F(V2Test, FoldersAndEmptyFilesStoreNothing) {
  mkdir((dir / "folder").c_str(), 0755);
  WriteBytes(dir / "empty", "");
  WriteBytes(dir / "full", PatternBytes(1048577));
  CKvMorvel m;
  ASSERT_TRUE(m.Open(P(Arc()), FALSE, 2));
  ASSERT_TRUE(m.AddFile(P(dir.W("full")), P(W("full")), nullptr, 0));
  ASSERT_TRUE(m.AddFile(P(dir.W("folder")), P(W("folder")), nullptr, 0));
  ASSERT_TRUE(m.AddFile(P(dir.W("empty")), P(W("empty")), nullptr, 0));
  ASSERT_TRUE(m.Close());
  const std::string bytes = ReadBytes(ArcPath());
  const std::vector<Record> c = Catalogue(bytes);
  ASSERT_EQ(3u, c.size());
  EXPECT_EQ(40u, c[0].offset);
  EXPECT_EQ(2u, SplitChunks(bytes, c[0].offset, c[0].stored).size());
  EXPECT_EQ(PatternBytes(1048577), Content(bytes, c[0]));
  EXPECT_EQ(0u, c[1].stored);
  EXPECT_EQ(0u, c[1].offset);
  EXPECT_NE(0u, c[1].attributes & 0x10);
  EXPECT_EQ(0u, c[2].stored);
  EXPECT_EQ(40 + c[0].stored, c[2].offset);
  EXPECT_EQ(40 + c[0].stored, U64At(bytes, 20));
}

TEST_F(V2Test, CallersDescriptorIsCutTo1024Bytes) {
  WriteBytes(dir / "f", "x");
  std::string descriptor = Descriptor(1500);
  CKvMorvel m;
  ASSERT_TRUE(m.Open(P(Arc()), FALSE, 2));
  ASSERT_TRUE(m.AddFile(P(dir.W("f")), P(W("f")), &descriptor[0], 1500));
  ASSERT_TRUE(m.Close());
  const std::vector<Record> c = Catalogue(ReadBytes(ArcPath()));
  ASSERT_EQ(1u, c.size());
  EXPECT_EQ(90u + 4 + 1024, c[0].size);
  EXPECT_EQ(1024u, c[0].descriptorLength);
  EXPECT_EQ(94u, c[0].descriptorOffset);
  EXPECT_EQ(descriptor.substr(0, 1024), c[0].descriptor);
}

TEST_F(V2Test, WithoutACallersDescriptorTheFilesOwnIsStored) {
  WriteBytes(dir / "f", "x");
  DWORD needed = 0;
  EXPECT_FALSE(GetFileSecurityW(P(dir.W("f")), 15, nullptr, 0, &needed));
  ASSERT_GT(needed, 0u);
  std::string own(needed, '\0');
  ASSERT_TRUE(GetFileSecurityW(P(dir.W("f")), 15, &own[0], needed, &needed));
  CKvMorvel m;
  ASSERT_TRUE(m.Open(P(Arc()), FALSE, 2));
  ASSERT_TRUE(m.AddFile(P(dir.W("f")), P(W("f")), nullptr, 0));
  ASSERT_TRUE(m.Close());
  const std::vector<Record> c = Catalogue(ReadBytes(ArcPath()));
  ASSERT_EQ(1u, c.size());
  EXPECT_EQ(own.substr(0, 1024), c[0].descriptor);
}

TEST_F(V2Test, NameThatCannotShareTheEntryWithItsDescriptorIsRefused) {
  WriteBytes(dir / "f", "data");
  std::string descriptor = Descriptor(1024);
  CKvMorvel m;
  ASSERT_TRUE(m.Open(P(Arc()), FALSE, 2));
  PrimeStaleCodes(m);
  // 2 x (248 + 1) + 1024 = 1522 bytes: two too many.
  EXPECT_FALSE(m.AddFile(P(dir.W("f")), P(W(std::string(248, 'n'))),
                         &descriptor[0], 1024));
  EXPECT_EQ(122u, m.GetErrorCode());
  // 2 x (247 + 1) + 1024 = 1520 bytes: fits exactly.
  ASSERT_TRUE(m.AddFile(P(dir.W("f")), P(W(std::string(247, 'n'))),
                        &descriptor[0], 1024));
  EXPECT_FALSE(m.AddFile(P(dir.W("f")), P(W(std::string(760, 'n'))),
                         nullptr, 0));
  ASSERT_TRUE(m.Close());
  const std::string bytes = ReadBytes(ArcPath());
  const std::vector<Record> c = Catalogue(bytes);
  ASSERT_EQ(1u, c.size());
  EXPECT_EQ(1610u, c[0].size);
  EXPECT_EQ(40u, c[0].offset);  // the refused add wrote nothing before it
  EXPECT_EQ("data", Content(bytes, c[0]));
}

TEST_F(V2Test, InfoListsEntriesWithTheirNamesAndSizes) {
  Create({{"one", "1"}, {"two", "22"}});
  CKvMorvel m;
  ASSERT_TRUE(m.Open(P(Arc()), TRUE, 0));
  EXPECT_EQ(2u, m.GetVersion());
  ASSERT_TRUE(m.Info(0));
  ASSERT_TRUE(m.Info(1));
  EXPECT_EQ("d\\one", EntryName(m));
  ASSERT_TRUE(m.Info(1));
  EXPECT_EQ("d\\two", EntryName(m));
  EXPECT_EQ(2, m.GetLength64());
  PrimeStaleCodes(m);
  EXPECT_FALSE(m.Info(1));
  EXPECT_EQ(259u, m.GetErrorCode());
  EXPECT_TRUE(m.Close());
  PrimeStaleCodes(m);
  EXPECT_FALSE(m.Close());
  EXPECT_EQ(kErrorNoArchive, m.GetErrorCode());
}

TEST_F(V2Test, ReopeningForWritingWithoutAddsLeavesTheFileAsItWas) {
  Create({{"one", "1"}, {"two", "22"}});
  // A data start of 0 would be rewritten as 40 by any header write.
  std::string before = ReadBytes(ArcPath());
  before.replace(12, 8, std::string(8, '\0'));
  WriteBytes(ArcPath(), before);
  CKvMorvel m;
  ASSERT_TRUE(m.Open(P(Arc()), FALSE, 2));
  ASSERT_TRUE(m.Close());
  EXPECT_EQ(before, ReadBytes(ArcPath()));
}

TEST_F(V2Test, AppendingKeepsOldEntriesAndWritesBehindTheOldCatalogue) {
  Create({{"one", "first"}});
  const std::string old = ReadBytes(ArcPath());
  const uint64_t oldEnd = U64At(old, 20) + U32At(old, 28);
  AppendFile(2, "two", PatternBytes(5000));
  const std::string bytes = ReadBytes(ArcPath());
  const std::vector<Record> c = Catalogue(bytes);
  ASSERT_EQ(2u, c.size());
  EXPECT_EQ("d\\one", c[0].name);
  EXPECT_EQ("d\\two", c[1].name);
  EXPECT_EQ(oldEnd, c[1].offset);
  EXPECT_EQ(c[1].offset + c[1].stored, U64At(bytes, 20));
  EXPECT_EQ(c[0].size + c[1].size, U32At(bytes, 28));
  EXPECT_EQ("first", Content(bytes, c[0]));
  EXPECT_EQ(PatternBytes(5000), Content(bytes, c[1]));
}

TEST_F(V2Test, SecondRecordWithNameLength1025ListsOneEntry) {
  Create({{"a", "1"}, {"b", "2"}, {"c", "3"}});
  std::string bytes = ReadBytes(ArcPath());
  const size_t second = U64At(bytes, 20) + 90 + 8 + 16;
  ASSERT_EQ(4u, U16At(bytes, second + 84));
  bytes[second + 84] = 0x01;
  bytes[second + 85] = 0x04;  // 1025
  WriteBytes(ArcPath(), bytes);
  EXPECT_EQ(1, Listed(nullptr, 1392));
}

TEST_F(V2Test, DamagedRecordsEndTheListWithoutLeavingTheirBounds) {
  Create({{"a", "1"}, {"b", "2"}, {"c", "3"}});
  const std::string good = ReadBytes(ArcPath());
  const size_t second = U64At(good, 20) + 90 + 8 + 16;
  struct Damage {
    size_t at;
    std::string value;
  };
  const Damage cases[] = {
      {second + 0, std::string("\0\0\0\0", 4)},          // record size 0
      {second + 0, std::string("\x10\x27\0\0", 4)},      // past the end
      {second + 0, std::string("\x71\0\0\0", 4)},        // one byte short
      {second + 88, std::string("\x63\0", 2)},           // descriptor offset
      {second + 86, std::string("\0\x04", 2)},  // descriptor past the record
      {second + 84, std::string("\0\0", 2)},             // name length 0
  };
  for (const Damage& d : cases) {
    std::string bytes = good;
    bytes.replace(d.at, d.value.size(), d.value);
    WriteBytes(ArcPath(), bytes);
    EXPECT_EQ(1, Listed(nullptr, 1392)) << d.at - second;
  }
  // Name and descriptor together beyond the 1520 bytes of an entry.
  std::string bytes = good;
  bytes.replace(second + 84, 6, std::string("\x00\x02\x00\x04\x12\x04", 6));
  WriteBytes(ArcPath(), bytes);
  EXPECT_EQ(1, Listed(nullptr, 1392));
}

TEST_F(V2Test, AppendingAfterAShortenedListWritesAMatchingCatalogue) {
  Create({{"a", "1"}, {"b", "2"}, {"c", "3"}});
  std::string bytes = ReadBytes(ArcPath());
  const size_t second = U64At(bytes, 20) + 90 + 8 + 16;
  bytes[second + 84] = 0x01;
  bytes[second + 85] = 0x04;
  WriteBytes(ArcPath(), bytes);
  {
    CKvMorvel m;
    ASSERT_TRUE(m.Open(P(Arc()), FALSE, 2));
    WriteBytes(dir / "src/d", "4");
    ASSERT_TRUE(m.AddFile(P(dir.W("src/d")), P(W("d\\d")), nullptr, 0));
    ASSERT_TRUE(m.Close());
  }
  const std::vector<Record> c = Catalogue(ReadBytes(ArcPath()));
  ASSERT_EQ(2u, c.size());
  EXPECT_EQ(c[0].size + c[1].size, U32At(ReadBytes(ArcPath()), 28));
  EXPECT_EQ(2, Listed());
}

TEST_F(V2Test, BadHeadersAreRefused) {
  DWORD code = 0;
  WriteBytes(ArcPath(), V2Header(0, 0, 0).substr(0, 39));
  EXPECT_EQ(-1, Listed(&code));
  EXPECT_EQ(11u, code);
  std::string bad = V2Header(0, 0, 0);
  bad[3] = 'X';
  WriteBytes(ArcPath(), bad);
  EXPECT_EQ(-1, Listed(&code));
  EXPECT_EQ(11u, code);
  for (uint32_t version : {1u, 5u}) {
    WriteBytes(ArcPath(), V2Header(0, 0, 0, version));
    CKvMorvel m;
    PrimeStaleCodes(m);
    EXPECT_FALSE(m.Open(P(Arc()), FALSE, 2));
    EXPECT_EQ(11u, m.GetErrorCode());
  }
  WriteBytes(ArcPath(), V2Header(4096, 10, 0) + std::string(20, '\0'));
  EXPECT_EQ(-1, Listed(&code));
  EXPECT_EQ(1392u, code);
  WriteBytes(ArcPath(), V2Header(40, 0xFFFFFFF0u, 0) + std::string(200, '\0'));
  EXPECT_EQ(-1, Listed(&code));
  EXPECT_EQ(1392u, code);
  WriteBytes(ArcPath(), V2Header(0, 0, 0));
  EXPECT_EQ(0, Listed(&code));
}

// Where the budget ends, the payload of "small" alone decides.
TEST_F(V2Test, BudgetTooSmallForTheOutputFailsTheAdd) {
  WriteBytes(dir / "big", PatternBytes(2 * 1048576));
  WriteBytes(dir / "small", "small");
  Create({{"small", "small"}});
  const uint64_t payload = Catalogue(ReadBytes(ArcPath()))[0].stored - 4;
  for (const uint64_t budget : {payload, payload - 1}) {
    SCOPED_TRACE(budget);
    LogCapture log;
    CKvMorvel m;
    OpenWithBudget(m, "small", budget);
    AddFails(m, "big");  // four bytes more of budget, far too few
    EXPECT_TRUE(log.HasPrefix(CKvLog::kError, "deflate (end) - "));
    EXPECT_TRUE(log.HasPrefix(CKvLog::kError, "ZIPCompressFile2 - "));
    if (budget < payload) AddFails(m, "small");
    else EXPECT_TRUE(m.AddFile(P(dir.W("small")), P(W("small")), nullptr, 0));
    ASSERT_TRUE(m.Close());
    const std::string bytes = ReadBytes(ArcPath());
    const std::vector<Record> c = Catalogue(bytes);
    ASSERT_EQ(budget < payload ? 0u : 1u, c.size());
    if (c.empty()) continue;
    EXPECT_EQ(40u, c[0].offset);  // the refused add kept nothing
    EXPECT_EQ("small", Content(bytes, c[0]));
  }
}

TEST_F(V2Test, BudgetEndingTheStreamEarlyIsNotReportedAsSuccess) {
  SKIP_ON_WINDOWS(kWindowsHeldArchive);
  // Room for the first piece's chunk and 20000 bytes: the second piece of
  // zeros fits and ends the stream, the third is never read.
  const std::string zeros(3 * 1048576, '\0');
  WriteBytes(dir / "z", zeros);
  LogCapture log;
  CKvMorvel m;
  OpenWithBudget(m, "z", 1064979 + 20000);
  AddFails(m, "z");
  EXPECT_TRUE(log.Has(CKvLog::kError, "deflate budget exhausted - 112"));
  // What was written is a complete stream of the two pieces read.
  const std::string bytes = ReadBytes(ArcPath());
  const std::vector<std::string> chunks =
      SplitChunks(bytes, 40, bytes.size() - 40);
  ASSERT_EQ(2u, chunks.size());
  bool ended = false;
  EXPECT_EQ(zeros.substr(0, 2 * 1048576), Inflate(Join(chunks), &ended));
  EXPECT_TRUE(ended);
  ASSERT_TRUE(m.Close());
  EXPECT_EQ(0, Listed());
}

TEST_F(V2Test, LinkToAFolderIsStoredAsItsReparseData) {
  SKIP_UNDER_WINE(kWineNoLinkReads);
  mkdir((dir / "target").c_str(), 0755);
  ASSERT_EQ(0, symlink((dir / "target").c_str(), (dir / "link").c_str()));
  WIN32_FILE_ATTRIBUTE_DATA data;
  ASSERT_TRUE(GetFileAttributesExW(P(dir.W("link")), GetFileExInfoStandard,
                                   &data));
  ASSERT_EQ(0x410u, data.dwFileAttributes & 0x410u);
  LogCapture log;
  CKvMorvel m;
  ASSERT_TRUE(m.Open(P(Arc()), FALSE, 2));
  ASSERT_TRUE(m.AddFile(P(dir.W("link")), P(W("link")), nullptr, 0));
  ASSERT_TRUE(m.Close());
  EXPECT_TRUE(log.Has(CKvLog::kInfo, N(dir.W("link")) + " is a reparse point"));
  const std::string bytes = ReadBytes(ArcPath());
  const std::vector<Record> c = Catalogue(bytes);
  ASSERT_EQ(1u, c.size());
  EXPECT_EQ(40u, c[0].offset);
  const uint32_t n = U32At(bytes, 40);
  EXPECT_EQ(n + 4u, c[0].stored);
  EXPECT_EQ(0xA0000003u, U32At(bytes, 44));
  EXPECT_EQ(n, U16At(bytes, 48) + 8u);
}

TEST_F(V2Test, LinkToAFileIsStoredAsItsReparseDataNotItsTarget) {
  SKIP_UNDER_WINE(kWineNoLinkReads);
  WriteBytes(dir / "target.txt", PatternBytes(4000));
  ASSERT_EQ(0, symlink((dir / "target.txt").c_str(), (dir / "link").c_str()));
  CKvMorvel m;
  ASSERT_TRUE(m.Open(P(Arc()), FALSE, 2));
  ASSERT_TRUE(m.AddFile(P(dir.W("link")), P(W("link")), nullptr, 0));
  ASSERT_TRUE(m.Close());
  const std::string bytes = ReadBytes(ArcPath());
  const std::vector<Record> c = Catalogue(bytes);
  ASSERT_EQ(1u, c.size());
  EXPECT_EQ(0x400u, c[0].attributes & 0x410u);
  EXPECT_EQ(0xA000000Cu, U32At(bytes, 44));
  EXPECT_EQ(U32At(bytes, 40) + 4u, c[0].stored);
  // A file without an 8.3 name leaves the short-name field all zero.
  const size_t record = U64At(bytes, 20);
  EXPECT_EQ(std::string(28, '\0'), bytes.substr(record + 56, 28));
}

// A handle the host opened is stored as AddFile stores the path: a link
// opened as itself gives the link's own reparse record and a file its
// data, in the same bytes, whoever opened them. One that is not the kind
// the caller's data says is refused as changed, in version 1 and 2
// alike, and nothing of it is stored.
TEST_F(V2Test, OpenedHandlesAreStoredAsTheirPathsAndAnotherKindIsRefused) {
  SKIP_UNDER_WINE(kWineNoLinkReads);
  WriteBytes(dir / "target.txt", PatternBytes(4000));
  ASSERT_EQ(0, symlink((dir / "target.txt").c_str(), (dir / "link").c_str()));
  const DWORD asItself = FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS;
  std::string stored[2];
  for (int byHandle = 0; byHandle < 2; ++byHandle) {
    CKvMorvel m;
    ASSERT_TRUE(m.Open(P(Arc()), FALSE, 2));
    for (const char* item : {"link", "target.txt"}) {
      if (!byHandle) {
        ASSERT_TRUE(m.AddFile(P(dir.W(item)), P(W(item)), nullptr, 0)) << item;
        continue;
      }
      HANDLE h = CreateFileW(P(dir.W(item)), GENERIC_READ, FILE_SHARE_READ,
                             nullptr, OPEN_EXISTING, asItself, nullptr);
      ASSERT_NE(INVALID_HANDLE_VALUE, h) << item;
      EXPECT_TRUE(m.AddOpenedFile(h, P(W(item)), nullptr, nullptr, 0)) << item;
      CloseHandle(h);
    }
    ASSERT_TRUE(m.Close());
    const std::string bytes = ReadBytes(ArcPath());
    const std::vector<Record> c = Catalogue(bytes);
    ASSERT_EQ(2u, c.size());
    EXPECT_EQ(0x400u, c[0].attributes & 0x410u);
    EXPECT_EQ(0xA000000Cu, U32At(bytes, c[0].offset + 4));
    EXPECT_EQ(PatternBytes(4000), Content(bytes, c[1]));
    stored[byHandle] = bytes.substr(40, U64At(bytes, 20) - 40);
    DeleteFileW(P(Arc()));
  }
  EXPECT_EQ(stored[0], stored[1]);

  for (DWORD version : {1u, 2u}) {
    SCOPED_TRACE(version);
    CKvMorvel m;
    ASSERT_TRUE(m.Open(P(Arc()), FALSE, version));
    HANDLE h = CreateFileW(P(dir.W("link")), GENERIC_READ, FILE_SHARE_READ,
                           nullptr, OPEN_EXISTING, asItself, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    WIN32_FILE_ATTRIBUTE_DATA said;
    ASSERT_TRUE(GetFileAttributesExW(P(dir.W("target.txt")),
                                     GetFileExInfoStandard, &said));
    PrimeStaleCodes(m);
    EXPECT_FALSE(m.AddOpenedFile(h, P(W("x")), &said, nullptr, 0));
    EXPECT_EQ(0x10000205u, m.GetErrorCode());
    CloseHandle(h);
    ASSERT_TRUE(m.Close());
    EXPECT_EQ(0, Listed());
    DeleteFileW(P(Arc()));
  }
}

TEST_F(V2Test, DamageAnywhereInHeaderOrCatalogueNeverBreaksTheList) {
  Create({{"a", "1"}, {"bb", "22"}});
  const std::string good = ReadBytes(ArcPath());
  EXPECT_GT(SweepDamage(ArcPath(), good, U64At(good, 20)), 0);
  WriteBytes(ArcPath(), good);
  EXPECT_EQ(2, ListAll(Arc()));
}

}  // namespace
