// The one door the tests have into the object's protected members.
//
// Tests go through the public class: they write archives byte by byte
// (support/archive_bytes.h) and read them through Open, Info and
// ExtractFile, so an internal change never means rewriting a test. A
// member is listed here only when no public call can show what a test
// must check, and each one says why.
#ifndef KVMORVEL_TESTS_SUPPORT_PROBE_H
#define KVMORVEL_TESTS_SUPPORT_PROBE_H

#include "KvMorvel.h"

class Probe : public CKvMorvel {
 public:
};

#endif  // KVMORVEL_TESTS_SUPPORT_PROBE_H
