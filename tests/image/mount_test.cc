// SPDX-License-Identifier: GPL-2.0-or-later
// Mounting: drive letters, the mount library, empty and bad images,
// unmounting, and the node path of the walk.
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include "archive/codes.h"
#include "image/image_fixture.h"
#include "kvwin32.h"

namespace {

std::string Drive(CKvMorvel& image) {
  WCHAR drive[260] = {'?', 0};
  EXPECT_TRUE(image.GetMountedDrive(drive, 260));
  return N(drive);
}

class MountTest : public ImageTest {
 protected:
  std::string SmallImage() {
    WriteBytes(source_ / "a.txt", "alpha");
    return Pack(source_.path());
  }
};

TEST_F(MountTest, EveryLetterInUseFailsWith15AndMountsNothing) {
  const std::string image = SmallImage();
  for (char c = 'c'; c <= 'z'; ++c) devices_.Map(c, source_.path());
  CKvMorvel m;
  PrimeStaleCodes(m);
  EXPECT_FALSE(m.Open(P(W(image)), TRUE, 0));
  EXPECT_EQ(15u, m.GetErrorCode());
  EXPECT_EQ("", Drive(m));
  EXPECT_TRUE(PrivateFolders().empty());
}

TEST_F(MountTest, WithOnlyDAndZFreeTheImageGoesToZ) {
  const std::string image = SmallImage();
  for (char c = 'c'; c <= 'y'; ++c)
    if (c != 'd') devices_.Map(c, source_.path());
  CKvMorvel m;
  OpenImage(m, image);
  EXPECT_EQ("Z:\\", Drive(m));
  EXPECT_TRUE(LetterMapped('z'));
  EXPECT_FALSE(LetterMapped('d'));
  // The image's files are reachable under the letter.
  WIN32_FILE_ATTRIBUTE_DATA data;
  EXPECT_TRUE(GetFileAttributesExW(P(W("Z:\\a.txt")), GetFileExInfoStandard,
                                   &data));
  EXPECT_EQ(5u, data.nFileSizeLow);
  EXPECT_TRUE(m.Close());
  EXPECT_FALSE(LetterMapped('z'));
  EXPECT_TRUE(PrivateFolders().empty());
}

// The mount library maps its letter in the folder the layer resolves
// letters through, wherever that folder comes from.
TEST_F(MountTest, TheLetterIsMappedWhereTheLayerLooksForIt) {
  const std::string image = SmallImage();
  TempDir home;
  EnvScope noFolder("KVMORVEL_DOSDEVICES", nullptr);
  EnvScope homeFolder("HOME", home.path().c_str());
  CKvMorvel m;
  OpenImage(m, image);
  const std::string drive = Drive(m);
  ASSERT_EQ(3u, drive.size());
  const std::string link = home / (".kvmorvel/dosdevices/" +
                                   std::string(1, char(drive[0] | 0x20)) + ":");
  EXPECT_TRUE(Exists(link));
  WIN32_FILE_ATTRIBUTE_DATA data;
  EXPECT_TRUE(GetFileAttributesExW(P(W(drive + "a.txt")),
                                   GetFileExInfoStandard, &data));
  EXPECT_EQ(5u, data.nFileSizeLow);
  EXPECT_TRUE(m.Close());
  EXPECT_FALSE(Exists(link));
}

TEST_F(MountTest, TheLibraryNeverTakesOverALetterInUse) {
  const std::string image = SmallImage();
  void* library =
      dlopen((ProgramFolder() + "/virtdisk.dll").c_str(), RTLD_NOW);
  ASSERT_NE(nullptr, library);
  auto mount = reinterpret_cast<int (*)(const char*, const char*, int)>(
      dlsym(library, "Mount"));
  auto unmount = reinterpret_cast<int (*)(const char*)>(
      dlsym(library, "UnMount"));
  ASSERT_TRUE(mount && unmount);
  TempDir mine;
  devices_.Map('y', mine.path());
  EXPECT_EQ(85, mount("Y:\\", image.c_str(), 1));
  EXPECT_EQ(15, unmount("Y:"));  // not an image this library mounted
  EXPECT_TRUE(Exists(mine.path()));
  EXPECT_EQ(87, mount("X:\\", image.c_str(), 0));
  EXPECT_EQ(87, mount("X:\\dir", image.c_str(), 1));
  EXPECT_TRUE(PrivateFolders().empty());
  EXPECT_EQ(0, mount("X:\\", image.c_str(), 1));
  EXPECT_EQ(0, unmount("X:"));
  EXPECT_EQ(15, unmount("X:"));
  dlclose(library);
  char target[4096];
  const ssize_t n = readlink((devices_.path() + "/y:").c_str(), target,
                             sizeof(target));
  EXPECT_EQ(mine.path(), std::string(target, n > 0 ? n : 0));
}

TEST_F(MountTest, ALetterLeftByAVanishedMountIsTakenAgain) {
  const std::string image = SmallImage();
  devices_.Map('z', mounts_ / "kvimage.gone00/tree");
  CKvMorvel m;
  OpenImage(m, image);
  EXPECT_EQ("Z:\\", Drive(m));
  EXPECT_TRUE(m.Close());
  EXPECT_FALSE(LetterMapped('z'));
}

// The library beside the program is loaded, never one left in the current
// folder (whose "Mount" would fail, and whose loading leaves a marker).
// Without any library, opening fails with 13: tests/tool covers that with
// a copy of the command that has none beside it.
TEST_F(MountTest, ALibraryPlantedInTheCurrentFolderIsNeverLoaded) {
  const std::string image = SmallImage();
  PlantLibrary(work_.path());
  CKvMorvel m;
  OpenImage(m, image);
  EXPECT_EQ(std::vector<std::string>{"a.txt"}, ListAll(m));
  EXPECT_TRUE(m.Close());
  EXPECT_FALSE(Exists(work_ / kPlantedMarker));
}

// Open on an object with a mounted image is refused with 0x10000204:
// the image stays mounted on its letter and walks on, and no second
// image is mounted.
TEST_F(MountTest, OpenWhileAnImageIsMountedIsRefusedAndTheImageStays) {
  const std::string image = SmallImage();
  CKvMorvel m;
  OpenImage(m, image);
  EXPECT_EQ("Z:\\", Drive(m));
  EXPECT_FALSE(m.Open(P(W(image)), TRUE, 0));
  EXPECT_EQ(kErrorAlreadyOpen, m.GetErrorCode());
  EXPECT_FALSE(m.Open(P(W(work_ / "new.kvm")), FALSE, 5));
  EXPECT_EQ(kErrorAlreadyOpen, m.GetErrorCode());
  EXPECT_FALSE(Exists(work_ / "new.kvm"));
  EXPECT_EQ("Z:\\", Drive(m));
  EXPECT_FALSE(LetterMapped('y'));
  EXPECT_EQ(std::vector<std::string>{"a.txt"}, ListAll(m));
  EXPECT_TRUE(m.Close());
  EXPECT_FALSE(LetterMapped('z'));
  EXPECT_TRUE(PrivateFolders().empty());
}

TEST_F(MountTest, AnEmptyImageOpensWithAnExhaustedWalk) {
  const std::string image = Pack(source_.path());
  CKvMorvel m;
  PrimeStaleCodes(m);
  OpenImage(m, image);
  EXPECT_EQ(0u, m.GetErrorCode());
  EXPECT_FALSE(m.Info(0));
  EXPECT_FALSE(m.Info(1));
  EXPECT_TRUE(m.Close());
}

TEST_F(MountTest, CloseAfterTheUnmountSucceedsWithNotMounted) {
  const std::string image = SmallImage();
  CKvMorvel m;
  OpenImage(m, image);
  PrimeStaleCodes(m);
  EXPECT_TRUE(m.Close());
  EXPECT_EQ(0u, m.GetErrorCode());
  EXPECT_FALSE(LetterMapped('z'));
  EXPECT_TRUE(PrivateFolders().empty());
  PrimeStaleCodes(m);
  EXPECT_TRUE(m.Close());
  EXPECT_EQ(kErrorNotMounted, m.GetErrorCode());
  // The drive string keeps the last mount point.
  EXPECT_EQ("Z:\\", Drive(m));
}

TEST_F(MountTest, AFailedUnmountKeepsTheImageMountedForALaterClose) {
  const std::string image = SmallImage();
  CKvMorvel m;
  OpenImage(m, image);
  ASSERT_TRUE(m.Info(0));
  // The letter now names a folder the mount library did not make: the
  // unmount refuses to touch it.
  const std::string link = devices_.path() + "/z:";
  char mounted[4096];
  const ssize_t n = readlink(link.c_str(), mounted, sizeof(mounted) - 1);
  ASSERT_GT(n, 0);
  mounted[n] = 0;
  TempDir foreign;
  WriteBytes(foreign / "keep.txt", "keep");
  devices_.Map('z', foreign.path());
  PrimeStaleCodes(m);
  EXPECT_FALSE(m.Close());
  EXPECT_EQ(kErrorNotMounted, m.GetErrorCode());
  EXPECT_FALSE(m.Info(0));  // the walk is freed all the same
  EXPECT_EQ("keep", ReadBytes(foreign / "keep.txt"));
  // Still mounted: the next Close unmounts (code 0, not "not mounted").
  devices_.Map('z', mounted);
  PrimeStaleCodes(m);
  EXPECT_TRUE(m.Close());
  EXPECT_EQ(0u, m.GetErrorCode());
  EXPECT_FALSE(LetterMapped('z'));
  EXPECT_TRUE(PrivateFolders().empty());
}

TEST_F(MountTest, ATruncatedImageFailsWith13AndLeavesNothing) {
  WriteBytes(source_ / "big.bin", PatternBytes(100000));
  const std::string image = Pack(source_.path());
  std::string bytes = ReadBytes(image);
  WriteBytes(image, bytes.substr(0, bytes.size() / 2));
  CKvMorvel m;
  PrimeStaleCodes(m);
  EXPECT_FALSE(m.Open(P(W(image)), TRUE, 0));
  EXPECT_EQ(13u, m.GetErrorCode());
  EXPECT_EQ("", Drive(m));
  EXPECT_FALSE(LetterMapped('z'));
  EXPECT_TRUE(PrivateFolders().empty());
}

TEST_F(MountTest, ACorruptHeaderFailsWith13AndLeavesNothing) {
  const std::string image = SmallImage();
  std::string bytes = ReadBytes(image);
  // The first tar header starts right after the signature; its checksum
  // field is at offset 148.
  for (int i = 0; i < 8; ++i) bytes[8 + 148 + i] = 'z';
  WriteBytes(image, bytes);
  CKvMorvel m;
  PrimeStaleCodes(m);
  EXPECT_FALSE(m.Open(P(W(image)), TRUE, 0));
  EXPECT_EQ(13u, m.GetErrorCode());
  EXPECT_FALSE(LetterMapped('z'));
  EXPECT_TRUE(PrivateFolders().empty());
}

TEST_F(MountTest, DamageAnywhereEitherMountsOrFailsWith13Cleanly) {
  mkdir((source_ / "d").c_str(), 0755);
  WriteBytes(source_ / "d/f.bin", PatternBytes(5000));
  WriteBytes(source_ / "g.txt", "g");
  const std::string image = Pack(source_.path());
  const std::string good = ReadBytes(image);
  for (size_t at = 8; at < good.size(); at += 97) {
    std::string bad = good;
    bad[at] = static_cast<char>(bad[at] ^ 0x5A);
    WriteBytes(image, bad);
    CKvMorvel m;
    PrimeStaleCodes(m);
    if (m.Open(P(W(image)), TRUE, 0)) {
      EXPECT_TRUE(m.Close());
    } else {
      EXPECT_EQ(13u, m.GetErrorCode()) << at;
    }
    EXPECT_FALSE(LetterMapped('z')) << at;
    EXPECT_TRUE(PrivateFolders().empty()) << at;
  }
}

TEST_F(MountTest, ASignatureWithoutATreeIsNoImage) {
  const std::string image = images_ / "bare.img";
  WriteBytes(image, "!XSSXSS!");
  CKvMorvel m;
  PrimeStaleCodes(m);
  EXPECT_FALSE(m.Open(P(W(image)), TRUE, 0));
  EXPECT_EQ(13u, m.GetErrorCode());
  EXPECT_TRUE(PrivateFolders().empty());
}

TEST_F(MountTest, AnImageCannotPlaceAFileOutsideItsTree) {
  TempDir outside;
  mkdir((outside / "d").c_str(), 0755);
  const std::vector<std::vector<TarItem>> attacks = {
      {{"../escape.txt", 'f', "x"}},
      {{outside / "d/abs.txt", 'f', "x"}},
      {{"ok", 'd'}, {"ok/../../escape.txt", 'f', "x"}},
      {{"link", 'l', outside / "d"}, {"link/through.txt", 'f', "x"}},
      // One Linux name, but the layer reads "\" as a separator.
      {{"link", 'l', outside / "d"}, {"link\\victim.txt", 'f', "x"}},
      {{"hard", 'h', outside / "d/victim.txt"}},
  };
  WriteBytes(outside / "d/victim.txt", "keep");
  for (const auto& items : attacks) {
    SCOPED_TRACE(items.back().name);
    const std::string image = Build(items);
    CKvMorvel m;
    PrimeStaleCodes(m);
    EXPECT_FALSE(m.Open(P(W(image)), TRUE, 0));
    EXPECT_EQ(13u, m.GetErrorCode());
    EXPECT_FALSE(LetterMapped('z'));
    EXPECT_TRUE(PrivateFolders().empty());
  }
  EXPECT_FALSE(Exists(images_ / "../escape.txt"));
  EXPECT_FALSE(Exists(outside / "d/abs.txt"));
  EXPECT_FALSE(Exists(outside / "d/through.txt"));
  EXPECT_EQ("keep", ReadBytes(outside / "d/victim.txt"));
}

TEST_F(MountTest, AnImageBuiltElsewhereMountsWithItsLinks) {
  // A link may name anything: it is made as a link, never followed.
  const std::vector<TarItem> items = {
      {"dir", 'd'},          {"dir/f.txt", 'f', "data"},
      {"out", 'l', "/etc"},  {"late/g.txt", 'f', "g"},
      {"late", 'd'}};  // a folder given after its contents
  CKvMorvel m;
  OpenImage(m, Build(items));
  WIN32_FILE_ATTRIBUTE_DATA data;
  ASSERT_TRUE(GetFileAttributesExW(P(W("Z:\\out")), GetFileExInfoStandard,
                                   &data));
  EXPECT_TRUE(data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
  EXPECT_TRUE(GetFileAttributesExW(P(W("Z:\\late\\g.txt")),
                                   GetFileExInfoStandard, &data));
  EXPECT_TRUE(m.Close());
}

// The permission bits of `path`, or 07777 (no mode) when it cannot be read.
unsigned ModeOf(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 07777;
}

// A folder the image stores without its owner's write or search bit is
// filled first and closed after: what it holds comes out whole, with its
// creation time and read-only mode, and each folder ends with exactly the
// stored bits, no wider (no set-group-id either). The unmount removes it
// all, folders that nobody may enter included.
TEST_F(MountTest, FoldersTakeTheirStoredModesOnceFilled) {
  std::vector<TarItem> items = {
      {"locked", 'd'},          {"locked/note.txt", 'f', "inside"},
      {"locked/ro.txt", 'f', "ro"},
      {"sealed", 'd'},          {"sealed/inner", 'd'},
      {"sealed/inner/f", 'f', "deep"},
      {"shared", 'd'},          {"own", 'd'}};
  items[0].mode = 0500;
  items[1].xattrs = {{"user.kvimage.birthtime", "1400000000.000000000"}};
  items[2].mode = 0444;
  items[3].mode = 0;
  items[4].mode = 0;
  items[5].xattrs = items[1].xattrs;
  items[6].mode = 02775;
  items[7].mode = 0700;
  CKvMorvel m;
  OpenImage(m, Build(items));
  const std::string tree = MountedFolder('z');
  EXPECT_EQ(0500u, ModeOf(tree + "/locked"));
  EXPECT_EQ(0444u, ModeOf(tree + "/locked/ro.txt"));
  EXPECT_EQ(0u, ModeOf(tree + "/sealed"));
  EXPECT_EQ(0775u, ModeOf(tree + "/shared"));
  EXPECT_EQ(0700u, ModeOf(tree + "/own"));
  WIN32_FILE_ATTRIBUTE_DATA data;
  ASSERT_TRUE(GetFileAttributesExW(P(W("Z:\\locked\\note.txt")),
                                   GetFileExInfoStandard, &data));
  const ULONGLONG kTicks = (1400000000ull + 11644473600ull) * 10000000ull;
  EXPECT_EQ(kTicks, (ULONGLONG(data.ftCreationTime.dwHighDateTime) << 32) |
                        data.ftCreationTime.dwLowDateTime);
  EXPECT_EQ(6u, data.nFileSizeLow);
  EXPECT_TRUE(m.Close());
  EXPECT_TRUE(PrivateFolders().empty());
}

// A real image whose path passes the 260-character limit is refused, not
// mounted from a cut path.
TEST_F(MountTest, AnOverlongImagePathIsRefusedWith122) {
  const std::string folder = images_ / std::string(250, 'a');
  ASSERT_EQ(0, mkdir(folder.c_str(), 0755));
  const std::string image = folder + "/small.img";
  ASSERT_EQ(0, rename(SmallImage().c_str(), image.c_str()));
  CKvMorvel m;
  PrimeStaleCodes(m);
  EXPECT_FALSE(m.Open(P(W(image)), TRUE, 0));
  EXPECT_EQ(122u, m.GetErrorCode());
  EXPECT_EQ("", Drive(m));
  EXPECT_FALSE(LetterMapped('z'));
  EXPECT_TRUE(PrivateFolders().empty());
}

}  // namespace
