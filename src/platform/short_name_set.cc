// SPDX-License-Identifier: GPL-2.0-or-later
// KvSetFileShortName: SetFileShortNameW where the system has it.
#include "kvwin32.h"

#if defined(_WIN32)

namespace {

typedef BOOL(WINAPI* SetShortNameFn)(HANDLE, LPCWSTR);

// Wine keeps SetFileShortNameW in kernel32's export table as a stub that
// raises a non-continuable exception whatever it is given; a Wine process
// is told by ntdll's wine_get_version export.
bool RunsUnderWine() {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// Looked up once per process: never imported, so a kernel32 without it
// still loads the library.
SetShortNameFn ResolveSetShortName() {
  if (RunsUnderWine()) return nullptr;
  HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  if (!kernel) return nullptr;
  return reinterpret_cast<SetShortNameFn>(
      reinterpret_cast<void*>(GetProcAddress(kernel, "SetFileShortNameW")));
}

}  // namespace

BOOL KvSetFileShortName(HANDLE file, LPCWSTR shortName) {
  static const SetShortNameFn setShortName = ResolveSetShortName();
  if (!setShortName) {
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
  }
  return setShortName(file, shortName);
}

#else

BOOL KvSetFileShortName(HANDLE file, LPCWSTR shortName) {
  return SetFileShortNameW(file, shortName);
}

#endif
