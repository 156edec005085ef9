// SPDX-License-Identifier: GPL-2.0-or-later
// The process: current folder, environment, memory checks, LocalFree.
#include <limits.h>
#include <unistd.h>

#include <cstdlib>

#include "layer.h"

using namespace kvposix;

namespace {

// Copies `value` out the Win32 way: the length without terminator when it
// fits, else the size needed with the terminator.
DWORD CopyOut(const std::u16string& value, LPWSTR buffer, DWORD capacity) {
  if (!buffer || value.size() + 1 > capacity)
    return static_cast<DWORD>(value.size() + 1);
  CopyWide(value, buffer, capacity);
  return static_cast<DWORD>(value.size());
}

bool NarrowText(LPCWSTR text, std::string* out) {
  if (!text) return Fail(ERROR_INVALID_PARAMETER);
  if (!ToNarrowName(text, WideLength(text), out))
    return Fail(ERROR_INVALID_PARAMETER);
  return true;
}

}  // namespace

// The POSIX current folder as it is: a POSIX absolute path is a valid
// path for every function of the layer.
DWORD GetCurrentDirectoryW(DWORD capacity, LPWSTR buffer) {
  std::vector<char> cwd(PATH_MAX + 1);
  if (!getcwd(cwd.data(), cwd.size())) {
    FailErrno(errno);
    return 0;
  }
  return CopyOut(ToWideName(cwd.data()), buffer, capacity);
}

BOOL SetCurrentDirectoryW(LPCWSTR path) {
  std::string p;
  if (!ToPosixPath(path, &p)) return FALSE;
  if (chdir(p.c_str()) != 0) {
    const int error = errno;
    return Fail(error == ENOENT || error == ENOTDIR ? ERROR_PATH_NOT_FOUND
                                                    : CodeFromErrno(error));
  }
  return TRUE;
}

DWORD GetEnvironmentVariableW(LPCWSTR name, LPWSTR buffer, DWORD capacity) {
  std::string key;
  if (!NarrowText(name, &key)) return 0;
  const char* value = getenv(key.c_str());
  if (!value) {
    SetLastError(ERROR_ENVVAR_NOT_FOUND);
    return 0;
  }
  return CopyOut(ToWideName(value), buffer, capacity);
}

BOOL SetEnvironmentVariableW(LPCWSTR name, LPCWSTR value) {
  std::string key, text;
  if (!NarrowText(name, &key)) return FALSE;
  if (key.empty() || key.find('=') != std::string::npos)
    return Fail(ERROR_INVALID_PARAMETER);
  if (!value) {
    if (unsetenv(key.c_str()) != 0) return FailErrno(errno);
    return TRUE;
  }
  if (!NarrowText(value, &text)) return FALSE;
  if (setenv(key.c_str(), text.c_str(), 1) != 0) return FailErrno(errno);
  return TRUE;
}

// Only what can be told without touching the memory: a null pointer or a
// range that runs past the end of the address space.
BOOL IsBadWritePtr(LPVOID pointer, uintptr_t size) {
  if (!pointer) return TRUE;
  const uintptr_t start = reinterpret_cast<uintptr_t>(pointer);
  return size && start + (size - 1) < start ? TRUE : FALSE;
}

HLOCAL LocalFree(HLOCAL memory) {
  free(memory);
  return nullptr;
}
