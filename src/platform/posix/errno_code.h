// SPDX-License-Identifier: GPL-2.0-or-later
// The layer's one errno to Windows code table, for code that makes POSIX
// calls of its own next to the layer (the mount library and the image
// packer) and must report the codes the layer would.
#ifndef KVMORVEL_PLATFORM_POSIX_ERRNO_CODE_H
#define KVMORVEL_PLATFORM_POSIX_ERRNO_CODE_H

#include <cstdint>

namespace kvposix {

// The Windows code the table gives `error` in `*code`; false, with `*code`
// untouched, for an errno the table does not hold (the caller picks the
// code that fits its step, nothing is reported).
bool LookUpErrnoCode(int error, uint32_t* code);

}  // namespace kvposix

#endif  // KVMORVEL_PLATFORM_POSIX_ERRNO_CODE_H
