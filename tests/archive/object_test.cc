// The archive object: construction, copying, argument checks, version
// detection, the current entry and the encrypted-file name.
#include <gtest/gtest.h>

#include <cstring>
#include <set>

#include "KvMorvel.h"
#include "KvSystem.h"
#include "archive/codes.h"
#include "kvwin32.h"
#include "support/test_support.h"

namespace {

class Probe : public CKvMorvel {
 public:
  using CKvMorvel::LoadCurrentEntry;
  using CKvMorvel::m_archivePath;
  using CKvMorvel::m_control;
  using CKvMorvel::m_currentIndex;
  using CKvMorvel::m_entryName;
  using CKvMorvel::m_mounted;
  using CKvMorvel::m_partHandle;
  using CKvMorvel::m_partNumber;
  using CKvMorvel::m_read;
  using CKvMorvel::m_splitSize;
  using CKvMorvel::m_drive;
  using CKvMorvel::m_version;
};

std::string Name(CKvMorvel& m) {
  WCHAR buffer[260];
  EXPECT_TRUE(m.GetFile(buffer, 260));
  return N(reinterpret_cast<const char16_t*>(buffer));
}

TEST(ObjectTest, ConstructorGivesDocumentedInitialState) {
  Probe m;
  EXPECT_EQ(1u, m.GetVersion());
  EXPECT_EQ(650117120ull, m.GetSplitSize());
  EXPECT_EQ(nullptr, m.m_control);
  EXPECT_EQ(0, m.m_read);
  EXPECT_EQ(0, m.m_mounted);
  EXPECT_EQ(1u, m.m_partNumber);
  EXPECT_EQ(INVALID_HANDLE_VALUE, m.m_partHandle);
  EXPECT_EQ(0u, m.GetAttributes());
  EXPECT_EQ(0, m.GetLength64());
  EXPECT_EQ("", Name(m));
  EXPECT_EQ(0u, m.GetErrorCode());
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
  ReleaseAsAHostDoes(nullptr);
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
  Probe m;
  WIN32_FILE_ATTRIBUTE_DATA d = {};
  d.nFileSizeHigh = 2;
  d.nFileSizeLow = 0x80000001u;
  d.ftLastWriteTime.dwLowDateTime = 7;
  m.LoadCurrentEntry(d, P(W("a\\b.txt")));
  EXPECT_EQ((2ll << 32) | 0x80000001ll, m.GetLength64());
  EXPECT_EQ(7u, m.GetLastWriteTime().dwLowDateTime);
  EXPECT_EQ("a\\b.txt", Name(m));
}

TEST(ObjectTest, CopiesOwnTheirStringsAndShareTheControlRecord) {
  Probe a;
  WIN32_FILE_ATTRIBUTE_DATA d = {};
  d.dwFileAttributes = FILE_ATTRIBUTE_HIDDEN;
  a.LoadCurrentEntry(d, P(W("first")));
  a.SetSplitSize(1234);
  int marker = 0;
  a.m_control = &marker;
  Probe b(a);
  EXPECT_EQ("first", Name(b));
  EXPECT_EQ(1234u, b.GetSplitSize());
  EXPECT_EQ(&marker, b.m_control);
  a.LoadCurrentEntry(d, P(W("second")));
  EXPECT_EQ("first", Name(b));  // the copy kept its own name

  Probe c;
  c = a;
  EXPECT_EQ("second", Name(c));
  EXPECT_EQ(FILE_ATTRIBUTE_HIDDEN, c.GetAttributes());
  a.m_control = nullptr;  // nothing to release: the record is fake
  b.m_control = nullptr;
  c.m_control = nullptr;
}

TEST(ObjectTest, CopyKeepsTheErrorHolderCode) {
  CKvMorvel a;
  EXPECT_FALSE(a.ExtractFile(nullptr, 0));
  CKvMorvel b(a);
  EXPECT_EQ(kErrorNullTarget, b.GetErrorCode());
}

TEST(ObjectTest, ArgumentChecksReportTheirCodes) {
  CKvMorvel m;
  WIN32_FILE_ATTRIBUTE_DATA d = {};
  EXPECT_FALSE(m.AddFile(P(W("/tmp/x")), P(W("x")), nullptr, 0));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, m.GetErrorCode());
  EXPECT_FALSE(m.AddFile(P(W("/tmp/x")), P(W("x")), &d, nullptr, 0));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, m.GetErrorCode());

  EXPECT_FALSE(m.ExtractFile(nullptr, 0));
  EXPECT_EQ(kErrorNullTarget, m.GetErrorCode());
  EXPECT_FALSE(m.ExtractFile(P(W("/tmp")), 0));
  EXPECT_EQ(kErrorNoArchive, m.GetErrorCode());

  WCHAR small[4];
  EXPECT_FALSE(m.GetFile(nullptr, 260));
  EXPECT_EQ(kErrorNullTarget, m.GetErrorCode());
  EXPECT_FALSE(m.GetEncryptedFileName(nullptr, 10));
  EXPECT_EQ(kErrorNullTarget, m.GetErrorCode());
  EXPECT_FALSE(m.GetMountedDrive(nullptr, 10));
  EXPECT_EQ(kErrorNullTarget, m.GetErrorCode());
  EXPECT_TRUE(m.GetMountedDrive(small, 4));  // empty drive string fits
}

TEST(ObjectTest, AddFileOnAnImageObjectWithoutArchiveFailsWith87) {
  Probe m;
  m.m_version = 3;
  EXPECT_FALSE(m.AddFile(P(W("/tmp/x")), P(W("x")), nullptr, 0));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, m.GetErrorCode());
}

TEST(ObjectTest, AddFileToAnImageIsNotImplemented) {
  Probe m;
  int marker = 0;
  m.m_control = &marker;
  m.m_version = 3;
  EXPECT_FALSE(m.AddFile(P(W("/tmp/x")), P(W("x")), nullptr, 0));
  EXPECT_EQ(E_NOTIMPL, m.GetErrorCode());
  m.m_control = nullptr;
}

TEST(ObjectTest, NullSourceOrNameIsRefusedWith87) {
  Probe m;
  int marker = 0;
  m.m_control = &marker;
  EXPECT_FALSE(m.AddFile(nullptr, P(W("x")), nullptr, 0));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, m.GetErrorCode());
  EXPECT_FALSE(m.AddFile(P(W("/tmp/x")), nullptr, nullptr, 0));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, m.GetErrorCode());
  m.m_control = nullptr;
}

TEST(ObjectTest, CallerBufferTooSmallForTheNameIsRefused) {
  Probe m;
  WIN32_FILE_ATTRIBUTE_DATA d = {};
  m.LoadCurrentEntry(d, P(W("abcdef")));
  WCHAR buffer[8];
  for (WCHAR& c : buffer) c = 'Z';
  EXPECT_FALSE(m.GetFile(buffer, 6));  // 6 characters need 7 with the NUL
  EXPECT_EQ(ERROR_INSUFFICIENT_BUFFER, m.GetErrorCode());
  EXPECT_EQ('Z', buffer[0]);  // nothing written
  EXPECT_TRUE(m.GetFile(buffer, 7));
  EXPECT_EQ(0, buffer[6]);
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

TEST(EncryptedNameTest, EncryptedFileGetsLastComponentRandomAndTime) {
  Probe m;
  WIN32_FILE_ATTRIBUTE_DATA d = {};
  d.dwFileAttributes = FILE_ATTRIBUTE_ENCRYPTED | FILE_ATTRIBUTE_ARCHIVE;
  const DWORD tickBefore = GetTickCount();
  const ULONGLONG timeBefore = KvTimeNow();
  m.LoadCurrentEntry(d, P(W("dir\\sub\\secret.doc")));
  const DWORD tickAfter = GetTickCount();
  const ULONGLONG timeAfter = KvTimeNow();

  WCHAR buffer[260];
  ASSERT_TRUE(m.GetEncryptedFileName(buffer, 260));
  const std::string name = N(reinterpret_cast<const char16_t*>(buffer));
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

TEST(EncryptedNameTest, NameWithoutFolderUsesTheWholeName) {
  Probe m;
  WIN32_FILE_ATTRIBUTE_DATA d = {};
  d.dwFileAttributes = FILE_ATTRIBUTE_ENCRYPTED;
  m.LoadCurrentEntry(d, P(W("plain.txt")));
  WCHAR buffer[260];
  ASSERT_TRUE(m.GetEncryptedFileName(buffer, 260));
  EXPECT_EQ(0u, N(reinterpret_cast<const char16_t*>(buffer))
                    .rfind("plain.txt.", 0));
}

TEST(EncryptedNameTest, FoldersAndTrailingBackslashGetNone) {
  Probe m;
  WIN32_FILE_ATTRIBUTE_DATA d = {};
  WCHAR buffer[260];
  d.dwFileAttributes = FILE_ATTRIBUTE_ENCRYPTED | FILE_ATTRIBUTE_DIRECTORY;
  m.LoadCurrentEntry(d, P(W("dir\\folder")));
  ASSERT_TRUE(m.GetEncryptedFileName(buffer, 260));
  EXPECT_EQ(0, buffer[0]);
  d.dwFileAttributes = FILE_ATTRIBUTE_ENCRYPTED;
  m.LoadCurrentEntry(d, P(W("dir\\odd\\")));
  ASSERT_TRUE(m.GetEncryptedFileName(buffer, 260));
  EXPECT_EQ(0, buffer[0]);
  d.dwFileAttributes = 0;
  m.LoadCurrentEntry(d, P(W("dir\\clear.txt")));
  ASSERT_TRUE(m.GetEncryptedFileName(buffer, 260));
  EXPECT_EQ(0, buffer[0]);
}

TEST(EncryptedNameTest, NameThatCannotFitIsLeftEmpty) {
  Probe m;
  WIN32_FILE_ATTRIBUTE_DATA d = {};
  d.dwFileAttributes = FILE_ATTRIBUTE_ENCRYPTED;
  const std::string longName(250, 'n');  // + ".rand.time" exceeds 259
  m.LoadCurrentEntry(d, P(W(longName)));
  WCHAR buffer[260];
  ASSERT_TRUE(m.GetEncryptedFileName(buffer, 260));
  EXPECT_EQ(0, buffer[0]);
}

}  // namespace
