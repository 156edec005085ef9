// SPDX-License-Identifier: GPL-2.0-or-later
// Copying items out of a mounted image: the names never copied, encrypted
// files, target paths, junctions and links.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <cstdio>
#include <new>

#if !defined(_WIN32)
#include <sys/mman.h>
#include <sys/wait.h>
#endif

#include "KvSystem.h"
#include "image/image_fixture.h"
#include "kvwin32.h"
#include "support/link_race.h"

namespace {

class CopyTest : public ImageTest {
 protected:
  // Steps the walk to the item named `name` (loaded with Info(0)).
  bool SeekTo(CKvMorvel& m, const std::string& name) {
    WCHAR current[260];
    while (m.Info(0)) {
      m.GetFile(current, 260);
      if (N(current) == name) return true;
      m.Info(1);
    }
    return false;
  }
  std::u16string Target() const { return target_.W("", '\\'); }
};

TEST_F(CopyTest, PagefileInTheRootIsListedButNotCopiedOneInAFolderIs) {
  WriteBytes(source_ / "pagefile.sys", "paging");
  mkdir((source_ / "dir").c_str(), 0755);
  WriteBytes(source_ / "dir/pagefile.sys", "ordinary");
  CKvMorvel m;
  OpenImage(m, Pack(source_.path()));
  EXPECT_EQ(std::vector<std::string>{}, ExtractAll(m, Target()));
  EXPECT_FALSE(Exists(target_ / "pagefile.sys"));
  EXPECT_EQ("ordinary", ReadBytes(target_ / "dir/pagefile.sys"));
  EXPECT_TRUE(m.Close());
}

TEST_F(CopyTest, TheOtherSystemNamesAreNotCopiedWhateverTheirCase) {
  WriteBytes(source_ / "HIBERFIL.SYS", "h");
  WriteBytes(source_ / "teph.dav", "t");
  mkdir((source_ / "system volume information").c_str(), 0755);
  WriteBytes(source_ / "system volume information/x", "x");
  WriteBytes(source_ / "kept.txt", "k");
  CKvMorvel m;
  OpenImage(m, Pack(source_.path()));
  EXPECT_EQ(std::vector<std::string>{}, ExtractAll(m, Target()));
  EXPECT_FALSE(Exists(target_ / "HIBERFIL.SYS"));
  EXPECT_FALSE(Exists(target_ / "teph.dav"));
  EXPECT_FALSE(Exists(target_ / "system volume information"));
  EXPECT_EQ("k", ReadBytes(target_ / "kept.txt"));
  EXPECT_TRUE(m.Close());
}

TEST_F(CopyTest, AnEncryptedFileIsListedAndCopiedAsSuccessWithoutData) {
  WriteBytes(source_ / "secret.bin", "ciphertext");
  ASSERT_TRUE(SetFileAttributesW(P(source_.W("secret.bin")),
                                 FILE_ATTRIBUTE_ENCRYPTED |
                                     FILE_ATTRIBUTE_ARCHIVE));
  CKvMorvel m;
  OpenImage(m, Pack(source_.path()));
  ASSERT_TRUE(SeekTo(m, "secret.bin"));
  EXPECT_TRUE(m.GetAttributes() & FILE_ATTRIBUTE_ENCRYPTED);
  PrimeStaleCodes(m);
  EXPECT_TRUE(m.ExtractFile(P(Target()), 0));
  EXPECT_EQ(0u, m.GetErrorCode());
  EXPECT_FALSE(Exists(target_ / "secret.bin"));
  EXPECT_TRUE(m.Close());
}

// A folder item whose path in the target holds a file, and a file item
// whose path holds a folder, fail with 183 and leave what is there as it
// was: bytes, mode, times and attributes.
TEST_F(CopyTest, AnItemMeetingAnObjectOfAnotherKindLeavesItAsItWas) {
  mkdir((source_ / "sub").c_str(), 0755);
  WriteBytes(source_ / "sub/inner.txt", "inner");
  WriteBytes(source_ / "f", "item");
  WriteBytes(target_ / "sub", "the user's file");
  mkdir((target_ / "f").c_str(), 0750);
  for (const char* name : {"sub", "f"}) {
    ASSERT_TRUE(SetFileAttributesW(P(target_.W(name)), FILE_ATTRIBUTE_HIDDEN));
    const struct timespec old[2] = {{1000000, 5}, {2000000, 7}};
    ASSERT_EQ(0, utimensat(AT_FDCWD, (target_ / name).c_str(), old, 0));
  }
  struct stat fileBefore, folderBefore, after;
  ASSERT_EQ(0, stat((target_ / "sub").c_str(), &fileBefore));
  ASSERT_EQ(0, stat((target_ / "f").c_str(), &folderBefore));
  CKvMorvel m;
  OpenImage(m, Pack(source_.path()));
  std::vector<std::string> failed = ExtractAll(m, Target());
  std::sort(failed.begin(), failed.end());
  EXPECT_EQ((std::vector<std::string>{"f (183)", "sub (183)", "sub\\inner.txt (3)"}),
            failed);
  EXPECT_EQ("the user's file", ReadBytes(target_ / "sub"));
  ASSERT_EQ(0, stat((target_ / "sub").c_str(), &after));
  EXPECT_EQ(fileBefore.st_ctim.tv_nsec, after.st_ctim.tv_nsec);  // untouched
  EXPECT_EQ(fileBefore.st_mtim.tv_sec, after.st_mtim.tv_sec);
  EXPECT_EQ(fileBefore.st_mode, after.st_mode);
  ASSERT_EQ(0, stat((target_ / "f").c_str(), &after));
  EXPECT_EQ(folderBefore.st_ctim.tv_nsec, after.st_ctim.tv_nsec);
  EXPECT_EQ(folderBefore.st_mode, after.st_mode);
  EXPECT_TRUE(GetFileAttributesW(P(target_.W("sub"))) & FILE_ATTRIBUTE_HIDDEN);
  EXPECT_TRUE(GetFileAttributesW(P(target_.W("f"))) & FILE_ATTRIBUTE_HIDDEN);
  EXPECT_TRUE(m.Close());
}

// The image copy takes the host's restore options as the archives do:
// what is at an item's path stays when asked, and each copy says what it
// did there.
TEST_F(CopyTest, KeepOptionsLeaveWhatIsThereAndTheOutcomeSaysSo) {
  WriteBytes(source_ / "old", "from the image");
  WriteBytes(source_ / "new", "from the image");
  WriteBytes(source_ / "fresh", "from the image");
  const struct timespec stored[2] = {{1500000000, 0}, {1500000000, 0}};
  for (const char* name : {"old", "new"})
    ASSERT_EQ(0, utimensat(AT_FDCWD, (source_ / name).c_str(), stored, 0));
  WriteBytes(target_ / "old", "older local copy");
  WriteBytes(target_ / "new", "newer local work");
  const struct timespec older[2] = {{1000000000, 0}, {1000000000, 0}};
  const struct timespec newer[2] = {{2000000000, 0}, {2000000000, 0}};
  ASSERT_EQ(0, utimensat(AT_FDCWD, (target_ / "old").c_str(), older, 0));
  ASSERT_EQ(0, utimensat(AT_FDCWD, (target_ / "new").c_str(), newer, 0));
  CKvMorvel m;
  OpenImage(m, Pack(source_.path()));
  EXPECT_EQ(0u, m.GetRestoreOptions());
  m.SetRestoreOptions(KV_RESTORE_KEEP_NEWER);
  std::map<std::string, DWORD> outcome;
  while (m.Info(0)) {
    WCHAR name[260];
    m.GetFile(name, 260);
    EXPECT_TRUE(m.ExtractFile(P(Target()), 0)) << N(name) << " " << m.GetErrorCode();
    outcome[N(name)] = m.GetRestoreOutcome();
    m.Info(1);
  }
  EXPECT_EQ(KV_RESTORED_REPLACED, outcome["old"]);
  EXPECT_EQ(KV_RESTORED_KEPT, outcome["new"]);
  EXPECT_EQ(KV_RESTORED_CREATED, outcome["fresh"]);
  EXPECT_EQ("from the image", ReadBytes(target_ / "old"));
  EXPECT_EQ("newer local work", ReadBytes(target_ / "new"));
  EXPECT_EQ("from the image", ReadBytes(target_ / "fresh"));
  // A failed copy says nothing was done.
  EXPECT_FALSE(m.ExtractFile(nullptr, 0));
  EXPECT_EQ(KV_RESTORED_NOTHING, m.GetRestoreOutcome());
  EXPECT_TRUE(m.Close());
}

TEST_F(CopyTest, ATargetWithOrWithoutATrailingSeparatorGivesTheSamePath) {
  WriteBytes(source_ / "a.txt", "alpha");
  // A target of 253 characters: with one separator the path "...\a.txt"
  // has 259 characters and fits; a doubled separator would not.
  std::string folder = target_.path();
  folder += "/" + std::string(253 - folder.size() - 1, 'd');
  ASSERT_EQ(253u, folder.size());
  ASSERT_EQ(0, mkdir(folder.c_str(), 0755));
  CKvMorvel m;
  OpenImage(m, Pack(source_.path()));
  ASSERT_TRUE(SeekTo(m, "a.txt"));
  EXPECT_TRUE(m.ExtractFile(P(W(folder)), 0)) << m.GetErrorCode();
  EXPECT_EQ("alpha", ReadBytes(folder + "/a.txt"));
  unlink((folder + "/a.txt").c_str());
  EXPECT_TRUE(m.ExtractFile(P(W(folder + "\\")), 0)) << m.GetErrorCode();
  EXPECT_EQ("alpha", ReadBytes(folder + "/a.txt"));
  // One character more does not fit, and nothing is written.
  PrimeStaleCodes(m);
  EXPECT_FALSE(m.ExtractFile(P(W(folder + "e")), 0));
  EXPECT_EQ(122u, m.GetErrorCode());
  EXPECT_TRUE(m.Close());
}

TEST_F(CopyTest, AJunctionIsRestoredAsAFolderWithTheSameReparseData) {
  mkdir((source_ / "dir1").c_str(), 0755);
  WriteBytes(source_ / "dir1/f.txt", "f");
  ASSERT_EQ(0, symlink("dir1", (source_ / "junction").c_str()));
  LogCapture log;
  CKvMorvel m;
  OpenImage(m, Pack(source_.path()));
  EXPECT_EQ(std::vector<std::string>{}, ExtractAll(m, Target()));
  const std::string onImage = ReparseData(W("Z:\\junction"));
  const std::string restored = ReparseData(target_.W("junction", '\\'));
  EXPECT_GT(onImage.size(), 8u);
  EXPECT_EQ(onImage, restored);
  WIN32_FILE_ATTRIBUTE_DATA data;
  ASSERT_TRUE(GetFileAttributesExW(P(target_.W("junction")),
                                   GetFileExInfoStandard, &data));
  EXPECT_EQ(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT,
            data.dwFileAttributes &
                (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));
  EXPECT_TRUE(log.HasPrefix(CKvLog::kInfo, "Create Link: ") ||
              log.Has(CKvLog::kInfo, "No link found"));
  EXPECT_TRUE(m.Close());
}

TEST_F(CopyTest, AJunctionsFolderIsMadeOnlyInsideTheRestoreTarget) {
  // The junction names a folder the copy never makes itself, so only the
  // junction's restore can create it. A junction names an absolute path:
  // the link names its folder by drive Q (a relative link would be copied
  // as a relative symbolic link, with no folder to make).
  mkdir((source_ / "System Volume Information").c_str(), 0755);
  mkdir((source_ / "System Volume Information/x").c_str(), 0755);
  ASSERT_EQ(0, symlink((source_ / "System Volume Information/x").c_str(),
                       (source_ / "j").c_str()));
  const std::string image = Pack(source_.path());
  devices_.Map('q', source_.path());
  devices_.Map('r', target_.path());
  mkdir((target_ / "sub").c_str(), 0755);
  for (const char* target : {"R:\\sub", "R:\\"}) {
    SCOPED_TRACE(target);
    LogCapture log;
    CKvMorvel m;
    OpenImage(m, image);
    ASSERT_TRUE(SeekTo(m, "j"));
    EXPECT_TRUE(m.ExtractFile(P(W(target)), 0)) << m.GetErrorCode();
    EXPECT_TRUE(log.Has(CKvLog::kInfo,
                        "Create Link: R:\\System Volume Information\\x"));
    EXPECT_TRUE(m.Close());
    // For the target R:\sub the named folder lies outside it: not made.
    EXPECT_EQ(std::string(target) == "R:\\",
              Exists(target_ / "System Volume Information/x"));
  }
  EXPECT_FALSE(Exists(target_ / "sub/System Volume Information"));
}

TEST_F(CopyTest, ALinkToAFileIsRestoredAsALinkNotAsTheFileItNames) {
  TempDir outside;
  WriteBytes(outside / "private.txt", "not in the image");
  const std::vector<TarItem> items = {
      {"leak", 'l', outside / "private.txt"}};
  CKvMorvel m;
  OpenImage(m, Build(items));
  ASSERT_TRUE(SeekTo(m, "leak"));
  EXPECT_TRUE(m.GetAttributes() & FILE_ATTRIBUTE_REPARSE_POINT);
  EXPECT_TRUE(m.ExtractFile(P(Target()), 0)) << m.GetErrorCode();
  struct stat st;
  ASSERT_EQ(0, lstat((target_ / "leak").c_str(), &st));
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(ReparseData(W("Z:\\leak")), ReparseData(target_.W("leak", '\\')));
  EXPECT_TRUE(m.Close());
}

bool IsLink(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

TEST_F(CopyTest, ANameHoldingABackslashNeverReachesThroughALinkCopiedBefore) {
  TempDir outside;
  const std::string outsideName =
      outside.path().substr(outside.path().rfind('/') + 1);
  // The link by an absolute path, and by a relative one that leads from
  // the copy's folder (target\s, the target a sibling of `outside` in
  // /tmp) to `outside`.
  for (const std::string& linkText :
       {outside.path(), "../../" + outsideName}) {
    SCOPED_TRACE(linkText);
    WriteBytes(outside / "victim.txt", "precious");
    TempDir target;
    CKvMorvel m;
    OpenImage(m, Build({{"s", 'd'},
                        {"s/j", 'l', linkText},
                        {"s/plain.txt", 'f', "ok"}}));
    // Our mount library refuses such a name; another may leave it. The
    // folder "s" is listed only when the walk enters it.
    const std::string tree = MountedFolder('z');
    ASSERT_FALSE(tree.empty());
    WriteBytes(tree + "/s/j\\victim.txt", "attacker bytes");
    // "j" comes first: the link is copied, then the name through it.
    const std::vector<std::string> failed =
        ExtractAll(m, target.W("", '\\'));
    EXPECT_EQ(std::vector<std::string>{"s\\j\\victim.txt (123)"}, failed);
    EXPECT_TRUE(IsLink(target / "s/j"));
    EXPECT_EQ("ok", ReadBytes(target / "s/plain.txt"));
    EXPECT_EQ("precious", ReadBytes(outside / "victim.txt"));
    EXPECT_TRUE(m.Close());
  }
}

TEST_F(CopyTest, ALinkFoundInTheTargetIsNeverWrittenThrough) {
  TempDir outside;
  mkdir((source_ / "d").c_str(), 0755);
  WriteBytes(source_ / "d/f.txt", "inside");
  const std::string image = Pack(source_.path());
  ASSERT_EQ(0, symlink(outside.path().c_str(), (target_ / "d").c_str()));
  ASSERT_EQ(0, symlink(outside.path().c_str(), (target_ / "t").c_str()));
  CKvMorvel m;
  OpenImage(m, image);
  ASSERT_TRUE(SeekTo(m, "d\\f.txt"));
  // Through a link on the way, and into a target that is a link.
  PrimeStaleCodes(m);
  EXPECT_FALSE(m.ExtractFile(P(Target()), 0));
  EXPECT_EQ(1921u, m.GetErrorCode());
  PrimeStaleCodes(m);
  EXPECT_FALSE(m.ExtractFile(P(target_.W("t", '\\')), 0));
  EXPECT_EQ(1921u, m.GetErrorCode());
  EXPECT_FALSE(Exists(outside / "f.txt"));
  EXPECT_FALSE(Exists(outside / "d"));
  EXPECT_TRUE(m.Close());
}

#if !defined(_WIN32)  // A second user racing the copy: fork and setuid.
// Root copies an image into a folder an ordinary user owns, while that
// user swaps a folder the items go into with a link to a folder outside
// the target, as fast as it can. Whatever the timing, nothing is made
// outside the target: items land in the real folder (under whichever
// name it has) or are refused with 1921.
TEST_F(CopyTest, AFolderSwappedForALinkDuringTheCopyTakesNothingOutside) {
  if (geteuid() != 0) GTEST_SKIP() << "racing as another user needs root";
  for (int i = 0; i < 200; ++i) {
    const std::string sub = source_ / ("d/sub" + std::to_string(i % 4));
    mkdir((source_ / "d").c_str(), 0755);
    mkdir(sub.c_str(), 0755);
    WriteBytes(sub + "/f" + std::to_string(i), "payload");
  }
  const std::string image = Pack(source_.path());
  const std::string out = target_.path();
  ASSERT_EQ(0, chmod(out.c_str(), 0755));
  FolderLinkRace race;
  const std::string setUp = race.Start(out);
  ASSERT_EQ("", setUp);
  unsigned long long passes = 0, copied = 0, refused = 0;
  const auto end = std::chrono::steady_clock::now() +
                   std::chrono::duration<double>(RaceSeconds());
  while (std::chrono::steady_clock::now() < end || passes < 2) {
    CKvMorvel m;
    OpenImage(m, image);
    WCHAR name[260];
    while (m.Info(0)) {
      m.GetFile(name, 260);
      // The folder "d" itself is left out: its copy would replace the
      // link found at its name and end the race.
      if (N(name) != "d") (m.ExtractFile(P(Target()), 0) ? copied : refused) += 1;
      m.Info(1);
    }
    EXPECT_TRUE(m.Close());
    ++passes;
  }
  const FolderLinkRace::Result result = race.Finish();
  std::printf("race: %llu copies, %llu swaps, %llu items copied, "
              "%llu refused, %d escapes\n",
              passes, result.swaps, copied, refused, result.escapes);
  EXPECT_TRUE(result.racerExited);
  EXPECT_GT(result.swaps, 0u);
  EXPECT_EQ(0, result.escapes) << "items written outside the target";
  EXPECT_EQ(0, result.owned);
}
#endif

TEST_F(CopyTest, ASparseFileIsCopiedOutSparse) {
  // A small image holding a file of 64 MiB whose first 64 MiB less one
  // byte are a hole.
  TarItem item("sparse.bin", 'f', "x");
  item.holeBefore = (64u << 20) - 1;
  const std::string image = Build({item});
  struct stat st;
  ASSERT_EQ(0, stat(image.c_str(), &st));
  ASSERT_LT(st.st_size, 1 << 20);
  CKvMorvel m;
  OpenImage(m, image);
  ASSERT_TRUE(SeekTo(m, "sparse.bin"));
  ASSERT_TRUE(m.ExtractFile(P(Target()), 0)) << m.GetErrorCode();
  ASSERT_EQ(0, stat((target_ / "sparse.bin").c_str(), &st));
  EXPECT_EQ(64 << 20, st.st_size);
  EXPECT_LT(st.st_blocks * 512, 1 << 20);  // far below the size
  EXPECT_EQ(std::string(item.holeBefore, '\0') + "x",
            ReadBytes(target_ / "sparse.bin"));
  EXPECT_TRUE(m.Close());
}

TEST_F(CopyTest, PrivilegesAreLeftAsTheHostHadThem) {
  WriteBytes(source_ / "a.txt", "alpha");
  CKvSystem::SetPrivilege(TEXT("SeSecurityPrivilege"), TRUE);
  CKvSystem::SetPrivilege(TEXT("SeBackupPrivilege"), FALSE);
  CKvMorvel m;
  OpenImage(m, Pack(source_.path()));
  ASSERT_TRUE(m.Info(0));
  EXPECT_TRUE(m.ExtractFile(P(Target()), 0));
  EXPECT_TRUE(CKvSystem::IsPrivilegeEnabled(TEXT("SeSecurityPrivilege")));
  EXPECT_FALSE(CKvSystem::IsPrivilegeEnabled(TEXT("SeBackupPrivilege")));
  EXPECT_FALSE(CKvSystem::IsPrivilegeEnabled(TEXT("SeRestorePrivilege")));
  CKvSystem::SetPrivilege(TEXT("SeSecurityPrivilege"), FALSE);
  EXPECT_TRUE(m.Close());
}

TEST_F(CopyTest, ExtractWithoutAMountedImageOrTargetIsRefused) {
  WriteBytes(source_ / "a.txt", "alpha");
  CKvMorvel m;
  OpenImage(m, Pack(source_.path()));
  ASSERT_TRUE(m.Info(0));
  // The primed holder code is the one expected here: a refused copy of
  // the name into one character leaves 122 in its place.
  PrimeStaleCodes(m);
  WCHAR one[1];
  ASSERT_FALSE(m.GetFile(one, 1));
  ASSERT_EQ(122u, m.GetErrorCode());
  EXPECT_FALSE(m.ExtractFile(TEXT(""), 0));
  EXPECT_EQ(0x10000002u, m.GetErrorCode());
  EXPECT_TRUE(m.Close());
  PrimeStaleCodes(m);
  EXPECT_FALSE(m.ExtractFile(P(Target()), 0));
  EXPECT_EQ(0x10000405u, m.GetErrorCode());
  EXPECT_FALSE(Exists(target_ / "a.txt"));
}

// An image is only read. An open image holds no archive record, so an
// add is refused as one with no archive open (87) before the version is
// looked at; the image and its files are left as they were.
TEST_F(CopyTest, AddingToAnOpenImageIsRefused) {
  WriteBytes(source_ / "a.txt", "alpha");
  const std::string image = Pack(source_.path());
  const std::string before = ReadBytes(image);
  CKvMorvel m;
  OpenImage(m, image);
  PrimeStaleCodes(m);
  EXPECT_FALSE(m.AddFile(P(W(source_ / "a.txt")), P(W("b.txt")), nullptr, 0));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, m.GetErrorCode());
  EXPECT_EQ(std::vector<std::string>{"a.txt"}, ListAll(m));
  EXPECT_TRUE(m.Close());
  EXPECT_EQ(before, ReadBytes(image));
}

// An image's items have no stored data to stream: ReadEntryData refuses
// with E_NOTIMPL and gives the sink nothing; the item is still listed.
DWORD CountBytes(void* context, const BYTE*, DWORD size) {
  *static_cast<unsigned long long*>(context) += size;
  return 0;
}

TEST_F(CopyTest, StreamingAnImageItemIsRefused) {
  WriteBytes(source_ / "a.txt", "alpha");
  CKvMorvel m;
  OpenImage(m, Pack(source_.path()));
  ASSERT_TRUE(m.Info(0));
  unsigned long long streamed = 0;
  EXPECT_FALSE(m.ReadEntryData(CountBytes, &streamed));
  EXPECT_EQ(static_cast<DWORD>(E_NOTIMPL), m.GetErrorCode());
  EXPECT_EQ(0u, streamed);
  EXPECT_EQ(std::vector<std::string>{"a.txt"}, ListAll(m));
  EXPECT_TRUE(m.Close());
}

}  // namespace
