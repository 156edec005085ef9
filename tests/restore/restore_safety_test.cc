// SPDX-License-Identifier: GPL-2.0-or-later
// A restore never writes outside its target: names that climb out of it,
// rooted or drive-qualified names, names that name the target itself, a
// target that is a link, and links on the way are refused.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#if !defined(_WIN32)
#include <dirent.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <sys/xattr.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <new>
#endif

#include <vector>

#include "KvMorvelHost.h"
#include "restore/restore_fixture.h"
#include "restore/restore_paths.h"
#include "support/link_race.h"

namespace {

using Codes = std::vector<DWORD>;

struct Safety : Restoring {
  void SetUp() override { mkdir(out.c_str(), 0755); }
  // Restores a version 5 archive of one file entry per name, each holding
  // its own copy of "payload", into `target`: each restore's code, 0 on
  // success.
  Codes RestoreFiles(const std::vector<std::string>& names,
                     const std::string& target) {
    std::vector<StoredEntry> entries;
    std::string part;
    for (const std::string& name : names) {
      entries.push_back(DataAt(Entry(name, 0x20, 7), part.size()));
      part += LzoBlocks("payload");
    }
    WriteV5(entries, {part});
    return RestoreAll(target);
  }
  // What a host that asks the library before restoring expects of each
  // name: 0 for a name it calls contained, 123 for one it does not.
  static Codes HostVerdicts(const std::vector<std::string>& names) {
    Codes codes;
    for (const std::string& name : names)
      codes.push_back(CKvMorvelHost::IsContainedName(P(W(name))) ? 0 : 123);
    return codes;
  }
  // The same with folder entries that each carry `buffer` as their reparse
  // record, from a version 5 or 2 archive, into `out`.
  Codes RestoreLinks(int version, const std::vector<std::string>& names,
                     const std::string& buffer) {
    const std::string record = ReparseRecord(buffer);
    std::vector<StoredEntry> entries;
    std::string data;  // each entry's own copy of the record
    for (const std::string& name : names) {
      entries.push_back(DataAt(Reparse(name, record.size()), data.size()));
      data += record;
    }
    if (version == 5)
      WriteV5(entries, {data});
    else
      WriteV1OrV2(2, entries, data);
    return RestoreAll(out);
  }
  // Creates a file through the layer at target + "\" + name, as a restore
  // without the checks would.
  void WriteThrough(const std::string& name) {
    HANDLE h = CreateFileW(P(W(out + "\\" + name)), GENERIC_WRITE, 0,
                           nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    CloseHandle(h);
  }
};

TEST_F(Safety, ParentComponentsCannotLeaveTheTarget) {
  WriteThrough("..\\escaped.txt");  // the joined path does lead outside
  ASSERT_TRUE(Exists(dir / "escaped.txt"));
  unlink((dir / "escaped.txt").c_str());
  const std::vector<std::string> names = {
      "..\\escaped.txt", "a\\..\\..\\escaped.txt", "a/../../escaped.txt",
      "a\\...\\escaped.txt"};
  EXPECT_EQ(Codes(4, 123), RestoreFiles(names, out));
  EXPECT_EQ(Codes(4, 123), HostVerdicts(names));
  EXPECT_FALSE(Exists(dir / "escaped.txt"));
  EXPECT_FALSE(Exists(dir / "a"));
}

TEST_F(Safety, RootedAndDriveQualifiedNamesAreRefused) {
  // The last is no parent component.
  const std::vector<std::string> names = {"\\etc\\x", "/x", "C:\\x", "c:x",
                                          "dots..in..name"};
  const Codes expected = {123, 123, 123, 123, 0};
  EXPECT_EQ(expected, RestoreFiles(names, out));
  EXPECT_EQ(expected, HostVerdicts(names));
}

TEST_F(Safety, LinkOnThePathIsNotWrittenThrough) {
  SKIP_UNDER_WINE(kWineNoLinkReads);
  TempDir elsewhere;
  ASSERT_EQ(0, symlink(elsewhere.path().c_str(), (out + "/lnk").c_str()));
  WriteThrough("lnk\\probe.txt");  // the link leads outside
  ASSERT_TRUE(Exists(elsewhere / "probe.txt"));
  EXPECT_EQ(Codes{1921}, RestoreFiles({"lnk\\f.txt"}, out));
  EXPECT_FALSE(Exists(elsewhere / "f.txt"));
}

TEST_F(Safety, LinkAtTheEntryPathIsReplacedNotFollowed) {
  WriteBytes(dir / "victim.txt", "victim");
  ASSERT_EQ(0, symlink((dir / "victim.txt").c_str(), (out + "/f").c_str()));
  ASSERT_EQ(Codes{0}, RestoreFiles({"f"}, out));
  EXPECT_EQ("victim", ReadBytes(dir / "victim.txt"));
  struct stat st;
  ASSERT_EQ(0, lstat((out + "/f").c_str(), &st));
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ("payload", ReadBytes(out + "/f"));
}

TEST_F(Safety, NoEntryNamesTheTargetItselfOrAFolderAboveAnother) {
  SKIP_UNDER_WINE(kWineNoReparsePoints);
  TempDir outside;
  const std::string links[] = {MountPointBuffer(outside.W("", '\\')),
                               SymlinkBuffer(outside.W("", '\\'))};
  // Names of the target itself, tried while it is empty (a link could
  // replace it), then names of the empty folder "a" or through it.
  const std::vector<std::string> targetNames = {".", "", ".\\", " ", ". "};
  const std::vector<std::string> folderNames = {"a\\.", "a\\. ", "a\\.\\b",
                                                "a\\ \\b", "a\\\\b"};
  for (int version : {5, 2}) {
    for (const std::string& link : links) {
      SCOPED_TRACE(version);
      // A named folder becomes the link: the stored records work.
      ASSERT_EQ(Codes{0}, RestoreLinks(version, {"j"}, link));
      ASSERT_TRUE(IsLink(out + "/j"));
      ASSERT_EQ(0, unlink((out + "/j").c_str()));
      EXPECT_EQ(Codes(targetNames.size(), 123),
                RestoreLinks(version, targetNames, link));
      EXPECT_EQ(Codes(targetNames.size(), 123), HostVerdicts(targetNames));
      EXPECT_FALSE(IsLink(out));
      ASSERT_EQ(0, mkdir((out + "/a").c_str(), 0755));
      EXPECT_EQ(Codes(folderNames.size(), 123),
                RestoreLinks(version, folderNames, link));
      EXPECT_FALSE(IsLink(out + "/a"));
      EXPECT_FALSE(Exists(out + "/a/b"));
      ASSERT_EQ(0, rmdir((out + "/a").c_str()));
    }
  }
  // Later entries still land in the target, not in the folder linked.
  ASSERT_EQ(Codes(2, 0), RestoreFiles({"after.txt", "a\\f.txt"}, out));
  EXPECT_EQ("payload", ReadBytes(out + "/after.txt"));
  EXPECT_EQ("payload", ReadBytes(out + "/a/f.txt"));
  EXPECT_FALSE(Exists(outside / "after.txt"));
  EXPECT_FALSE(Exists(outside / "f.txt"));
  EXPECT_FALSE(Exists(outside / "b"));
}

#if !defined(_WIN32)  // The Linux layer's attribute store and ctime.
// A separator after the entry's name names the link restored there, not
// the folder it leads to: its attributes and times stay on the link.
TEST_F(Safety, ALinkNamedWithATrailingSeparatorKeepsItsAttributes) {
  TempDir outside;
  struct stat before, after;
  ASSERT_EQ(0, lstat(outside.path().c_str(), &before));
  for (int version : {5, 2}) {
    SCOPED_TRACE(version);
    RestoreLinks(version, {"j\\", "k/"}, MountPointBuffer(outside.W("", '\\')));
    RestoreLinks(version, {"r\\"}, SymlinkBuffer(u".."));
    EXPECT_EQ(-1, getxattr(outside.path().c_str(), "user.DOSATTRIB", nullptr, 0));
    EXPECT_EQ(-1, getxattr(dir.path().c_str(), "user.DOSATTRIB", nullptr, 0));
  }
  ASSERT_EQ(0, lstat(outside.path().c_str(), &after));
  EXPECT_EQ(before.st_ctim.tv_nsec, after.st_ctim.tv_nsec);
  EXPECT_EQ(before.st_mode, after.st_mode);
}
#endif

TEST_F(Safety, ATargetThatIsALinkIsNotWrittenThrough) {
  SKIP_UNDER_WINE(kWineNoLinkReads);
  TempDir elsewhere;
  const std::string linked = dir / "linked";
  ASSERT_EQ(0, symlink(elsewhere.path().c_str(), linked.c_str()));
  for (const std::string& target : {linked, linked + "\\", linked + "/"})
    EXPECT_EQ(Codes(2, 1921), RestoreFiles({"f.txt", "sub\\f.txt"}, target))
        << target;
  EXPECT_FALSE(Exists(elsewhere / "f.txt"));
  EXPECT_FALSE(Exists(elsewhere / "sub"));
  EXPECT_TRUE(IsLink(linked));
}

// The restore does not look again at the folder its previous entry went
// into; a link restored by the entry before is still looked at by the
// entries under it, and the entries of the other folder are not held up.
TEST_F(Safety, ALinkRestoredBetweenEntriesIsSeenByTheNext) {
  SKIP_UNDER_WINE(kWineNoReparsePoints);
  TempDir outside;
  const std::string data = LzoBlocks("payload");
  const std::string record = ReparseRecord(MountPointBuffer(outside.W("", '\\')));
  const size_t f2At = data.size() + record.size();
  WriteV5({Entry("d\\f1", 0x20, 7), DataAt(Reparse("dx", record.size()), data.size()),
           DataAt(Entry("dx\\f2", 0x20, 7), f2At),
           DataAt(Entry("d\\f3", 0x20, 7), f2At + data.size())},
          {data + record + data + data});
  EXPECT_EQ((Codes{0, 0, 1921, 0}), RestoreAll(out));
  EXPECT_FALSE(Exists(outside / "f2"));
  EXPECT_EQ("payload", ReadBytes(out + "/d/f3"));
  EXPECT_TRUE(IsLink(out + "/dx"));
}

#if !defined(_WIN32)  // The Linux layer's attribute store, modes and xattrs.
// Everything of a file or folder the restore could change: bytes (of a
// file), mode, times and every extended attribute with its value.
std::string Snapshot(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return "missing";
  // The change time moves with any change of mode, times or attributes;
  // the access time is left out (reading the bytes here may move it).
  std::string s = std::to_string(st.st_mode) + " " +
                  std::to_string(st.st_mtim.tv_sec) + "." +
                  std::to_string(st.st_mtim.tv_nsec) + " " +
                  std::to_string(st.st_ctim.tv_sec) + "." +
                  std::to_string(st.st_ctim.tv_nsec) + "\n";
  if (S_ISREG(st.st_mode)) s += ReadBytes(path) + "\n";
  char names[4096];
  const ssize_t n = llistxattr(path.c_str(), names, sizeof(names));
  for (ssize_t i = 0; i < n; i += strlen(names + i) + 1) {
    char value[4096];
    const ssize_t v = lgetxattr(path.c_str(), names + i, value, sizeof(value));
    s += std::string(names + i) + "=" + std::string(value, v > 0 ? v : 0) + "\n";
  }
  return s;
}

// Gives `path` a mode, old times, the layer's attributes (user.DOSATTRIB)
// and an attribute of another program, so a restore that touched any of
// them shows.
void Furnish(const std::string& path) {
  chmod(path.c_str(), 0751);
  ASSERT_TRUE(SetFileAttributesW(P(W(path)), FILE_ATTRIBUTE_HIDDEN));
  ASSERT_EQ(0, lsetxattr(path.c_str(), "user.other", "kept", 4, 0));
  const struct timespec old[2] = {{1000000, 5}, {2000000, 7}};
  ASSERT_EQ(0, utimensat(AT_FDCWD, path.c_str(), old, AT_SYMLINK_NOFOLLOW));
}

// A folder entry whose path holds a file fails with 183 and leaves the
// file as it was, in every version that stores folders and in the entries
// below it; a file entry whose path holds a folder does the same (every
// version).
TEST_F(Safety, AnEntryMeetingAnObjectOfAnotherKindLeavesItAsItWas) {
  for (DWORD version : {5u, 2u, 1u}) {
    SCOPED_TRACE(version);
    const std::string data = LzoBlocks("payload");
    const std::string stream = DeflateChunks("payload");
    const std::string file = out + "/src/sub";  // a file where a folder goes
    const std::string folder = out + "/src/f";  // a folder where a file goes
    WriteNested(file, "the user's own bytes");
    mkdir(folder.c_str(), 0755);
    Furnish(file);
    Furnish(folder);
    const std::string fileBefore = Snapshot(file);
    const std::string folderBefore = Snapshot(folder);
    StoredEntry child = Entry("src\\f", 0x20, 7);
    child.storedLength = stream.size();
    if (version == 5) {
      WriteV5({Entry("src\\sub", FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY),
               child},
              {data});
      EXPECT_EQ((Codes{183, 183}), RestoreAll(out));
    } else if (version == 2) {
      WriteV1OrV2(2, {Entry("src\\sub", FILE_ATTRIBUTE_DIRECTORY), child},
                  stream);
      EXPECT_EQ((Codes{183, 183}), RestoreAll(out));
    } else {  // version 1 stores files only
      WriteV1OrV2(1, {child}, stream);
      EXPECT_EQ((Codes{183}), RestoreAll(out));
    }
    EXPECT_EQ(fileBefore, Snapshot(file));
    EXPECT_EQ(folderBefore, Snapshot(folder));
    Close();
    chmod(folder.c_str(), 0755);
    ASSERT_EQ(0, system(("rm -rf '" + out + "/src'").c_str()));
  }
}
#endif

// Each stored byte belongs to one entry: in one pass over an archive, an
// entry whose data lies where an earlier entry's data was read is refused
// with 1392 before anything is made for it, whether it names the same
// stream, a block inside an earlier stream or a byte range that overlaps
// one. Entries that store nothing overlap nothing.
// A sink that keeps what ReadEntryData gives it.
DWORD KeepStreamed(void* context, const BYTE* bytes, DWORD size) {
  static_cast<std::string*>(context)->append(reinterpret_cast<const char*>(bytes), size);
  return 0;
}

TEST_F(Safety, EntriesSharingStoredDataAreRefusedAfterTheFirst) {
  // Streaming each entry (ReadEntryData, as verify reads) in a pass of
  // its own refuses the same entries as restoring them.
  const auto streamAll = [&] {
    Codes codes;
    if (!OpenArchive()) return codes;
    for (; arc.Info(0); arc.Info(1)) {
      std::string bytes;
      codes.push_back(arc.ReadEntryData(KeepStreamed, &bytes) ? 0 : arc.GetErrorCode());
    }
    return codes;
  };
  const std::string content = PatternBytes(64 * 1024, 6);
  const std::string block = LzoBlocks(content);
  // 200 records naming one 64 KiB block: the first is restored, the rest
  // would each write it again.
  std::vector<StoredEntry> entries;
  for (int i = 0; i < 201; ++i)
    entries.push_back(Entry("f" + std::to_string(i), 0x20, content.size()));
  WriteV5(entries, {block});
  Codes codes = RestoreAll(out);
  ASSERT_EQ(201u, codes.size());
  EXPECT_EQ(0u, codes[0]);
  EXPECT_EQ(Codes(200, 1392), Codes(codes.begin() + 1, codes.end()));
  EXPECT_EQ(content, ReadBytes(out + "/f0"));
  EXPECT_FALSE(Exists(out + "/f1"));
  EXPECT_FALSE(Exists(out + "/f200"));
  EXPECT_EQ(codes, streamAll());

  // A record naming the second block of an earlier two-block stream; a
  // folder and an empty reparse entry at the same offset store nothing.
  const std::string big = PatternBytes(1048576 + 10, 3);
  const std::string blocks = LzoBlocks(big);
  const size_t secondBlock = LzoBlocks(big.substr(0, 1048576)).size();
  StoredEntry whole = Entry("whole", 0x20, big.size());
  whole.blockCount = 2;
  WriteV5({whole, Entry("dir", FILE_ATTRIBUTE_DIRECTORY),
           DataAt(Entry("inside", 0x20, 10), secondBlock),
           DataAt(Entry("after", 0x20, 5), blocks.size())},
          {blocks + LzoBlocks("after")});
  EXPECT_EQ((Codes{0, 0, 1392, 0}), RestoreAll(out));
  EXPECT_EQ((Codes{0, 0, 1392, 0}), streamAll());
  EXPECT_FALSE(Exists(out + "/inside"));
  EXPECT_EQ("after", ReadBytes(out + "/after"));

  // Versions 1 and 2: the same stream, a range starting inside another,
  // and empty files (no stream) at one offset.
  for (DWORD version : {1u, 2u}) {
    SCOPED_TRACE(version);
    const std::string a = DeflateChunks("first"), b = DeflateChunks("second");
    StoredEntry e0 = Entry("e0", 0x20, 0), e1 = Entry("e1", 0x20, 0);
    StoredEntry s0 = Entry("s0", 0x20, 5), s1 = Entry("s1", 0x20, 5);
    s0.storedLength = s1.storedLength = a.size();
    StoredEntry cut = DataAt(Entry("cut", 0x20, 6), a.size() - 1);
    cut.storedLength = b.size();
    StoredEntry next = DataAt(Entry("next", 0x20, 6), a.size());
    next.storedLength = b.size();
    WriteV1OrV2(version, {e0, e1, s0, s1, cut, next}, a + b);
    EXPECT_EQ((Codes{0, 0, 0, 1392, 1392, 0}), RestoreAll(out));
    EXPECT_EQ((Codes{0, 0, 0, 1392, 1392, 0}), streamAll());
    EXPECT_FALSE(Exists(out + "/s1"));
    EXPECT_EQ("second", ReadBytes(out + "/next"));
  }

  // Version 2 reparse records are data too (Wine makes no links).
  if (UnderWine()) return;
  EXPECT_EQ((Codes{0, 1392}),
            [&] {
              const std::string record = ReparseRecord(SymlinkBuffer(u"t"));
              WriteV1OrV2(2, {Reparse("j", record.size(), 0x420),
                              Reparse("k", record.size(), 0x420)},
                          record);
              return RestoreAll(out);
            }());
}

// The rule is kept per pass and per entry: the same entry restored twice
// is no overlap, a host that steps over an entry reads none of its data,
// and an archive opened afresh starts a new pass.
TEST_F(Safety, SharedDataIsCountedPerPassAndPerEntry) {
  WriteV5({Entry("a", 0x20, 7), Entry("b", 0x20, 7)}, {LzoBlocks("payload")});
  ASSERT_TRUE(At(0));
  EXPECT_TRUE(Extract(out));
  EXPECT_TRUE(Extract(out));  // again, the same entry
  arc.Info(1);
  EXPECT_FALSE(Extract(out));
  EXPECT_EQ(1392u, arc.GetErrorCode());
  ASSERT_TRUE(At(1));  // afresh, "a" stepped over
  EXPECT_TRUE(Extract(out));
  EXPECT_EQ("payload", ReadBytes(out + "/b"));
}

// On Windows a component naming a device would open the device; the
// rule is tested on every system and applied on Windows only.
TEST_F(Safety, DeviceNamesAreRefusedOnWindowsOnly) {
  const std::vector<std::string> devices = {
      "CON", "prn", "Aux", "nul", "COM1", "com9", "LPT1", "lpt9", "aux.txt",
      "nul.tar.gz", "con. ", "NUL  ", "lpt1 .log", "Con.", "conin$", "CONOUT$"};
  const std::vector<std::string> plain = {
      "CONS", "con1", "COM", "COM0", "LPT10", "nulx.txt", "a.nul", "xcon",
      "prn_", "com1x", ".con", "auxiliary"};
  for (const std::string& d : devices) {
    const std::u16string w = W(d);
    EXPECT_TRUE(IsDeviceName(P(w), P(w) + w.size())) << d;
  }
  for (const std::string& n : plain) {
    const std::u16string w = W(n);
    EXPECT_FALSE(IsDeviceName(P(w), P(w) + w.size())) << n;
  }
  const std::u16string super = u"COM\u00b9";
  EXPECT_TRUE(IsDeviceName(P(super), P(super) + super.size()));
#if defined(_WIN32)
  const Codes refused(4, 123);
#else
  const Codes refused(4, 0);  // ordinary names on Linux
#endif
  const std::vector<std::string> names = {"NUL", "aux.txt", "sub\\nul.log",
                                          "LPT3\\f"};
  EXPECT_EQ(refused, HostVerdicts(names));
  EXPECT_EQ(refused, RestoreFiles(names, out));
}

TEST_F(Safety, EmptyTargetAndOverlongPathAreRefused) {
  EXPECT_EQ(Codes{87}, RestoreFiles({"f"}, ""));
  // 1024 characters without the terminator: one too many.
  const std::string deep = out + "\\" + std::string(1016 - out.size(), 'n');
  EXPECT_EQ(Codes{122}, RestoreFiles({"deep\\f"}, deep));
  EXPECT_EQ(0, rmdir(out.c_str()));  // still empty
}

#if !defined(_WIN32)  // A second user racing the restore: fork and setuid.

// Root restores into a folder an ordinary user owns, while that user
// swaps a folder the entries go into with a link to a folder outside the
// target, as fast as it can. Whatever the timing, nothing is created or
// changed outside the target: entries either land in the real folder
// (under whichever name it has) or are refused with 1921.
TEST_F(Safety, AFolderSwappedForALinkDuringTheRestoreTakesNothingOutside) {
  if (geteuid() != 0) GTEST_SKIP() << "racing as another user needs root";
  ASSERT_EQ(0, chmod(dir.path().c_str(), 0755));
  std::vector<StoredEntry> entries;
  std::string part;
  for (int i = 0; i < 200; ++i) {
    const std::string name = "d\\sub" + std::to_string(i % 4) + "\\f" + std::to_string(i);
    entries.push_back(DataAt(Entry(name, 0x20, 7), part.size()));
    part += LzoBlocks("payload");
  }
  WriteV5(entries, {part});

  FolderLinkRace race;
  const std::string setUp = race.Start(out);
  ASSERT_EQ("", setUp);
  unsigned long long restores = 0, restored = 0, refused = 0;
  const auto end = std::chrono::steady_clock::now() +
                   std::chrono::duration<double>(RaceSeconds());
  while (std::chrono::steady_clock::now() < end || restores < 2) {
    for (DWORD code : RestoreAll(out)) (code == 0 ? restored : refused) += 1;
    ++restores;
  }
  const FolderLinkRace::Result result = race.Finish();
  std::printf("race: %llu restores, %llu swaps, %llu entries restored, "
              "%llu refused, %d escapes\n",
              restores, result.swaps, restored, refused, result.escapes);
  EXPECT_TRUE(result.racerExited);
  EXPECT_GT(result.swaps, 0u);
  EXPECT_EQ(0, result.escapes) << "entries written outside the target";
  EXPECT_EQ(0, result.owned);
}
#endif

}  // namespace
