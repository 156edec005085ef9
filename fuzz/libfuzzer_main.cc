// SPDX-License-Identifier: GPL-2.0-or-later
// The libFuzzer entry of one target, chosen at build time by
// KVMORVEL_FUZZ_TARGET (its name in the target table).
#include <cstdio>
#include <cstdlib>

#include "fuzz/fuzz_support.h"

namespace {
const FuzzTarget* g_target = nullptr;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_target = FindFuzzTarget(KVMORVEL_FUZZ_TARGET);
  if (!g_target) {
    fprintf(stderr, "no fuzz target named %s\n", KVMORVEL_FUZZ_TARGET);
    abort();
  }
  FuzzProcessSetUp();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return g_target->run(data, size);
}
