// SPDX-License-Identifier: GPL-2.0-or-later
// Adding entries: where their data and descriptors go, reopening the last
// part, parts that hold data never being overwritten, and files or links
// planted at part names never written.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "kvwin32.h"
#include "support/piece_cases.h"
#include "v5_test_util.h"

namespace {

TEST(V5Adder, FolderWithDescriptorAtFill5000OfPart2) {
  // The last part, part 2, holds 5000 bytes: adding goes on behind them.
  ArchiveDir a;
  const std::string held = PatternBytes(5000, 8);
  WriteV5Archive(a.main(), {}, {"", held});
  CKvMorvel arc;
  ASSERT_TRUE(arc.Open(P(a.wmain()), FALSE, 5));
  const std::string descriptor = PatternBytes(120, 9);
  WIN32_FILE_ATTRIBUTE_DATA d = DistinctTimes(0x10);
  ASSERT_TRUE(arc.AddFile(P(u"/nowhere"), P(u"dir"), &d,
                          const_cast<char*>(descriptor.data()), 120));
  // The fill moved past the descriptor block: the next entry starts there.
  ASSERT_TRUE(arc.AddFile(P(u"/nowhere"), P(u"next"), &d, nullptr, 0));
  ASSERT_TRUE(arc.Close());
  const std::vector<StoredEntry> e = StoredRecords(ReadBytes(a.main()));
  ASSERT_EQ(e.size(), 2u);
  EXPECT_EQ(e[0].dataPart, 2u);
  EXPECT_EQ(e[0].dataOffset, 5000u);
  EXPECT_EQ(e[0].storedLength, 0u);
  EXPECT_EQ(e[0].blockCount, 0u);
  EXPECT_EQ(e[0].descriptorPart, 2u);
  EXPECT_EQ(e[0].descriptorOffset, 5000u);
  EXPECT_EQ(e[1].dataPart, 2u);
  EXPECT_EQ(e[1].dataOffset, 5124u);
  const std::string part = ReadBytes(a.part(2));
  ASSERT_EQ(part.size(), 5124u);
  EXPECT_EQ(part.substr(0, 5000), held);
  EXPECT_EQ(part.substr(5000), Bytes().U32(120).Raw(descriptor).str());
  EXPECT_EQ(U32At(ReadBytes(a.main()), 36), 2u);  // part count
}

TEST(V5Adder, ReopenedArchiveAppendsAtTheEndOfItsLastPart) {
  ArchiveDir a;
  WriteBytes(a.main(), HeaderBytes(3));
  WriteBytes(a.part(1), PatternBytes(700, 1));
  WriteBytes(a.part(2), PatternBytes(800, 2));
  const std::string part3 = PatternBytes(1000, 3);
  WriteBytes(a.part(3), part3);
  WriteBytes(a.dir / "hello.txt", "hello, parts");

  CKvMorvel arc;
  ASSERT_TRUE(arc.Open(P(a.wmain()), FALSE, 5));
  WIN32_FILE_ATTRIBUTE_DATA d = DistinctTimes(0x20, 12);
  ASSERT_TRUE(arc.AddFile(P(W(a.dir / "hello.txt")), P(u"hello.txt"), &d,
                          nullptr, 0));
  ASSERT_TRUE(arc.Close());

  const std::string after = ReadBytes(a.part(3));
  EXPECT_EQ(after.substr(0, 1000), part3);
  EXPECT_EQ(U32At(after, 1000) + 1004, after.size());
  EXPECT_EQ(ReadBytes(a.part(1)), PatternBytes(700, 1));
  EXPECT_FALSE(Exists(a.part(4)));
  const std::string main = ReadBytes(a.main());
  EXPECT_EQ(main.substr(0, 40), HeaderBytes(3));
  EXPECT_EQ(main.size(), 40u + 110u + 2u * 10u);
  const std::vector<StoredEntry> e = StoredRecords(main);
  ASSERT_EQ(e.size(), 1u);
  EXPECT_EQ(e[0].dataPart, 3u);
  EXPECT_EQ(e[0].dataOffset, 1000u);

  CKvMorvel reader;
  ASSERT_TRUE(reader.Open(P(a.wmain()), TRUE, 0));
  ASSERT_TRUE(reader.Info(0));
  EXPECT_TRUE(reader.ExtractFile(P(W(a.dir / "out")), 0));
  reader.Close();
  EXPECT_EQ(ReadBytes(a.dir / "out/hello.txt"), "hello, parts");
}

TEST(V5Adder, AddAfterFailedAddPartNeverOverwritesAPartWithData) {
  ArchiveDir a;
  WriteBytes(a.dir / "big.bin", PatternBytes(2 * 1048576, 4));
  WriteBytes(a.dir / "small.bin", "small");
  // A leftover part 2 holding bytes: the split after the first block
  // must not replace it.
  const std::string leftover = PatternBytes(300, 5);
  WriteBytes(a.part(2), leftover);
  CKvMorvel arc;
  arc.SetSplitSize(0);
  ASSERT_TRUE(arc.Open(P(a.wmain()), FALSE, 5));
  WIN32_FILE_ATTRIBUTE_DATA d = DistinctTimes(0x20);
  PrimeStaleCodes(arc);
  EXPECT_FALSE(arc.AddFile(P(W(a.dir / "big.bin")), P(u"big"), &d, nullptr,
                           0));
  EXPECT_EQ(arc.GetErrorCode(), 1359u);
  EXPECT_EQ(ReadBytes(a.part(2)), leftover);
  const size_t part1 = ReadBytes(a.part(1)).size();

  // The next add goes on in part 1, behind what it holds.
  arc.SetSplitSize(650117120ull);
  ASSERT_TRUE(arc.AddFile(P(W(a.dir / "small.bin")), P(u"small"), &d,
                          nullptr, 0));
  ASSERT_TRUE(arc.Close());
  const std::vector<StoredEntry> e = StoredRecords(ReadBytes(a.main()));
  ASSERT_EQ(e.size(), 1u);
  EXPECT_EQ(e[0].name, "small");
  EXPECT_EQ(e[0].dataPart, 1u);
  EXPECT_EQ(e[0].dataOffset, part1);
  EXPECT_EQ(ReadBytes(a.part(2)), leftover);
  EXPECT_EQ(U32At(ReadBytes(a.main()), 36), 1u);  // part count
}

#if !defined(_WIN32)  // POSIX owners, descriptors kept on a removed name.
// A part file planted before the archive is made, and a descriptor its
// planter keeps on it to read what it receives. Owned by nobody when the
// test runs as root (as another user who may write the folder would own
// it); by the test's user otherwise, which still shows whether the
// archive writes into it.
struct PlantedPart {
  explicit PlantedPart(const std::string& path) {
    WriteBytes(path, "");
    if (geteuid() == 0) {
      EXPECT_EQ(0, chown(path.c_str(), 65534, 65534));
    }
    fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    EXPECT_GE(fd, 0);
  }
  ~PlantedPart() { close(fd); }
  off_t Received() const {
    struct stat st;
    return fstat(fd, &st) == 0 ? st.st_size : -1;
  }
  int fd;
};

// True when `path` is a plain file of the writer's own with one name.
void ExpectOwnPlainFile(const std::string& path) {
  struct stat st;
  ASSERT_EQ(0, lstat(path.c_str(), &st)) << path;
  EXPECT_TRUE(S_ISREG(st.st_mode)) << path;
  EXPECT_EQ(st.st_uid, geteuid()) << path;
  EXPECT_EQ(st.st_nlink, 1u) << path;
}

TEST(V5Adder, NewPartsReplaceFilesAndLinksPlantedAtTheirNames) {
  ArchiveDir a;
  TempDir elsewhere;
  const std::string content = PatternBytes(1000, 6);
  WriteBytes(a.dir / "f.bin", content);
  // Part 1: an empty file. Part 2: a link to an empty file. Part 3: a
  // link to a file holding data. Nothing of them may be written.
  PlantedPart planted(a.part(1));
  const std::string empty = elsewhere / "empty", held = elsewhere / "held";
  WriteBytes(empty, "");
  WriteBytes(held, "not the archive's");
  ASSERT_EQ(0, symlink(empty.c_str(), a.part(2).c_str()));
  ASSERT_EQ(0, symlink(held.c_str(), a.part(3).c_str()));

  CKvMorvel arc;
  arc.SetSplitSize(0);  // each block begins a new part
  ASSERT_TRUE(arc.Open(P(a.wmain()), FALSE, 5)) << arc.GetErrorCode();
  WIN32_FILE_ATTRIBUTE_DATA d = DistinctTimes(0x20, 1000);
  ASSERT_TRUE(arc.AddFile(P(W(a.dir / "f.bin")), P(u"one"), &d, nullptr, 0));
  ASSERT_TRUE(arc.AddFile(P(W(a.dir / "f.bin")), P(u"two"), &d, nullptr, 0));
  ASSERT_TRUE(arc.Close());

  EXPECT_EQ(0, planted.Received());
  EXPECT_EQ("", ReadBytes(empty));
  EXPECT_EQ("not the archive's", ReadBytes(held));
  for (unsigned part = 1; part <= 3; ++part) ExpectOwnPlainFile(a.part(part));
  CKvMorvel reader;
  ASSERT_TRUE(reader.Open(P(a.wmain()), TRUE, 0));
  for (DWORD i = 0; i < 2; ++i) {
    ASSERT_TRUE(reader.Info(i));
    EXPECT_TRUE(reader.ExtractFile(P(W(a.dir / "out")), i));
  }
  reader.Close();
  EXPECT_EQ(ReadBytes(a.dir / "out/one"), content);
  EXPECT_EQ(ReadBytes(a.dir / "out/two"), content);
}

// Appending reopens the last part the header names; a link put at its name
// is refused, never followed: its target keeps its bytes.
TEST(V5Adder, AppendNeverWritesThroughALinkAtTheLastPart) {
  ArchiveDir a;
  TempDir elsewhere;
  WriteBytes(a.main(), HeaderBytes(1));
  const std::string target = elsewhere / "target";
  WriteBytes(target, "someone else's file");
  ASSERT_EQ(0, symlink(target.c_str(), a.part(1).c_str()));
  WriteBytes(a.dir / "hello.txt", "hello, parts");

  CKvMorvel arc;
  ASSERT_TRUE(arc.Open(P(a.wmain()), FALSE, 5));
  WIN32_FILE_ATTRIBUTE_DATA d = DistinctTimes(0x20, 12);
  EXPECT_FALSE(arc.AddFile(P(W(a.dir / "hello.txt")), P(u"hello.txt"), &d,
                           nullptr, 0));
  // The cause is the part that may not be written, not a handle missing.
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_EXISTS), arc.GetErrorCode());
  arc.Close();
  EXPECT_EQ("someone else's file", ReadBytes(target));
  struct stat st;
  ASSERT_EQ(0, lstat(a.part(1).c_str(), &st));
  EXPECT_TRUE(S_ISLNK(st.st_mode));
}
#endif

TEST(V5Adder, AddAfterThePartWasClosedReopensTheLastPartCreated) {
  ArchiveDir a;
  const std::string content = PatternBytes(1000, 6);
  WriteBytes(a.dir / "f.bin", content);
  CKvMorvel arc;
  arc.SetSplitSize(0);
  ASSERT_TRUE(arc.Open(P(a.wmain()), FALSE, 5));
  WIN32_FILE_ATTRIBUTE_DATA d = DistinctTimes(0x20, 1000);
  ASSERT_TRUE(arc.AddFile(P(W(a.dir / "f.bin")), P(u"one"), &d, nullptr, 0));
  ASSERT_TRUE(arc.AddFile(P(W(a.dir / "f.bin")), P(u"two"), &d, nullptr, 0));
  // Parts 1 and 2 hold a block each; part 3 is current and empty. A
  // restore closes the current part before it reads.
  const std::string part1 = ReadBytes(a.part(1));
  const std::string part2 = ReadBytes(a.part(2));
  ASSERT_TRUE(arc.Info(0));
  ASSERT_TRUE(arc.ExtractFile(P(W(a.dir / "out")), 0));
  EXPECT_EQ(ReadBytes(a.dir / "out/one"), content);

  ASSERT_TRUE(arc.AddFile(P(W(a.dir / "f.bin")), P(u"three"), &d, nullptr,
                          0));
  ASSERT_TRUE(arc.Close());
  const std::vector<StoredEntry> e = StoredRecords(ReadBytes(a.main()));
  ASSERT_EQ(e.size(), 3u);
  EXPECT_EQ(e[2].dataPart, 3u);
  EXPECT_EQ(e[2].dataOffset, 0u);
  // Its block took part 3 past the split size: part 4 was begun.
  EXPECT_EQ(ReadBytes(a.part(4)), "");
  EXPECT_FALSE(Exists(a.part(5)));
  EXPECT_EQ(ReadBytes(a.part(1)), part1);
  EXPECT_EQ(ReadBytes(a.part(2)), part2);
  EXPECT_EQ(U32At(ReadBytes(a.main()), 36), 4u);  // part count
}

TEST(V5Adder, RestoreBetweenAddsReadsWhatWasAddedAndAddingGoesOn) {
  ArchiveDir a;
  WriteBytes(a.dir / "one.bin", PatternBytes(3000, 1));
  WriteBytes(a.dir / "two.bin", PatternBytes(5000, 2));
  const std::string out = a.dir / "out";
  ASSERT_EQ(0, mkdir(out.c_str(), 0755));
  CKvMorvel arc;
  ASSERT_TRUE(arc.Open(P(a.wmain()), FALSE, 5));
  ASSERT_TRUE(arc.AddFile(P(W(a.dir / "one.bin")), P(u"one"), nullptr, 0));
  // The entry's bytes reach the part before the restore reads them.
  ASSERT_TRUE(arc.Info(FALSE));
  ASSERT_TRUE(arc.ExtractFile(P(W(out)), 0));
  EXPECT_EQ(PatternBytes(3000, 1), ReadBytes(out + "/one"));
  // The part read by the restore is written again by the next add.
  ASSERT_TRUE(arc.AddFile(P(W(a.dir / "two.bin")), P(u"two"), nullptr, 0));
  ASSERT_TRUE(arc.Close());

  CKvMorvel reader;
  ASSERT_TRUE(reader.Open(P(a.wmain()), TRUE, 0));
  const std::string again = a.dir / "again";
  ASSERT_EQ(0, mkdir(again.c_str(), 0755));
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(reader.Info(FALSE));
    ASSERT_TRUE(reader.ExtractFile(P(W(again)), 0)) << i;
    reader.Info(TRUE);
  }
  EXPECT_FALSE(reader.Info(FALSE));
  reader.Close();
  EXPECT_EQ(PatternBytes(3000, 1), ReadBytes(again + "/one"));
  EXPECT_EQ(PatternBytes(5000, 2), ReadBytes(again + "/two"));
}

TEST(V5Adder, MissingSourceFailsWithItsCodeAndAddsNothing) {
  ArchiveDir a;
  CKvMorvel arc;
  ASSERT_TRUE(arc.Open(P(a.wmain()), FALSE, 5));
  WIN32_FILE_ATTRIBUTE_DATA d = DistinctTimes(0x20);
  PrimeStaleCodes(arc);
  EXPECT_FALSE(arc.AddFile(P(W(a.dir / "missing")), P(u"m"), &d, nullptr, 0));
  EXPECT_EQ(arc.GetErrorCode(), 2u);
  ASSERT_TRUE(arc.Close());
  EXPECT_EQ(ReadBytes(a.main()), HeaderBytes(1));
}

TEST(V5Adder, LinkToFolderIsStoredAsItsReparseRecord) {
  SKIP_UNDER_WINE(kWineNoLinkReads);
  ArchiveDir a;
  mkdir((a.dir / "target").c_str(), 0755);
  ASSERT_EQ(symlink((a.dir / "target").c_str(), (a.dir / "link").c_str()), 0);
  CKvMorvel arc;
  ASSERT_TRUE(arc.Open(P(a.wmain()), FALSE, 5));
  ASSERT_TRUE(arc.AddFile(P(W(a.dir / "link")), P(u"link"), nullptr, 0));
  ASSERT_TRUE(arc.Close());
  const std::vector<StoredEntry> records = StoredRecords(ReadBytes(a.main()));
  ASSERT_EQ(records.size(), 1u);
  const StoredEntry& e = records[0];
  EXPECT_EQ(e.data.dwFileAttributes & 0x410u, 0x410u);
  // Part 1: u32 L, then the reparse buffer: tag, data length (L - 8),
  // reserved, data.
  const std::string part = ReadBytes(a.part(1));
  ASSERT_GE(part.size(), 12u);
  const uint32_t length = U32At(part, 0);
  EXPECT_EQ(part.size(), 4u + length);
  EXPECT_EQ(U32At(part, 4), 0xA0000003u);
  EXPECT_EQ((U32At(part, 8) & 0xFFFF) + 8u, length);
  EXPECT_EQ(e.storedLength, length + 4u);
  EXPECT_EQ(e.blockCount, 1u);
  EXPECT_EQ(e.dataOffset, 0u);
}

TEST(V5Adder, UnreadableReparsePointIsRefused) {
  ArchiveDir a;
  WriteBytes(a.dir / "plain", "not a link");
  CKvMorvel arc;
  ASSERT_TRUE(arc.Open(P(a.wmain()), FALSE, 5));
  WIN32_FILE_ATTRIBUTE_DATA d = DistinctTimes(0x420);
  PrimeStaleCodes(arc);
  EXPECT_FALSE(arc.AddFile(P(W(a.dir / "plain")), P(u"plain"), &d, nullptr,
                           0));
  EXPECT_EQ(arc.GetErrorCode(), 4390u);  // not a reparse point
  ASSERT_TRUE(arc.Close());
  EXPECT_EQ(ReadBytes(a.main()), HeaderBytes(1));
  EXPECT_EQ(ReadBytes(a.part(1)), "");
}

TEST(V5Adder, ShortNameOfTheSourceIsStored) {
  SKIP_UNDER_WINE(kWineNoShortNames);
  ArchiveDir a;
  const std::string source = a.dir / "longfilename.txt";
  WriteBytes(source, "x");
  HANDLE h = CreateFileW(P(W(source)), GENERIC_READ | GENERIC_WRITE, 0,
                         nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(SetFileShortNameW(h, P(u"LONGFI~1.TXT")));
  CloseHandle(h);
  CKvMorvel arc;
  ASSERT_TRUE(arc.Open(P(a.wmain()), FALSE, 5));
  ASSERT_TRUE(arc.AddFile(P(W(source)), P(u"long"), nullptr, 0));
  WriteBytes(a.dir / "plain.txt", "y");
  ASSERT_TRUE(arc.AddFile(P(W(a.dir / "plain.txt")), P(u"plain"), nullptr,
                          0));
  ASSERT_TRUE(arc.Close());
  const std::vector<StoredEntry> e = StoredRecords(ReadBytes(a.main()));
  ASSERT_EQ(e.size(), 2u);
  EXPECT_EQ(e[0].shortName, u"LONGFI~1.TXT");
  EXPECT_EQ(e[1].shortName, u"");
}

unsigned long long Ticks(const FILETIME& t) {
  return (static_cast<unsigned long long>(t.dwHighDateTime) << 32) |
         t.dwLowDateTime;
}

// The handle a host opens on an item: the item itself, never a link's
// target.
HANDLE OpenAsItself(const std::string& path) {
  return CreateFileW(P(W(path)), GENERIC_READ, FILE_SHARE_READ, nullptr,
                     OPEN_EXISTING,
                     FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
                     nullptr);
}

// Adds each item through a handle opened on it, the data read through the
// handle too.
void AddOpened(CKvMorvel& arc, const std::string& dir,
               const std::vector<std::string>& names) {
  for (const std::string& name : names) {
    HANDLE h = OpenAsItself(dir + "/" + name);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << name;
    EXPECT_TRUE(arc.AddOpenedFile(h, P(W(name)), nullptr, nullptr, 0)) << name;
    CloseHandle(h);
  }
}

// A file (with a short name and hidden), a folder and a link to a file,
// added through handles, are stored as AddFile stores them by path: the
// same attributes, creation and write times, sizes, short names and part
// bytes (data, the link's reparse record, the descriptors read through
// the handle). Access times are left out: the first read of the file
// may move its access time between the two runs.
TEST(V5Adder, AnOpenedHandleIsStoredAsAddFileStoresItsPath) {
  SKIP_UNDER_WINE(kWineNoLinkReads);
  ArchiveDir byPath, byHandle;
  TempDir tree;
  WriteBytes(tree / "file.txt", PatternBytes(300000, 3));
  ASSERT_EQ(0, mkdir((tree / "folder").c_str(), 0750));
  ASSERT_EQ(0, symlink((tree / "file.txt").c_str(), (tree / "link").c_str()));
  ASSERT_TRUE(SetFileAttributesW(P(W(tree / "file.txt")), FILE_ATTRIBUTE_HIDDEN));
  HANDLE named = CreateFileW(P(W(tree / "file.txt")), GENERIC_READ | GENERIC_WRITE,
                             0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(named, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(SetFileShortNameW(named, P(u"FILE~1.TXT")));
  CloseHandle(named);
  const std::vector<std::string> names = {"file.txt", "folder", "link"};

  CKvMorvel opened;
  ASSERT_TRUE(opened.Open(P(byHandle.wmain()), FALSE, 5));
  AddOpened(opened, tree.path(), names);
  ASSERT_TRUE(opened.Close());
  CKvMorvel pathed;
  ASSERT_TRUE(pathed.Open(P(byPath.wmain()), FALSE, 5));
  for (const std::string& name : names)
    ASSERT_TRUE(pathed.AddFile(P(W(tree / name)), P(W(name)), nullptr, 0)) << name;
  ASSERT_TRUE(pathed.Close());

  const std::vector<StoredEntry> a = StoredRecords(ReadBytes(byHandle.main()));
  const std::vector<StoredEntry> b = StoredRecords(ReadBytes(byPath.main()));
  ASSERT_EQ(a.size(), 3u);
  ASSERT_EQ(b.size(), 3u);
  for (size_t i = 0; i < a.size(); ++i) {
    SCOPED_TRACE(names[i]);
    EXPECT_EQ(a[i].name, b[i].name);
    EXPECT_EQ(a[i].data.dwFileAttributes, b[i].data.dwFileAttributes);
    EXPECT_EQ(Ticks(a[i].data.ftCreationTime), Ticks(b[i].data.ftCreationTime));
    EXPECT_EQ(Ticks(a[i].data.ftLastWriteTime), Ticks(b[i].data.ftLastWriteTime));
    EXPECT_EQ(a[i].data.nFileSizeLow, b[i].data.nFileSizeLow);
    EXPECT_EQ(a[i].shortName, b[i].shortName);
    EXPECT_EQ(a[i].storedLength, b[i].storedLength);
    EXPECT_EQ(a[i].dataOffset, b[i].dataOffset);
  }
  EXPECT_EQ(a[0].shortName, u"FILE~1.TXT");
  EXPECT_EQ(a[0].data.dwFileAttributes & FILE_ATTRIBUTE_HIDDEN, FILE_ATTRIBUTE_HIDDEN);
  EXPECT_EQ(a[0].data.nFileSizeLow, 300000u);
  EXPECT_EQ(a[1].data.dwFileAttributes & 0x410u, 0x10u);
  // The link's own reparse record, not the file it names.
  EXPECT_EQ(a[2].data.dwFileAttributes & 0x400u, 0x400u);
  EXPECT_EQ(a[2].data.nFileSizeLow, 0u);
  const std::string part = ReadBytes(byHandle.part(1));
  EXPECT_EQ(part, ReadBytes(byPath.part(1)));
  ASSERT_GE(a[2].dataOffset + 8, 8u);
  ASSERT_LT(a[2].dataOffset + 8, part.size());
  EXPECT_EQ(U32At(part, a[2].dataOffset + 4), 0xA000000Cu);  // a symbolic link
}

// What a handle holds must be the kind the caller's data says: a file
// opened where a folder was looked at, a link where a file was, or a
// folder where a file was, is refused as a source that changed, and
// nothing is stored.
TEST(V5Adder, AnOpenedHandleOfAnotherKindIsRefusedAsChanged) {
  SKIP_UNDER_WINE(kWineNoLinkReads);
  ArchiveDir a;
  TempDir tree;
  WriteBytes(tree / "file", "the file's bytes");
  ASSERT_EQ(0, mkdir((tree / "folder").c_str(), 0755));
  ASSERT_EQ(0, symlink((tree / "file").c_str(), (tree / "link").c_str()));
  struct Case {
    const char* item;
    DWORD said;
  };
  CKvMorvel arc;
  ASSERT_TRUE(arc.Open(P(a.wmain()), FALSE, 5));
  for (const Case& c : {Case{"file", 0x10u}, Case{"link", 0x20u},
                        Case{"folder", 0x20u}, Case{"folder", 0x80u}}) {
    SCOPED_TRACE(c.item);
    HANDLE h = OpenAsItself(tree / c.item);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    WIN32_FILE_ATTRIBUTE_DATA d = DistinctTimes(c.said);
    PrimeStaleCodes(arc);
    EXPECT_FALSE(arc.AddOpenedFile(h, P(u"x"), &d, nullptr, 0));
    EXPECT_EQ(arc.GetErrorCode(), 0x10000205u);
    CloseHandle(h);
  }
  PrimeStaleCodes(arc);
  EXPECT_FALSE(arc.AddOpenedFile(nullptr, P(u"x"), nullptr, nullptr, 0));
  EXPECT_EQ(arc.GetErrorCode(), 87u);
  EXPECT_FALSE(arc.AddOpenedFile(INVALID_HANDLE_VALUE, P(u"x"), nullptr, nullptr, 0));
  EXPECT_EQ(arc.GetErrorCode(), 87u);
  ASSERT_TRUE(arc.Close());
  EXPECT_EQ(ReadBytes(a.main()), HeaderBytes(1));
  EXPECT_EQ(ReadBytes(a.part(1)), "");
}

}  // namespace

namespace {

// A sparse source: its holes are packed without being read, and the
// restore leaves its zeros as holes.
TEST(V5Pieces, SparseSourceRoundTripsWithoutReadingItsHoles) {
  ExpectSparseRoundTrip(5);
}

// Cancel takes effect between the pieces of one large file, adding and
// restoring, and the archive stays whole.
TEST(V5Pieces, CancelStopsAnAddOrARestoreBetweenPieces) {
  ExpectAddCancelledBetweenPieces(5, 256ull << 30, 2ull << 20);
  ExpectRestoreCancelledBetweenPieces(5, 16ull << 30, 1ull << 30);
}

}  // namespace
