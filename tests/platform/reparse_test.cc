// SPDX-License-Identifier: GPL-2.0-or-later
// Symbolic links as reparse points, and reparse buffers kept as bytes.
#include <gtest/gtest.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include "layer_test_util.h"

namespace {

std::u16string WideOf(const Bytes& b, size_t at, size_t bytes) {
  std::u16string s;
  for (size_t i = 0; i + 1 < bytes + 1 && i < bytes; i += 2)
    s += static_cast<char16_t>(b[at + i] | b[at + i + 1] << 8);
  return s;
}

uint32_t U32At(const Bytes& b, size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}
uint16_t U16At(const Bytes& b, size_t at) { return static_cast<uint16_t>(b[at] | b[at + 1] << 8); }

// A mount point or symbolic link buffer: substitute name, NUL, print
// name, NUL.
Bytes LinkBuffer(uint32_t tag, const std::u16string& substitute, const std::u16string& print,
                 uint32_t flags = 0) {
  Bytes names;
  for (char16_t c : substitute) Le(names, c, 2);
  Le(names, 0, 2);
  for (char16_t c : print) Le(names, c, 2);
  Le(names, 0, 2);
  const bool symlinkTag = tag == IO_REPARSE_TAG_SYMLINK;
  Bytes b;
  Le(b, tag, 4);
  Le(b, (symlinkTag ? 12 : 8) + names.size(), 2);
  Le(b, 0, 2);
  Le(b, 0, 2);
  Le(b, substitute.size() * 2, 2);
  Le(b, (substitute.size() + 1) * 2, 2);
  Le(b, print.size() * 2, 2);
  if (symlinkTag) Le(b, flags, 4);
  b.insert(b.end(), names.begin(), names.end());
  return b;
}

HANDLE OpenReparse(const std::string& path, DWORD access = GENERIC_READ | GENERIC_WRITE) {
  return OpenPath(W(path), access, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING,
                  FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS);
}

bool Get(HANDLE h, Bytes* out) {
  out->assign(MAXIMUM_REPARSE_DATA_BUFFER_SIZE, 0);
  DWORD returned = 0;
  if (!DeviceIoControl(h, FSCTL_GET_REPARSE_POINT, nullptr, 0, out->data(),
                       static_cast<DWORD>(out->size()), &returned, nullptr))
    return false;
  out->resize(returned);
  return true;
}

bool Set(HANDLE h, Bytes b) {
  DWORD returned = 0;
  return DeviceIoControl(h, FSCTL_SET_REPARSE_POINT, b.data(), static_cast<DWORD>(b.size()),
                         nullptr, 0, &returned, nullptr) != 0;
}

std::string ReadLinkOf(const std::string& path) {
  char buffer[PATH_MAX];
  const ssize_t n = readlink(path.c_str(), buffer, sizeof(buffer));
  return n < 0 ? "" : std::string(buffer, static_cast<size_t>(n));
}

TEST(Reparse, FolderLinkIsAMountPointNamedThroughItsDrive) {
  TempDir dir;
  DosDevices dos;
  dos.Map('r', dir.path());
  ASSERT_EQ(mkdir((dir / "target").c_str(), 0755), 0);
  ASSERT_EQ(symlink((dir / "target").c_str(), (dir / "link").c_str()), 0);
  HANDLE h = OpenReparse(dir / "link");
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  Bytes b;
  ASSERT_TRUE(Get(h, &b));
  CloseHandle(h);
  EXPECT_EQ(b, LinkBuffer(IO_REPARSE_TAG_MOUNT_POINT, u"\\??\\R:\\target", u"R:\\target"));
  ASSERT_GE(b.size(), 16u);
  EXPECT_EQ(U32At(b, 0), IO_REPARSE_TAG_MOUNT_POINT);
  EXPECT_EQ(U16At(b, 4) + 8u, b.size());
  EXPECT_EQ(WideOf(b, 16 + U16At(b, 12), U16At(b, 14)), u"R:\\target");
}

TEST(Reparse, DriveReachedThroughALinkStillNamesTheTarget) {
  TempDir dir;
  DosDevices dos;
  ASSERT_EQ(mkdir((dir / "real").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((dir / "real/sub").c_str(), 0755), 0);
  ASSERT_EQ(symlink((dir / "real").c_str(), (dir / "via").c_str()), 0);
  dos.Map('t', dir / "via");
  EXPECT_EQ(GetFileAttributesW(P(u"T:\\")), FILE_ATTRIBUTE_DIRECTORY);
  // A link naming the folder by its real path, or through the link.
  ASSERT_EQ(symlink((dir / "real/sub").c_str(), (dir / "l1").c_str()), 0);
  ASSERT_EQ(symlink((dir / "via/sub").c_str(), (dir / "l2").c_str()), 0);
  for (const char* name : {"l1", "l2"}) {
    SCOPED_TRACE(name);
    HANDLE h = OpenReparse(dir / name);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    Bytes b;
    ASSERT_TRUE(Get(h, &b));
    CloseHandle(h);
    EXPECT_EQ(b, LinkBuffer(IO_REPARSE_TAG_MOUNT_POINT, u"\\??\\T:\\sub", u"T:\\sub"));
  }
}

TEST(Reparse, FileLinksAreSymbolicLinksRelativeOrAbsolute) {
  TempDir dir;
  WriteBytes(dir / "f", "data");
  ASSERT_EQ(mkdir((dir / "sub").c_str(), 0755), 0);
  ASSERT_EQ(symlink("../f", (dir / "sub/rel").c_str()), 0);
  ASSERT_EQ(symlink((dir / "f").c_str(), (dir / "abs").c_str()), 0);
  Bytes b;
  HANDLE h = OpenReparse(dir / "sub/rel");
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(Get(h, &b));
  CloseHandle(h);
  EXPECT_EQ(b, LinkBuffer(IO_REPARSE_TAG_SYMLINK, u"..\\f", u"..\\f", 1));
  // Outside every drive the POSIX path itself, with "\" separators.
  std::u16string windows = dir.W("f", '\\');
  h = OpenReparse(dir / "abs");
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(Get(h, &b));
  EXPECT_EQ(b, LinkBuffer(IO_REPARSE_TAG_SYMLINK, u"\\??\\" + windows, windows, 0));
  // Too small an output buffer.
  Bytes small(10);
  DWORD returned = 0;
  SetLastError(0xDEADBEEF);
  EXPECT_FALSE(DeviceIoControl(h, FSCTL_GET_REPARSE_POINT, nullptr, 0, small.data(), 10,
                               &returned, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  SetLastError(0xDEADBEEF);
  EXPECT_FALSE(DeviceIoControl(h, 0x12345, nullptr, 0, nullptr, 0, &returned, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_FUNCTION);
  CloseHandle(h);
  // A plain file is no reparse point.
  h = OpenReparse(dir / "f");
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  SetLastError(0xDEADBEEF);
  EXPECT_FALSE(Get(h, &b));
  EXPECT_EQ(GetLastError(), ERROR_NOT_A_REPARSE_POINT);
  CloseHandle(h);
}

TEST(Reparse, LinksAreListedAsReparsePointsWithoutFollowing) {
  TempDir dir;
  ASSERT_EQ(mkdir((dir / "d").c_str(), 0755), 0);
  WriteBytes(dir / "d/inner", "x");
  WriteBytes(dir / "f", "x");
  ASSERT_EQ(symlink("d", (dir / "dl").c_str()), 0);
  ASSERT_EQ(symlink((dir / "d").c_str(), (dir / "da").c_str()), 0);
  ASSERT_EQ(symlink("f", (dir / "fl").c_str()), 0);
  const std::pair<const char*, DWORD> cases[] = {{"dl", IO_REPARSE_TAG_SYMLINK},
                                                 {"da", IO_REPARSE_TAG_MOUNT_POINT},
                                                 {"fl", IO_REPARSE_TAG_SYMLINK}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first);
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW(P(W(dir / c.first)), &data);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    EXPECT_EQ(data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT, FILE_ATTRIBUTE_REPARSE_POINT);
    EXPECT_EQ(data.dwReserved0, c.second);
    EXPECT_EQ(data.nFileSizeLow, 0u);
    FindClose(find);
  }
}

// The bytes of a relative symbolic link: tag, data length, reserved, the
// name offsets and lengths, flags 1, then each name and its NUL.
Bytes RelativeLinkBytes(const std::u16string& text) {
  const size_t bytes = text.size() * 2;
  Bytes b;
  Le(b, 0xA000000Cu, 4);         // IO_REPARSE_TAG_SYMLINK
  Le(b, 12 + 2 * (bytes + 2), 2);  // data length
  Le(b, 0, 2);                   // reserved
  Le(b, 0, 2);                   // substitute name offset
  Le(b, bytes, 2);               // and length
  Le(b, bytes + 2, 2);           // print name offset
  Le(b, bytes, 2);               // and length
  Le(b, 1, 4);                   // SYMLINK_FLAG_RELATIVE
  for (int copy = 0; copy < 2; ++copy) {
    for (char16_t c : text) Le(b, c, 2);
    Le(b, 0, 2);
  }
  return b;
}

TEST(Reparse, RelativeFolderLinkIsARelativeSymbolicLinkToAFolder) {
  TempDir dir;
  DosDevices dos;
  dos.Map('q', dir.path());  // even inside a drive the text stays relative
  ASSERT_EQ(mkdir((dir / "sub").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((dir / "shared").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((dir / "shared/docs").c_str(), 0755), 0);
  ASSERT_EQ(symlink("../shared/docs", (dir / "sub/docs").c_str()), 0);
  HANDLE h = OpenReparse(dir / "sub/docs");
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  Bytes b;
  ASSERT_TRUE(Get(h, &b));
  CloseHandle(h);
  EXPECT_EQ(b, RelativeLinkBytes(u"..\\shared\\docs"));
  EXPECT_EQ(GetFileAttributesW(P(W(dir / "sub/docs"))),
            FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY);
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW(P(W(dir / "sub/docs")), &data);
  ASSERT_NE(find, INVALID_HANDLE_VALUE);
  EXPECT_EQ(data.dwReserved0, 0xA000000Cu);
  EXPECT_EQ(data.dwFileAttributes,
            FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY);
  FindClose(find);
  // An absolute link to the same folder stays a mount point.
  ASSERT_EQ(symlink((dir / "shared/docs").c_str(), (dir / "abs").c_str()), 0);
  h = OpenReparse(dir / "abs");
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(Get(h, &b));
  CloseHandle(h);
  EXPECT_EQ(U32At(b, 0), 0xA0000003u);
}

TEST(Reparse, RelativeBufferOnAnEmptyFolderMakesTheSameRelativeLink) {
  TempDir dir;
  TempDir elsewhere;  // the current folder must play no part
  ASSERT_EQ(mkdir((dir / "sub").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((dir / "shared").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((dir / "shared/docs").c_str(), 0755), 0);
  WriteBytes(dir / "shared/docs/readme", "read me");
  ASSERT_EQ(mkdir((dir / "sub/docs").c_str(), 0755), 0);
  char cwd[PATH_MAX];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir(elsewhere.path().c_str()), 0);
  HANDLE h = OpenReparse(dir / "sub/docs");
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  const Bytes wanted = RelativeLinkBytes(u"..\\shared\\docs");
  const bool set = Set(h, wanted);
  Bytes back;
  const bool got = Get(h, &back);  // the handle names the new link
  CloseHandle(h);
  ASSERT_EQ(chdir(cwd), 0);
  ASSERT_TRUE(set);
  ASSERT_TRUE(got);
  EXPECT_EQ(back, wanted);
  EXPECT_EQ(ReadLinkOf(dir / "sub/docs"), "../shared/docs");
  EXPECT_EQ(ReadBytes(dir / "sub/docs/readme"), "read me");
  EXPECT_EQ(GetFileAttributesW(P(W(dir / "sub/docs"))),
            FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY);
}

TEST(Reparse, RelativeLinkLeavingTheTreeIsMadeButNeverFollowed) {
  TempDir dir;
  ASSERT_EQ(mkdir((dir / "tree").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((dir / "tree/up").c_str(), 0755), 0);
  WriteBytes(dir / "tree/f", "");
  for (const char* name : {"tree/up", "tree/f"}) {
    SCOPED_TRACE(name);
    HANDLE h = OpenReparse(dir / name);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(Set(h, RelativeLinkBytes(u"..\\..\\kvmorvel-nowhere")));
    CloseHandle(h);
    EXPECT_EQ(ReadLinkOf(dir / name), "../../kvmorvel-nowhere");
    // Only the link is made: nothing is created where it leads.
    struct stat st;
    EXPECT_NE(stat((dir / name).c_str(), &st), 0);
    EXPECT_TRUE(GetFileAttributesW(P(W(dir / name))) & FILE_ATTRIBUTE_REPARSE_POINT);
  }
}

TEST(Reparse, MountPointBufferTurnsAnEmptyFolderIntoAWorkingLink) {
  TempDir dir;
  DosDevices dos;
  dos.Map('s', dir.path());
  ASSERT_EQ(mkdir((dir / "target").c_str(), 0755), 0);
  WriteBytes(dir / "target/in.txt", "inside");
  ASSERT_EQ(mkdir((dir / "made").c_str(), 0755), 0);
  HANDLE h = OpenReparse(dir / "made");
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  const Bytes wanted =
      LinkBuffer(IO_REPARSE_TAG_MOUNT_POINT, u"\\??\\S:\\target", u"S:\\target");
  ASSERT_TRUE(Set(h, wanted));
  Bytes back;
  ASSERT_TRUE(Get(h, &back));  // the handle now names the link
  EXPECT_EQ(back, wanted);
  CloseHandle(h);
  EXPECT_EQ(ReadLinkOf(dir / "made"), dir / "target");
  EXPECT_EQ(ReadBytes(dir / "made/in.txt"), "inside");
  EXPECT_EQ(GetFileAttributesW(P(W(dir / "made"))),
            FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY);
}

TEST(Reparse, SymbolicLinkBufferTurnsAnEmptyFileIntoALink) {
  TempDir dir;
  ASSERT_EQ(mkdir((dir / "sub").c_str(), 0755), 0);
  WriteBytes(dir / "sub/f", "content");
  WriteBytes(dir / "rel", "");
  WriteBytes(dir / "abs", "");
  HANDLE h = OpenReparse(dir / "rel");
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(Set(h, LinkBuffer(IO_REPARSE_TAG_SYMLINK, u"sub\\f", u"sub\\f", 1)));
  CloseHandle(h);
  EXPECT_EQ(ReadLinkOf(dir / "rel"), "sub/f");
  EXPECT_EQ(ReadBytes(dir / "rel"), "content");
  h = OpenReparse(dir / "abs");
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  const std::u16string target = dir.W("sub/f", '\\');
  ASSERT_TRUE(Set(h, LinkBuffer(IO_REPARSE_TAG_SYMLINK, u"\\??\\" + target, target)));
  CloseHandle(h);
  EXPECT_EQ(ReadLinkOf(dir / "abs"), dir / "sub/f");
}

TEST(Reparse, LinkBuffersRefuseFullFoldersFilesAndBadBuffers) {
  TempDir dir;
  ASSERT_EQ(mkdir((dir / "full").c_str(), 0755), 0);
  WriteBytes(dir / "full/keep", "k");
  WriteBytes(dir / "data", "precious");
  const Bytes good = LinkBuffer(IO_REPARSE_TAG_MOUNT_POINT, u"\\??\\/tmp", u"/tmp");
  HANDLE h = OpenReparse(dir / "full");
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  SetLastError(0xDEADBEEF);
  EXPECT_FALSE(Set(h, good));
  EXPECT_EQ(GetLastError(), ERROR_DIR_NOT_EMPTY);
  Bytes longer = good;
  longer.push_back(0);  // size disagrees with the data length
  SetLastError(0xDEADBEEF);
  EXPECT_FALSE(Set(h, longer));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_REPARSE_DATA);
  Bytes outside = good;
  outside[12] = 0xF0;  // print name offset past the end
  SetLastError(0xDEADBEEF);
  EXPECT_FALSE(Set(h, outside));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_REPARSE_DATA);
  SetLastError(0xDEADBEEF);
  EXPECT_FALSE(Set(h, Bytes(good.begin(), good.begin() + 6)));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_REPARSE_DATA);
  Bytes zeroTag = {0, 0, 0, 0, 0, 0, 0, 0};
  SetLastError(0xDEADBEEF);
  EXPECT_FALSE(Set(h, zeroTag));
  EXPECT_EQ(GetLastError(), ERROR_REPARSE_TAG_INVALID);
  CloseHandle(h);
  EXPECT_EQ(ReadBytes(dir / "full/keep"), "k");
  h = OpenReparse(dir / "data");
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(Set(h, LinkBuffer(IO_REPARSE_TAG_SYMLINK, u"x", u"x", 1)));
  CloseHandle(h);
  EXPECT_EQ(ReadBytes(dir / "data"), "precious");
}

TEST(Reparse, OtherTagsAreKeptAsBytes) {
  TempDir dir;
  WriteBytes(dir / "f", "");
  ASSERT_EQ(mkdir((dir / "d").c_str(), 0755), 0);
  Bytes microsoft;  // a Microsoft tag: data right after the header
  Le(microsoft, 0x80000013u, 4);
  Le(microsoft, 5, 2);
  Le(microsoft, 0, 2);
  Text(microsoft, "hello");
  Bytes thirdParty;  // another maker's tag: a GUID before the data
  Le(thirdParty, 0x00001234u, 4);
  Le(thirdParty, 3, 2);
  Le(thirdParty, 0, 2);
  for (int i = 0; i < 16; ++i) thirdParty.push_back(static_cast<uint8_t>(0xA0 + i));
  Text(thirdParty, "abc");
  for (const auto& c : {std::make_pair(dir / "f", microsoft), std::make_pair(dir / "d", thirdParty)}) {
    SCOPED_TRACE(c.first);
    HANDLE h = OpenReparse(c.first);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(Set(h, c.second));
    Bytes back;
    ASSERT_TRUE(Get(h, &back));
    EXPECT_EQ(back, c.second);
    CloseHandle(h);
    EXPECT_TRUE(GetFileAttributesW(P(W(c.first))) & FILE_ATTRIBUTE_REPARSE_POINT);
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW(P(W(c.first)), &data);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    EXPECT_EQ(data.dwReserved0, U32At(c.second, 0));
    FindClose(find);
  }
}

TEST(Reparse, SetCompressionTogglesTheCompressedAttribute) {
  TempDir dir;
  WriteBytes(dir / "f", "abc");
  HANDLE h = OpenPath(W(dir / "f"), GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  uint16_t format = COMPRESSION_FORMAT_DEFAULT;
  DWORD returned;
  ASSERT_TRUE(DeviceIoControl(h, FSCTL_SET_COMPRESSION, &format, 2, nullptr, 0, &returned, nullptr));
  EXPECT_TRUE(GetFileAttributesW(P(W(dir / "f"))) & FILE_ATTRIBUTE_COMPRESSED);
  format = COMPRESSION_FORMAT_NONE;
  ASSERT_TRUE(DeviceIoControl(h, FSCTL_SET_COMPRESSION, &format, 2, nullptr, 0, &returned, nullptr));
  EXPECT_FALSE(GetFileAttributesW(P(W(dir / "f"))) & FILE_ATTRIBUTE_COMPRESSED);
  CloseHandle(h);
}

}  // namespace
