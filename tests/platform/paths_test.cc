// SPDX-License-Identifier: GPL-2.0-or-later
// Paths: drive letters through the dosdevices folder, POSIX paths, bad
// names, listings and the shell helpers.
#include <gtest/gtest.h>
#include <limits.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "layer_test_util.h"

namespace {

std::string Name(const WCHAR* w) { return N(reinterpret_cast<const char16_t*>(w)); }

TEST(Paths, DriveLettersResolveThroughTheDosDevicesFolder) {
  TempDir dir;
  DosDevices dos;
  dos.Map('c', dir.path());
  for (const char16_t* name : {u"C:\\a.txt", u"c:\\b.txt", u"C:/c.txt", u"\\\\?\\C:\\d.txt"}) {
    SCOPED_TRACE(N(name));
    HANDLE h = OpenPath(name, GENERIC_WRITE, 0, CREATE_NEW);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
  }
  for (const char* f : {"a.txt", "b.txt", "c.txt", "d.txt"}) EXPECT_TRUE(Exists(dir / f));
  EXPECT_EQ(GetDriveTypeW(P(u"C:\\")), DRIVE_FIXED);
  EXPECT_EQ(GetDriveTypeW(P(u"M:\\")), DRIVE_NO_ROOT_DIR);
  EXPECT_EQ(GetDriveTypeW(P(u"/")), DRIVE_FIXED);
  SetLastError(0xDEADBEEF);
  EXPECT_EQ(OpenPath(u"M:\\x", GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  // A link relative to the dosdevices folder works too.
  ASSERT_EQ(mkdir((dir / "e").c_str(), 0755), 0);
  std::string rel = dir.path();
  ASSERT_EQ(symlink((rel + "/e").c_str(), (dos.path() + "/e:").c_str()), 0);
  EXPECT_EQ(GetDriveTypeW(P(u"E:\\")), DRIVE_FIXED);
}

TEST(Paths, DefaultDosDevicesFolderIsUnderHome) {
  TempDir home, drive;
  EnvScope unsetFolder("KVMORVEL_DOSDEVICES", nullptr);
  EnvScope setHome("HOME", home.path().c_str());
  ASSERT_EQ(mkdir((home / ".kvmorvel").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((home / ".kvmorvel/dosdevices").c_str(), 0755), 0);
  ASSERT_EQ(symlink(drive.path().c_str(), (home / ".kvmorvel/dosdevices/d:").c_str()), 0);
  WriteBytes(drive / "f", "found");
  HANDLE h = OpenPath(u"D:\\f", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  CloseHandle(h);
}

// The dosdevices folder as KvGetDosDevicesFolder reports it, or "(none: CODE)".
std::string ReportedDosDevicesFolder() {
  char buffer[PATH_MAX];
  SetLastError(0xDEADBEEF);
  const DWORD n = KvGetDosDevicesFolder(buffer, sizeof buffer);
  if (n == 0) return "(none: " + std::to_string(GetLastError()) + ")";
  EXPECT_LT(n, sizeof buffer);
  EXPECT_EQ(strlen(buffer), n);
  return std::string(buffer, n);
}

TEST(Paths, DosDevicesFolderIsTheVariableElseUnderHome) {
  {
    EnvScope folder("KVMORVEL_DOSDEVICES", "/srv/letters");
    EXPECT_EQ("/srv/letters", ReportedDosDevicesFolder());
  }
  EnvScope emptyFolder("KVMORVEL_DOSDEVICES", "");
  EnvScope home("HOME", "/home/someone/");
  EXPECT_EQ("/home/someone/.kvmorvel/dosdevices", ReportedDosDevicesFolder());
}

TEST(Paths, DosDevicesFolderSizeQueriesWriteNothing) {
  EnvScope folder("KVMORVEL_DOSDEVICES", "/srv/letters");  // 12 characters
  EXPECT_EQ(13u, KvGetDosDevicesFolder(nullptr, 0));
  char small[13];
  memset(small, 'x', sizeof small);
  EXPECT_EQ(13u, KvGetDosDevicesFolder(small, 12));
  EXPECT_EQ(std::string(13, 'x'), std::string(small, 13));
  EXPECT_EQ(12u, KvGetDosDevicesFolder(small, 13));
  EXPECT_STREQ("/srv/letters", small);
  SetLastError(0);
  EXPECT_EQ(0u, KvGetDosDevicesFolder(nullptr, 5));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
}

// Without HOME (a service, a cron job, `env -i`) the home comes from the
// password database, for the layer and for the mount library alike.
TEST(Paths, WithoutHomeTheDosDevicesFolderIsUnderThePasswordDatabaseHome) {
  EnvScope unsetFolder("KVMORVEL_DOSDEVICES", nullptr);
  const struct passwd* user = getpwuid(getuid());
  const std::string home = user && user->pw_dir ? user->pw_dir : "";
  if (!home.empty() && home.back() == '/')
    GTEST_SKIP() << "a home ending in '/' is covered with HOME above";
  const std::string expected =
      home.empty() ? "(none: 203)" : home + "/.kvmorvel/dosdevices";
  {
    EnvScope noHome("HOME", nullptr);
    EXPECT_EQ(expected, ReportedDosDevicesFolder());
  }
  EnvScope emptyHome("HOME", "");
  EXPECT_EQ(expected, ReportedDosDevicesFolder());
}

TEST(Paths, PosixPathsWorkWithEitherSeparator) {
  TempDir dir;
  ASSERT_EQ(mkdir((dir / "sub").c_str(), 0755), 0);
  WriteBytes(dir / "sub/f", "x");
  EXPECT_NE(GetFileAttributesW(P(dir.W("sub\\f", '/'))), INVALID_FILE_ATTRIBUTES);
  EXPECT_NE(GetFileAttributesW(P(dir.W("sub/f", '\\'))), INVALID_FILE_ATTRIBUTES);
  EXPECT_TRUE(PathFileExistsW(P(dir.W("sub\\f"))));
  EXPECT_FALSE(PathFileExistsW(P(dir.W("sub\\g"))));
}

TEST(Paths, BadNamesGetTheirCodes) {
  TempDir dir;
  SetLastError(0xDEADBEEF);
  EXPECT_EQ(GetFileAttributesW(nullptr), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  SetLastError(0xDEADBEEF);
  EXPECT_EQ(GetFileAttributesW(P(u"")), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  std::u16string lone = dir.W("a") + u"\xD800" + u"b";
  SetLastError(0xDEADBEEF);
  EXPECT_EQ(OpenPath(lone, GENERIC_WRITE, 0, CREATE_NEW), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_NAME);
  const std::u16string longPath = dir.W(std::string(PATH_MAX, 'x'));
  SetLastError(0xDEADBEEF);
  EXPECT_EQ(OpenPath(longPath, GENERIC_WRITE, 0, CREATE_NEW), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILENAME_EXCED_RANGE);
  SetLastError(0xDEADBEEF);
  EXPECT_EQ(GetFileAttributesW(P(u"\\\\server\\share\\f")), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  SetLastError(0xDEADBEEF);
  EXPECT_EQ(GetFileAttributesW(P(u"\\\\?\\UNC\\server\\share\\f")), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  const std::u16string hugePath(40000, u'a');
  SetLastError(0xDEADBEEF);
  EXPECT_EQ(GetFileAttributesW(P(hugePath)), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), ERROR_FILENAME_EXCED_RANGE);
  const std::u16string longName = dir.W(std::string(300, 'y'));
  SetLastError(0xDEADBEEF);
  EXPECT_EQ(OpenPath(longName, GENERIC_WRITE, 0, CREATE_NEW), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILENAME_EXCED_RANGE);
}

TEST(Paths, NamesThatAreNotUtf8SurviveAListingAndAnOpen) {
  TempDir dir;
  const std::string raw = dir / "bad\xff\xfe.bin";
  WriteBytes(raw, "raw");
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW(P(dir.W("bad*")), &data);
  ASSERT_NE(find, INVALID_HANDLE_VALUE);
  FindClose(find);
  const std::u16string listed(reinterpret_cast<const char16_t*>(data.cFileName));
  EXPECT_EQ(listed, u"bad\xDCFF\xDCFE.bin");
  HANDLE h = OpenPath(dir.W() + u"/" + listed, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  CloseHandle(h);
}

TEST(Find, ListsDotsFirstThenNamesInOrder) {
  TempDir dir;
  WriteBytes(dir / "b.txt", "12345");
  WriteBytes(dir / "a.TXT", "");
  ASSERT_EQ(mkdir((dir / "c").c_str(), 0755), 0);
  WriteBytes(dir / "c/hidden-inside", "");
  for (const char* pattern : {"*", "*.*"}) {
    SCOPED_TRACE(pattern);
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW(P(dir.W(pattern, '\\')), &data);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    std::vector<std::string> names = {Name(data.cFileName)};
    std::vector<DWORD> attributes = {data.dwFileAttributes};
    std::vector<DWORD> sizes = {data.nFileSizeLow};
    SetLastError(0xDEADBEEF);
    while (FindNextFileW(find, &data)) {
      names.push_back(Name(data.cFileName));
      attributes.push_back(data.dwFileAttributes);
      sizes.push_back(data.nFileSizeLow);
    }
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
    FindClose(find);
    EXPECT_EQ(names, (std::vector<std::string>{".", "..", "a.TXT", "b.txt", "c"}));
    EXPECT_EQ(attributes[4], FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(sizes[3], 5u);
  }
}

TEST(Find, PatternsMatchWithoutRegardToCase) {
  TempDir dir;
  WriteBytes(dir / "a.TXT", "");
  WriteBytes(dir / "abc.bin", "");
  WriteBytes(dir / "b.txt", "");
  std::vector<std::string> names;
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW(P(dir.W("*.txt")), &data);
  ASSERT_NE(find, INVALID_HANDLE_VALUE);
  do names.push_back(Name(data.cFileName));
  while (FindNextFileW(find, &data));
  FindClose(find);
  EXPECT_EQ(names, (std::vector<std::string>{"a.TXT", "b.txt"}));
  find = FindFirstFileW(P(dir.W("A?C.*")), &data);
  ASSERT_NE(find, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Name(data.cFileName), "abc.bin");
  SetLastError(0xDEADBEEF);
  EXPECT_FALSE(FindNextFileW(find, &data));
  EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
  FindClose(find);
  SetLastError(0xDEADBEEF);
  EXPECT_EQ(FindFirstFileW(P(dir.W("*.none")), &data), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  SetLastError(0xDEADBEEF);
  EXPECT_EQ(FindFirstFileW(P(dir.W("missing\\*")), &data), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  SetLastError(0xDEADBEEF);
  EXPECT_EQ(FindFirstFileW(P(dir.W("a.TXT\\*")), &data), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  SetLastError(0xDEADBEEF);
  EXPECT_EQ(FindFirstFileW(P(dir.W("nothing")), &data), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST(Shell, PathHelpersCutAtEitherSeparator) {
  struct Case {
    const char16_t* in;
    const char16_t* root;
    const char16_t* parent;
  };
  const Case cases[] = {
      {u"C:\\dir\\file.txt", u"C:\\", u"C:\\dir"},
      {u"C:\\dir", u"C:\\", u"C:\\"},
      {u"C:\\", u"C:\\", u"C:\\"},
      {u"/tmp/x/y", u"/", u"/tmp/x"},
      {u"/tmp", u"/", u"/"},
      {u"/tmp/kv\\sub\\f", u"/", u"/tmp/kv\\sub"},
      {u"\\\\server\\share\\f", u"\\\\server\\share", u"\\\\server\\share"},
      {u"name", u"", u""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(N(c.in));
    WCHAR buffer[64];
    lstrcpyW(buffer, reinterpret_cast<const WCHAR*>(c.in));
    EXPECT_EQ(PathStripToRootW(buffer) != 0, *c.root != 0);
    EXPECT_EQ(Name(buffer), N(c.root));
    lstrcpyW(buffer, reinterpret_cast<const WCHAR*>(c.in));
    PathRemoveFileSpecW(buffer);
    EXPECT_EQ(Name(buffer), N(c.parent));
  }
}

TEST(Volumes, FreeSpaceMatchesTheFileSystem) {
  TempDir dir;
  DosDevices dos;
  dos.Map('v', dir.path());
  ULARGE_INTEGER freeToCaller, total, totalFree;
  ASSERT_TRUE(GetDiskFreeSpaceExW(P(u"V:\\"), &freeToCaller, &total, &totalFree));
  struct statvfs vfs;
  ASSERT_EQ(statvfs(dir.path().c_str(), &vfs), 0);
  EXPECT_EQ(total.QuadPart, static_cast<ULONGLONG>(vfs.f_blocks) * vfs.f_frsize);
  EXPECT_LE(freeToCaller.QuadPart, totalFree.QuadPart);
  EXPECT_LE(totalFree.QuadPart, total.QuadPart);
  SetLastError(0xDEADBEEF);
  EXPECT_FALSE(GetDiskFreeSpaceExW(P(u"W:\\"), &freeToCaller, &total, &totalFree));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
}

}  // namespace
