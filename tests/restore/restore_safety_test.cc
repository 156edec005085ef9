// A restore never writes outside its target: names that climb out of it,
// rooted or drive-qualified names, and links on the way are refused.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "restore/restore_fixture.h"

namespace {

struct Safety : ::testing::Test {
  TempDir dir;
  Probe arc;
  std::string out = dir / "out";
  void SetUp() override {
    arc.UseV5(dir / "arc.mvr");
    WriteBytes(dir / "arc_0001.mvr", LzoBlocks("payload"));
    mkdir(out.c_str(), 0755);
  }
  BOOL Restore(const std::string& name, const std::string& target) {
    arc.m_entries5.clear();
    arc.AddEntry5(name, 0x20, 7);
    arc.m_currentIndex = 0;
    return arc.MorvelExtractFile5(P(W(target)), 0);
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
                           "a/../../escaped.txt", "a\\...\\escaped.txt"}) {
    EXPECT_FALSE(Restore(name, out)) << name;
    EXPECT_EQ(123u, arc.GetErrorCode()) << name;
  }
  EXPECT_FALSE(Exists(dir / "escaped.txt"));
  EXPECT_FALSE(Exists(dir / "a"));
}

TEST_F(Safety, RootedAndDriveQualifiedNamesAreRefused) {
  for (const char* name : {"\\etc\\x", "/x", "C:\\x", "c:x"}) {
    EXPECT_FALSE(Restore(name, out)) << name;
    EXPECT_EQ(123u, arc.GetErrorCode()) << name;
  }
  EXPECT_TRUE(Restore("dots..in..name", out));  // not a parent component
}

TEST_F(Safety, LinkOnThePathIsNotWrittenThrough) {
  TempDir elsewhere;
  ASSERT_EQ(0, symlink(elsewhere.path().c_str(), (out + "/lnk").c_str()));
  WriteThrough("lnk\\probe.txt");  // the link leads outside
  ASSERT_TRUE(Exists(elsewhere / "probe.txt"));
  EXPECT_FALSE(Restore("lnk\\f.txt", out));
  EXPECT_EQ(1921u, arc.GetErrorCode());
  EXPECT_FALSE(Exists(elsewhere / "f.txt"));
}

TEST_F(Safety, LinkAtTheEntryPathIsReplacedNotFollowed) {
  WriteBytes(dir / "victim.txt", "victim");
  ASSERT_EQ(0, symlink((dir / "victim.txt").c_str(), (out + "/f").c_str()));
  ASSERT_TRUE(Restore("f", out)) << arc.GetErrorCode();
  EXPECT_EQ("victim", ReadBytes(dir / "victim.txt"));
  struct stat st;
  ASSERT_EQ(0, lstat((out + "/f").c_str(), &st));
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ("payload", ReadBytes(out + "/f"));
}

TEST_F(Safety, EmptyTargetAndOverlongPathAreRefused) {
  EXPECT_FALSE(Restore("f", ""));
  EXPECT_EQ(87u, arc.GetErrorCode());
  // 1024 characters without the terminator: one too many.
  const std::string deep = out + "\\" + std::string(1016 - out.size(), 'n');
  EXPECT_FALSE(Restore("deep\\f", deep));
  EXPECT_EQ(122u, arc.GetErrorCode());
  EXPECT_EQ(0, rmdir(out.c_str()));  // still empty
}

}  // namespace
