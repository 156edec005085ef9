// SPDX-License-Identifier: GPL-2.0-or-later
// System helpers: process privileges.
#ifndef KVMORVEL_PLATFORM_KVSYSTEM_H
#define KVMORVEL_PLATFORM_KVSYSTEM_H

#include "KvMorvelTypes.h"

class CKvSystem {
 public:
  // Enables or disables a named privilege of the process token
  // ("SeSecurityPrivilege", ...). Returns TRUE when the change was made.
  // Where the system has no privileges, the state is kept in the process
  // so the library's use of it stays observable.
  static BOOL SetPrivilege(const WCHAR* name, BOOL enable);
  // Whether the last SetPrivilege for `name` enabled it.
  static BOOL IsPrivilegeEnabled(const WCHAR* name);
};

#endif  // KVMORVEL_PLATFORM_KVSYSTEM_H
