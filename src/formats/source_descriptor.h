// SPDX-License-Identifier: GPL-2.0-or-later
// The security descriptor of an added item, read through the handle it
// was opened by: the adders (when the caller gives none) and the host's
// CKvMorvelHost::GetSourceDescriptor read it here once.
#ifndef KVMORVEL_FORMATS_SOURCE_DESCRIPTOR_H
#define KVMORVEL_FORMATS_SOURCE_DESCRIPTOR_H

#include "kvwin32.h"

// GetKernelObjectSecurity of owner, group, DACL and SACL; the SACL is
// left out when the handle may not read it. Results as that call's: FALSE
// with 122 and the size in `*needed` when `capacity` is too small.
BOOL ReadSourceDescriptor(HANDLE source, PSECURITY_DESCRIPTOR buffer,
                          DWORD capacity, LPDWORD needed);

#endif  // KVMORVEL_FORMATS_SOURCE_DESCRIPTOR_H
