// SPDX-License-Identifier: GPL-2.0-or-later
// The archive object: construction, copying, argument checks, version
// detection, the current entry and the encrypted-file name.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <set>

#include "KvMorvel.h"
#include "KvSystem.h"
#include "archive/codes.h"
#include "kvwin32.h"
#include "support/archive_bytes.h"
#include "support/test_support.h"

namespace {

// An object open for reading on a version 5 archive that holds
// `entries` (their data is never read), positioned on the first.
struct Listed {
  TempDir dir;
  CKvMorvel m;
  explicit Listed(const std::vector<StoredEntry>& entries) {
    WriteV5Archive(dir / "x.arc", entries, {""});
    EXPECT_TRUE(m.Open(P(W(dir / "x.arc")), TRUE, 0)) << m.GetErrorCode();
    EXPECT_TRUE(m.Info(0)) << m.GetErrorCode();
  }
  ~Listed() { m.Close(); }
};

// Info(TRUE) loads the current entry and then moves past it; the next
// Info(FALSE) loads the one after.
bool Next(CKvMorvel& m) { return m.Info(1) && m.Info(0); }

std::string Name(CKvMorvel& m) {
  WCHAR buffer[260];
  EXPECT_TRUE(m.GetFile(buffer, 260));
  return N(reinterpret_cast<const char16_t*>(buffer));
}

TEST(ObjectTest, ConstructorGivesDocumentedInitialState) {
  CKvMorvel m;
  EXPECT_EQ(1u, m.GetVersion());
  EXPECT_EQ(650117120ull, m.GetSplitSize());
  EXPECT_EQ(0u, m.GetAttributes());
  EXPECT_EQ(0, m.GetLength64());
  EXPECT_EQ("", Name(m));
  WCHAR drive[4] = {'Z'};
  EXPECT_TRUE(m.GetMountedDrive(drive, 4));
  EXPECT_EQ(0, drive[0]);  // nothing mounted
  EXPECT_EQ(0u, m.GetErrorCode());
  PrimeStaleCodes(m);
  EXPECT_FALSE(m.ExtractFile(P(W("/tmp")), 0));  // no archive open
  EXPECT_EQ(kErrorNoArchive, m.GetErrorCode());
}

// Releases `object` the way a host does, through whatever pointer it
// holds. A member call through a null pointer is exactly the case under
// test, so the undefined-behaviour checker is kept out of this caller.
#if defined(__GNUC__)
__attribute__((no_sanitize("undefined")))
#endif
void ReleaseAsAHostDoes(CKvMorvel* object) {
  object->Release();
}

TEST(ObjectTest, ReleaseDeletesTheObjectAndOnANullObjectDoesNothing) {
  CKvMorvel* volatile none = nullptr;  // unknown to the compiler, as a host's
  ReleaseAsAHostDoes(none);
  ReleaseAsAHostDoes(new CKvMorvel);  // the leak checker sees it freed
}

TEST(ObjectTest, SettersKeepValuesUnchecked) {
  CKvMorvel m;
  m.SetSplitSize(0);
  EXPECT_EQ(0u, m.GetSplitSize());
  m.SetSplitSize(0xFFFFFFFFFFFFFFFFull);
  EXPECT_EQ(0xFFFFFFFFFFFFFFFFull, m.GetSplitSize());
  EXPECT_TRUE(m.Dump());
}

TEST(ObjectTest, LengthJoinsHighAndLowHalves) {
  StoredEntry e = Entry("a\\b.txt", 0x20, (2ull << 32) | 0x80000001ull);
  e.data.ftLastWriteTime = {7, 0};
  Listed list({e});
  EXPECT_EQ((2ll << 32) | 0x80000001ll, list.m.GetLength64());
  EXPECT_EQ(7u, list.m.GetLastWriteTime().dwLowDateTime);
  EXPECT_EQ("a\\b.txt", Name(list.m));
}

// A copy keeps its own current entry and shares the open archive: it
// lists on from where the original stood, and only one of them closes.
TEST(ObjectTest, CopiesOwnTheirStringsAndShareTheOpenArchive) {
  Listed list({Entry("first", FILE_ATTRIBUTE_HIDDEN),
               Entry("second", FILE_ATTRIBUTE_HIDDEN), Entry("third", 0)});
  CKvMorvel& a = list.m;
  a.SetSplitSize(1234);
  CKvMorvel b(a);
  EXPECT_EQ("first", Name(b));
  EXPECT_EQ(1234u, b.GetSplitSize());
  ASSERT_TRUE(Next(a));
  EXPECT_EQ("second", Name(a));
  EXPECT_EQ("first", Name(b));  // the copy kept its own name

  CKvMorvel c;
  c = a;
  EXPECT_EQ("second", Name(c));
  EXPECT_EQ(FILE_ATTRIBUTE_HIDDEN, c.GetAttributes());
  ASSERT_TRUE(Next(c));  // reads on through the shared archive
  EXPECT_EQ("third", Name(c));
}

TEST(ObjectTest, CopyKeepsTheErrorHolderCode) {
  CKvMorvel a;
  EXPECT_FALSE(a.ExtractFile(nullptr, 0));
  CKvMorvel b(a);
  EXPECT_EQ(kErrorNullTarget, b.GetErrorCode());
}

// Each refused argument replaces whatever code the holder held: the
// null-target checks follow a call that left another code.
TEST(ObjectTest, ArgumentChecksReportTheirCodes) {
  CKvMorvel m;
  WIN32_FILE_ATTRIBUTE_DATA d = {};
  PrimeStaleCodes(m);
  EXPECT_FALSE(m.AddFile(P(W("/tmp/x")), P(W("x")), nullptr, 0));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, m.GetErrorCode());
  PrimeStaleCodes(m);
  EXPECT_FALSE(m.AddFile(P(W("/tmp/x")), P(W("x")), &d, nullptr, 0));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, m.GetErrorCode());
  PrimeStaleCodes(m);
  EXPECT_FALSE(m.ExtractFile(P(W("/tmp")), 0));
  EXPECT_EQ(kErrorNoArchive, m.GetErrorCode());

  const std::function<BOOL()> refused[] = {
      [&] { return m.ExtractFile(nullptr, 0); },
      [&] { return m.GetFile(nullptr, 260); },
      [&] { return m.GetEncryptedFileName(nullptr, 10); },
      [&] { return m.GetMountedDrive(nullptr, 10); }};
  for (const auto& call : refused) {
    m.ExtractFile(P(W("/tmp")), 0);
    ASSERT_EQ(kErrorNoArchive, m.GetErrorCode());
    EXPECT_FALSE(call());
    EXPECT_EQ(kErrorNullTarget, m.GetErrorCode());
  }
  WCHAR small[4];
  EXPECT_TRUE(m.GetMountedDrive(small, 4));  // empty drive string fits
}

TEST(ObjectTest, AddFileNeedsAnArchiveOpenForWritingAndBothNames) {
  TempDir dir;
  WriteBytes(dir / "x", "x");
  CKvMorvel m;
  PrimeStaleCodes(m);
  EXPECT_FALSE(m.AddFile(P(W(dir / "x")), P(W("x")), nullptr, 0));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, m.GetErrorCode());  // none open
  ASSERT_TRUE(m.Open(P(W(dir / "w.arc")), FALSE, 5));
  PrimeStaleCodes(m);
  EXPECT_FALSE(m.AddFile(nullptr, P(W("x")), nullptr, 0));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, m.GetErrorCode());
  PrimeStaleCodes(m);
  EXPECT_FALSE(m.AddFile(P(W(dir / "x")), nullptr, nullptr, 0));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, m.GetErrorCode());
  EXPECT_TRUE(m.Close());

  Listed list({Entry("f", 0x20)});  // open for reading
  PrimeStaleCodes(list.m);
  EXPECT_FALSE(list.m.AddFile(P(W(dir / "x")), P(W("x")), nullptr, 0));
  EXPECT_EQ(ERROR_ACCESS_DENIED, list.m.GetErrorCode());
}

TEST(ObjectTest, CallerBufferTooSmallForTheNameIsRefused) {
  Listed list({Entry("abcdef", 0x20)});
  WCHAR buffer[8];
  for (WCHAR& c : buffer) c = 'Z';
  PrimeStaleCodes(list.m);
  EXPECT_FALSE(list.m.GetFile(buffer, 6));  // 6 characters need 7 with the NUL
  EXPECT_EQ(ERROR_INSUFFICIENT_BUFFER, list.m.GetErrorCode());
  EXPECT_EQ('Z', buffer[0]);  // nothing written
  EXPECT_TRUE(list.m.GetFile(buffer, 7));
  EXPECT_EQ(0, buffer[6]);
}

// A 400-character name: two folders of 150 characters (Linux takes 255
// bytes a component) and a file in them.
std::string LongName(char separator) {
  return std::string(150, 'd') + separator + std::string(150, 'e') +
         separator + std::string(98, 'f');
}

// A name past 259 characters is given whole, never cut: GetEntryName with
// the size needed, GetFile only when the buffer takes it all. Versions 1,
// 2 and 5 load their names on different paths (Info, and the restore of
// version 1 sets the name again).
TEST(ObjectTest, WholeNameIsGivenWithTheSizeNeededInEveryVersion) {
  TempDir dir;
  WriteBytes(dir / "source.txt", "whole");
  const std::string name = LongName('\\');
  for (DWORD version : {1u, 2u, 5u}) {
    SCOPED_TRACE(version);
    const std::string path = dir / ("v" + std::to_string(version) + ".arc");
    {
      CKvMorvel writer;
      ASSERT_TRUE(writer.Open(P(W(path)), FALSE, version)) << writer.GetErrorCode();
      ASSERT_TRUE(writer.AddFile(P(W(dir / "source.txt")), P(W(name)), nullptr, 0))
          << writer.GetErrorCode();
      ASSERT_TRUE(writer.Close());
    }
    CKvMorvel m;
    ASSERT_TRUE(m.Open(P(W(path)), TRUE, 0));
    ASSERT_TRUE(m.Info(0));
    const DWORD whole = static_cast<DWORD>(name.size()) + 1;
    // The size alone: a null buffer of capacity 0.
    DWORD needed = 0;
    PrimeStaleCodes(m);
    EXPECT_FALSE(m.GetEntryName(nullptr, 0, &needed));
    EXPECT_EQ(ERROR_INSUFFICIENT_BUFFER, m.GetErrorCode());
    EXPECT_EQ(whole, needed);
    // One character short: refused, nothing written.
    std::vector<WCHAR> buffer(whole + 8, 'Z');
    needed = 0;
    EXPECT_FALSE(m.GetEntryName(buffer.data(), whole - 1, &needed));
    EXPECT_EQ(ERROR_INSUFFICIENT_BUFFER, m.GetErrorCode());
    EXPECT_EQ(whole, needed);
    EXPECT_EQ('Z', buffer[0]);
    // GetFile with the usual 260 characters: refused, never cut.
    EXPECT_FALSE(m.GetFile(buffer.data(), 260));
    EXPECT_EQ(ERROR_INSUFFICIENT_BUFFER, m.GetErrorCode());
    EXPECT_EQ('Z', buffer[0]);
    // Room enough: the whole name, from both.
    PrimeStaleCodes(m);
    const DWORD before = m.GetErrorCode();
    ASSERT_TRUE(m.GetEntryName(buffer.data(), whole, &needed));
    EXPECT_EQ(before, m.GetErrorCode());
    EXPECT_EQ(name, N(reinterpret_cast<const char16_t*>(buffer.data())));
    std::fill(buffer.begin(), buffer.end(), 'Z');
    ASSERT_TRUE(m.GetFile(buffer.data(), whole));
    EXPECT_EQ(name, N(reinterpret_cast<const char16_t*>(buffer.data())));
    // No place for the size: 0x10000002.
    EXPECT_FALSE(m.GetEntryName(buffer.data(), whole, nullptr));
    EXPECT_EQ(kErrorNullTarget, m.GetErrorCode());
    // Restored: the file has its whole name, and the name stays whole.
    ASSERT_TRUE(m.ExtractFile(P(W(dir / "out")), 1)) << m.GetErrorCode();
    EXPECT_EQ("whole", ReadBytes(dir / ("out/" + LongName('/'))));
    ASSERT_TRUE(m.GetEntryName(buffer.data(), whole, &needed));
    EXPECT_EQ(name, N(reinterpret_cast<const char16_t*>(buffer.data())));
    // A copy holds the whole name too.
    CKvMorvel copy(m);
    ASSERT_TRUE(copy.GetEntryName(buffer.data(), whole, &needed));
    EXPECT_EQ(name, N(reinterpret_cast<const char16_t*>(buffer.data())));
    EXPECT_TRUE(m.Close());
  }
  // Before any entry the name is empty: one character, its terminator.
  CKvMorvel fresh;
  DWORD needed = 0;
  WCHAR one[1] = {'Z'};
  ASSERT_TRUE(fresh.GetEntryName(one, 1, &needed));
  EXPECT_EQ(1u, needed);
  EXPECT_EQ(0, one[0]);
}

// A self-relative descriptor holding only its owner, S-1-22-1-4242.
const BYTE kOwnerOnly[] = {1, 0, 0x00, 0x80, 20, 0, 0, 0, 0, 0, 0, 0,   // header
                           0, 0, 0, 0, 0, 0, 0, 0,
                           1, 2, 0, 0, 0, 0, 0, 22, 1, 0, 0, 0, 0x92, 0x10, 0, 0};

TEST(ObjectTest, EntryDescriptorIsReadWithoutRestoringAnything) {
  for (DWORD version : {2u, 5u}) {
    SCOPED_TRACE(version);
    TempDir dir;
    WriteBytes(dir / "f", "data");
    const std::string path = dir / "a.arc";
    {
      CKvMorvel w;
      ASSERT_TRUE(w.Open(P(W(path)), FALSE, version));
      ASSERT_TRUE(w.AddFile(P(W(dir / "f")), P(W("with")), const_cast<BYTE*>(kOwnerOnly),
                            sizeof kOwnerOnly));
      ASSERT_TRUE(w.AddFile(P(W(dir / "f")), P(W("without")), nullptr, 0));
      ASSERT_TRUE(w.Close());
    }
    CKvMorvel m;
    ASSERT_TRUE(m.Open(P(W(path)), TRUE, 0));
    ASSERT_TRUE(m.Info(0));
    BYTE out[1024];
    memset(out, 0xEE, sizeof out);
    DWORD length = 0;
    PrimeStaleCodes(m);
    EXPECT_FALSE(m.GetEntryDescriptor(out, sizeof kOwnerOnly - 1, &length));
    EXPECT_EQ(ERROR_INSUFFICIENT_BUFFER, m.GetErrorCode());
    EXPECT_EQ(sizeof kOwnerOnly, length);
    EXPECT_EQ(0xEE, out[0]);  // nothing written
    ASSERT_TRUE(m.GetEntryDescriptor(out, sizeof out, &length)) << m.GetErrorCode();
    ASSERT_EQ(sizeof kOwnerOnly, length);
    EXPECT_EQ(0, memcmp(out, kOwnerOnly, length));
    ASSERT_TRUE(Next(m));
    EXPECT_EQ("without", Name(m));
    PrimeStaleCodes(m);
    if (version == 5) {
      EXPECT_FALSE(m.GetEntryDescriptor(out, sizeof out, &length));
      EXPECT_EQ(ERROR_NOT_FOUND, m.GetErrorCode());
      EXPECT_EQ(0u, length);
    } else {
      // The version 2 adder reads the source's own when given none.
      EXPECT_TRUE(m.GetEntryDescriptor(out, sizeof out, &length)) << m.GetErrorCode();
      EXPECT_GT(length, 20u);
    }
    EXPECT_TRUE(m.Close());
    PrimeStaleCodes(m);
    EXPECT_FALSE(m.GetEntryDescriptor(out, sizeof out, &length));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, m.GetErrorCode());  // none open
    if (version == 5) {
      // The descriptor lives in part 1: without it the read fails with
      // the open's code.
      ASSERT_EQ(0, unlink((dir / "a_0001.arc").c_str()));
      ASSERT_TRUE(m.Open(P(W(path)), TRUE, 0));
      ASSERT_TRUE(m.Info(0));
      EXPECT_FALSE(m.GetEntryDescriptor(out, sizeof out, &length));
      EXPECT_EQ(ERROR_FILE_NOT_FOUND, m.GetErrorCode());
      EXPECT_TRUE(m.Close());
    }
  }
  // Version 1 keeps none.
  TempDir dir;
  WriteBytes(dir / "f", "data");
  CKvMorvel w;
  ASSERT_TRUE(w.Open(P(W(dir / "v1.arc")), FALSE, 1));
  ASSERT_TRUE(w.AddFile(P(W(dir / "f")), P(W("f")), const_cast<BYTE*>(kOwnerOnly),
                        sizeof kOwnerOnly));
  ASSERT_TRUE(w.Close());
  ASSERT_TRUE(w.Open(P(W(dir / "v1.arc")), TRUE, 0));
  ASSERT_TRUE(w.Info(0));
  BYTE out[64];
  DWORD length = 7;
  EXPECT_FALSE(w.GetEntryDescriptor(out, sizeof out, &length));
  EXPECT_EQ(ERROR_NOT_FOUND, w.GetErrorCode());
  EXPECT_EQ(0u, length);
  w.Close();
}

// --- The encrypted-file name ------------------------------------------

TEST(EncryptedNameTest, GeneratorFollowsTheCRuntimeSequence) {
  // The documented generator: state * 214013 + 2531011, bits 16..30.
  KvSrand(1);
  EXPECT_EQ(41, KvRand());
  EXPECT_EQ(18467, KvRand());
  EXPECT_EQ(6334, KvRand());
  KvSrand(0x12345678u);
  const unsigned state = 0x12345678u * 214013u + 2531011u;
  EXPECT_EQ(static_cast<int>((state >> 16) & 0x7FFF), KvRand());
}

int FirstRandFor(DWORD tick) {
  KvSrand(tick);
  return KvRand();
}

std::string EncryptedName(CKvMorvel& m) {
  WCHAR buffer[260] = {'Z'};
  EXPECT_TRUE(m.GetEncryptedFileName(buffer, 260));
  return N(reinterpret_cast<const char16_t*>(buffer));
}

TEST(EncryptedNameTest, EncryptedFileGetsLastComponentRandomAndTime) {
  Listed list({Entry("first", 0),
               Entry("dir\\sub\\secret.doc",
                     FILE_ATTRIBUTE_ENCRYPTED | FILE_ATTRIBUTE_ARCHIVE)});
  const DWORD tickBefore = GetTickCount();
  const ULONGLONG timeBefore = KvTimeNow();
  ASSERT_TRUE(Next(list.m));
  const DWORD tickAfter = GetTickCount();
  const ULONGLONG timeAfter = KvTimeNow();

  const std::string name = EncryptedName(list.m);
  ASSERT_EQ(0u, name.rfind("secret.doc.", 0)) << name;
  unsigned random = 0, seconds = 0;
  ASSERT_EQ(2, sscanf(name.c_str() + 11, "%u.%u", &random, &seconds));
  std::set<int> possible;
  for (DWORD t = tickBefore; t != tickAfter + 1; ++t)
    possible.insert(FirstRandFor(t));
  EXPECT_TRUE(possible.count(static_cast<int>(random))) << name;
  EXPECT_GE(seconds, static_cast<unsigned>(timeBefore));
  EXPECT_LE(seconds, static_cast<unsigned>(timeAfter));
}

// The restore name of an encrypted file comes from the last component of
// its whole name, also when the name is longer than the 260-character
// field that keeps its beginning.
TEST(EncryptedNameTest, LongNameGivesItsOwnLastComponent) {
  Listed list({Entry(std::string(300, 'd') + "\\secret.doc",
                     FILE_ATTRIBUTE_ENCRYPTED | FILE_ATTRIBUTE_ARCHIVE)});
  const std::string name = EncryptedName(list.m);
  EXPECT_EQ(0u, name.rfind("secret.doc.", 0)) << name;
}

// A name without folder uses the whole name; folders, a name ending in a
// backslash, a clear file and a name that cannot fit 259 characters with
// ".rand.time" added get none.
TEST(EncryptedNameTest, OnlyAnEncryptedFileWhoseNameFitsGetsOne) {
  const DWORD encrypted = FILE_ATTRIBUTE_ENCRYPTED;
  Listed list({Entry("plain.txt", encrypted),
               Entry("dir\\folder", encrypted | FILE_ATTRIBUTE_DIRECTORY),
               Entry("dir\\odd\\", encrypted), Entry("dir\\clear.txt", 0),
               Entry(std::string(250, 'n'), encrypted)});
  EXPECT_EQ(0u, EncryptedName(list.m).rfind("plain.txt.", 0));
  for (int i = 1; i < 5; ++i) {
    ASSERT_TRUE(Next(list.m)) << i;
    EXPECT_EQ("", EncryptedName(list.m)) << Name(list.m);
  }
}

}  // namespace
