// SPDX-License-Identifier: GPL-2.0-or-later
// Security descriptors: built from owner, group and mode, kept as given,
// and applied back to the file.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "layer_test_util.h"

namespace {

const uint32_t kRead = 0x00120089, kWrite = 0x00120116, kExecute = 0x001200A0;

Bytes Sid(uint8_t authority, std::vector<uint32_t> subs) {
  Bytes b = {1, static_cast<uint8_t>(subs.size()), 0, 0, 0, 0, 0, authority};
  for (uint32_t s : subs) Le(b, s, 4);
  return b;
}

uint32_t Mask(unsigned rwx) {
  return (rwx & 4 ? kRead : 0) | (rwx & 2 ? kWrite : 0) | (rwx & 1 ? kExecute : 0);
}

// A self-relative descriptor: header, owner, group, DACL of allowed
// entries.
Bytes Descriptor(const Bytes& owner, const Bytes& group,
                 const std::vector<std::pair<Bytes, uint32_t>>& entries) {
  Bytes aces;
  for (const auto& e : entries) {
    aces.push_back(0);
    aces.push_back(0);
    Le(aces, 8 + e.first.size(), 2);
    Le(aces, e.second, 4);
    aces.insert(aces.end(), e.first.begin(), e.first.end());
  }
  Bytes b = {1, 0};
  Le(b, 0x8004, 2);  // self-relative, DACL present
  Le(b, 20, 4);
  Le(b, 20 + owner.size(), 4);
  Le(b, 0, 4);
  Le(b, 20 + owner.size() + group.size(), 4);
  b.insert(b.end(), owner.begin(), owner.end());
  b.insert(b.end(), group.begin(), group.end());
  b.push_back(2);
  b.push_back(0);
  Le(b, 8 + aces.size(), 2);
  Le(b, entries.size(), 2);
  Le(b, 0, 2);
  b.insert(b.end(), aces.begin(), aces.end());
  return b;
}

Bytes UnixDescriptor(uid_t uid, gid_t gid, unsigned mode) {
  const Bytes owner = Sid(22, {1, uid}), group = Sid(22, {2, gid});
  return Descriptor(owner, group, {{owner, Mask(mode >> 6 & 7)},
                                   {group, Mask(mode >> 3 & 7)},
                                   {Sid(1, {0}), Mask(mode & 7)}});
}

Bytes GetSecurity(const std::string& path, SECURITY_INFORMATION info) {
  DWORD needed = 0;
  SetLastError(0xDEADBEEF);
  EXPECT_FALSE(GetFileSecurityW(P(W(path)), info, nullptr, 0, &needed));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  Bytes b(needed);
  DWORD again = 0;
  EXPECT_TRUE(GetFileSecurityW(P(W(path)), info, b.data(), needed, &again));
  EXPECT_EQ(again, needed);
  return b;
}

const SECURITY_INFORMATION kAll =
    OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;

TEST(Security, DescriptorIsBuiltFromOwnerGroupAndMode) {
  TempDir dir;
  const std::string f = dir / "f";
  WriteBytes(f, "");
  chmod(f.c_str(), 0750);
  struct stat st;
  ASSERT_EQ(stat(f.c_str(), &st), 0);
  EXPECT_EQ(GetSecurity(f, kAll), UnixDescriptor(st.st_uid, st.st_gid, 0750));
  DWORD needed = 0;
  Bytes small(10);
  SetLastError(0xDEADBEEF);
  EXPECT_FALSE(GetFileSecurityW(P(W(f)), kAll, small.data(), 10, &needed));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(needed, UnixDescriptor(st.st_uid, st.st_gid, 0750).size());
}

TEST(Security, OnlyTheAskedPartsAreReturned) {
  TempDir dir;
  const std::string f = dir / "f";
  WriteBytes(f, "");
  const Bytes b = GetSecurity(f, DACL_SECURITY_INFORMATION);
  ASSERT_GE(b.size(), 20u);
  EXPECT_EQ(b[4] | b[5] | b[6] | b[7], 0);     // no owner
  EXPECT_EQ(b[8] | b[9] | b[10] | b[11], 0);   // no group
  EXPECT_EQ(b[16], 20);                        // the DACL right after the header
  EXPECT_EQ(b[20], 2);                         // ACL revision
}

// A descriptor that says exactly what the owner, group and mode say is
// not kept apart (it would cost each file an extended attribute block),
// and reads back the same from the mode.
TEST(Security, DerivedDescriptorSetsTheModeKeepsNoBytesAndReadsBackTheSame) {
  TempDir dir;
  const std::string f = dir / "tool";
  WriteBytes(f, "#!/bin/sh\n");
  chmod(f.c_str(), 0600);
  struct stat st;
  ASSERT_EQ(stat(f.c_str(), &st), 0);
  Bytes sd = UnixDescriptor(st.st_uid, st.st_gid, 0755);
  ASSERT_TRUE(SetFileSecurityW(P(W(f)), kAll, sd.data()));
  ASSERT_EQ(stat(f.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0755u);
  Bytes kept;
  EXPECT_FALSE(GetX(f, "user.kvmorvel.security", &kept));
  EXPECT_EQ(GetSecurity(f, kAll), sd);
}

// Bytes kept for an earlier descriptor go when a derived one replaces it:
// reading then builds the new one rather than giving the old bytes.
TEST(Security, DerivedDescriptorReplacesKeptBytes) {
  TempDir dir;
  const std::string f = dir / "f";
  WriteBytes(f, "");
  struct stat st;
  ASSERT_EQ(stat(f.c_str(), &st), 0);
  Bytes foreign = Descriptor(Sid(5, {21, 1, 2, 3, 1001}),
                                   Sid(5, {21, 1, 2, 3, 513}), {{Sid(1, {0}), 0}});
  ASSERT_TRUE(SetFileSecurityW(P(W(f)), kAll, foreign.data()));
  Bytes kept;
  ASSERT_TRUE(GetX(f, "user.kvmorvel.security", &kept));
  Bytes derived = UnixDescriptor(st.st_uid, st.st_gid, 0640);
  ASSERT_TRUE(SetFileSecurityW(P(W(f)), kAll, derived.data()));
  EXPECT_FALSE(GetX(f, "user.kvmorvel.security", &kept));
  EXPECT_EQ(GetSecurity(f, kAll), derived);
}

TEST(Security, OwnerAndGroupAreAppliedWhereTheProcessMay) {
  if (geteuid() != 0) GTEST_SKIP() << "changing the owner needs root";
  TempDir dir;
  const std::string f = dir / "f";
  WriteBytes(f, "");
  Bytes sd = UnixDescriptor(12345, 23456, 0640);
  ASSERT_TRUE(SetFileSecurityW(P(W(f)), kAll, sd.data()));
  struct stat st;
  ASSERT_EQ(stat(f.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 12345u);
  EXPECT_EQ(st.st_gid, 23456u);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST(Security, ForeignDescriptorIsKeptButLeavesTheModeAlone) {
  TempDir dir;
  const std::string f = dir / "f";
  WriteBytes(f, "");
  chmod(f.c_str(), 0644);
  const Bytes owner = Sid(5, {21, 1111, 2222, 3333, 1001});
  const Bytes group = Sid(5, {21, 1111, 2222, 3333, 513});
  Bytes sd = Descriptor(owner, group, {{Sid(1, {0}), 0}});
  ASSERT_TRUE(SetFileSecurityW(P(W(f)), kAll, sd.data()));
  struct stat st;
  ASSERT_EQ(stat(f.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
  EXPECT_EQ(GetSecurity(f, kAll), sd);
}

TEST(Security, MalformedDescriptorsAreRefused) {
  TempDir dir;
  const std::string f = dir / "f";
  WriteBytes(f, "");
  const Bytes good = UnixDescriptor(1, 2, 0644);
  Bytes revision = good;
  revision[0] = 2;
  Bytes absolute = good;
  absolute[3] &= 0x7F;  // not self-relative
  Bytes farOwner = good;
  farOwner[6] = 0x10;  // owner at 1 MiB
  Bytes badAce = good;
  badAce[52 + 8 + 2] = 0xFF;  // first entry claims more than the ACL holds
  std::vector<Bytes> bad = {revision, absolute, farOwner, badAce};
  for (Bytes& b : bad) {
    b.resize(0x10000 + 64, 0);  // the layer may look up to 64 KiB
    SetLastError(0xDEADBEEF);
    EXPECT_FALSE(SetFileSecurityW(P(W(f)), kAll, b.data()));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_SECURITY_DESCR);
  }
  Bytes kept;
  EXPECT_FALSE(GetX(f, "user.kvmorvel.security", &kept));
}

TEST(Security, GetSecurityInfoGivesAFreeableBlockWithPointersIntoIt) {
  TempDir dir;
  const std::string f = dir / "f";
  WriteBytes(f, "");
  HANDLE h = OpenPath(W(f), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  PSID owner = nullptr, group = nullptr;
  PACL dacl = nullptr, sacl = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  ASSERT_EQ(GetSecurityInfo(h, SE_FILE_OBJECT, kAll, &owner, &group, &dacl, &sacl, &sd),
            ERROR_SUCCESS);
  CloseHandle(h);
  const Bytes expected = GetSecurity(f, kAll);
  const uint8_t* block = static_cast<const uint8_t*>(sd);
  EXPECT_EQ(Bytes(block, block + expected.size()), expected);
  EXPECT_EQ(static_cast<const uint8_t*>(owner), block + 20);
  EXPECT_EQ(static_cast<const uint8_t*>(group), block + 36);
  EXPECT_EQ(static_cast<const uint8_t*>(dacl), block + 52);
  EXPECT_EQ(sacl, nullptr);
  EXPECT_EQ(LocalFree(sd), nullptr);
  EXPECT_EQ(GetSecurityInfo(INVALID_HANDLE_VALUE, SE_FILE_OBJECT, kAll, nullptr, nullptr,
                            nullptr, nullptr, &sd),
            ERROR_INVALID_HANDLE);
}

}  // namespace
