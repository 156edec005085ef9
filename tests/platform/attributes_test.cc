// SPDX-License-Identifier: GPL-2.0-or-later
// DOS attributes, times and short names kept beside the POSIX metadata.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "layer_test_util.h"

namespace {

const ULONGLONG kCreated = 0x01D5A1B2C3D4E5F0ULL;

// user.DOSATTRIB version 3, field by field as Samba lays it out: the hex
// string and NUL, padding to even, u16 version, u16 level, padding to 4,
// then the info block.
Bytes Version3(const std::string& hex, uint32_t attributes, uint64_t created) {
  Bytes b;
  Text(b, hex);
  b.push_back(0);
  if (b.size() % 2) b.push_back(0);
  Le(b, 3, 2);                   // version
  Le(b, 3, 2);                   // union level
  while (b.size() % 4) b.push_back(0);
  Le(b, 0x11, 4);                // valid: attributes, creation time
  Le(b, attributes, 4);
  Le(b, 0, 4);                   // ea size
  Le(b, 0, 8);                   // size
  Le(b, 0, 8);                   // allocation size
  Le(b, created, 8);
  Le(b, 0, 8);                   // change time
  return b;
}

TEST(DosAttrib, WrittenAsSambaVersion3WithHexStringAndCreationTime) {
  TempDir dir;
  const std::string f = dir / "f.txt";
  WriteBytes(f, "x");
  ASSERT_TRUE(SetFileAttributesW(P(W(f)), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE));
  HANDLE h = OpenPath(W(f), GENERIC_WRITE, 0, OPEN_EXISTING);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  const FILETIME created = Ft(kCreated);
  ASSERT_TRUE(SetFileTime(h, &created, nullptr, nullptr));
  CloseHandle(h);

  // The example of the notes: 30 78 32 32 00 00 03 00 03 00 00 00 11 00 00
  // 00 22 00 00 00, the zero fields, the creation time, the change time.
  Bytes expected = {0x30, 0x78, 0x32, 0x32, 0x00, 0x00, 0x03, 0x00, 0x03, 0x00,
                    0x00, 0x00, 0x11, 0x00, 0x00, 0x00, 0x22, 0x00, 0x00, 0x00};
  Zeros(expected, 20);
  Le(expected, kCreated, 8);
  Zeros(expected, 8);
  Bytes stored;
  ASSERT_TRUE(GetX(f, "user.DOSATTRIB", &stored));
  EXPECT_EQ(stored, expected);
  EXPECT_EQ(stored, Version3("0x22", 0x22, kCreated));

  // "0x6" and its NUL end on an even offset: version at 4, level at 6,
  // the block at 8 (what smbd reads back as hidden + system).
  ASSERT_TRUE(SetFileAttributesW(P(W(f)), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
  ASSERT_TRUE(GetX(f, "user.DOSATTRIB", &stored));
  Bytes odd = {0x30, 0x78, 0x36, 0x00, 0x03, 0x00, 0x03, 0x00, 0x11, 0x00, 0x00, 0x00,
               0x06, 0x00, 0x00, 0x00};
  Zeros(odd, 20);
  Le(odd, kCreated, 8);
  Zeros(odd, 8);
  EXPECT_EQ(stored, odd);
}

TEST(DosAttrib, EveryReadVersionGivesAttributesAndCreationTime) {
  TempDir dir;
  const std::string f = dir / "f";
  WriteBytes(f, "");
  struct Case {
    const char* what;
    Bytes blob;
    DWORD attributes;
    ULONGLONG creation;  // 0: not kept, falls back to the file's own
  };
  std::vector<Case> cases;
  {  // 0xFFFF: the bare hex string, as Wine writes it
    Bytes b;
    Text(b, "0x6");
    b.push_back(0);
    cases.push_back({"hex only", b, 0x6, 0});
  }
  {  // version 1: hex string says 0x1, the binary block wins
    Bytes b;
    Text(b, "0x1");
    b.push_back(0);          // 4 bytes: already even
    Le(b, 1, 2);             // version at 4
    Le(b, 1, 2);             // level at 6, the block at 8
    Le(b, 0x4, 4);           // attrib
    Le(b, 0, 4);             // ea size
    Le(b, 0, 8);
    Le(b, 0, 8);
    Le(b, kCreated, 8);
    Le(b, 0, 8);
    cases.push_back({"version 1", b, 0x4, kCreated});
  }
  {  // version 4: valid flags, attrib, itime, create time
    Bytes b;
    Text(b, "0x20");
    b.push_back(0);
    b.push_back(0);          // to even
    Le(b, 4, 2);             // version at 6
    Le(b, 4, 2);             // level at 8
    Zeros(b, 2);             // the block at 12
    Le(b, 0x11, 4);
    Le(b, 0x2, 4);
    Le(b, 0x0123456789ULL, 8);  // itime, not the creation time
    Le(b, kCreated + 1, 8);
    cases.push_back({"version 4", b, 0x2, kCreated + 1});
  }
  {  // version 5 as Samba writes it: empty hex string
    Bytes b = {0x00, 0x00, 0x05, 0x00, 0x05, 0x00, 0x00, 0x00, 0x11, 0x00, 0x00, 0x00};
    Le(b, 0x26, 4);
    Le(b, kCreated + 2, 8);
    cases.push_back({"version 5", b, 0x26, kCreated + 2});
  }
  {  // version 5 with only the attributes valid
    Bytes b = {0x00, 0x00, 0x05, 0x00, 0x05, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00};
    Le(b, 0x4, 4);
    Le(b, kCreated + 3, 8);
    cases.push_back({"version 5, no time", b, 0x4, 0});
  }
  {  // an unknown version: the hex string still counts
    Bytes b;
    Text(b, "0x2");
    b.push_back(0);
    Le(b, 9, 2);
    Zeros(b, 30);
    cases.push_back({"version 9", b, 0x2, 0});
  }
  {  // version 3 cut inside its block: the hex string still counts
    Bytes b = Version3("0x4", 0x20, kCreated);
    b.resize(b.size() - 20);
    cases.push_back({"cut version 3", b, 0x4, 0});
  }
  struct stat st;
  ASSERT_EQ(stat(f.c_str(), &st), 0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SetX(f, "user.DOSATTRIB", c.blob);
    const WIN32_FILE_ATTRIBUTE_DATA d = Info(W(f));
    EXPECT_EQ(d.dwFileAttributes, c.attributes);
    if (c.creation)
      EXPECT_EQ(Ticks(d.ftCreationTime), c.creation);
    else
      EXPECT_NE(Ticks(d.ftCreationTime), kCreated + 3);
  }
}

TEST(DosAttrib, GarbageBlobsNeverFailTheQuery) {
  TempDir dir;
  const std::string f = dir / "f";
  WriteBytes(f, "");
  for (const Bytes& b : {Bytes{}, Bytes{0x00}, Bytes{'0', 'x'}, Bytes{'z', 0, 3},
                         Bytes{0, 0, 3, 0, 3, 0, 0}, Bytes(200, 0xFF)}) {
    SetX(f, "user.DOSATTRIB", b);
    WIN32_FILE_ATTRIBUTE_DATA d;
    EXPECT_TRUE(GetFileAttributesExW(P(W(f)), GetFileExInfoStandard, &d));
  }
}

TEST(Attributes, ReadOnlyFileLosesWriteBitsAndIsRefusedForWriting) {
  TempDir dir;
  const std::string f = dir / "f";
  WriteBytes(f, "data");
  chmod(f.c_str(), 0664);
  ASSERT_TRUE(SetFileAttributesW(P(W(f)), FILE_ATTRIBUTE_READONLY));
  struct stat st;
  ASSERT_EQ(stat(f.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0444u);
  EXPECT_EQ(GetFileAttributesW(P(W(f))), FILE_ATTRIBUTE_READONLY);
  // Refused as on Windows, whoever runs the test (root included).
  SetLastError(0xDEADBEEF);
  EXPECT_EQ(OpenPath(W(f), GENERIC_WRITE, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  SetLastError(0xDEADBEEF);
  EXPECT_FALSE(DeleteFileW(P(W(f))));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  // Its other attributes still change (Linux wants write permission for
  // that, even from the owner) and it stays read-only.
  ASSERT_TRUE(SetFileAttributesW(P(W(f)), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
  EXPECT_EQ(GetFileAttributesW(P(W(f))), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
  ASSERT_EQ(stat(f.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0444u);
  ASSERT_TRUE(SetFileAttributesW(P(W(f)), FILE_ATTRIBUTE_NORMAL));
  ASSERT_EQ(stat(f.c_str(), &st), 0);
  EXPECT_NE(st.st_mode & 0200, 0u);
  EXPECT_EQ(GetFileAttributesW(P(W(f))), FILE_ATTRIBUTE_NORMAL);
  EXPECT_TRUE(DeleteFileW(P(W(f))));
}

// Samba keeps a file's read-only bit in its binary block alone and never
// in the mode; Wine keeps it in the mode alone. Each is read where its
// writer keeps it, and setting it writes both.
TEST(Attributes, ReadOnlyOfAFileIsTheBlocksElseTheModes) {
  TempDir dir;
  const std::string f = dir / "f";
  WriteBytes(f, "data");
  auto samba5 = [](uint32_t valid, uint32_t attributes) {
    Bytes b = {0x00, 0x00, 0x05, 0x00, 0x05, 0x00, 0x00, 0x00};
    Le(b, valid, 4);
    Le(b, attributes, 4);
    Le(b, kCreated, 8);
    return b;
  };
  Bytes version1;
  Text(version1, "0x0");
  version1.push_back(0);
  Le(version1, 1, 2);
  Le(version1, 1, 2);
  Le(version1, FILE_ATTRIBUTE_READONLY, 4);
  Zeros(version1, 36);
  const Bytes wineHidden = {'0', 'x', '2'};  // no NUL, as Wine writes it
  struct Case {
    const char* what;
    Bytes blob;  // empty: none
    mode_t mode;
    DWORD attributes;
  };
  const Case cases[] = {
      {"Samba read-only, writable mode", samba5(0x11, 0x21), 0644, 0x21},
      {"Samba, no attribute flag: used anyway", samba5(0x10, 0x21), 0644, 0x21},
      {"Samba not read-only, mode without write bits", samba5(0x11, 0x20), 0444, 0x20},
      {"version 3 read-only", Version3("0x0", 0x1, kCreated), 0664, 0x1},
      {"version 3 not read-only", Version3("0x1", 0x20, kCreated), 0444, 0x20},
      {"version 1 read-only", version1, 0644, 0x1},
      {"Wine hidden, mode read-only", wineHidden, 0444, 0x3},
      {"Wine hidden, mode writable", wineHidden, 0644, 0x2},
      {"no blob, mode read-only", Bytes(), 0444, 0x21},
      {"no blob, mode writable", Bytes(), 0644, 0x20},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(chmod(f.c_str(), 0644), 0);
    removexattr(f.c_str(), "user.DOSATTRIB");
    if (!c.blob.empty()) SetX(f, "user.DOSATTRIB", c.blob);
    ASSERT_EQ(chmod(f.c_str(), c.mode), 0);
    EXPECT_EQ(GetFileAttributesW(P(W(f))), c.attributes);
  }

  // Setting read-only on a file Samba made writes both the block and the
  // mode; clearing it clears both.
  ASSERT_EQ(chmod(f.c_str(), 0644), 0);
  SetX(f, "user.DOSATTRIB", samba5(0x11, 0x20));
  ASSERT_TRUE(SetFileAttributesW(P(W(f)), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE));
  Bytes stored;
  ASSERT_TRUE(GetX(f, "user.DOSATTRIB", &stored));
  EXPECT_EQ(stored, Version3("0x21", 0x21, kCreated));
  struct stat st;
  ASSERT_EQ(stat(f.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0222, 0u);
  ASSERT_TRUE(SetFileAttributesW(P(W(f)), FILE_ATTRIBUTE_ARCHIVE));
  ASSERT_TRUE(GetX(f, "user.DOSATTRIB", &stored));
  EXPECT_EQ(stored, Version3("0x20", 0x20, kCreated));
  ASSERT_EQ(stat(f.c_str(), &st), 0);
  EXPECT_NE(st.st_mode & 0200, 0u);

  // A creation time given to a file whose read-only bit only the mode
  // holds (Wine's hex string) keeps that bit in the block it writes.
  SetX(f, "user.DOSATTRIB", wineHidden);
  ASSERT_EQ(chmod(f.c_str(), 0444), 0);
  HANDLE h = OpenPath(W(f), FILE_WRITE_ATTRIBUTES, 0, OPEN_EXISTING);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  const FILETIME created = Ft(kCreated + 7);
  ASSERT_TRUE(SetFileTime(h, &created, nullptr, nullptr));
  CloseHandle(h);
  ASSERT_TRUE(GetX(f, "user.DOSATTRIB", &stored));
  EXPECT_EQ(stored, Version3("0x3", 0x3, kCreated + 7));
  EXPECT_EQ(GetFileAttributesW(P(W(f))), 0x3u);
}

TEST(Attributes, ReadOnlyFolderStillTakesNewFiles) {
  TempDir dir;
  const std::string d = dir / "ro";
  ASSERT_TRUE(CreateDirectoryW(P(W(d)), nullptr));
  struct stat before, after;
  ASSERT_EQ(stat(d.c_str(), &before), 0);
  ASSERT_TRUE(SetFileAttributesW(P(W(d)), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
  ASSERT_EQ(stat(d.c_str(), &after), 0);
  EXPECT_EQ(after.st_mode, before.st_mode);
  EXPECT_EQ(GetFileAttributesW(P(W(d))),
            FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
  HANDLE h = OpenPath(W(d + "/inside"), GENERIC_WRITE, 0, CREATE_NEW);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  CloseHandle(h);
}

TEST(Attributes, BitsSambaDoesNotKeepSurviveInTheLayersOwnAttribute) {
  TempDir dir;
  const std::string f = dir / "f";
  WriteBytes(f, "");
  const DWORD wanted = FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_TEMPORARY |
                       FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | FILE_ATTRIBUTE_ENCRYPTED;
  ASSERT_TRUE(SetFileAttributesW(P(W(f)), wanted));
  EXPECT_EQ(GetFileAttributesW(P(W(f))), wanted);
  Bytes dos;
  ASSERT_TRUE(GetX(f, "user.DOSATTRIB", &dos));
  EXPECT_EQ(dos, Version3("0x20", 0x20, Ticks(Info(W(f)).ftCreationTime)));
  // Clearing them removes them again.
  ASSERT_TRUE(SetFileAttributesW(P(W(f)), FILE_ATTRIBUTE_ARCHIVE));
  EXPECT_EQ(GetFileAttributesW(P(W(f))), FILE_ATTRIBUTE_ARCHIVE);
}

TEST(Times, AllThreeTimesRoundTrip) {
  TempDir dir;
  for (const char* name : {"file", "folder"}) {
    SCOPED_TRACE(name);
    const std::string p = dir / name;
    if (std::string(name) == "file")
      WriteBytes(p, "abc");
    else
      ASSERT_EQ(mkdir(p.c_str(), 0755), 0);
    HANDLE h = OpenPath(W(p), GENERIC_WRITE, 0, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    const FILETIME c = Ft(TicksOfUnix(946684800, 123456700));   // 2000-01-01
    const FILETIME a = Ft(TicksOfUnix(1262304000, 500));        // 2010
    const FILETIME w = Ft(TicksOfUnix(1577836800, 999999900));  // 2020
    ASSERT_TRUE(SetFileTime(h, &c, &a, &w));
    FILETIME c2, a2, w2;
    ASSERT_TRUE(GetFileTime(h, &c2, &a2, &w2));
    CloseHandle(h);
    EXPECT_EQ(Ticks(c2), Ticks(c));
    EXPECT_EQ(Ticks(a2), Ticks(a));
    EXPECT_EQ(Ticks(w2), Ticks(w));
    const WIN32_FILE_ATTRIBUTE_DATA d = Info(W(p));
    EXPECT_EQ(Ticks(d.ftCreationTime), Ticks(c));
    EXPECT_EQ(Ticks(d.ftLastAccessTime), Ticks(a));
    EXPECT_EQ(Ticks(d.ftLastWriteTime), Ticks(w));
    struct stat st;
    ASSERT_EQ(stat(p.c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 1577836800);
    EXPECT_EQ(st.st_mtim.tv_nsec, 999999900);
  }
}

TEST(Times, NullAndZeroTimesLeaveTheOldOnes) {
  TempDir dir;
  const std::string f = dir / "f";
  WriteBytes(f, "abc");
  HANDLE h = OpenPath(W(f), GENERIC_WRITE, 0, OPEN_EXISTING);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  const FILETIME w = Ft(TicksOfUnix(1000000000));
  ASSERT_TRUE(SetFileTime(h, nullptr, nullptr, &w));
  const FILETIME zero = Ft(0), keep = Ft(~0ULL);
  ASSERT_TRUE(SetFileTime(h, &zero, &keep, &zero));
  CloseHandle(h);
  EXPECT_EQ(Ticks(Info(W(f)).ftLastWriteTime), Ticks(w));
}

TEST(Times, CreationTimeWithoutDosAttribIsTheBirthTime) {
  TempDir dir;
  const std::string f = dir / "f";
  WriteBytes(f, "abc");
  struct statx sx;
  ASSERT_EQ(statx(AT_FDCWD, f.c_str(), 0, STATX_BTIME | STATX_MTIME, &sx), 0);
  const ULONGLONG expected =
      sx.stx_mask & STATX_BTIME
          ? TicksOfUnix(sx.stx_btime.tv_sec, sx.stx_btime.tv_nsec)
          : TicksOfUnix(sx.stx_mtime.tv_sec, sx.stx_mtime.tv_nsec);
  EXPECT_EQ(Ticks(Info(W(f)).ftCreationTime), expected);
}

TEST(ShortNames, ValidNamesAreKeptAndListed) {
  TempDir dir;
  const std::string f = dir / "A long file name.text";
  WriteBytes(f, "");
  HANDLE h = OpenPath(W(f), GENERIC_WRITE | DELETE, 0, OPEN_EXISTING);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(SetFileShortNameW(h, TEXT("ALONGF~1.TEX")));
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW(P(W(f)), &data);
  ASSERT_NE(find, INVALID_HANDLE_VALUE);
  EXPECT_EQ(N(reinterpret_cast<const char16_t*>(data.cAlternateFileName)), "ALONGF~1.TEX");
  EXPECT_EQ(N(reinterpret_cast<const char16_t*>(data.cFileName)), "A long file name.text");
  FindClose(find);
  for (const char16_t* bad : {u"TOOLONGNA.TXT", u"A.TEXT", u"A B.TXT", u"A.B.C", u".TXT",
                              u"A.", u"A+B.TXT", u"\u00e9T.TXT"}) {
    SCOPED_TRACE(N(bad));
    SetLastError(0xDEADBEEF);
    EXPECT_FALSE(SetFileShortNameW(h, reinterpret_cast<const WCHAR*>(bad)));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  }
  ASSERT_TRUE(SetFileShortNameW(h, TEXT("")));  // removes it
  CloseHandle(h);
  find = FindFirstFileW(P(W(f)), &data);
  ASSERT_NE(find, INVALID_HANDLE_VALUE);
  EXPECT_EQ(data.cAlternateFileName[0], 0);
  FindClose(find);
}

// Sets the short name of what `path` names (a link itself, not followed).
void GiveShortName(const std::string& path, const char16_t* shortName) {
  HANDLE h = OpenPath(W(path), GENERIC_WRITE, 0, OPEN_EXISTING,
                      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT);
  ASSERT_NE(h, INVALID_HANDLE_VALUE) << path;
  EXPECT_TRUE(SetFileShortNameW(h, reinterpret_cast<const WCHAR*>(shortName)));
  CloseHandle(h);
}

std::string ShortPath(const std::u16string& path) {
  WCHAR out[512];
  const DWORD n = GetShortPathNameW(P(path), out, 512);
  return n && n < 512 ? N(reinterpret_cast<const char16_t*>(out)) : "(failed)";
}

TEST(ShortNames, ShortPathReplacesEachNameThatHasOne) {
  TempDir dir;
  ASSERT_EQ(mkdir((dir / "Long folder").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((dir / "Long folder/plain").c_str(), 0755), 0);
  WriteBytes(dir / "Long folder/plain/Long file.text", "x");
  WriteBytes(dir / "Long folder/plain/a*b", "x");  // a wildcard in a Linux name
  WriteBytes(dir / "Long folder/plain/a!b", "x");
  ASSERT_EQ(symlink("plain", (dir / "Long folder/Link to plain").c_str()), 0);
  GiveShortName(dir / "Long folder", u"LONGFO~1");
  GiveShortName(dir / "Long folder/plain/Long file.text", u"LONGFI~1.TEX");
  GiveShortName(dir / "Long folder/plain/a!b", u"AB~1");
  GiveShortName(dir / "Long folder/Link to plain", u"LINKTO~1");

  EXPECT_EQ(ShortPath(W(dir / "Long folder/plain/Long file.text")),
            dir / "LONGFO~1/plain/LONGFI~1.TEX");
  // The form given is kept: separators, and the name of a link (whose short
  // name its folder keeps) rather than its target's.
  EXPECT_EQ(ShortPath(dir.W("Long folder/Link to plain/Long file.text", '\\')),
            N(dir.W("LONGFO~1/LINKTO~1/LONGFI~1.TEX", '\\')));
  EXPECT_EQ(ShortPath(W(dir / "Long folder/plain/a*b")), dir / "LONGFO~1/plain/a*b");
  EXPECT_EQ(ShortPath(W(dir / "Long folder/plain")), dir / "LONGFO~1/plain");

  const std::u16string file = W(dir / "Long folder/plain/Long file.text");
  const DWORD length = static_cast<DWORD>((dir / "LONGFO~1/plain/LONGFI~1.TEX").size());
  WCHAR small[8];
  EXPECT_EQ(GetShortPathNameW(P(file), small, 8), length + 1);  // the size needed
  EXPECT_EQ(GetShortPathNameW(P(file), nullptr, 0), length + 1);

  SetLastError(0);
  EXPECT_EQ(GetShortPathNameW(P(W(dir / "Long folder/missing")), small, 8), 0u);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(GetShortPathNameW(P(W(dir / "missing/f")), small, 8), 0u);
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
}

// The paths of a tree come folder by folder; a short name given to a
// folder on the way, or to a link in the last folder, between two calls
// shows in the next.
TEST(ShortNames, ShortPathSeesNamesGivenBetweenCalls) {
  TempDir dir;
  ASSERT_EQ(mkdir((dir / "Long folder").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((dir / "Long folder/sub").c_str(), 0755), 0);
  WriteBytes(dir / "Long folder/sub/a.txt", "a");
  WriteBytes(dir / "Long folder/sub/b.txt", "b");
  ASSERT_EQ(symlink("a.txt", (dir / "Long folder/sub/Link to a").c_str()), 0);
  EXPECT_EQ(ShortPath(W(dir / "Long folder/sub/a.txt")), dir / "Long folder/sub/a.txt");
  GiveShortName(dir / "Long folder", u"LONGFO~1");
  EXPECT_EQ(ShortPath(W(dir / "Long folder/sub/b.txt")), dir / "LONGFO~1/sub/b.txt");
  GiveShortName(dir / "Long folder/sub/Link to a", u"LINKTO~1");  // in sub's record
  EXPECT_EQ(ShortPath(W(dir / "Long folder/sub/Link to a")), dir / "LONGFO~1/sub/LINKTO~1");
  GiveShortName(dir / "Long folder", u"");
  EXPECT_EQ(ShortPath(W(dir / "Long folder/sub/a.txt")), dir / "Long folder/sub/a.txt");
}

TEST(Links, LinkMetadataIsDerivedThenKeptByTheFolder) {
  TempDir dir;
  ASSERT_EQ(mkdir((dir / "d").c_str(), 0755), 0);
  WriteBytes(dir / "f", "abc");
  ASSERT_EQ(symlink((dir / "d").c_str(), (dir / "dl").c_str()), 0);
  ASSERT_EQ(symlink("f", (dir / "fl").c_str()), 0);
  ASSERT_EQ(symlink("missing", (dir / "broken").c_str()), 0);
  EXPECT_EQ(GetFileAttributesW(P(W(dir / "dl"))),
            FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(GetFileAttributesW(P(W(dir / "fl"))), FILE_ATTRIBUTE_REPARSE_POINT);
  EXPECT_EQ(GetFileAttributesW(P(W(dir / "broken"))), FILE_ATTRIBUTE_REPARSE_POINT);
  EXPECT_EQ(Info(W(dir / "fl")).nFileSizeLow, 0u);  // not the target's 3

  EXPECT_TRUE(SetFileAttributesW(P(W(dir / "fl")), FILE_ATTRIBUTE_HIDDEN));
  HANDLE h = OpenPath(W(dir / "fl"), GENERIC_WRITE, 0, OPEN_EXISTING,
                      FILE_FLAG_OPEN_REPARSE_POINT);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  const FILETIME c = Ft(TicksOfUnix(900000000, 1234500)), w = Ft(TicksOfUnix(1000000000));
  EXPECT_TRUE(SetFileTime(h, &c, &w, &w));
  EXPECT_TRUE(SetFileShortNameW(h, TEXT("LINK.TXT")));
  CloseHandle(h);
  struct stat st;
  ASSERT_EQ(lstat((dir / "fl").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtim.tv_sec, 1000000000);  // the link's own time
  ASSERT_EQ(stat((dir / "f").c_str(), &st), 0);
  EXPECT_NE(st.st_mtim.tv_sec, 1000000000);  // the target untouched
  Bytes none;
  EXPECT_FALSE(GetX(dir / "f", "user.DOSATTRIB", &none));

  const WIN32_FILE_ATTRIBUTE_DATA d = Info(W(dir / "fl"));
  EXPECT_EQ(d.dwFileAttributes, FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_HIDDEN);
  EXPECT_EQ(Ticks(d.ftCreationTime), Ticks(c));
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW(P(W(dir / "fl")), &data);
  ASSERT_NE(find, INVALID_HANDLE_VALUE);
  EXPECT_EQ(N(reinterpret_cast<const char16_t*>(data.cAlternateFileName)), "LINK.TXT");
  FindClose(find);

  // A link made again under the same name starts afresh.
  ASSERT_EQ(unlink((dir / "fl").c_str()), 0);
  ASSERT_EQ(symlink("f", (dir / "fl").c_str()), 0);  // often the same inode
  EXPECT_EQ(GetFileAttributesW(P(W(dir / "fl"))), FILE_ATTRIBUTE_REPARSE_POINT);
  EXPECT_NE(Ticks(Info(W(dir / "fl")).ftCreationTime), Ticks(c));
}

TEST(Links, DamagedFolderRecordsAreIgnored) {
  TempDir dir;
  ASSERT_EQ(symlink("x", (dir / "l").c_str()), 0);
  struct statx sx;
  ASSERT_EQ(statx(AT_FDCWD, (dir / "l").c_str(), AT_SYMLINK_NOFOLLOW, STATX_INO | STATX_BTIME, &sx), 0);
  Bytes record;
  Le(record, 1, 2);
  Text(record, "l");
  Le(record, sx.stx_ino, 8);
  Le(record, sx.stx_mask & STATX_BTIME ? sx.stx_btime.tv_sec * 1000000000ull + sx.stx_btime.tv_nsec : 0, 8);
  Le(record, FILE_ATTRIBUTE_SYSTEM, 4);
  Le(record, kCreated, 8);
  Le(record, 200, 1);  // a short name longer than what follows
  Text(record, "AB");
  SetX(dir.path(), "user.kvmorvel.links", record);
  EXPECT_EQ(GetFileAttributesW(P(W(dir / "l"))), FILE_ATTRIBUTE_REPARSE_POINT);
  record.resize(record.size() - 3);
  Le(record, 2, 1);
  Text(record, "AB");
  SetX(dir.path(), "user.kvmorvel.links", record);
  EXPECT_EQ(GetFileAttributesW(P(W(dir / "l"))),
            FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_SYSTEM);
  EXPECT_EQ(Ticks(Info(W(dir / "l")).ftCreationTime), kCreated);
}

}  // namespace
