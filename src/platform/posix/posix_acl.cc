// SPDX-License-Identifier: GPL-2.0-or-later
// POSIX ACLs as the kernel keeps them in system.posix_acl_access and
// system.posix_acl_default, and the mapping between them and a DACL.
//
// The value: u32 version (2), then 8-byte entries, sorted by tag and, for
// named users and groups, by id: u16 tag, u16 rwx bits, u32 id (unused
// for the owner, the owning group, the mask and others).
//
// To a descriptor, as Samba maps them: the owner and named users are
// S-1-22-1-uid, the owning group and named groups S-1-22-2-gid, others
// Everyone; the mask limits named users and all groups. A named entry
// with less than others have also gets a DENY of the difference first,
// since on Windows Everyone's grant reaches that user too. Default
// entries become inheritable ones (files, folders, not the folder itself),
// the owner and group as CREATOR OWNER and CREATOR GROUP.
#include <algorithm>
#include <set>

#include "common/le_bytes.h"
#include "descriptor.h"

namespace kvposix {

namespace {

const uint32_t kAclVersion = 2;
const uint8_t kInheritable = kObjectInherit | kContainerInherit | kInheritOnly;

bool IsNamed(uint16_t tag) { return tag == kUser || tag == kGroup; }

bool KnownTag(uint16_t tag) {
  return tag == kUserObj || tag == kUser || tag == kGroupObj || tag == kGroup ||
         tag == kMask || tag == kOther;
}

// The kernel's own rule: each tag once but named ones, which go by
// rising id; owner, owning group and others present; a mask when there
// are named entries.
bool WellFormed(const PosixAcl& acl) {
  unsigned seen = 0;
  bool named = false;
  for (size_t i = 0; i < acl.size(); ++i) {
    const PosixAclEntry& e = acl[i];
    if (!KnownTag(e.tag) || e.perm > 7) return false;
    if (i > 0 && (e.tag < acl[i - 1].tag ||
                  (e.tag == acl[i - 1].tag && (!IsNamed(e.tag) || e.id <= acl[i - 1].id))))
      return false;
    seen |= e.tag;
    named = named || IsNamed(e.tag);
  }
  const unsigned needed = kUserObj | kGroupObj | kOther | (named ? kMask : 0);
  return (seen & needed) == needed;
}

}  // namespace

bool DecodePosixAcl(const ByteVector& value, PosixAcl* acl) {
  acl->clear();
  FieldReader r(value);
  if (r.Le(4) != kAclVersion || !r.ok() || (value.size() - 4) % 8 != 0) return false;
  while (!r.done()) {
    PosixAclEntry e;
    e.tag = static_cast<uint16_t>(r.Le(2));
    e.perm = static_cast<uint16_t>(r.Le(2));
    e.id = static_cast<uint32_t>(r.Le(4));
    acl->push_back(e);
  }
  if (r.ok() && WellFormed(*acl)) return true;
  acl->clear();
  return false;
}

ByteVector EncodePosixAcl(const PosixAcl& acl) {
  ByteVector value;
  AppendU32(value, kAclVersion);
  for (const PosixAclEntry& e : acl) {
    AppendU16(value, e.tag);
    AppendU16(value, e.perm);
    AppendU32(value, IsNamed(e.tag) ? e.id : 0xFFFFFFFFu);
  }
  return value;
}

namespace {

// Appends the entries of one ACL to `denies` and `allows` with `flags`;
// `owner` and `group` are the SIDs of the owner and owning group entries,
// `ownerId` the file owner's uid.
void MapEntries(const PosixAcl& acl, uint8_t flags, uint32_t ownerId, const ByteVector& owner,
                const ByteVector& group, ByteVector* denies, size_t* denyCount,
                ByteVector* allows, size_t* allowCount) {
  unsigned mask = 7, other = 0;
  for (const PosixAclEntry& e : acl) {
    if (e.tag == kMask) mask = e.perm;
    if (e.tag == kOther) other = e.perm;
  }
  for (const PosixAclEntry& e : acl) {
    // The kernel never consults a named entry for the owner (the owner's
    // own entry decides), and its SID would be the owner's.
    if (e.tag == kMask || (e.tag == kUser && e.id == ownerId)) continue;
    const bool masked = e.tag != kUserObj && e.tag != kOther;
    const unsigned bits = masked ? e.perm & mask : e.perm;
    const ByteVector sid = e.tag == kUserObj    ? owner
                           : e.tag == kGroupObj ? group
                           : e.tag == kUser     ? Sid(22, {1, e.id})
                           : e.tag == kGroup    ? Sid(22, {2, e.id})
                                                : Sid(1, {0});
    if (IsNamed(e.tag) && (other & ~bits)) {
      AppendAce(denies, kDeniedAce, flags, MaskOf(other & ~bits), sid);
      ++*denyCount;
    }
    AppendAce(allows, kAllowedAce, flags, MaskOf(bits), sid);
    ++*allowCount;
  }
}

}  // namespace

ByteVector DescriptorFromPosix(uid_t uid, gid_t gid, mode_t mode, const PosixAcl& access,
                               const PosixAcl& defaults) {
  const ByteVector owner = Sid(22, {1, static_cast<uint32_t>(uid)});
  const ByteVector group = Sid(22, {2, static_cast<uint32_t>(gid)});
  const PosixAcl fromMode = {{kUserObj, static_cast<uint16_t>((mode >> 6) & 7), 0},
                             {kGroupObj, static_cast<uint16_t>((mode >> 3) & 7), 0},
                             {kOther, static_cast<uint16_t>(mode & 7), 0}};
  ByteVector denies, allows;
  size_t denyCount = 0, allowCount = 0;
  MapEntries(access.empty() ? fromMode : access, 0, static_cast<uint32_t>(uid), owner, group, &denies, &denyCount,
             &allows, &allowCount);
  if (!defaults.empty())
    MapEntries(defaults, kInheritable, static_cast<uint32_t>(uid), Sid(3, {0}), Sid(3, {1}), &denies, &denyCount,
               &allows, &allowCount);
  denies.insert(denies.end(), allows.begin(), allows.end());
  return Assemble(kDaclPresent, owner, group, {}, MakeAcl(denies, denyCount + allowCount));
}

// ---- from a DACL ----------------------------------------------------------

namespace {

// Who an entry's SID stands for, seen from the file.
enum class Who { kAnyone, kOwner, kOwningGroup, kUser, kGroup, kUnknown };

struct Trustee {
  Who who;
  uint32_t id;  // for kUser and kGroup
};

// Every local user counts as Everyone, an authenticated user (S-1-5-11)
// and a member of Users (S-1-5-32-545).
bool IsAnyone(const uint8_t* sid) {
  static const ByteVector kAuthenticated = Sid(5, {11});
  static const ByteVector kUsers = Sid(5, {32, 545});
  return IsEveryone(sid) || SameSid(sid, kAuthenticated.data()) ||
         SameSid(sid, kUsers.data());
}

// `owner` and `group` are the SIDs the file's owner and group stand for.
Trustee TrusteeOf(const uint8_t* sid, const uint8_t* owner, const uint8_t* group, uid_t uid,
                  gid_t gid) {
  uint32_t id = 0;
  if (IsAnyone(sid)) return {Who::kAnyone, 0};
  if (SameSid(sid, owner) || (UnixId(sid, 1, &id) && id == uid)) return {Who::kOwner, 0};
  if (SameSid(sid, group) || (UnixId(sid, 2, &id) && id == gid)) return {Who::kOwningGroup, 0};
  if (UnixId(sid, 1, &id)) return {Who::kUser, id};
  if (UnixId(sid, 2, &id)) return {Who::kGroup, id};
  return {Who::kUnknown, 0};
}

// Whether an entry for `t` reaches the local users of the POSIX entry
// `e`. Allowing needs the very trustee (or anyone). A DENY reaches further
// wherever group membership, unknown here, could make it apply: a group's
// DENY reaches every entry but others (whose users are in no listed
// group), and an unknown SID's reaches every entry.
bool Reaches(const Trustee& t, const PosixAclEntry& e, bool deny) {
  const bool groupLike = t.who == Who::kOwningGroup || t.who == Who::kGroup;
  if (t.who == Who::kAnyone || (deny && t.who == Who::kUnknown)) return true;
  if (deny && groupLike && e.tag != kOther) return true;
  switch (e.tag) {
    case kUserObj: return t.who == Who::kOwner;
    case kUser: return t.who == Who::kUser && t.id == e.id;
    case kGroupObj: return t.who == Who::kOwningGroup;
    case kGroup: return t.who == Who::kGroup && t.id == e.id;
    default: return false;
  }
}

// The rwx a DENY of `mask` takes away: any right that needs the bit.
unsigned DeniedBits(DWORD mask) {
  const DWORD kRead = 0x1 | 0x80000000u | 0x10000000u;           // read data, generic read, all
  const DWORD kWrite = 0x2 | 0x4 | 0x40000000u | 0x10000000u;    // write, append, generic
  const DWORD kExecute = 0x20 | 0x20000000u | 0x10000000u;       // execute, generic
  return (mask & kRead ? 4 : 0) | (mask & kWrite ? 2 : 0) | (mask & kExecute ? 1 : 0);
}

// The rwx the DACL leaves the users of `e`, entries taken in order: a bit
// is settled by the first entry that reaches them and names it.
unsigned BitsFor(const std::vector<AceView>& aces, const std::vector<Trustee>& trustees,
                 const PosixAclEntry& e) {
  unsigned granted = 0, denied = 0;
  for (size_t i = 0; i < aces.size(); ++i) {
    const bool deny = aces[i].type == kDeniedAce;
    if (!Reaches(trustees[i], e, deny)) continue;
    if (deny) denied |= DeniedBits(aces[i].mask) & ~granted;
    else granted |= BitsOf(aces[i].mask) & ~denied;
  }
  return granted;
}

// The POSIX entries the DACL entries `aces` leave their users: owner,
// named users, owning group, named groups, a mask when there are named
// entries, others. `owner` and `group` are the SIDs the owner and
// owning group entries stand for; `uid` and `gid` their ids.
PosixAcl EntriesFrom(const std::vector<AceView>& aces, const uint8_t* owner,
                     const uint8_t* group, uid_t uid, gid_t gid) {
  std::vector<Trustee> trustees;
  std::set<std::pair<uint16_t, uint32_t>> named;  // by tag and id, as the kernel wants
  for (const AceView& ace : aces) {
    const Trustee t = TrusteeOf(ace.sid, owner, group, uid, gid);
    trustees.push_back(t);
    if (t.who == Who::kUser || t.who == Who::kGroup)
      named.insert({t.who == Who::kUser ? kUser : kGroup, t.id});
  }
  PosixAcl acl = {{kUserObj, 0, 0}};
  for (const auto& n : named) acl.push_back({n.first, 0, n.second});
  acl.push_back({kGroupObj, 0, 0});
  std::stable_sort(acl.begin(), acl.end(),
                   [](const PosixAclEntry& a, const PosixAclEntry& b) { return a.tag < b.tag; });
  acl.push_back({kOther, 0, 0});
  unsigned groupClass = 0;
  for (PosixAclEntry& e : acl) {
    e.perm = static_cast<uint16_t>(BitsFor(aces, trustees, e));
    if (e.tag != kUserObj && e.tag != kOther) groupClass |= e.perm;
  }
  if (!named.empty()) acl.insert(acl.end() - 1, {kMask, static_cast<uint16_t>(groupClass), 0});
  return acl;
}

unsigned PermOf(const PosixAcl& acl, uint16_t tag) {
  for (const PosixAclEntry& e : acl)
    if (e.tag == tag) return e.perm;
  return 0;
}

}  // namespace

LocalAccess AccessFromDacl(const Parsed& p, uid_t uid, gid_t gid, bool withAcl) {
  std::vector<AceView> aces;
  for (const AceView& ace : AcesOf(p))
    if (!(ace.flags & kInheritOnly)) aces.push_back(ace);
  const PosixAcl acl = EntriesFrom(aces, p.owner, p.group, uid, gid);
  const unsigned owner = PermOf(acl, kUserObj), other = PermOf(acl, kOther);
  LocalAccess access;
  if (withAcl && acl.size() > 3) {  // named entries
    access.acl = acl;
    access.mode = static_cast<mode_t>(owner << 6 | PermOf(acl, kMask) << 3 | other);
    return access;
  }
  // The mode alone: a named user may be in the owning group or among
  // others, a named group's members among others, so both classes keep
  // only what every named entry has.
  unsigned namedAll = 7;
  for (const PosixAclEntry& e : acl)
    if (IsNamed(e.tag)) namedAll &= e.perm;
  access.mode = static_cast<mode_t>(owner << 6 | (PermOf(acl, kGroupObj) & namedAll) << 3 |
                                    (other & namedAll));
  return access;
}

PosixAcl DefaultsFromDacl(const Parsed& p) {
  // A default ACL serves new files and folders alike: a grant counts
  // only when inherited by both, a DENY when inherited by either.
  const uint8_t both = kObjectInherit | kContainerInherit;
  std::vector<AceView> aces;
  for (const AceView& ace : AcesOf(p))
    if (ace.type == kDeniedAce ? (ace.flags & both) != 0 : (ace.flags & both) == both)
      aces.push_back(ace);
  if (aces.empty()) return PosixAcl();
  static const ByteVector kCreatorOwner = Sid(3, {0}), kCreatorGroup = Sid(3, {1});
  return EntriesFrom(aces, kCreatorOwner.data(), kCreatorGroup.data(),
                     static_cast<uid_t>(-1), static_cast<gid_t>(-1));
}

}  // namespace kvposix
