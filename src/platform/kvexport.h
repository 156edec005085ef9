// SPDX-License-Identifier: GPL-2.0-or-later
// Export of the library's own helper classes (the logger, privileges).
//
// On Linux the command and the tests reach them through libKvMorvelM64.
// On Windows only the public classes of KvMorvel.h leave
// KvMorvelM64.dll; a program that needs a helper links the core itself.
#ifndef KVMORVEL_PLATFORM_KVEXPORT_H
#define KVMORVEL_PLATFORM_KVEXPORT_H

#include "KvMorvelTypes.h"

#if defined(_WIN32)
#define KVMORVEL_HELPER_API
#else
#define KVMORVEL_HELPER_API KVMORVEL_API
#endif

#endif  // KVMORVEL_PLATFORM_KVEXPORT_H
