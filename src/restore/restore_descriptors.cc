// SPDX-License-Identifier: GPL-2.0-or-later
// Security descriptors of the restore and the image copy.
#include "restore/restore_descriptors.h"

#include "KvLog.h"
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

void ApplyWholeDescriptorTo(HANDLE target, PSECURITY_DESCRIPTOR descriptor) {
  if (!SetKernelObjectSecurity(target, kAllSecurityInformation, descriptor))
    SetKernelObjectSecurity(target,
                            kAllSecurityInformation & ~SACL_SECURITY_INFORMATION,
                            descriptor);
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
                                 DWORD length, bool disableAfter) {
  return ApplyUnderPrivilege(descriptor, length, disableAfter,
                             [target](BYTE* d) { ApplyWholeDescriptorTo(target, d); });
}
