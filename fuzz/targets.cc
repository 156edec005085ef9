// SPDX-License-Identifier: GPL-2.0-or-later
// The table of fuzz targets. The name is the target's corpus folder under
// fuzz/corpus/ and, prefixed with "fuzz_", its libFuzzer program.
#include "fuzz/fuzz_support.h"

int FuzzListV1(const uint8_t* data, size_t size);
int FuzzListV2(const uint8_t* data, size_t size);
int FuzzListV5(const uint8_t* data, size_t size);
int FuzzRestoreV1(const uint8_t* data, size_t size);
int FuzzRestoreV2(const uint8_t* data, size_t size);
int FuzzRestoreV5(const uint8_t* data, size_t size);
int FuzzImage(const uint8_t* data, size_t size);
int FuzzDosAttrib(const uint8_t* data, size_t size);
int FuzzDescriptor(const uint8_t* data, size_t size);
int FuzzNtacl(const uint8_t* data, size_t size);
int FuzzPosixAcl(const uint8_t* data, size_t size);
int FuzzReparse(const uint8_t* data, size_t size);

const FuzzTarget kFuzzTargets[] = {
    {"list_v1", FuzzListV1},
    {"list_v2", FuzzListV2},
    {"list_v5", FuzzListV5},
    {"restore_v1", FuzzRestoreV1},
    {"restore_v2", FuzzRestoreV2},
    {"restore_v5", FuzzRestoreV5},
    {"image", FuzzImage},
    {"dosattrib", FuzzDosAttrib},
    {"descriptor", FuzzDescriptor},
    {"ntacl", FuzzNtacl},
    {"posix_acl", FuzzPosixAcl},
    {"reparse", FuzzReparse},
    {nullptr, nullptr},
};
