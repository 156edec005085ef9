// SPDX-License-Identifier: GPL-2.0-or-later
// Open: paths, the version decided from the first 12 bytes, the log lines.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>

#include "KvMorvel.h"
#include "KvMorvelHost.h"
#include "kvwin32.h"
#include "support/test_support.h"

namespace {

std::string U32(uint32_t v) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i) s[i] = static_cast<char>(v >> (8 * i));
  return s;
}

// Reading decides the version from the file whatever the initialiser of
// that version then says, so the version is checked after Open.
DWORD VersionRead(const std::string& path) {
  CKvMorvel m;
  if (m.Open(P(W(path)), TRUE, 0)) m.Close();
  return m.GetVersion();
}

TEST(OpenTest, VersionComesFromTheFirstTwelveBytes) {
  TempDir dir;
  WriteBytes(dir / "image", "!XSSXSS!" + U32(5));
  WriteBytes(dir / "image-short", "!XSSXSS!");
  WriteBytes(dir / "v2", "XXXXXXXX" + U32(2) + std::string(40, '\0'));
  WriteBytes(dir / "v5", "XXXXXXXX" + U32(5) + std::string(40, '\0'));
  WriteBytes(dir / "v7", "MVRLIGHT" + U32(7) + std::string(40, '\0'));
  WriteBytes(dir / "short", "MVRLIGH");
  WriteBytes(dir / "eleven", "MVRLIGHT" + U32(5).substr(0, 3));
  EXPECT_EQ(3u, VersionRead(dir / "image"));
  EXPECT_EQ(3u, VersionRead(dir / "image-short"));
  EXPECT_EQ(2u, VersionRead(dir / "v2"));
  EXPECT_EQ(5u, VersionRead(dir / "v5"));
  EXPECT_EQ(1u, VersionRead(dir / "v7"));
  EXPECT_EQ(1u, VersionRead(dir / "short"));
  EXPECT_EQ(1u, VersionRead(dir / "eleven"));
}

// A host that writes the signature the library hands out makes a file the
// object reads as an image; one byte off and it does not.
TEST(OpenTest, TheSignatureAHostIsGivenIsWhatOpenReadsAsAnImage) {
  TempDir dir;
  const DWORD size = CKvMorvelHost::GetImageSignature(nullptr, 0);
  ASSERT_GE(size, 8u);
  std::string signature(size, '\x5a');
  // Too small a buffer gets nothing, and learns the size.
  EXPECT_EQ(size, CKvMorvelHost::GetImageSignature(
                      reinterpret_cast<BYTE*>(&signature[0]), size - 1));
  EXPECT_EQ(std::string(size, '\x5a'), signature);
  EXPECT_EQ(size, CKvMorvelHost::GetImageSignature(
                      reinterpret_cast<BYTE*>(&signature[0]), size));
  WriteBytes(dir / "image", signature + U32(5));
  EXPECT_EQ(3u, VersionRead(dir / "image"));
  signature[size - 1] ^= 1;
  WriteBytes(dir / "other", signature + U32(5));
  EXPECT_NE(3u, VersionRead(dir / "other"));
}

TEST(OpenTest, MissingFileFailsWithTheSystemCodeAndLogsIt) {
  TempDir dir;
  LogCapture log;
  CKvMorvel m;
  const std::string path = dir / "missing.arc";
  PrimeStaleCodes(m);
  EXPECT_FALSE(m.Open(P(W(path)), TRUE, 0));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, m.GetErrorCode());
  EXPECT_TRUE(log.Has(CKvLog::kError, "CreateFile on " + path + " - 2"));
  EXPECT_TRUE(log.Has(
      CKvLog::kEnter,
      "BOOL CKvMorvel::Open(LPCTSTR strFileName=" + path +
          ",BOOL bRead=1,DWORD dwVersion=0)"));
}

TEST(OpenTest, FolderThatDoesNotExistFailsWith3) {
  TempDir dir;
  CKvMorvel m;
  PrimeStaleCodes(m);
  EXPECT_FALSE(m.Open(P(W(dir / "no/such/file")), FALSE, 5));
  EXPECT_EQ(ERROR_PATH_NOT_FOUND, m.GetErrorCode());
}

#if !defined(_WIN32)  // FIFOs and /dev/null are POSIX objects.
// A pipe would make the version test wait for a writer for ever; a
// device is no archive either. Both are refused with 222 at once, for
// reading and for writing, and the pipe is left as it was.
TEST(OpenTest, PipesAndDevicesAreRefusedWith222WithoutWaiting) {
  TempDir dir;
  const std::string fifo = dir / "pipe.arc";
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0644));
  for (const std::string& path : {fifo, std::string("/dev/null")}) {
    SCOPED_TRACE(path);
    CKvMorvel reader, writer;
    PrimeStaleCodes(reader);
    EXPECT_FALSE(reader.Open(P(W(path)), TRUE, 0));
    EXPECT_EQ(ERROR_BAD_FILE_TYPE, reader.GetErrorCode());
    PrimeStaleCodes(writer);
    EXPECT_FALSE(writer.Open(P(W(path)), FALSE, 5));
    EXPECT_EQ(ERROR_BAD_FILE_TYPE, writer.GetErrorCode());
  }
  struct stat st;
  ASSERT_EQ(0, lstat(fifo.c_str(), &st));
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
}
#endif

TEST(OpenTest, NullEmptyAndOverlongPathsAreRefused) {
  CKvMorvel m;
  PrimeStaleCodes(m);
  EXPECT_FALSE(m.Open(nullptr, TRUE, 0));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, m.GetErrorCode());
  PrimeStaleCodes(m);
  EXPECT_FALSE(m.Open(P(W("")), TRUE, 0));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, m.GetErrorCode());
  const std::string longPath = "/tmp/" + std::string(300, 'x');
  PrimeStaleCodes(m);
  EXPECT_FALSE(m.Open(P(W(longPath)), FALSE, 5));
  EXPECT_EQ(122u, m.GetErrorCode());
}

// A name that does not fit its field gives the same code as the overlong
// path in Open, in every version, and nothing is stored under a cut name:
// the archive read back lists only the entry added after it.
TEST(OpenTest, ANameThatDoesNotFitIsRefusedWith122InEveryVersion) {
  TempDir dir;
  WriteBytes(dir / "src", "abc");
  const std::string tooLong(700, 'n');
  for (DWORD version : {1u, 2u, 5u}) {
    const std::string path = dir / ("v" + std::to_string(version) + ".arc");
    CKvMorvel m;
    ASSERT_TRUE(m.Open(P(W(path)), FALSE, version)) << version;
    PrimeStaleCodes(m);
    EXPECT_FALSE(m.AddFile(P(W(dir / "src")), P(W(tooLong)), nullptr, 0))
        << version;
    EXPECT_EQ(122u, m.GetErrorCode()) << version;
    ASSERT_TRUE(m.AddFile(P(W(dir / "src")), P(W("kept")), nullptr, 0));
    ASSERT_TRUE(m.Close());
    CKvMorvel r;
    ASSERT_TRUE(r.Open(P(W(path)), TRUE, 0));
    ASSERT_TRUE(r.Info(FALSE)) << version;
    WCHAR name[16];
    ASSERT_TRUE(r.GetFile(name, 16));
    EXPECT_EQ("kept", N(reinterpret_cast<char16_t*>(name))) << version;
    r.Info(TRUE);
    EXPECT_FALSE(r.Info(FALSE)) << version;
    r.Close();
  }
}

TEST(OpenTest, WritingTakesTheVersionArgumentUnchanged) {
  TempDir dir;
  CKvMorvel m;
  ASSERT_TRUE(m.Open(P(W(dir / "four.arc")), FALSE, 4));
  EXPECT_EQ(4u, m.GetVersion());
  EXPECT_TRUE(m.Close());
  EXPECT_EQ(32u, ReadBytes(dir / "four.arc").size());  // a version 1 file
}

// The names an archive lists, in order.
std::vector<std::string> Listed(const std::string& path) {
  std::vector<std::string> names;
  CKvMorvel m;
  if (!m.Open(P(W(path)), TRUE, 0)) return {"<does not open>"};
  while (m.Info(TRUE)) {
    WCHAR name[260];
    if (m.GetFile(name, 260))
      names.push_back(N(reinterpret_cast<const char16_t*>(name)));
  }
  m.Close();
  return names;
}

// A second Open on an object that holds an open archive is refused with
// 0x10000204 before anything is touched: the first archive stays open,
// its added entries are written at Close, and the second file is never
// made. The same for an archive open for reading.
TEST(OpenTest, OpenOnAnObjectThatHoldsAnArchiveIsRefusedInEveryVersion) {
  const DWORD kAlreadyOpen = 0x10000204u;
  for (DWORD version : {1u, 2u, 5u}) {
    SCOPED_TRACE(version);
    TempDir dir;
    WriteBytes(dir / "a.txt", "alpha");
    const std::string first = dir / "first.arc";
    const std::string second = dir / "second.arc";
    CKvMorvel m;
    ASSERT_TRUE(m.Open(P(W(first)), FALSE, version));
    ASSERT_TRUE(m.AddFile(P(W(dir / "a.txt")), P(W("a.txt")), nullptr, 0));
    EXPECT_FALSE(m.Open(P(W(second)), FALSE, version));
    EXPECT_EQ(kAlreadyOpen, m.GetErrorCode());
    EXPECT_FALSE(m.Open(P(W(first)), TRUE, 0));
    EXPECT_EQ(kAlreadyOpen, m.GetErrorCode());
    EXPECT_FALSE(Exists(second));
    EXPECT_EQ(version, m.GetVersion());
    EXPECT_TRUE(m.Close());
    EXPECT_EQ(std::vector<std::string>{"a.txt"}, Listed(first));

    CKvMorvel reader;
    ASSERT_TRUE(reader.Open(P(W(first)), TRUE, 0));
    EXPECT_FALSE(reader.Open(P(W(second)), FALSE, version));
    EXPECT_EQ(kAlreadyOpen, reader.GetErrorCode());
    EXPECT_FALSE(Exists(second));
    ASSERT_TRUE(reader.Info(FALSE));
    EXPECT_TRUE(reader.ExtractFile(P(W(dir / "out")), 1));
    EXPECT_EQ("alpha", ReadBytes(dir / "out/a.txt"));
    EXPECT_TRUE(reader.Close());
    // Once closed, the object opens another archive.
    EXPECT_TRUE(reader.Open(P(W(second)), FALSE, version));
    EXPECT_TRUE(reader.Close());
  }
}

// A failed Open for writing removes the main file it created (here a new
// version 5 archive whose first part cannot be made, as a folder holds
// its name), and never a file that was there before it.
TEST(OpenTest, AFailedOpenLeavesNoFileItCreatedAndKeepsOneThatWasThere) {
  TempDir dir;
  const std::string fresh = dir / "fresh.kvm";
  const std::string freshPart = dir / "fresh_0001.kvm";
  ASSERT_EQ(0, mkdir(freshPart.c_str(), 0755));
  CKvMorvel m;
  EXPECT_FALSE(m.Open(P(W(fresh)), FALSE, 5));
  EXPECT_NE(0u, m.GetErrorCode());
  EXPECT_FALSE(Exists(fresh));
  // The object is free for the next Open.
  EXPECT_TRUE(m.Open(P(W(dir / "next.kvm")), FALSE, 5));
  EXPECT_TRUE(m.Close());
  // A file that was there is kept as it was, whatever refused it.
  const std::string old = dir / "old.kvm";
  WriteBytes(old, "not an archive");
  CKvMorvel again;
  EXPECT_FALSE(again.Open(P(W(old)), FALSE, 5));
  EXPECT_EQ(static_cast<DWORD>(ERROR_BAD_FORMAT), again.GetErrorCode());
  EXPECT_EQ("not an archive", ReadBytes(old));
}

}  // namespace
