// Shared objects by their Windows file name: "C:\work\virtdisk.dll" is
// mapped like any path and loaded with dlopen. A bare name is looked for
// in the current folder first, then where the dynamic loader looks.
#include <dlfcn.h>
#include <sys/stat.h>

#include "layer.h"

using namespace kvposix;

HMODULE LoadLibraryW(LPCWSTR path) {
  std::string p;
  if (!ToPosixPath(path, &p)) return nullptr;
  void* module = nullptr;
  if (p.find('/') == std::string::npos) {
    struct stat st;
    const std::string local = "./" + p;
    if (stat(local.c_str(), &st) == 0) module = dlopen(local.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module) module = dlopen(p.c_str(), RTLD_NOW | RTLD_LOCAL);
  } else {
    module = dlopen(p.c_str(), RTLD_NOW | RTLD_LOCAL);
  }
  if (!module) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  return module;
}

FARPROC GetProcAddress(HMODULE module, LPCSTR name) {
  if (!module || !name) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  void* symbol = dlsym(module, name);
  if (!symbol) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  return reinterpret_cast<FARPROC>(symbol);
}

BOOL FreeLibrary(HMODULE module) {
  if (!module) return Fail(ERROR_INVALID_HANDLE);
  if (dlclose(module) != 0) return Fail(ERROR_INVALID_HANDLE);
  return TRUE;
}
