// SPDX-License-Identifier: GPL-2.0-or-later
// Text conversion, the wide formatter, the C runtime generator, local
// time, the environment, the current folder and modules.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <thread>

#include <zlib.h>

#include "layer_test_util.h"

namespace {

std::string Narrow(const WCHAR* w) { return N(reinterpret_cast<const char16_t*>(w)); }

TEST(Text, WideToUtf8WithDefaultCharacterForLoneSurrogates) {
  const std::u16string text = u"a\u00e9\u20ac\U0001F600";
  for (UINT page : {CP_ACP, CP_UTF8}) {
    char out[32] = {};
    BOOL usedDefault = TRUE;
    const int n = WideCharToMultiByte(page, 0, P(text), -1, out, sizeof(out), nullptr,
                                      &usedDefault);
    EXPECT_EQ(n, 1 + 2 + 3 + 4 + 1);
    EXPECT_STREQ(out, "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
    EXPECT_FALSE(usedDefault);
  }
  const std::u16string lone = u"x\xD800y\xDC00";
  char out[16] = {};
  BOOL usedDefault = FALSE;
  const int n = WideCharToMultiByte(CP_ACP, 0, P(lone), 4, out, sizeof(out), "?", &usedDefault);
  EXPECT_EQ(n, 4);
  EXPECT_EQ(std::string(out, 4), "x?y?");
  EXPECT_TRUE(usedDefault);
  // Size query, then too small a buffer.
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, P(text), -1, nullptr, 0, nullptr, nullptr), 11);
  SetLastError(0xDEADBEEF);
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, P(text), -1, out, 5, nullptr, nullptr), 0);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  WCHAR back[16];
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "a\xC3\xA9", -1, back, 16), 3);
  EXPECT_EQ(Narrow(back), "a\xC3\xA9");
}

TEST(Text, WideStringHelpers) {
  WCHAR buffer[8];
  lstrcpynW(buffer, TEXT("abcdefghij"), 5);
  EXPECT_EQ(Narrow(buffer), "abcd");
  lstrcatW(buffer, TEXT("XY"));
  EXPECT_EQ(Narrow(buffer), "abcdXY");
  EXPECT_EQ(lstrlenW(buffer), 6);
  EXPECT_EQ(lstrcmpiW(TEXT("Stra\u00dfe \u00c9t\u00e9"), TEXT("STRA\u00dfE \u00e9T\u00c9")), 0);
  EXPECT_NE(lstrcmpW(TEXT("abc"), TEXT("ABC")), 0);
  EXPECT_LT(lstrcmpiW(TEXT("abc"), TEXT("ABD")), 0);
  WCHAR upper[] = TEXT("m\u00e9lange \u00ff");
  CharUpperW(upper);
  EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(upper)), u"M\u00c9LANGE \u0178");
}

TEST(Format, WideFormatsComeOutAsTheCRuntimeWrites) {
  WCHAR out[64];
  EXPECT_EQ(KvFormatW(out, 64, TEXT("%8.8X"), 0xABCu), 8);
  EXPECT_EQ(Narrow(out), "00000ABC");
  KvFormatW(out, 64, TEXT("%s_%.4i%s"), TEXT("C:\\arc\\name"), 7, TEXT(".mvr"));
  EXPECT_EQ(Narrow(out), "C:\\arc\\name_0007.mvr");
  KvFormatW(out, 64, TEXT("%u|%d|%c|%x"), 4294967295u, -42, 'Z', 255u);
  EXPECT_EQ(Narrow(out), "4294967295|-42|Z|ff");
  KvFormatW(out, 64, TEXT("[%5d][%-5d][%05d][%%]"), 42, 42, -42);
  EXPECT_EQ(Narrow(out), "[   42][42   ][-0042][%]");
  KvFormatW(out, 64, TEXT("%c:\\"), 'F');
  EXPECT_EQ(Narrow(out), "F:\\");
  KvFormatW(out, 64, TEXT("%I64u %S %hs"), 12345678901234ULL, "narrow", "too");
  EXPECT_EQ(Narrow(out), "12345678901234 narrow too");
  KvFormatW(out, 64, TEXT("[%3c][%-3c]%d"), 'a', 'b', 5);
  EXPECT_EQ(Narrow(out), "[  a][b  ]5");
}

TEST(Format, OutputThatDoesNotFitIsCutAndReported) {
  WCHAR out[6];
  out[5] = 0x7777;
  EXPECT_EQ(KvFormatW(out, 5, TEXT("%s"), TEXT("abcdef")), -1);
  EXPECT_EQ(Narrow(out), "abcd");
  EXPECT_EQ(out[5], 0x7777);  // nothing past the capacity
  EXPECT_EQ(KvFormatW(out, 5, TEXT("%.4i"), 12), 4);
  EXPECT_EQ(KvFormatW(out, 4, TEXT("%.4i"), 12), -1);
  EXPECT_EQ(KvFormatW(out, 0, TEXT("")), -1);
}

TEST(Rand, FollowsTheCRuntimeSequencePerThread) {
  KvSrand(1);
  EXPECT_EQ(KvRand(), 41);
  EXPECT_EQ(KvRand(), 18467);
  EXPECT_EQ(KvRand(), 6334);
  int other = 0;
  std::thread t([&] {
    KvSrand(1);
    other = KvRand();
    KvRand();
  });
  t.join();
  EXPECT_EQ(other, 41);
  EXPECT_EQ(KvRand(), 26500);  // this thread's state untouched
}

TEST(Time, LocalTimeFollowsTheZoneAndItsDaylightSaving) {
  const char* old = getenv("TZ");
  const std::string saved = old ? old : "";
  setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
  tzset();
  const ULONGLONG winterUtc = TicksOfUnix(1579089600);  // 2020-01-15 12:00 UTC
  const ULONGLONG summerUtc = TicksOfUnix(1593604800);  // 2020-07-01 12:00 UTC
  FILETIME local, utc;
  FILETIME in = Ft(winterUtc + 1234567);
  ASSERT_TRUE(FileTimeToLocalFileTime(&in, &local));
  EXPECT_EQ(Ticks(local), winterUtc + 1234567 + 3600ULL * 10000000);
  in = Ft(summerUtc);
  ASSERT_TRUE(FileTimeToLocalFileTime(&in, &local));
  EXPECT_EQ(Ticks(local), summerUtc + 7200ULL * 10000000);
  ASSERT_TRUE(LocalFileTimeToFileTime(&local, &utc));
  EXPECT_EQ(Ticks(utc), summerUtc);
  in = Ft(winterUtc + 3600ULL * 10000000);
  ASSERT_TRUE(LocalFileTimeToFileTime(&in, &utc));
  EXPECT_EQ(Ticks(utc), winterUtc);
  if (old)
    setenv("TZ", saved.c_str(), 1);
  else
    unsetenv("TZ");
  tzset();
}

TEST(Process, EnvironmentRoundTripAndSizes) {
  ASSERT_TRUE(SetEnvironmentVariableW(TEXT("KV_TEST_VAR"), TEXT("v\u00e4lue")));
  WCHAR buffer[16];
  EXPECT_EQ(GetEnvironmentVariableW(TEXT("KV_TEST_VAR"), buffer, 16), 5u);
  EXPECT_EQ(Narrow(buffer), "v\xC3\xA4lue");
  EXPECT_EQ(GetEnvironmentVariableW(TEXT("KV_TEST_VAR"), buffer, 5), 6u);
  ASSERT_TRUE(SetEnvironmentVariableW(TEXT("KV_TEST_VAR"), nullptr));
  SetLastError(0xDEADBEEF);
  EXPECT_EQ(GetEnvironmentVariableW(TEXT("KV_TEST_VAR"), buffer, 16), 0u);
  EXPECT_EQ(GetLastError(), ERROR_ENVVAR_NOT_FOUND);
}

TEST(Process, CurrentFolderIsThePosixOne) {
  char old[PATH_MAX];
  ASSERT_NE(getcwd(old, sizeof(old)), nullptr);
  TempDir dir;
  ASSERT_TRUE(SetCurrentDirectoryW(P(dir.W())));
  WCHAR buffer[PATH_MAX];
  const DWORD n = GetCurrentDirectoryW(PATH_MAX, buffer);
  char real[PATH_MAX];
  ASSERT_NE(realpath(dir.path().c_str(), real), nullptr);
  EXPECT_EQ(Narrow(buffer), real);
  EXPECT_EQ(n, strlen(real));
  EXPECT_EQ(GetCurrentDirectoryW(3, buffer), n + 1);
  SetLastError(0xDEADBEEF);
  EXPECT_FALSE(SetCurrentDirectoryW(P(dir.W("missing"))));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  ASSERT_EQ(chdir(old), 0);
}

TEST(Process, PointerChecksAndTicks) {
  char buffer[8];
  EXPECT_TRUE(IsBadWritePtr(nullptr, 1));
  EXPECT_TRUE(IsBadWritePtr(reinterpret_cast<LPVOID>(UINTPTR_MAX - 4), 16));
  EXPECT_FALSE(IsBadWritePtr(buffer, sizeof(buffer)));
  const DWORD a = GetTickCount(), b = GetTickCount();
  EXPECT_LE(a, b);
}

TEST(Modules, LoadsASharedObjectByItsWindowsName) {
  Dl_info info;
  ASSERT_NE(dladdr(reinterpret_cast<void*>(&zlibVersion), &info), 0);
  TempDir dir;
  DosDevices dos;
  dos.Map('z', dir.path());
  WriteBytes(dir / "virtdisk.dll", ReadBytes(info.dli_fname));
  HMODULE module = LoadLibraryW(TEXT("Z:\\virtdisk.dll"));
  ASSERT_NE(module, nullptr);
  typedef const char* (*VersionFunction)();
  VersionFunction version =
      reinterpret_cast<VersionFunction>(
          reinterpret_cast<void (*)()>(GetProcAddress(module, "zlibVersion")));
  ASSERT_NE(version, nullptr);
  EXPECT_STREQ(version(), zlibVersion());
  SetLastError(0xDEADBEEF);
  EXPECT_EQ(GetProcAddress(module, "NoSuchExport"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_PROC_NOT_FOUND);
  EXPECT_TRUE(FreeLibrary(module));
  SetLastError(0xDEADBEEF);
  EXPECT_EQ(LoadLibraryW(TEXT("Z:\\missing.dll")), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
  // A file that is there but is no shared object: 193, not "missing".
  WriteBytes(dir / "text.dll", "not a library");
  SetLastError(0xDEADBEEF);
  EXPECT_EQ(LoadLibraryW(TEXT("Z:\\text.dll")), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_BAD_EXE_FORMAT);
}

// The folder a module was loaded from, found through one of its exports.
std::string FolderOfExport(HMODULE module, const char* name) {
  Dl_info info;
  FARPROC symbol = GetProcAddress(module, name);
  if (!symbol || !dladdr(reinterpret_cast<void*>(symbol), &info)) return "";
  const std::string file = info.dli_fname;
  return file.substr(0, file.rfind('/'));
}

TEST(Modules, ABareNameComesFromTheProgramsFolderBeforeTheCurrentOne) {
  // The build folder holds this program and the real mount library; the
  // current folder gets a planted one that leaves a marker when loaded.
  TempDir here;
  PlantLibrary(here.path());
  PlantLibrary(here.path(), "only-here.dll");
  InFolder inside(here.path());
  HMODULE module = LoadLibraryW(TEXT("virtdisk.dll"));
  ASSERT_NE(module, nullptr);
  EXPECT_EQ(ProgramFolder(), FolderOfExport(module, "Mount"));
  EXPECT_TRUE(FreeLibrary(module));
  EXPECT_FALSE(Exists(here / kPlantedMarker));
  // A name no earlier folder holds is taken from the current one, last:
  // the plant does run when it is the only one.
  module = LoadLibraryW(TEXT("only-here.dll"));
  ASSERT_NE(module, nullptr);
  EXPECT_EQ(here.path(), FolderOfExport(module, "Mount"));
  EXPECT_TRUE(FreeLibrary(module));
  EXPECT_TRUE(Exists(here / kPlantedMarker));
  SetLastError(0xDEADBEEF);
  EXPECT_EQ(LoadLibraryW(TEXT("nowhere.dll")), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
}

}  // namespace
