// SPDX-License-Identifier: GPL-2.0-or-later
// Security descriptors: built from owner, group and mode, kept as given,
// and applied back to the file.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <string>

#include "layer_test_util.h"
#include "posix/descriptor.h"

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

struct TestAce {
  uint8_t type;  // 0 allowed, 1 denied
  uint8_t flags;
  uint32_t mask;
  Bytes sid;
};

// A self-relative descriptor: header, owner, group, DACL of `entries`.
Bytes Descriptor(const Bytes& owner, const Bytes& group, const std::vector<TestAce>& entries) {
  Bytes aces;
  for (const TestAce& e : entries) {
    aces.push_back(e.type);
    aces.push_back(e.flags);
    Le(aces, 8 + e.sid.size(), 2);
    Le(aces, e.mask, 4);
    aces.insert(aces.end(), e.sid.begin(), e.sid.end());
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

// The same with allowed entries only.
Bytes Descriptor(const Bytes& owner, const Bytes& group,
                 const std::vector<std::pair<Bytes, uint32_t>>& entries) {
  std::vector<TestAce> aces;
  for (const auto& e : entries) aces.push_back({0, 0, e.second, e.first});
  return Descriptor(owner, group, aces);
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

const char kNtacl[] = "security.NTACL";
const char kOwnBytes[] = "user.kvmorvel.security";
const char kAccessAcl[] = "system.posix_acl_access";
const char kDefaultAcl[] = "system.posix_acl_default";

// Whether this process may write the security namespace (CAP_SYS_ADMIN):
// descriptors then go where Samba reads them.
bool WritesSambaDescriptors(const std::string& dir) {
  const std::string probe = dir + "/probe";
  WriteBytes(probe, "");
  const Bytes blob = {1, 0};
  const bool may = setxattr(probe.c_str(), kNtacl, blob.data(), blob.size(), 0) == 0;
  unlink(probe.c_str());
  return may;
}

// Where SetFileSecurityW keeps a descriptor the mode cannot say.
const char* KeptName(const std::string& dir) {
  return WritesSambaDescriptors(dir) ? kNtacl : kOwnBytes;
}

// xattr_NTACL as Samba lays it out: version, level, pointer id, the
// pointed record, then the descriptor at a multiple of 4 with its part
// offsets counted from the blob's start.
Bytes NtaclBlob(int version, const Bytes& sd) {
  Bytes b;
  Le(b, version, 2);                   // version
  Le(b, version, 2);                   // union level
  Le(b, 0x20000, 4);                   // pointer to the record
  if (version >= 2) Le(b, 0x20004, 4);  // pointer to the descriptor
  if (version == 2) Zeros(b, 16);      // hash, never checked
  if (version >= 3) {
    Le(b, 1, 2);  // hash type SHA-256
    Zeros(b, 64);
  }
  if (version == 4) {
    Text(b, "posix_acl");
    b.push_back(0);
    while (b.size() % 4) b.push_back(0);
    Le(b, 0x01DD888C1ABAE652ull, 8);  // time
    Zeros(b, 64);                     // hash of the POSIX ACL
  }
  while (b.size() % 4) b.push_back(0);
  Bytes shifted = sd;
  for (size_t field = 4; field < 20; field += 4) {
    uint32_t offset = shifted[field] | shifted[field + 1] << 8 | shifted[field + 2] << 16 |
                      static_cast<uint32_t>(shifted[field + 3]) << 24;
    if (!offset) continue;
    offset += static_cast<uint32_t>(b.size());
    for (int i = 0; i < 4; ++i) shifted[field + i] = static_cast<uint8_t>(offset >> (8 * i));
  }
  b.insert(b.end(), shifted.begin(), shifted.end());
  return b;
}

Bytes FromHex(const std::string& hex) {
  Bytes b;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    b.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return b;
}

// A POSIX ACL value: version 2, then tag, rwx, id per entry.
Bytes PosixAclValue(const std::vector<std::array<uint32_t, 3>>& entries) {
  Bytes b;
  Le(b, 2, 4);
  for (const auto& e : entries) {
    Le(b, e[0], 2);
    Le(b, e[1], 2);
    Le(b, e[2], 4);
  }
  return b;
}
const uint32_t kUserObj = 1, kUser = 2, kGroupObj = 4, kGroup = 8, kMask = 0x10,
               kOther = 0x20, kNoId = 0xFFFFFFFF;

// The rwx of each entry of the file's access ACL, as "tag:id:rwx" lines.
std::string AclText(const std::string& path, const char* name = kAccessAcl) {
  Bytes v;
  if (!GetX(path, name, &v)) return "none";
  std::string text;
  for (size_t at = 4; at + 8 <= v.size(); at += 8) {
    const unsigned tag = v[at] | v[at + 1] << 8, perm = v[at + 2];
    const uint32_t id = v[at + 4] | v[at + 5] << 8 | v[at + 6] << 16 |
                        static_cast<uint32_t>(v[at + 7]) << 24;
    text += std::to_string(tag) + ":" + (tag == kUser || tag == kGroup ? std::to_string(id) : "") +
            ":" + std::to_string(perm) + " ";
  }
  return text;
}

mode_t ModeOf(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 07777;
}

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
// A descriptor that grants the file's owner nothing leaves no write bit,
// and clearing the read-only attribute afterwards (as a restore does when
// it sets the stored attributes) never gives the owner write back.
TEST(Security, ClearingReadOnlyNeverWidensWhatAKeptDescriptorGrants) {
  TempDir dir;
  const std::string f = dir / "f";
  WriteBytes(f, "data");
  struct stat st;
  ASSERT_EQ(stat(f.c_str(), &st), 0);
  // The file's own owner and group, granted nothing; another user all.
  Bytes sd = Descriptor(Sid(22, {1, static_cast<uint32_t>(st.st_uid)}),
                        Sid(22, {2, static_cast<uint32_t>(st.st_gid)}),
                        {{Sid(22, {1, 4242}), Mask(7)}});
  ASSERT_TRUE(SetFileSecurityW(P(W(f)), kAll, sd.data()));
  ASSERT_EQ(stat(f.c_str(), &st), 0);
  ASSERT_EQ(0u, st.st_mode & 0200);
  ASSERT_TRUE(SetFileAttributesW(P(W(f)), FILE_ATTRIBUTE_NORMAL));
  ASSERT_EQ(stat(f.c_str(), &st), 0);
  EXPECT_EQ(0u, st.st_mode & 0200) << std::oct << st.st_mode;
  // Where the mode is the whole descriptor, clearing read-only gives the
  // owner write, as Wine does.
  const std::string plain = dir / "plain";
  WriteBytes(plain, "data");
  ASSERT_EQ(0, chmod(plain.c_str(), 0444));
  ASSERT_TRUE(SetFileAttributesW(P(W(plain)), FILE_ATTRIBUTE_NORMAL));
  ASSERT_EQ(stat(plain.c_str(), &st), 0);
  EXPECT_EQ(0644u, st.st_mode & 0777);
}

TEST(Security, DerivedDescriptorReplacesKeptBytes) {
  TempDir dir;
  const std::string f = dir / "f";
  WriteBytes(f, "");
  struct stat st;
  ASSERT_EQ(stat(f.c_str(), &st), 0);
  const Bytes stranger = Sid(5, {21, 1, 2, 3, 1001});
  Bytes foreign = Descriptor(stranger, Sid(5, {21, 1, 2, 3, 513}),
                             {{stranger, Mask(6)}, {Sid(1, {0}), 0}});
  ASSERT_TRUE(SetFileSecurityW(P(W(f)), kAll, foreign.data()));
  Bytes kept;
  ASSERT_TRUE(GetX(f, KeptName(dir.path()), &kept));
  Bytes derived = UnixDescriptor(st.st_uid, st.st_gid, 0640);
  ASSERT_TRUE(SetFileSecurityW(P(W(f)), kAll, derived.data()));
  EXPECT_FALSE(GetX(f, kOwnBytes, &kept));
  EXPECT_FALSE(GetX(f, kNtacl, &kept));
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

// The file's owner stands for a foreign owner SID: its entry grants the
// owner bits; Everyone granted nothing leaves others nothing.
TEST(Security, ForeignDescriptorIsKeptAndGivesOthersNoMoreThanEveryone) {
  TempDir dir;
  const std::string f = dir / "f";
  WriteBytes(f, "");
  chmod(f.c_str(), 0644);
  const Bytes owner = Sid(5, {21, 1111, 2222, 3333, 1001});
  const Bytes group = Sid(5, {21, 1111, 2222, 3333, 513});
  Bytes sd = Descriptor(owner, group, {{owner, Mask(6)}, {Sid(1, {0}), 0}});
  ASSERT_TRUE(SetFileSecurityW(P(W(f)), kAll, sd.data()));
  EXPECT_EQ(ModeOf(f), 0600u);
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

// ---- Samba's security.NTACL ----------------------------------------------

const char kNeedsAdmin[] =
    "security.* extended attributes take CAP_SYS_ADMIN to write; run as root";

// A descriptor with a DENY for one user, a grant for another and one
// inheritable entry: what an administrator sets with smbcacls.
Bytes SambaLikeDescriptor() {
  const Bytes owner = Sid(22, {1, 0}), group = Sid(22, {2, 0});
  return Descriptor(owner, group,
                    {{1, 0, 0x001F01FF, Sid(22, {1, 65534})},
                     {0, 0, 0x001200A9, Sid(22, {1, 999})},
                     {0, 0x0B, 0x001F01FF, Sid(3, {0})},
                     {0, 0, 0x001F01FF, owner},
                     {0, 0, 0x001200A9, Sid(1, {0})}});
}

TEST(Security, EveryNtaclVersionSambaWritesIsReported) {
  TempDir dir;
  if (!WritesSambaDescriptors(dir.path())) GTEST_SKIP() << kNeedsAdmin;
  const std::string f = dir / "f", d = dir / "d";
  WriteBytes(f, "");
  ASSERT_EQ(mkdir(d.c_str(), 0755), 0);
  const Bytes sd = SambaLikeDescriptor();
  for (int version = 1; version <= 4; ++version) {
    for (const std::string& path : {f, d}) {
      SCOPED_TRACE("version " + std::to_string(version) + " on " + path);
      // Sources further down the order are present too: Samba's blob
      // comes first.
      SetX(path, kOwnBytes, UnixDescriptor(1, 2, 0777));
      SetX(path, kNtacl, NtaclBlob(version, sd));
      EXPECT_EQ(GetSecurity(path, kAll), sd);
      HANDLE h = OpenPath(W(path), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING,
                          FILE_FLAG_BACKUP_SEMANTICS);
      ASSERT_NE(h, INVALID_HANDLE_VALUE);
      DWORD needed = 0;
      Bytes viaHandle(sd.size());
      EXPECT_TRUE(GetKernelObjectSecurity(h, kAll, viaHandle.data(), sd.size(), &needed));
      EXPECT_EQ(viaHandle, sd);
      CloseHandle(h);
    }
  }
}

// The blob smbd 4.17.12 wrote (version 4, SHA-256 hashes) after smbcacls
// added a DENY for S-1-22-1-65534 and a grant for S-1-22-1-999. The
// descriptor is the one Samba's own NDR decoder gives for it.
TEST(Security, ABlobSambaWroteDecodesToTheDescriptorSambaServes) {
  TempDir dir;
  if (!WritesSambaDescriptors(dir.path())) GTEST_SKIP() << kNeedsAdmin;
  const std::string f = dir / "f";
  WriteBytes(f, "");
  SetX(f, kNtacl, FromHex(
      "040004000000020004000200010000773f650fdf3f186ee71d38c61f271d5f7031633522dd0439dd"
      "9f347c1a89e00000000000000000000000000000000000000000000000000000000000000000706f"
      "7369785f61636c00567ddc1a8c88dd019041f5d543965d49da1f01781facb08d3c4cc45a682e2a50"
      "29b8a7caf6dc3f9b0000000000000000000000000000000000000000000000000000000000000000"
      "01000480b4000000d000000000000000ec000000010500000000000515000000d68b6fc96c463bd6"
      "65e83712f5010000010500000000000515000000d68b6fc96c463bd665e837120202000002009400"
      "0500000001001800ff011f00010200000000001601000000feff000000001400a900120001010000"
      "000000010000000000001800a9001200010200000000001601000000e703000000002400ff011f00"
      "010500000000000515000000d68b6fc96c463bd665e83712f501000000002400a900120001050000"
      "0000000515000000d68b6fc96c463bd665e8371202020000"));
  EXPECT_EQ(GetSecurity(f, kAll), FromHex(
      "010004801400000030000000000000004c000000010500000000000515000000d68b6fc96c463bd6"
      "65e83712f5010000010500000000000515000000d68b6fc96c463bd665e837120202000002009400"
      "0500000001001800ff011f00010200000000001601000000feff000000001400a900120001010000"
      "000000010000000000001800a9001200010200000000001601000000e703000000002400ff011f00"
      "010500000000000515000000d68b6fc96c463bd665e83712f501000000002400a900120001050000"
      "0000000515000000d68b6fc96c463bd665e8371202020000"));
}

// Damaged blobs are passed over as Samba passes over them: the file
// reports what its mode says, and nothing reads outside the value.
TEST(Security, HostileNtaclBlobsAreRefusedAndTheModeSpeaks) {
  TempDir dir;
  if (!WritesSambaDescriptors(dir.path())) GTEST_SKIP() << kNeedsAdmin;
  const std::string f = dir / "f";
  WriteBytes(f, "");
  chmod(f.c_str(), 0640);
  struct stat st;
  ASSERT_EQ(stat(f.c_str(), &st), 0);
  const Bytes good = NtaclBlob(4, SambaLikeDescriptor());
  std::vector<std::pair<std::string, Bytes>> bad;
  for (size_t cut : {2, 7, 40, 100, 170, 200})
    bad.push_back({"cut at " + std::to_string(cut), Bytes(good.begin(), good.begin() + cut)});
  Bytes wrongVersion = NtaclBlob(1, SambaLikeDescriptor());
  wrongVersion[0] = wrongVersion[2] = 5;
  bad.push_back({"version 5", wrongVersion});
  Bytes levelMismatch = NtaclBlob(2, SambaLikeDescriptor());
  levelMismatch[2] = 1;
  bad.push_back({"level differs", levelMismatch});
  Bytes nullRecord = NtaclBlob(1, SambaLikeDescriptor());
  nullRecord[4] = nullRecord[5] = nullRecord[6] = nullRecord[7] = 0;
  bad.push_back({"null record", nullRecord});
  Bytes noDescription = NtaclBlob(4, SambaLikeDescriptor());
  noDescription.resize(90);  // the description's NUL is never found
  for (size_t i = 78; i < 90; ++i) noDescription[i] = 'x';
  bad.push_back({"unterminated description", noDescription});
  Bytes countPastEnd = NtaclBlob(1, SambaLikeDescriptor());
  const size_t dacl = 8 + 20 + 16 + 16;
  countPastEnd[dacl + 4] = 40;  // 40 entries in an ACL that holds 5
  bad.push_back({"count past the end", countPastEnd});
  // An owner SID claiming 15 sub-authorities, 68 bytes, at the blob's end.
  Bytes longSid = NtaclBlob(1, Descriptor(Sid(22, {1, 0}), Sid(22, {2, 0}),
                                          std::vector<TestAce>{}));
  const size_t ownerAt = 8 + 20;
  longSid[ownerAt + 1] = 15;
  bad.push_back({"SID of 15 sub-authorities past the end", longSid});
  Bytes offsetIntoHeader = NtaclBlob(2, SambaLikeDescriptor());
  offsetIntoHeader[28 + 4] = 4;  // the owner inside the NDR preamble
  bad.push_back({"owner before the descriptor", offsetIntoHeader});
  for (const auto& b : bad) {
    SCOPED_TRACE(b.first);
    SetX(f, kNtacl, b.second);
    EXPECT_EQ(GetSecurity(f, kAll), UnixDescriptor(st.st_uid, st.st_gid, 0640));
  }
}

// As root the descriptor goes to security.NTACL as version 1 (which
// Samba serves as stored), not to the layer's own attribute, and the
// POSIX side is narrowed: the denied user gets an entry without bits,
// the granted one its bits, others what Everyone has.
TEST(Security, AsRootTheDescriptorGoesWhereSambaReadsItAndTheAclNarrows) {
  TempDir dir;
  if (!WritesSambaDescriptors(dir.path())) GTEST_SKIP() << kNeedsAdmin;
  const std::string f = dir / "f";
  WriteBytes(f, "");
  chmod(f.c_str(), 0666);
  SetX(f, kOwnBytes, UnixDescriptor(1, 2, 0777));  // left by an earlier restore
  const Bytes owner = Sid(22, {1, 0}), group = Sid(22, {2, 0});
  const Bytes sd = Descriptor(owner, group,
                              {{1, 0, 0x00000002, Sid(22, {1, 4242})},
                               {0, 0, Mask(7), owner},
                               {0, 0, Mask(6), Sid(22, {1, 4242})},
                               {0, 0, Mask(5), Sid(22, {2, 5151})},
                               {0, 0, Mask(4), Sid(1, {0})}});
  ASSERT_TRUE(SetFileSecurityW(P(W(f)), kAll, const_cast<uint8_t*>(sd.data())));
  Bytes blob, kept;
  ASSERT_TRUE(GetX(f, kNtacl, &blob));
  EXPECT_EQ(blob, NtaclBlob(1, sd));
  EXPECT_FALSE(GetX(f, kOwnBytes, &kept));
  EXPECT_EQ(GetSecurity(f, kAll), sd);
  // user::rwx, user:4242 r-- (its write denied first), group:: r-- (from
  // Everyone alone), group:5151 r-x, mask r-x, other r--.
  EXPECT_EQ(AclText(f), "1::7 2:4242:4 4::4 8:5151:5 16::5 32::4 ");
  EXPECT_EQ(ModeOf(f), 0754u);
}

// As root a folder's inheritable entries become its default ACL: a grant
// when inherited by files and folders alike, a DENY when by either, the
// CREATOR OWNER entry as the owner's.
TEST(Security, AsRootAFoldersInheritableEntriesBecomeItsDefaultAcl) {
  TempDir dir;
  if (!WritesSambaDescriptors(dir.path())) GTEST_SKIP() << kNeedsAdmin;
  const std::string d = dir / "d";
  ASSERT_EQ(mkdir(d.c_str(), 0777), 0);
  const Bytes owner = Sid(22, {1, 0}), group = Sid(22, {2, 0});
  const Bytes sd = Descriptor(owner, group,
                              {{0, 0x0B, Mask(7), Sid(3, {0})},
                               {1, 0x01, 0x2, Sid(22, {1, 4242})},
                               {0, 0x03, Mask(7), Sid(22, {1, 4242})},
                               {0, 0x02, Mask(7), Sid(22, {1, 5555})},
                               {0, 0, Mask(7), owner},
                               {0, 0x03, Mask(4), Sid(1, {0})}});
  ASSERT_TRUE(SetFileSecurityW(P(W(d)), kAll, const_cast<uint8_t*>(sd.data())));
  EXPECT_EQ(AclText(d, kDefaultAcl), "1::7 2:4242:5 4::4 16::5 32::4 ");
  // The folder itself: every entry but the inherit-only one.
  EXPECT_EQ(AclText(d), "1::7 2:4242:5 2:5555:7 4::4 16::7 32::4 ");
  EXPECT_EQ(ModeOf(d), 0774u);
  EXPECT_EQ(GetSecurity(d, kAll), sd);
  // A descriptor without inheritable entries takes the default ACL away.
  const Bytes plain = Descriptor(owner, group, {{owner, Mask(7)}, {Sid(22, {1, 4242}), Mask(5)}});
  ASSERT_TRUE(SetFileSecurityW(P(W(d)), kAll, const_cast<uint8_t*>(plain.data())));
  EXPECT_EQ(AclText(d, kDefaultAcl), "none");
}

// ---- POSIX ACLs ------------------------------------------------------------

// Without a kept descriptor the POSIX ACL speaks, as Samba maps it. Any
// owner may set an ACL on its own file, so this runs as any user.
TEST(Security, PosixAclIsReportedAsSambaMapsIt) {
  TempDir dir;
  const std::string f = dir / "f", d = dir / "d";
  WriteBytes(f, "");
  ASSERT_EQ(mkdir(d.c_str(), 0755), 0);
  struct stat st;
  ASSERT_EQ(stat(f.c_str(), &st), 0);
  const Bytes access = PosixAclValue({{kUserObj, 6, kNoId},
                                      {kUser, 7, 12345},
                                      {kUser, 0, 12346},
                                      {kGroupObj, 4, kNoId},
                                      {kGroup, 7, 23456},
                                      {kMask, 6, kNoId},
                                      {kOther, 4, kNoId}});
  if (setxattr(f.c_str(), kAccessAcl, access.data(), access.size(), 0) != 0)
    GTEST_SKIP() << "this file system keeps no POSIX ACLs";
  const Bytes owner = Sid(22, {1, st.st_uid}), group = Sid(22, {2, st.st_gid});
  const Bytes everyone = Sid(1, {0});
  // The mask takes x from 12345 and 23456; 12346 has less than others
  // and is denied the difference first.
  EXPECT_EQ(GetSecurity(f, kAll),
            Descriptor(owner, group,
                       {{1, 0, Mask(4), Sid(22, {1, 12346})},
                        {0, 0, Mask(6), owner},
                        {0, 0, Mask(6), Sid(22, {1, 12345})},
                        {0, 0, Mask(0), Sid(22, {1, 12346})},
                        {0, 0, Mask(4), group},
                        {0, 0, Mask(6), Sid(22, {2, 23456})},
                        {0, 0, Mask(4), everyone}}));
  // A folder's default entries come after, inheritable, the owner and
  // group as CREATOR OWNER and CREATOR GROUP.
  const Bytes defaults = PosixAclValue({{kUserObj, 7, kNoId},
                                        {kUser, 5, 12345},
                                        {kGroupObj, 5, kNoId},
                                        {kMask, 5, kNoId},
                                        {kOther, 0, kNoId}});
  ASSERT_EQ(setxattr(d.c_str(), kDefaultAcl, defaults.data(), defaults.size(), 0), 0);
  ASSERT_EQ(chmod(d.c_str(), 0750), 0);
  EXPECT_EQ(GetSecurity(d, kAll),
            Descriptor(owner, group,
                       {{0, 0, Mask(7), owner},
                        {0, 0, Mask(5), group},
                        {0, 0, Mask(0), everyone},
                        {0, 0x0B, Mask(7), Sid(3, {0})},
                        {0, 0x0B, Mask(5), Sid(22, {1, 12345})},
                        {0, 0x0B, Mask(5), Sid(3, {1})},
                        {0, 0x0B, Mask(0), everyone}}));
}

// The kernel refuses to store a malformed ACL, so the decoder is given
// them directly: each is refused whole.
TEST(Security, MalformedPosixAclValuesAreRefused) {
  using kvposix::DecodePosixAcl;
  kvposix::PosixAcl acl;
  const Bytes good = PosixAclValue({{kUserObj, 6, kNoId}, {kGroupObj, 4, kNoId},
                                    {kOther, 4, kNoId}});
  ASSERT_TRUE(DecodePosixAcl(good, &acl));
  EXPECT_EQ(acl.size(), 3u);
  Bytes version = good;
  version[0] = 1;
  Bytes ragged = good;
  ragged.pop_back();
  Bytes unknownTag = good;
  unknownTag[4] = 0x40;
  const Bytes noOther = PosixAclValue({{kUserObj, 6, kNoId}, {kGroupObj, 4, kNoId}});
  const Bytes namedWithoutMask = PosixAclValue(
      {{kUserObj, 6, kNoId}, {kUser, 6, 7}, {kGroupObj, 4, kNoId}, {kOther, 4, kNoId}});
  const Bytes outOfOrder = PosixAclValue({{kUserObj, 6, kNoId}, {kUser, 6, 9}, {kUser, 6, 7},
                                          {kGroupObj, 4, kNoId}, {kMask, 6, kNoId},
                                          {kOther, 4, kNoId}});
  for (const Bytes& b : {version, ragged, unknownTag, noOther, namedWithoutMask, outOfOrder,
                         Bytes{2, 0}}) {
    EXPECT_FALSE(DecodePosixAcl(b, &acl));
    EXPECT_TRUE(acl.empty());
  }
}

// A POSIX ACL with named entries read as a descriptor and set again gives
// the same entries back (as root, where the ACL can be written).
TEST(Security, NamedPosixEntriesSurviveADescriptorRoundTrip) {
  TempDir dir;
  if (!WritesSambaDescriptors(dir.path())) GTEST_SKIP() << kNeedsAdmin;
  const std::string from = dir / "from", to = dir / "to";
  WriteBytes(from, "");
  WriteBytes(to, "");
  const Bytes access = PosixAclValue({{kUserObj, 6, kNoId},
                                      {kUser, 7, 12345},
                                      {kUser, 0, 12346},
                                      {kGroupObj, 4, kNoId},
                                      {kGroup, 6, 23456},
                                      {kMask, 6, kNoId},
                                      {kOther, 4, kNoId}});
  ASSERT_EQ(setxattr(from.c_str(), kAccessAcl, access.data(), access.size(), 0), 0);
  Bytes sd = GetSecurity(from, kAll);
  ASSERT_TRUE(SetFileSecurityW(P(W(to)), kAll, sd.data()));
  // user:12345 keeps rw- (its x was masked), user:12346 nothing.
  EXPECT_EQ(AclText(to), "1::6 2:12345:6 2:12346:0 4::4 8:23456:6 16::6 32::4 ");
  EXPECT_EQ(ModeOf(to), ModeOf(from));
}

// ---- narrowing ---------------------------------------------------------------

// What the mode may give is what the DACL grants, entries in order: a
// DENY before a grant wins, Everyone's grant reaches the owner and group,
// and a grant for nobody local gives nothing.
TEST(Security, TheModeIsNeverWiderThanTheDacl) {
  TempDir dir;
  const std::string f = dir / "f";
  WriteBytes(f, "");
  chmod(f.c_str(), 0777);
  struct stat st;
  ASSERT_EQ(stat(f.c_str(), &st), 0);
  const Bytes owner = Sid(22, {1, st.st_uid}), group = Sid(22, {2, st.st_gid});
  const Bytes everyone = Sid(1, {0}), stranger = Sid(5, {21, 9, 9, 9, 1234});
  struct Case {
    const char* what;
    std::vector<TestAce> aces;
    mode_t mode;
  } cases[] = {
      {"Everyone denied write before it is granted all",
       {{1, 0, 0x2, everyone}, {0, 0, Mask(7), everyone}}, 0555},
      {"a grant after Everyone's DENY adds nothing denied",
       {{1, 0, Mask(1), everyone}, {0, 0, Mask(7), owner}}, 0600},
      {"Everyone's grant reaches owner and group", {{0, 0, Mask(4), everyone}}, 0444},
      {"a stranger's grant gives nobody here anything",
       {{0, 0, Mask(7), stranger}, {0, 0, Mask(6), owner}}, 0600},
      {"a stranger's DENY may be anyone's", {{1, 0, 0x4, stranger}, {0, 0, Mask(7), everyone}},
       0555},
      {"the group's DENY may reach the owner but not others",
       {{1, 0, Mask(2), group}, {0, 0, Mask(7), everyone}}, 0557},
      {"an inherit-only entry is not for the file",
       {{0, 0x0B, Mask(7), everyone}, {0, 0, Mask(4), owner}}, 0400},
      {"an empty DACL grants nothing", {}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Bytes sd = Descriptor(owner, group, c.aces);
    ASSERT_TRUE(SetFileSecurityW(P(W(f)), kAll, const_cast<uint8_t*>(sd.data())));
    EXPECT_EQ(ModeOf(f), c.mode);
    // Linux lets no one but root read the user attributes of a file its
    // mode gives the reader no read bit on: the mode then speaks.
    if ((c.mode & 0400) || geteuid() == 0) {
      EXPECT_EQ(GetSecurity(f, kAll), sd);
    }
    chmod(f.c_str(), 0777);
  }
}

// Without an ACL (not root) a named user may be in the group or among
// others: a DENY for one takes its bits from both.
TEST(Security, WithoutAnAclANamedUsersDenyNarrowsGroupAndOthers) {
  TempDir dir;
  if (WritesSambaDescriptors(dir.path()))
    GTEST_SKIP() << "as root the named user gets an ACL entry instead (tested above)";
  const std::string f = dir / "f";
  WriteBytes(f, "");
  struct stat st;
  ASSERT_EQ(stat(f.c_str(), &st), 0);
  const Bytes owner = Sid(22, {1, st.st_uid}), group = Sid(22, {2, st.st_gid});
  const Bytes sd = Descriptor(owner, group,
                              {{1, 0, 0x2, Sid(22, {1, 4242})},
                               {0, 0, Mask(7), owner},
                               {0, 0, Mask(6), group},
                               {0, 0, Mask(6), Sid(1, {0})}});
  ASSERT_TRUE(SetFileSecurityW(P(W(f)), kAll, const_cast<uint8_t*>(sd.data())));
  EXPECT_EQ(ModeOf(f), 0744u);
  Bytes kept;
  EXPECT_TRUE(GetX(f, kOwnBytes, &kept));
  EXPECT_EQ(AclText(f), "none");
  EXPECT_EQ(GetSecurity(f, kAll), sd);
}

// Through a handle the same is kept and narrowed as by path: Samba's
// blob as root, the layer's own bytes otherwise.
TEST(Security, AHandleKeepsAndNarrowsAsThePathDoes) {
  TempDir dir;
  const std::string f = dir / "f";
  WriteBytes(f, "data");
  chmod(f.c_str(), 0666);
  struct stat st;
  ASSERT_EQ(stat(f.c_str(), &st), 0);
  const Bytes owner = Sid(22, {1, st.st_uid}), group = Sid(22, {2, st.st_gid});
  const Bytes sd = Descriptor(owner, group,
                              {{1, 0, 0x2, Sid(1, {0})},
                               {0, 0, Mask(7), owner},
                               {0, 0, Mask(7), Sid(1, {0})}});
  HANDLE h = OpenPath(W(f), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(SetKernelObjectSecurity(h, kAll, const_cast<uint8_t*>(sd.data())));
  CloseHandle(h);
  EXPECT_EQ(ModeOf(f), 0555u);  // Everyone's write denied first, for all
  Bytes kept;
  ASSERT_TRUE(GetX(f, KeptName(dir.path()), &kept));
  EXPECT_EQ(kept, WritesSambaDescriptors(dir.path()) ? NtaclBlob(1, sd) : sd);
  EXPECT_EQ(GetSecurity(f, kAll), sd);
}

}  // namespace
