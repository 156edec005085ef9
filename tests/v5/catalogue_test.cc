// SPDX-License-Identifier: GPL-2.0-or-later
// The catalogue: batches of 1001 and 101 when listing, flushes past 10000
// entries and every 1000 entries or 5 seconds when adding, reopening for
// writing, damaged main files.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "formats/v5/v5_format.h"
#if !defined(_WIN32)
#include "posix/layer.h"
#endif
#include "support/probe.h"
#include "v5_test_util.h"

namespace {

std::u16string Name(const char* format, unsigned i) {
  char text[32];
  snprintf(text, sizeof(text), format, i);
  return W(text);
}

// Adds `count` folder entries named "d0000", "d0001", ... (nothing is
// written to the parts, so this is quick).
void AddFolders(CKvMorvel& arc, unsigned first, unsigned count) {
  for (unsigned i = first; i < first + count; ++i) {
    WIN32_FILE_ATTRIBUTE_DATA d = DistinctTimes(0x10);
    ASSERT_TRUE(arc.AddFile(P(u"/nowhere"), P(Name("d%04u", i)), &d,
                            nullptr, 0));
  }
}

void MakeArchive(const ArchiveDir& a, unsigned count) {
  CKvMorvel arc;
  ASSERT_TRUE(arc.Open(P(a.wmain()), FALSE, 5));
  AddFolders(arc, 0, count);
  ASSERT_TRUE(arc.Close());
}

// Lists an open archive with Info(1) to the end; returns the names, and
// in `*lastError` the code the listing ended with.
std::vector<std::u16string> ListFrom(CKvMorvel& reader, DWORD* lastError) {
  std::vector<std::u16string> names;
  WCHAR name[260];
  for (int guard = 0; guard < 100000; ++guard) {
    PrimeStaleCodes(reader);
    if (!reader.Info(1)) break;
    reader.GetFile(name, 260);
    names.push_back(Text16(name));
  }
  *lastError = reader.GetErrorCode();
  return names;
}

std::vector<std::u16string> ListAll(const ArchiveDir& a, DWORD* lastError) {
  CKvMorvel reader;
  if (!reader.Open(P(a.wmain()), TRUE, 0)) return {};
  const std::vector<std::u16string> names = ListFrom(reader, lastError);
  reader.Close();
  return names;
}

// `main` with the first letter of every name replaced by `letter`: an
// open reader lists the new names only from a batch it reads after this.
std::string Renamed(std::string main, char letter) {
  for (size_t at = 40; at < main.size(); at += U32At(main, at))
    main[at + 110] = letter;
  return main;
}

// The reader holds at most 1001 records at a time; 1200 entries list
// once each, in order, across the batches, and the listing ends with 259.
TEST(V5Catalogue, TwelveHundredEntriesListOnceInOrderAcrossBatches) {
  SKIP_ON_WINDOWS(kWindowsHeldArchive);
  ArchiveDir a;
  MakeArchive(a, 1200);
  const std::string main = ReadBytes(a.main());
  CKvMorvel reader;
  ASSERT_TRUE(reader.Open(P(a.wmain()), TRUE, 0));
  DWORD end = 0;
  const std::vector<std::u16string> names = ListFrom(reader, &end);
  EXPECT_EQ(259u, end);
  ASSERT_EQ(1200u, names.size());
  for (unsigned i = 0; i < 1200; ++i) ASSERT_EQ(Name("d%04u", i), names[i]);
  // The catalogue has ended for this reader: a record appended now is
  // not listed.
  WriteBytes(a.main(), main + V5Record(Entry("d1200", 0x10)));
  PrimeStaleCodes(reader);
  EXPECT_FALSE(reader.Info(0));
  EXPECT_EQ(259u, reader.GetErrorCode());
  reader.Close();
}

TEST(V5Catalogue, RecordsAcrossManyReadWindowsListWhole) {
  // 1200 records of 630 bytes (names of 259 characters, the longest the
  // object hands out): the catalogue spans several read-ahead windows and
  // two batches, and records straddle the windows' edges.
  ArchiveDir a;
  const std::string tail(254, 'x');
  auto name = [&](unsigned i) { return Name("d%04u", i) + W(tail); };
  {
    CKvMorvel arc;
    ASSERT_TRUE(arc.Open(P(a.wmain()), FALSE, 5));
    for (unsigned i = 0; i < 1200; ++i) {
      WIN32_FILE_ATTRIBUTE_DATA d = Attributes(0x10);
      ASSERT_TRUE(arc.AddFile(P(u"/nowhere"), P(name(i)), &d, nullptr, 0));
    }
    ASSERT_TRUE(arc.Close());
  }
  ASSERT_GT(ReadBytes(a.main()).size(), 2u * 256 * 1024);
  CKvMorvel reader;
  ASSERT_TRUE(reader.Open(P(a.wmain()), TRUE, 0));
  WCHAR listed[260];
  unsigned count = 0;
  for (; reader.Info(1); ++count) {
    ASSERT_TRUE(reader.GetFile(listed, 260));
    ASSERT_EQ(name(count), Text16(listed)) << count;
  }
  EXPECT_EQ(259u, reader.GetErrorCode());
  EXPECT_EQ(1200u, count);
  reader.Close();
}

TEST(V5Catalogue, AddsAreFlushedPast10000InOrderOfAddition) {
  SKIP_ON_WINDOWS(kWindowsHeldArchive);
  ArchiveDir a;
  const size_t record = 110 + 2 * 7;  // names "e00000": 6 characters
  LogCapture log;
  Probe arc;
  ASSERT_TRUE(arc.Open(P(a.wmain()), FALSE, 5));
  arc.SetBatchFlushPolicy(0, 0);  // only the flush past 10000 entries
  WIN32_FILE_ATTRIBUTE_DATA d = DistinctTimes(0x10);
  std::vector<size_t> mainSizes;
  for (unsigned i = 0; i < 25000; ++i) {
    ASSERT_TRUE(arc.AddFile(P(u"/nowhere"), P(Name("e%05u", i)), &d,
                            nullptr, 0));
    if (i == 10000 || i == 20001)
      mainSizes.push_back(ReadBytes(a.main()).size());
  }
  int flushes = 0;
  for (const auto& line : log.lines())
    if (line.first == CKvLog::kInfo && line.second == "Flush buffer of entries.")
      ++flushes;
  EXPECT_EQ(flushes, 2);
  mainSizes.push_back(ReadBytes(a.main()).size());  // the last 4998 wait
  ASSERT_TRUE(arc.Close());
  EXPECT_EQ(mainSizes, (std::vector<size_t>{40 + 10001 * record,
                                            40 + 20002 * record,
                                            40 + 20002 * record}));
  const std::string main = ReadBytes(a.main());
  ASSERT_EQ(main.size(), 40 + 25000 * record);
  for (unsigned i = 0; i < 25000; ++i) {
    const size_t at = 40 + i * record;
    ASSERT_EQ(U32At(main, at), record);
    const std::u16string expected = Name("e%05u", i);
    for (size_t c = 0; c < 6; ++c)
      ASSERT_EQ(static_cast<unsigned char>(main[at + 110 + 2 * c]),
                expected[c]);
  }
}

TEST(V5Catalogue, ReopenedForWritingAppendsOnlyNewEntries) {
  ArchiveDir a;
  MakeArchive(a, 5);
  {
    CKvMorvel arc;
    ASSERT_TRUE(arc.Open(P(a.wmain()), FALSE, 5));
    AddFolders(arc, 5, 1);
    ASSERT_TRUE(arc.Close());
  }
  DWORD last = 0;
  const std::vector<std::u16string> names = ListAll(a, &last);
  ASSERT_EQ(names.size(), 6u);
  for (unsigned i = 0; i < 6; ++i) EXPECT_EQ(names[i], Name("d%04u", i));
  EXPECT_EQ(last, 259u);
}

TEST(V5Catalogue, ListingWhileAddingKeepsTheAddedEntries) {
  ArchiveDir a;
  MakeArchive(a, 3);
  {
    CKvMorvel arc;
    ASSERT_TRUE(arc.Open(P(a.wmain()), FALSE, 5));
    AddFolders(arc, 3, 1);
    while (arc.Info(1)) {
    }
    ASSERT_TRUE(arc.Close());
  }
  DWORD last = 0;
  EXPECT_EQ(ListAll(a, &last).size(), 4u);
}

TEST(V5Catalogue, ShortOrForeignMainFile) {
  SKIP_ON_WINDOWS(kWindowsHeldArchive);
  ArchiveDir a;
  WriteBytes(a.main(), HeaderBytes(1).substr(0, 39));
  CKvMorvel arc;
  PrimeStaleCodes(arc);
  EXPECT_FALSE(arc.Open(P(a.wmain()), TRUE, 0));
  EXPECT_EQ(arc.GetErrorCode(), 11u);

  // Version 5 without the signature: accepted with an empty first batch;
  // listing then reads the records from offset 40 (names changed after
  // Open show).
  ArchiveDir b;
  MakeArchive(b, 3);
  std::string main = ReadBytes(b.main());
  main[0] = 'X';
  WriteBytes(b.main(), main);
  CKvMorvel reader;
  ASSERT_TRUE(reader.Open(P(b.wmain()), TRUE, 0));
  WriteBytes(b.main(), Renamed(main, 'e'));
  DWORD last = 0;
  EXPECT_EQ(ListFrom(reader, &last),
            (std::vector<std::u16string>{u"e0000", u"e0001", u"e0002"}));
  EXPECT_EQ(last, 259u);
  reader.Close();
}

// Damages the second of three records and lists: the walk must end after
// the first entry, without looping and without reading past the entry,
// and the list ends with 1392, not as if the catalogue had ended.
TEST(V5Catalogue, DamagedRecordEndsTheWalk) {
  const size_t record = 110 + 2 * 6;  // "d0000"
  const size_t second = 40 + record;
  struct Damage {
    const char* what;
    size_t offset;
    uint32_t value;
    int width;
  };
  const Damage damages[] = {
      {"record size 0", second, 0, 4},
      {"record size below the name", second, 110, 4},
      {"record size past the end", second, 100000, 4},
      {"name length above 631", second + 108, 700, 2},
      {"name length 0", second + 108, 0, 2},
      {"name without terminator", second + 110 + 10, 'x', 2},
  };
  for (const Damage& damage : damages) {
    SCOPED_TRACE(damage.what);
    ArchiveDir a;
    MakeArchive(a, 3);
    std::string main = ReadBytes(a.main());
    for (int i = 0; i < damage.width; ++i)
      main[damage.offset + i] = static_cast<char>(damage.value >> (8 * i));
    WriteBytes(a.main(), main);
    DWORD last = 0;
    const std::vector<std::u16string> names = ListAll(a, &last);
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(names[0], u"d0000");
    EXPECT_EQ(last, 1392u);
  }
}

TEST(V5Catalogue, TruncatedCatalogueListsWholeRecordsOnly) {
  ArchiveDir a;
  MakeArchive(a, 3);
  const std::string main = ReadBytes(a.main());
  for (size_t cut : {1u, 5u, 60u, 121u}) {
    WriteBytes(a.main(), main.substr(0, main.size() - cut));
    DWORD last = 0;
    EXPECT_EQ(ListAll(a, &last).size(), 2u) << "cut " << cut;
    EXPECT_EQ(last, 1392u);
  }
}

// Every 1000 entries the batch reaches the main file behind its data: a
// copy of the files taken then, without Close (as a crash leaves them),
// lists every entry and restores each whole. One entry earlier the main
// file holds the header only.
TEST(V5Catalogue, EveryThousandEntriesListAndRestoreWithoutClose) {
  SKIP_ON_WINDOWS(kWindowsHeldArchive);
  ArchiveDir a;
  ASSERT_EQ(0, mkdir((a.dir / "src").c_str(), 0755));
  Probe arc;
  ASSERT_TRUE(arc.Open(P(a.wmain()), FALSE, 5));
  arc.SetBatchFlushPolicy(kV5FlushEveryEntries, 0);  // the count rule only
  auto content = [](unsigned i) { return PatternBytes(100 + i % 300, i); };
  for (unsigned i = 0; i < kV5FlushEveryEntries; ++i) {
    const std::string source = a.dir / ("src/" + std::to_string(i));
    WriteBytes(source, content(i));
    if (i + 1 == kV5FlushEveryEntries) {
      EXPECT_EQ(40u, ReadBytes(a.main()).size());
    }
    ASSERT_TRUE(arc.AddFile(P(W(source)), P(Name("f%04u", i)), nullptr, 0));
  }
  ArchiveDir copy;
  WriteBytes(copy.main(), ReadBytes(a.main()));
  WriteBytes(copy.part(1), ReadBytes(a.part(1)));
  ASSERT_TRUE(arc.Close());

  CKvMorvel reader;
  ASSERT_TRUE(reader.Open(P(copy.wmain()), TRUE, 0));
  const std::string target = copy.dir / "out";
  ASSERT_EQ(0, mkdir(target.c_str(), 0755));
  unsigned listed = 0;
  for (; reader.Info(0); reader.Info(1), ++listed) {
    ASSERT_TRUE(reader.ExtractFile(P(W(target)), 0)) << listed;
    char name[16];
    snprintf(name, sizeof(name), "/f%04u", listed);
    ASSERT_EQ(content(listed), ReadBytes(target + name)) << listed;
  }
  EXPECT_EQ(259u, reader.GetErrorCode());
  EXPECT_EQ(kV5FlushEveryEntries, listed);
  reader.Close();
}

TEST(V5Catalogue, BatchReachesTheMainFileAtTheFirstAddAfterItsTime) {
  SKIP_ON_WINDOWS(kWindowsHeldArchive);
  ArchiveDir a;
  Probe arc;
  ASSERT_TRUE(arc.Open(P(a.wmain()), FALSE, 5));
  arc.SetBatchFlushPolicy(0, 400);  // the time rule only
  AddFolders(arc, 0, 1);
  EXPECT_EQ(40u, ReadBytes(a.main()).size());
  std::this_thread::sleep_for(std::chrono::milliseconds(450));
  AddFolders(arc, 1, 1);
  const std::string main = ReadBytes(a.main());
  EXPECT_EQ(40u + 2 * (110 + 2 * 6), main.size());
  EXPECT_EQ(HeaderBytes(1), main.substr(0, 40));
  ASSERT_TRUE(arc.Close());
  DWORD last = 0;
  EXPECT_EQ(2u, ListAll(a, &last).size());
}

#if !defined(_WIN32)  // counts the Linux layer's flushes to the disk
// A batch flush writes the records every 1000 entries but flushes the
// files to the disk only when a sync is due: a copy of the files taken
// without Close (as a killed process leaves them) lists every entry all
// the same, and Close makes them durable. With no wait between syncs,
// each batch flush syncs the part and then the main file.
TEST(V5Catalogue, BatchFlushesSyncOnlyWhenDueAndAtClose) {
  SKIP_ON_WINDOWS(kWindowsHeldArchive);
  const DWORD kNever = 0xFFFFFFFFu;
  for (DWORD interval : {kNever, 0u}) {
    SCOPED_TRACE(interval);
    ArchiveDir a;
    Probe arc;
    ASSERT_TRUE(arc.Open(P(a.wmain()), FALSE, 5));
    arc.SetBatchFlushPolicy(kV5FlushEveryEntries, 0);  // the count rule only
    arc.SetSyncInterval5(interval);
    kvposix::KvFaultInjectAfter(kvposix::FaultMode::kCount, 0, kvposix::kFaultFlush);
    AddFolders(arc, 0, 3 * kV5FlushEveryEntries);
    const unsigned long long beforeClose = kvposix::KvFaultCalls();
    ArchiveDir copy;
    WriteBytes(copy.main(), ReadBytes(a.main()));
    WriteBytes(copy.part(1), ReadBytes(a.part(1)));
    ASSERT_TRUE(arc.Close());
    const unsigned long long atClose = kvposix::KvFaultCalls() - beforeClose;
    kvposix::KvFaultInjectAfter(kvposix::FaultMode::kOff, 0);
    EXPECT_EQ(interval == kNever ? 0u : 6u, beforeClose);
    EXPECT_GE(atClose, 1u);
    DWORD last = 0;
    EXPECT_EQ(3u * kV5FlushEveryEntries, ListAll(copy, &last).size());
    EXPECT_EQ(3u * kV5FlushEveryEntries, ListAll(a, &last).size());
  }
}
#endif

// Appending to another version's archive would destroy its header at
// Close; Open refuses it and leaves the file as it was.
TEST(V5Catalogue, OpeningForWritingAsAnotherVersionIsRefusedUntouched) {
  ArchiveDir a;
  MakeArchive(a, 3);
  const std::string before = ReadBytes(a.main());
  for (DWORD other : {1u, 2u}) {
    CKvMorvel arc;
    PrimeStaleCodes(arc);
    EXPECT_FALSE(arc.Open(P(a.wmain()), FALSE, other));
    EXPECT_EQ(static_cast<DWORD>(ERROR_BAD_FORMAT), arc.GetErrorCode());
    EXPECT_EQ(before, ReadBytes(a.main()));
  }
  // A main file without the signature is read leniently but never
  // appended to.
  std::string foreign = before;
  foreign[0] = 'X';
  WriteBytes(a.main(), foreign);
  CKvMorvel arc;
  PrimeStaleCodes(arc);
  EXPECT_FALSE(arc.Open(P(a.wmain()), FALSE, 5));
  EXPECT_EQ(static_cast<DWORD>(ERROR_BAD_FORMAT), arc.GetErrorCode());
  EXPECT_EQ(foreign, ReadBytes(a.main()));
}

// A catalogue cut inside its last record (a flush that a crash or a full
// disk cut short) is never appended to: the new records would stand
// behind the damage, where no listing reaches them. Its good entries
// still list, then 1392.
TEST(V5Catalogue, DamagedCatalogueIsRefusedForAppending) {
  ArchiveDir a;
  MakeArchive(a, 1100);  // the damage lies past the first batch of 1001
  const std::string whole = ReadBytes(a.main());
  const std::string cut = whole.substr(0, whole.size() - 3);
  WriteBytes(a.main(), cut);
  CKvMorvel arc;
  PrimeStaleCodes(arc);
  EXPECT_FALSE(arc.Open(P(a.wmain()), FALSE, 5));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_CORRUPT), arc.GetErrorCode());
  EXPECT_EQ(cut, ReadBytes(a.main()));
  DWORD last = 0;
  EXPECT_EQ(1099u, ListAll(a, &last).size());
  EXPECT_EQ(1392u, last);
  // Whole again, it is appended to.
  WriteBytes(a.main(), whole);
  ASSERT_TRUE(arc.Open(P(a.wmain()), FALSE, 5));
  AddFolders(arc, 1100, 1);
  ASSERT_TRUE(arc.Close());
  EXPECT_EQ(1101u, ListAll(a, &last).size());
}

}  // namespace
