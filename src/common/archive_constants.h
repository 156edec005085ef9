// SPDX-License-Identifier: GPL-2.0-or-later
// Constants every part of the project shares: the core, the command and
// the mount library. Kept free of any system header so that each of them
// (core, layer, tools) can include it whatever it builds against.
#ifndef KVMORVEL_COMMON_ARCHIVE_CONSTANTS_H
#define KVMORVEL_COMMON_ARCHIVE_CONSTANTS_H

#include <cstddef>

// The 8 bytes that open the header of an archive of every version.
inline constexpr unsigned char kArchiveSignature[8] = {'M', 'V', 'R', 'L',
                                                       'I', 'G', 'H', 'T'};
// The 8 bytes that open a disk image, before its tar stream.
inline constexpr unsigned char kImageSignature[8] = {'!', 'X', 'S', 'S',
                                                     'X', 'S', 'S', '!'};
inline constexpr size_t kImageSignatureSize = sizeof(kImageSignature);

// The largest reparse record (REPARSE_DATA_BUFFER: tag, data length,
// reserved, data) stored or restored, and the buffer it is read into.
inline constexpr unsigned long kReparseBufferSize = 17000;

// The security information that names a whole descriptor: owner (0x1),
// group (0x2), DACL (0x4) and SACL (0x8).
inline constexpr unsigned long kAllSecurityInformation = 0x1 | 0x2 | 0x4 | 0x8;

#endif  // KVMORVEL_COMMON_ARCHIVE_CONSTANTS_H
