// A restore never writes outside its target: names that climb out of it,
// rooted or drive-qualified names, names that name the target itself, a
// target that is a link, and links on the way are refused.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "restore/restore_fixture.h"

namespace {

struct Safety : Restoring {
  void SetUp() override { mkdir(out.c_str(), 0755); }
  // Restores a file entry named `name` from a version 5 archive into
  // `target`; the error code, 0 on success.
  DWORD RestoreAs(const std::string& name, const std::string& target) {
    WriteV5({Entry(name, 0x20, 7)}, {LzoBlocks("payload")});
    return RestoreCode(0, target);
  }
  // Restores a folder entry carrying `buffer` as its reparse record from a
  // version 5 or 2 archive into `out`; the error code, 0 on success.
  DWORD RestoreLink(int version, const std::string& name,
                    const std::string& buffer) {
    const std::string record = ReparseRecord(buffer);
    if (version == 5)
      WriteV5({Reparse(name, record.size())}, {record});
    else
      WriteV1OrV2(2, {Reparse(name, record.size())}, record);
    return RestoreCode(0, out);
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
  for (const char* name : {"..\\escaped.txt", "a\\..\\..\\escaped.txt",
                           "a/../../escaped.txt", "a\\...\\escaped.txt"})
    EXPECT_EQ(123u, RestoreAs(name, out)) << name;
  EXPECT_FALSE(Exists(dir / "escaped.txt"));
  EXPECT_FALSE(Exists(dir / "a"));
}

TEST_F(Safety, RootedAndDriveQualifiedNamesAreRefused) {
  for (const char* name : {"\\etc\\x", "/x", "C:\\x", "c:x"})
    EXPECT_EQ(123u, RestoreAs(name, out)) << name;
  EXPECT_EQ(0u, RestoreAs("dots..in..name", out));  // not a parent component
}

TEST_F(Safety, LinkOnThePathIsNotWrittenThrough) {
  TempDir elsewhere;
  ASSERT_EQ(0, symlink(elsewhere.path().c_str(), (out + "/lnk").c_str()));
  WriteThrough("lnk\\probe.txt");  // the link leads outside
  ASSERT_TRUE(Exists(elsewhere / "probe.txt"));
  EXPECT_EQ(1921u, RestoreAs("lnk\\f.txt", out));
  EXPECT_FALSE(Exists(elsewhere / "f.txt"));
}

TEST_F(Safety, LinkAtTheEntryPathIsReplacedNotFollowed) {
  WriteBytes(dir / "victim.txt", "victim");
  ASSERT_EQ(0, symlink((dir / "victim.txt").c_str(), (out + "/f").c_str()));
  ASSERT_EQ(0u, RestoreAs("f", out));
  EXPECT_EQ("victim", ReadBytes(dir / "victim.txt"));
  struct stat st;
  ASSERT_EQ(0, lstat((out + "/f").c_str(), &st));
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ("payload", ReadBytes(out + "/f"));
}

TEST_F(Safety, NoEntryNamesTheTargetItselfOrAFolderAboveAnother) {
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
      ASSERT_EQ(0u, RestoreLink(version, "j", link));
      ASSERT_TRUE(IsLink(out + "/j"));
      ASSERT_EQ(0, unlink((out + "/j").c_str()));
      for (const std::string& name : targetNames) {
        EXPECT_EQ(123u, RestoreLink(version, name, link)) << "[" << name << "]";
        EXPECT_FALSE(IsLink(out)) << name;
      }
      ASSERT_EQ(0, mkdir((out + "/a").c_str(), 0755));
      for (const std::string& name : folderNames) {
        EXPECT_EQ(123u, RestoreLink(version, name, link)) << "[" << name << "]";
        EXPECT_FALSE(IsLink(out + "/a")) << name;
        EXPECT_FALSE(Exists(out + "/a/b")) << name;
      }
      ASSERT_EQ(0, rmdir((out + "/a").c_str()));
    }
  }
  // Later entries still land in the target, not in the folder linked.
  ASSERT_EQ(0u, RestoreAs("after.txt", out));
  ASSERT_EQ(0u, RestoreAs("a\\f.txt", out));
  EXPECT_EQ("payload", ReadBytes(out + "/after.txt"));
  EXPECT_EQ("payload", ReadBytes(out + "/a/f.txt"));
  EXPECT_FALSE(Exists(outside / "after.txt"));
  EXPECT_FALSE(Exists(outside / "f.txt"));
  EXPECT_FALSE(Exists(outside / "b"));
}

TEST_F(Safety, ATargetThatIsALinkIsNotWrittenThrough) {
  TempDir elsewhere;
  const std::string linked = dir / "linked";
  ASSERT_EQ(0, symlink(elsewhere.path().c_str(), linked.c_str()));
  for (const std::string& target : {linked, linked + "\\", linked + "/"}) {
    EXPECT_EQ(1921u, RestoreAs("f.txt", target)) << target;
    EXPECT_EQ(1921u, RestoreAs("sub\\f.txt", target)) << target;
  }
  EXPECT_FALSE(Exists(elsewhere / "f.txt"));
  EXPECT_FALSE(Exists(elsewhere / "sub"));
  EXPECT_TRUE(IsLink(linked));
}

TEST_F(Safety, EmptyTargetAndOverlongPathAreRefused) {
  EXPECT_EQ(87u, RestoreAs("f", ""));
  // 1024 characters without the terminator: one too many.
  const std::string deep = out + "\\" + std::string(1016 - out.size(), 'n');
  EXPECT_EQ(122u, RestoreAs("deep\\f", deep));
  EXPECT_EQ(0, rmdir(out.c_str()));  // still empty
}

}  // namespace
