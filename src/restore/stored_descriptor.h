// SPDX-License-Identifier: GPL-2.0-or-later
// Where an entry's security descriptor is stored, read without applying
// it: by the restores and by CKvMorvel::GetEntryDescriptor.
#ifndef KVMORVEL_RESTORE_STORED_DESCRIPTOR_H
#define KVMORVEL_RESTORE_STORED_DESCRIPTOR_H

#include <vector>

#include "formats/v2/v2_format.h"
#include "formats/v5/v5_io.h"
#include "kvwin32.h"

// Version 2: whether the record's descriptor lies inside both the record
// (its record size) and the in-memory entry behind the fixed part.
bool DescriptorInsideRecord(const _MVRL_FILEENTRY_2& entry);

// Version 5: reads the descriptor block (u32 length M, M bytes) at
// `offset` of `part` into `descriptor`. Returns the code of a length that
// cannot be read (the part ends inside the block) or is larger than any
// descriptor, else 0: with *whole set when all M bytes were read, or,
// logged, with *whole clear and `descriptor` empty when they were cut
// short (the restore then skips the descriptor). A block of length 0 is
// whole and empty: the entry has no descriptor.
DWORD ReadDescriptorBlock5(V5PartInput& part, ULONGLONG offset,
                           std::vector<BYTE>* descriptor, bool* whole);

#endif  // KVMORVEL_RESTORE_STORED_DESCRIPTOR_H
