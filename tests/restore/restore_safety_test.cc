// SPDX-License-Identifier: GPL-2.0-or-later
// A restore never writes outside its target: names that climb out of it,
// rooted or drive-qualified names, names that name the target itself, a
// target that is a link, and links on the way are refused.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#if !defined(_WIN32)
#include <sys/xattr.h>
#endif

#include <vector>

#include "KvMorvelHost.h"
#include "restore/restore_fixture.h"

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

TEST_F(Safety, EmptyTargetAndOverlongPathAreRefused) {
  EXPECT_EQ(Codes{87}, RestoreFiles({"f"}, ""));
  // 1024 characters without the terminator: one too many.
  const std::string deep = out + "\\" + std::string(1016 - out.size(), 'n');
  EXPECT_EQ(Codes{122}, RestoreFiles({"deep\\f"}, deep));
  EXPECT_EQ(0, rmdir(out.c_str()));  // still empty
}

}  // namespace
