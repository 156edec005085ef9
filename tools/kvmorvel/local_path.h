// SPDX-License-Identifier: GPL-2.0-or-later
// Where a stored entry name is on this system: below a folder, with the
// archive's '\' turned into the system's separator, and never above it.
#ifndef KVMORVEL_TOOL_LOCAL_PATH_H
#define KVMORVEL_TOOL_LOCAL_PATH_H

#include <string>

// Whether the stored `name` stays below the folder it is joined to, as
// the restore confines it: not empty, not rooted ("\a", "/a"), not
// drive-qualified ("C:a"), and no component ('\' and '/' both separate)
// that is empty or only dots and spaces (".", "..", and the forms Windows
// trims to them). A trailing separator is allowed ("dir\" names dir).
bool IsContainedName(const std::u16string& name);

// `folder` (UTF-8, in the system's form) joined with the stored `name`,
// its separators made the system's; false, with nothing set, for a name
// that IsContainedName refuses.
bool LocalPathBelow(const std::string& folder, const std::u16string& name,
                    std::string* path);

#endif  // KVMORVEL_TOOL_LOCAL_PATH_H
