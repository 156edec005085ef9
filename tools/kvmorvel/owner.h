// SPDX-License-Identifier: GPL-2.0-or-later
// The owner of an archive entry, as list -v shows it.
#ifndef KVMORVEL_TOOL_OWNER_H
#define KVMORVEL_TOOL_OWNER_H

#include <cstddef>
#include <string>
#include <vector>

#include "KvMorvel.h"

// The owner the current entry's security descriptor names: a Unix user's
// SID (S-1-22-1-UID, as the Linux layer and Samba write them) as the
// user's name, or the UID when the system knows no such user; any other
// SID as its string form "S-1-5-21-...". "-" where the entry carries no
// descriptor or one without an owner.
std::string EntryOwner(CKvMorvel* archive);

// Reads the descriptor of the entry at the current index into
// `descriptor`. Returns 0, or the library's code: 1168 when the entry has
// none, another when it cannot be read (a missing part, bytes cut short).
DWORD ReadEntryDescriptor(CKvMorvel* archive, std::vector<BYTE>* descriptor);

// The owner named by the self-relative descriptor of `size` bytes; empty
// when it names none or its owner lies outside the bytes.
std::string DescriptorOwner(const unsigned char* descriptor, size_t size);

#endif  // KVMORVEL_TOOL_OWNER_H
