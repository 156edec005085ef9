// SPDX-License-Identifier: GPL-2.0-or-later
// Security descriptors of the restore and the image copy.
#include "restore/restore_descriptors.h"

#include <cstring>

#include "KvLog.h"
#include "KvMorvel.h"
#include "KvSystem.h"
#include "common/archive_constants.h"
#include "formats/le_codec.h"

static_assert(kAllSecurityInformation ==
                  (OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                   DACL_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION),
              "the shared mask names owner, group, DACL and SACL");

namespace {

// Layout of a self-relative descriptor: revision u8, Sbz1 u8, control u16,
// then the offsets of owner, group, SACL and DACL (u32 each, 0 for none).
enum {
  kDescriptorHeaderSize = 20,
  kSelfRelative = 0x8000,
  kSidHeaderSize = 8,  // revision, count, authority (6 bytes)
  kAclHeaderSize = 8,  // revision, Sbz1, AclSize u16, count u16, Sbz2 u16
};

bool SidFits(const BYTE* d, DWORD length, DWORD at) {
  if (at == 0) return true;
  if (at > length || length - at < kSidHeaderSize) return false;
  return 4u * d[at + 1] <= length - at - kSidHeaderSize;
}

bool AclFits(const BYTE* d, DWORD length, DWORD at) {
  if (at == 0) return true;
  if (at > length || length - at < kAclHeaderSize) return false;
  const DWORD size = LoadU16(d + at + 2);
  return size >= kAclHeaderSize && size <= length - at;
}

}  // namespace

bool IsWholeDescriptor(const BYTE* d, DWORD length) {
  if (length < kDescriptorHeaderSize || d[0] != 1) return false;
  if (!(LoadU16(d + 2) & kSelfRelative)) return false;
  return SidFits(d, length, LoadU32(d + 4)) &&
         SidFits(d, length, LoadU32(d + 8)) &&
         AclFits(d, length, LoadU32(d + 12)) &&
         AclFits(d, length, LoadU32(d + 16));
}

void ApplyWholeDescriptor(const WCHAR* path, PSECURITY_DESCRIPTOR descriptor) {
  SetFileSecurityW(path, kAllSecurityInformation, descriptor);
}

namespace {

// The bytes a self-relative descriptor spans, read from its own offsets
// (the system's descriptors come without a length); 0 when a part lies
// past 64 KiB, further than any descriptor reaches.
DWORD DescriptorSpan(const BYTE* d) {
  const DWORD kLimit = 0x10000;
  DWORD end = kDescriptorHeaderSize;
  for (int i = 0; i < 4; ++i) {
    const DWORD at = LoadU32(d + 4 + 4 * i);
    if (at == 0) continue;
    if (at > kLimit - kSidHeaderSize) return 0;
    const DWORD size = i < 2 ? kSidHeaderSize + 4u * d[at + 1] : LoadU16(d + at + 2);
    if (size > kLimit - at) return 0;
    if (at + size > end) end = at + size;
  }
  return end;
}

}  // namespace

void ApplyWholeDescriptorTo(HANDLE target, PSECURITY_DESCRIPTOR descriptor,
                            DWORD options) {
  SECURITY_INFORMATION info = kAllSecurityInformation;
  std::vector<BYTE> handed;
  if (options & KV_RESTORE_NO_OWNER) {
    const BYTE* d = static_cast<const BYTE*>(descriptor);
    const DWORD span = DescriptorSpan(d);
    if (span && IsWholeDescriptor(d, span)) handed = HandOwnerTo(target, d, span);
    // Without the object's owner the ACLs alone are set as stored.
    if (!handed.empty()) descriptor = handed.data();
    info &= ~(OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION);
  }
  if (!SetKernelObjectSecurity(target, info, descriptor))
    SetKernelObjectSecurity(target, info & ~SACL_SECURITY_INFORMATION,
                            descriptor);
}

namespace {

std::vector<BYTE> SidAt(const BYTE* d, DWORD at) {
  if (at == 0) return {};
  return std::vector<BYTE>(d + at, d + at + kSidHeaderSize + 4u * d[at + 1]);
}

// The owner and group of the object open as `target`; false when they
// cannot be read.
bool ReadOwnerAndGroup(HANDLE target, std::vector<BYTE>* owner,
                       std::vector<BYTE>* group) {
  std::vector<BYTE> bytes(256);
  DWORD needed = 0;
  const SECURITY_INFORMATION info =
      OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION;
  if (!GetKernelObjectSecurity(target, info, bytes.data(),
                               static_cast<DWORD>(bytes.size()), &needed)) {
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || needed > 0x10000)
      return false;
    bytes.resize(needed);
    if (!GetKernelObjectSecurity(target, info, bytes.data(), needed, &needed))
      return false;
  }
  const DWORD length = static_cast<DWORD>(bytes.size());
  if (!IsWholeDescriptor(bytes.data(), length)) return false;
  *owner = SidAt(bytes.data(), LoadU32(bytes.data() + 4));
  *group = SidAt(bytes.data(), LoadU32(bytes.data() + 8));
  return !owner->empty() && !group->empty();
}

// Access-allowed, access-denied, audit and alarm entries: type, flags,
// size, mask, then the SID they name.
bool NamesOneSid(BYTE type) { return type <= 3; }

// The ACL at `acl` with every entry naming `from[k]` naming `to[k]`;
// empty when its entries overrun it.
std::vector<BYTE> RenameInAcl(const BYTE* acl,
                              const std::vector<BYTE>* const (&from)[2],
                              const std::vector<BYTE>* const (&to)[2]) {
  const DWORD size = LoadU16(acl + 2), count = LoadU16(acl + 4);
  std::vector<BYTE> entries;
  DWORD at = kAclHeaderSize;
  for (DWORD i = 0; i < count; ++i) {
    if (size - at < 4) return {};
    const BYTE* ace = acl + at;
    const DWORD aceSize = LoadU16(ace + 2);
    if (aceSize < 4 || aceSize > size - at) return {};
    at += aceSize;
    const std::vector<BYTE>* swap = nullptr;
    DWORD sidSize = 0;
    if (NamesOneSid(ace[0]) && aceSize >= 8 + kSidHeaderSize) {
      sidSize = kSidHeaderSize + 4u * ace[9];
      for (int k = 0; k < 2 && sidSize <= aceSize - 8; ++k)
        if (from[k]->size() == sidSize &&
            memcmp(ace + 8, from[k]->data(), sidSize) == 0 && !swap)
          swap = to[k];
    }
    if (!swap) {
      entries.insert(entries.end(), ace, ace + aceSize);
      continue;
    }
    const DWORD rest = aceSize - 8 - sidSize;  // bytes after the SID
    entries.push_back(ace[0]);
    entries.push_back(ace[1]);
    AppendU16(entries, static_cast<uint16_t>(8 + swap->size() + rest));
    entries.insert(entries.end(), ace + 4, ace + 8);  // the mask
    entries.insert(entries.end(), swap->begin(), swap->end());
    entries.insert(entries.end(), ace + 8 + sidSize, ace + aceSize);
  }
  if (kAclHeaderSize + entries.size() > 0xFFFF) return {};
  std::vector<BYTE> out(acl, acl + 2);  // revision, Sbz1
  AppendU16(out, static_cast<uint16_t>(kAclHeaderSize + entries.size()));
  AppendU16(out, static_cast<uint16_t>(count));
  AppendU16(out, 0);
  out.insert(out.end(), entries.begin(), entries.end());
  return out;
}

}  // namespace

std::vector<BYTE> HandOwnerTo(HANDLE target, const BYTE* d, DWORD length) {
  std::vector<BYTE> owner, group;
  if (!IsWholeDescriptor(d, length) || !ReadOwnerAndGroup(target, &owner, &group))
    return {};
  const std::vector<BYTE> storedOwner = SidAt(d, LoadU32(d + 4));
  const std::vector<BYTE> storedGroup = SidAt(d, LoadU32(d + 8));
  const std::vector<BYTE>* const from[2] = {&storedOwner, &storedGroup};
  const std::vector<BYTE>* const to[2] = {&owner, &group};
  std::vector<BYTE> acls[2];  // SACL, DACL, in the order they are stored
  for (int i = 0; i < 2; ++i) {
    const DWORD at = LoadU32(d + 12 + 4 * i);
    if (at == 0) continue;
    acls[i] = RenameInAcl(d + at, from, to);
    if (acls[i].empty()) return {};
  }
  const std::vector<BYTE>* parts[4] = {&owner, &group, &acls[0], &acls[1]};
  std::vector<BYTE> out(d, d + 4);  // revision, Sbz1, control
  DWORD at = kDescriptorHeaderSize;
  for (const std::vector<BYTE>* part : parts) {
    AppendU32(out, part->empty() ? 0 : at);
    at += static_cast<DWORD>(part->size());
  }
  for (const std::vector<BYTE>* part : parts)
    out.insert(out.end(), part->begin(), part->end());
  return out;
}

namespace {

// Checks the descriptor is whole, then runs `apply` under
// "SeSecurityPrivilege", the one procedure of both targets.
template <typename Apply>
bool ApplyUnderPrivilege(BYTE* descriptor, DWORD length, bool disableAfter,
                         Apply apply) {
  if (!IsWholeDescriptor(descriptor, length)) {
    CKvLog::GetInstance()->AddInfo(TEXT("Incomplete security descriptor not applied - %u"),
                   static_cast<unsigned>(length));
    return false;
  }
  CKvSystem::SetPrivilege(TEXT("SeSecurityPrivilege"), TRUE);
  apply(descriptor);
  if (disableAfter) CKvSystem::SetPrivilege(TEXT("SeSecurityPrivilege"), FALSE);
  return true;
}

}  // namespace

bool SetDescriptorUnderPrivilege(const WCHAR* path, BYTE* descriptor,
                                 DWORD length, bool disableAfter) {
  return ApplyUnderPrivilege(descriptor, length, disableAfter,
                             [path](BYTE* d) { ApplyWholeDescriptor(path, d); });
}

bool SetDescriptorUnderPrivilege(HANDLE target, BYTE* descriptor,
                                 DWORD length, bool disableAfter,
                                 DWORD options) {
  return ApplyUnderPrivilege(descriptor, length, disableAfter,
                             [target, options](BYTE* d) {
                               ApplyWholeDescriptorTo(target, d, options);
                             });
}
