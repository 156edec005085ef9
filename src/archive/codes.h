// The library's own error codes, beside the Windows codes it reports.
#ifndef KVMORVEL_ARCHIVE_CODES_H
#define KVMORVEL_ARCHIVE_CODES_H

#include "KvMorvelTypes.h"

const DWORD kErrorNullTarget = 0x10000002u;  // null target, bad buffer
const DWORD kErrorNoArchive = 0x10000203u;   // no archive open
const DWORD kErrorNotMounted = 0x10000405u;  // no image, unmount failed

#endif  // KVMORVEL_ARCHIVE_CODES_H
