// SPDX-License-Identifier: GPL-2.0-or-later
// Self-relative security descriptors inside the layer: how they are
// built, checked and mapped to and from what Linux keeps (the mode, POSIX
// ACLs, Samba's security.NTACL). Shared by security.cc (the Win32 calls),
// ntacl.cc (Samba's blob) and posix_acl.cc (the kernel's ACL xattrs).
#ifndef KVMORVEL_PLATFORM_POSIX_DESCRIPTOR_H
#define KVMORVEL_PLATFORM_POSIX_DESCRIPTOR_H

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "kvwin32.h"

namespace kvposix {

typedef std::vector<uint8_t> ByteVector;

const uint16_t kSelfRelative = 0x8000;
const uint16_t kDaclPresent = 0x0004;
const uint16_t kSaclPresent = 0x0010;
const size_t kHeaderSize = 20;
const size_t kMaxDescriptor = 0x10000;  // every offset and size is below
const uint8_t kAllowedAce = 0, kDeniedAce = 1;
// Entry flags: inherited by files, by folders, and not for the object
// itself.
const uint8_t kObjectInherit = 0x1, kContainerInherit = 0x2, kInheritOnly = 0x8;

// SIDs ------------------------------------------------------------------
ByteVector Sid(uint8_t authority, std::vector<uint32_t> subs);
// A SID's length from its header (8 + 4 per sub-authority, at most 15
// of them), or 0 when malformed.
size_t SidLength(const uint8_t* sid);
// Matches S-1-22-<kind>-<id>: kind 1 a Unix user, 2 a Unix group.
bool UnixId(const uint8_t* sid, uint32_t kind, uint32_t* id);
bool IsEveryone(const uint8_t* sid);
bool SameSid(const uint8_t* a, const uint8_t* b);  // either may be null

// Access masks for the rwx bits (in the low three of `bits`) and back.
DWORD MaskOf(unsigned bits);
unsigned BitsOf(DWORD mask);

// Builders ---------------------------------------------------------------
void AppendAce(ByteVector* aces, uint8_t type, uint8_t flags, DWORD mask,
               const ByteVector& sid);
ByteVector MakeAcl(const ByteVector& aces, size_t count);
// A self-relative descriptor from its parts (any may be empty), laid out
// owner, group, SACL, DACL.
ByteVector Assemble(uint16_t control, const ByteVector& owner, const ByteVector& group,
                    const ByteVector& sacl, const ByteVector& dacl);

// Reading ---------------------------------------------------------------
// The parts of a self-relative descriptor, checked to lie inside it.
struct Parsed {
  uint16_t control = 0;
  size_t size = 0;  // bytes the descriptor spans
  const uint8_t* owner = nullptr;
  const uint8_t* group = nullptr;
  const uint8_t* sacl = nullptr;
  const uint8_t* dacl = nullptr;
};
// Parses a descriptor of at most `limit` bytes whose offsets count from
// `sd`; parts must start at or after `partsFrom` (the header's end, or
// further when the descriptor sits inside a larger record).
bool Parse(const uint8_t* sd, size_t limit, Parsed* out,
           size_t partsFrom = kHeaderSize);
// The same parts laid out afresh as a descriptor of their own.
ByteVector Reassemble(const Parsed& p);

// One entry of a DACL, as the walk over it gives them.
struct AceView {
  uint8_t type;
  uint8_t flags;
  DWORD mask;
  const uint8_t* sid;
};
// The well-formed entries of a checked DACL, in order.
std::vector<AceView> AcesOf(const Parsed& p);

// Samba's security.NTACL (ntacl.cc) ----------------------------------------
// The descriptor an xattr_NTACL blob of version 1 to 4 holds, laid out as
// a descriptor of its own; false when the blob is malformed.
bool DecodeNtacl(const ByteVector& blob, ByteVector* sd);
// The version 1 blob holding the checked descriptor `p`.
ByteVector EncodeNtacl(const Parsed& p);

// POSIX ACLs (posix_acl.cc) -------------------------------------------------
enum PosixTag : uint16_t {
  kUserObj = 0x01, kUser = 0x02, kGroupObj = 0x04, kGroup = 0x08,
  kMask = 0x10, kOther = 0x20
};
struct PosixAclEntry {
  uint16_t tag;
  uint16_t perm;  // rwx in the low three bits
  uint32_t id;    // the uid or gid of kUser and kGroup entries
};
typedef std::vector<PosixAclEntry> PosixAcl;
// The kernel's system.posix_acl_* value; false for a bad version, a
// length that is no whole number of entries, an unknown tag or an entry
// out of order.
bool DecodePosixAcl(const ByteVector& value, PosixAcl* acl);
ByteVector EncodePosixAcl(const PosixAcl& acl);
// The descriptor Samba serves for a file with owner `uid`, group `gid`
// and these ACLs: `access` (or, when empty, the rwx of `mode`) as entries
// for the file itself, `defaults` as inheritable ones.
ByteVector DescriptorFromPosix(uid_t uid, gid_t gid, mode_t mode, const PosixAcl& access,
                               const PosixAcl& defaults);

// What a DACL lets local users do: the rwx of the owner, group and others
// and, when named Unix users or groups take part, an access ACL (empty
// otherwise). Never wider than the DACL grants.
struct LocalAccess {
  mode_t mode = 0;  // the nine rwx bits
  PosixAcl acl;
};
// `withAcl` false: the mode alone must hold it, and named entries narrow
// the group and other bits instead.
LocalAccess AccessFromDacl(const Parsed& p, uid_t uid, gid_t gid, bool withAcl);
// The default ACL a folder's inheritable entries give new files and
// folders (CREATOR OWNER and CREATOR GROUP as their owner and group);
// empty when it has none.
PosixAcl DefaultsFromDacl(const Parsed& p);

}  // namespace kvposix

#endif  // KVMORVEL_PLATFORM_POSIX_DESCRIPTOR_H
