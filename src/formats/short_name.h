// SPDX-License-Identifier: GPL-2.0-or-later
// The 8.3 alternate name of a file or folder, as the entry records keep
// it: 14 WCHARs, zero-filled, at most 13 characters.
#ifndef KVMORVEL_FORMATS_SHORT_NAME_H
#define KVMORVEL_FORMATS_SHORT_NAME_H

#include <vector>

#include "kvwin32.h"

enum { kShortNameChars = 14 };

// Zero-fills `field` and copies the alternate name of `path` into it: the
// last name of what GetShortPathNameW gives, when it differs from the long
// one. The field stays empty when the lookup fails or the item has no
// alternate name.
void LookUpShortName(LPCWSTR path, WCHAR (&field)[kShortNameChars]);

// The same for the item open as `source`, asked through the handle
// (NtQueryInformationFile, FileAlternateNameInformation), so no name is
// looked up again. Where the file system cannot answer that way, by
// `path`, or by the name the system gives the handle when `path` is null.
void LookUpShortNameOf(HANDLE source, LPCWSTR path,
                       WCHAR (&field)[kShortNameChars]);

// The name the system gives the opened item (GetFinalPathNameByHandleW),
// terminated; empty when it has none to give.
std::vector<WCHAR> NameOfHandle(HANDLE source);

#endif  // KVMORVEL_FORMATS_SHORT_NAME_H
