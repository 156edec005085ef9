// SPDX-License-Identifier: GPL-2.0-or-later
// What the handle an added item was opened by tells of it: its attribute
// data and its security descriptor. The adders (when the caller gives
// none) and the host's CKvMorvelHost::OpenSource / GetSourceDescriptor
// read them here.
#ifndef KVMORVEL_FORMATS_SOURCE_DESCRIPTOR_H
#define KVMORVEL_FORMATS_SOURCE_DESCRIPTOR_H

#include "kvwin32.h"

// GetKernelObjectSecurity of owner, group, DACL and SACL; the SACL is
// left out when the handle may not read it. Results as that call's: FALSE
// with 122 and the size in `*needed` when `capacity` is too small.
BOOL ReadSourceDescriptor(HANDLE source, PSECURITY_DESCRIPTOR buffer,
                          DWORD capacity, LPDWORD needed);

// GetFileInformationByHandle, its attribute data copied to `data`; `info`
// (optional) gets the whole answer (volume, file index).
BOOL ReadSourceData(HANDLE source, WIN32_FILE_ATTRIBUTE_DATA* data,
                    BY_HANDLE_FILE_INFORMATION* info = nullptr);

#endif  // KVMORVEL_FORMATS_SOURCE_DESCRIPTOR_H
