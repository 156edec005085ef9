// SPDX-License-Identifier: GPL-2.0-or-later
// Process privileges.
#include "KvSystem.h"

#include <set>
#include <string>

#include "KvLock.h"
#include "kvwin32.h"

namespace {

// The names enabled by the last call for each; kept on every system so a
// host or test can see what the library asked for. The set is
// process-wide, and two objects restoring on two threads both change it:
// every use holds NamesLock().
SRWLOCK& NamesLock() {
  static SRWLOCK lock = SRWLOCK_INIT;
  return lock;
}

std::set<std::u16string>& EnabledNames() {
  static std::set<std::u16string> names;
  return names;
}

std::u16string Key(const WCHAR* name) {
  std::u16string key;
  for (; name && *name; ++name) key += static_cast<char16_t>(*name);
  return key;
}

#if defined(_WIN32)
BOOL AdjustTokenPrivilege(const WCHAR* name, BOOL enable) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(),
                        TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
    return FALSE;
  TOKEN_PRIVILEGES privileges = {};
  privileges.PrivilegeCount = 1;
  BOOL ok = LookupPrivilegeValueW(nullptr, name,
                                  &privileges.Privileges[0].Luid);
  if (ok) {
    privileges.Privileges[0].Attributes = enable ? SE_PRIVILEGE_ENABLED : 0;
    ok = AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr,
                               nullptr) &&
         GetLastError() == ERROR_SUCCESS;
  }
  CloseHandle(token);
  return ok;
}
#else
// POSIX has no per-process privilege list; the recorded state is all.
BOOL AdjustTokenPrivilege(const WCHAR*, BOOL) { return TRUE; }
#endif

}  // namespace

BOOL CKvSystem::SetPrivilege(const WCHAR* name, BOOL enable) {
  if (!name) return FALSE;
  // The token change and the record go together, so the record ends
  // as the token does when two threads switch the same privilege.
  CKvLockHold hold(NamesLock());
  const BOOL ok = AdjustTokenPrivilege(name, enable);
  if (enable)
    EnabledNames().insert(Key(name));
  else
    EnabledNames().erase(Key(name));
  return ok;
}

BOOL CKvSystem::IsPrivilegeEnabled(const WCHAR* name) {
  CKvLockHold hold(NamesLock());
  return EnabledNames().count(Key(name)) ? TRUE : FALSE;
}
