// SPDX-License-Identifier: GPL-2.0-or-later
// Security descriptors of the restore and the image copy: the check that
// stored bytes hold a whole descriptor, and applying one.
#ifndef KVMORVEL_RESTORE_RESTORE_DESCRIPTORS_H
#define KVMORVEL_RESTORE_RESTORE_DESCRIPTORS_H

#include <vector>

#include "kvwin32.h"

// Whether `length` bytes hold a whole self-relative security descriptor:
// its header, and every SID and ACL its offsets name, inside the bytes.
// SetFileSecurityW takes no length, so a cut descriptor (a version 2
// adder keeps only the first 1024 bytes) would make it read past them.
bool IsWholeDescriptor(const BYTE* descriptor, DWORD length);

// Sets owner, group, DACL and SACL of `descriptor` on `path`; failures
// are left to the caller's checks (the object itself is restored).
void ApplyWholeDescriptor(const WCHAR* path, PSECURITY_DESCRIPTOR descriptor);

// The same on the object open as `target`, through the handle (opened
// with WRITE_DAC and WRITE_OWNER): never by looking a path up again.
// Where the handle may not set the SACL, the rest is set without it.
// With KV_RESTORE_NO_OWNER in `options` the object keeps its owner and
// group (HandOwnerTo), and only the ACLs are set.
void ApplyWholeDescriptorTo(HANDLE target, PSECURITY_DESCRIPTOR descriptor,
                            DWORD options = 0);

// The whole `descriptor` (`length` bytes, IsWholeDescriptor) with the
// owner and group of the object open as `target` in place of its own, and
// every access or audit entry that named its owner or group naming the
// object's instead: what the stored owner was granted goes to whoever
// the object belongs to, as tar --no-same-owner keeps the mode. Empty
// when the object's owner cannot be read or an ACL's entries overrun it.
std::vector<BYTE> HandOwnerTo(HANDLE target, const BYTE* descriptor,
                              DWORD length);

// Applies a whole descriptor with owner, group, DACL and SACL under
// "SeSecurityPrivilege", disabling the privilege again when asked to. A
// descriptor that is not whole is logged and not applied (FALSE).
bool SetDescriptorUnderPrivilege(const WCHAR* path, BYTE* descriptor,
                                 DWORD length, bool disableAfter);
// The same on the object open as `target`, through the handle.
// `options` are the host's KV_RESTORE_* flags (KV_RESTORE_NO_OWNER).
bool SetDescriptorUnderPrivilege(HANDLE target, BYTE* descriptor,
                                 DWORD length, bool disableAfter,
                                 DWORD options);

#endif  // KVMORVEL_RESTORE_RESTORE_DESCRIPTORS_H
