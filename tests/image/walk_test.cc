// SPDX-License-Identifier: GPL-2.0-or-later
// The walk: names, order, the items never entered, and the state of the
// current entry and the error holder.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "image/image_fixture.h"
#include "kvwin32.h"

namespace {

class WalkTest : public ImageTest {
 protected:
  void SetUp() override {
    ImageTest::SetUp();
    WriteBytes(source_ / "a.txt", "alpha");
    mkdir((source_ / "dir1").c_str(), 0755);
    WriteBytes(source_ / "dir1/f1.txt", "one");
    mkdir((source_ / "dir1/dir2").c_str(), 0755);
    WriteBytes(source_ / "dir1/dir2/f2.txt", "two");
    WriteBytes(source_ / "pagefile.sys", "paging");
    WriteBytes(source_ / "dir1/pagefile.sys", "not the system's");
    mkdir((source_ / "System Volume Information").c_str(), 0755);
    WriteBytes(source_ / "System Volume Information/inner.txt", "hidden");
    ASSERT_EQ(0, symlink("dir1", (source_ / "junction").c_str()));
  }
};

size_t IndexOf(const std::vector<std::string>& names, const std::string& n) {
  return static_cast<size_t>(std::find(names.begin(), names.end(), n) -
                             names.begin());
}

TEST_F(WalkTest, ListsEveryItemOnceWithFoldersBeforeTheirContents) {
  CKvMorvel m;
  OpenImage(m, Pack(source_.path()));
  const std::vector<std::string> names = ListAll(m);
  std::vector<std::string> sorted = names;
  std::sort(sorted.begin(), sorted.end());
  const std::vector<std::string> expected = {
      "System Volume Information", "a.txt", "dir1", "dir1\\dir2",
      "dir1\\dir2\\f2.txt", "dir1\\f1.txt", "dir1\\pagefile.sys",
      "junction", "pagefile.sys"};
  EXPECT_EQ(expected, sorted);
  EXPECT_LT(IndexOf(names, "dir1"), IndexOf(names, "dir1\\f1.txt"));
  EXPECT_LT(IndexOf(names, "dir1\\dir2"), IndexOf(names, "dir1\\dir2\\f2.txt"));
  EXPECT_TRUE(m.Close());
}

TEST_F(WalkTest, AJunctionIsAReparsePointFolderListedOnce) {
  CKvMorvel m;
  OpenImage(m, Pack(source_.path()));
  WCHAR name[260];
  int seen = 0;
  while (m.Info(0)) {
    m.GetFile(name, 260);
    if (N(name) == "junction") {
      ++seen;
      EXPECT_EQ(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT,
                m.GetAttributes() & (FILE_ATTRIBUTE_DIRECTORY |
                                     FILE_ATTRIBUTE_REPARSE_POINT));
    }
    EXPECT_NE(0u, N(name).rfind("junction\\", 0)) << N(name);
    m.Info(1);
  }
  EXPECT_EQ(1, seen);
  EXPECT_TRUE(m.Close());
}

TEST_F(WalkTest, InfoWithoutAdvanceLoadsTheSameItemAgain) {
  CKvMorvel m;
  OpenImage(m, Pack(source_.path()));
  WCHAR first[260], second[260], third[260];
  ASSERT_TRUE(m.Info(0));
  m.GetFile(first, 260);
  const LONGLONG length = m.GetLength64();
  ASSERT_TRUE(m.Info(0));
  m.GetFile(second, 260);
  EXPECT_EQ(N(first), N(second));
  EXPECT_EQ(length, m.GetLength64());
  ASSERT_TRUE(m.Info(1));
  m.GetFile(third, 260);
  EXPECT_EQ(N(first), N(third));
  ASSERT_TRUE(m.Info(0));
  m.GetFile(third, 260);
  EXPECT_NE(N(first), N(third));
  EXPECT_TRUE(m.Close());
}

TEST_F(WalkTest, TheCurrentEntryCarriesTheItemsSizeTimesAndAttributes) {
  CKvMorvel m;
  OpenImage(m, Pack(source_.path()));
  WCHAR name[260];
  bool found = false;
  while (m.Info(1)) {
    m.GetFile(name, 260);
    if (N(name) != "dir1\\dir2\\f2.txt") continue;
    found = true;
    WIN32_FILE_ATTRIBUTE_DATA onDrive;
    ASSERT_TRUE(GetFileAttributesExW(P(W("Z:\\dir1\\dir2\\f2.txt")),
                                     GetFileExInfoStandard, &onDrive));
    EXPECT_EQ(3, m.GetLength64());
    EXPECT_EQ(onDrive.dwFileAttributes, m.GetAttributes());
    EXPECT_EQ(onDrive.ftLastWriteTime.dwLowDateTime,
              m.GetLastWriteTime().dwLowDateTime);
    EXPECT_EQ(onDrive.ftCreationTime.dwHighDateTime,
              m.GetCreationTime().dwHighDateTime);
    WCHAR encrypted[260] = {'#', 0};
    m.GetEncryptedFileName(encrypted, 260);
    EXPECT_EQ(0, encrypted[0]);
  }
  EXPECT_TRUE(found);
  EXPECT_TRUE(m.Close());
}

TEST_F(WalkTest, AfterTheLastItemTheErrorHolderKeepsItsCode) {
  CKvMorvel m;
  OpenImage(m, Pack(source_.path()));
  ListAll(m);
  // Leave a known code, then step past the end again.
  PrimeStaleCodes(m);
  EXPECT_FALSE(m.Info(0));
  EXPECT_FALSE(m.Info(1));
  EXPECT_EQ(0x10000002u, m.GetErrorCode());
  EXPECT_TRUE(m.Close());
}

TEST_F(WalkTest, AnItemWhosePathExceedsTheLimitIsSteppedOver) {
  // Four folders of 50 characters and one of 40: "Z:\" and the folders
  // take 247 characters; a 9-character name fits, a 30-character one not.
  std::string relative;
  for (int i = 0; i < 5; ++i) {
    const std::string part(i < 4 ? 50 : 40, static_cast<char>('a' + i));
    relative += (relative.empty() ? "" : "/") + part;
    mkdir((source_ / relative).c_str(), 0755);
  }
  WriteBytes(source_ / (relative + "/short.txt"), "fits");
  WriteBytes(source_ / (relative + "/a-name-too-long-for-the-path.txt"), "x");
  LogCapture log;
  CKvMorvel m;
  OpenImage(m, Pack(source_.path()));
  const std::vector<std::string> names = ListAll(m);
  const std::string fits = Backslashed(relative + "/short.txt");
  EXPECT_NE(names.end(), std::find(names.begin(), names.end(), fits));
  for (const std::string& n : names) EXPECT_LT(n.size(), 257u) << n;
  EXPECT_TRUE(log.Has(CKvLog::kError, "Path too long, item skipped: "
                                      "a-name-too-long-for-the-path.txt"));
  EXPECT_TRUE(m.Close());
}

TEST_F(WalkTest, LinksAndNamesThatLeadBackAreListedButNeverEntered) {
  CKvMorvel m;
  OpenImage(m, Build({{"w", 'd'},
                      {"w/d", 'd'},
                      {"w/d/f.txt", 'f', "x"},
                      {"w/d/up", 'l', ".."},
                      {"w/loop", 'l', "."}}));
  // What another mount library could leave: folders whose one Linux name,
  // read with "\" as a separator, leads through the link "loop" back to
  // "w" (and so on without end) or to "d". The root is listed at Open;
  // "w" only when the walk enters it.
  const std::string tree = MountedFolder('z');
  ASSERT_FALSE(tree.empty());
  ASSERT_EQ(0, mkdir((tree + "/w/loop\\loop").c_str(), 0755));
  ASSERT_EQ(0, mkdir((tree + "/w/loop\\d").c_str(), 0755));
  std::vector<std::string> names = ListAll(m);
  std::sort(names.begin(), names.end());
  const std::vector<std::string> expected = {
      "w",         "w\\d",       "w\\d\\f.txt", "w\\d\\up",
      "w\\loop",   "w\\loop\\d", "w\\loop\\loop"};
  EXPECT_EQ(expected, names);
  EXPECT_TRUE(m.Close());
}

}  // namespace
