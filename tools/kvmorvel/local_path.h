// SPDX-License-Identifier: GPL-2.0-or-later
// Where a stored entry name is on this system: below a folder, with the
// archive's '\' turned into the system's separator, and never above it.
#ifndef KVMORVEL_TOOL_LOCAL_PATH_H
#define KVMORVEL_TOOL_LOCAL_PATH_H

#include <string>

// `folder` (UTF-8, in the system's form) joined with the stored `name`,
// its separators made the system's; false, with nothing set, for a name
// that would leave `folder` (the library's own rule,
// CKvMorvelHost::IsContainedName, which the restore confines names by).
bool LocalPathBelow(const std::string& folder, const std::u16string& name,
                    std::string* path);

#endif  // KVMORVEL_TOOL_LOCAL_PATH_H
