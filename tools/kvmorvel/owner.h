// The owner of an archive entry, as list -v shows it.
#ifndef KVMORVEL_TOOL_OWNER_H
#define KVMORVEL_TOOL_OWNER_H

#include <cstddef>
#include <string>

#include "KvMorvel.h"

// The owner the current entry's security descriptor names: a Unix user's
// SID (S-1-22-1-UID, as the Linux layer and Samba write them) as the
// user's name, or the UID when the system knows no such user; any other
// SID as its string form "S-1-5-21-...". "-" where the entry carries no
// descriptor or one without an owner.
std::string EntryOwner(CKvMorvel* archive);

// The owner named by the self-relative descriptor of `size` bytes; empty
// when it names none or its owner lies outside the bytes.
std::string DescriptorOwner(const unsigned char* descriptor, size_t size);

#endif  // KVMORVEL_TOOL_OWNER_H
