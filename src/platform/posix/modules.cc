// SPDX-License-Identifier: GPL-2.0-or-later
// Shared objects by their Windows file name: "C:\work\virtdisk.dll" is
// mapped like any path and loaded with dlopen. A bare name is searched
// for the way Windows' safe search order does: the folder of the running
// program first, the current folder last, or never with
// LOAD_LIBRARY_SEARCH_DEFAULT_DIRS (see SearchFolders).
//
// The installed archive library keeps the modules it loads (the mount
// library) in a private folder below its own, KVMORVEL_MODULE_FOLDER
// (set by the build from the install layout; "kvmorvel", so
// ${libdir}/kvmorvel), which is searched before the library's folder.
#include <dlfcn.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include "layer.h"

using namespace kvposix;

namespace {

std::string FolderOf(const std::string& file) {
  const size_t slash = file.rfind('/');
  if (slash == std::string::npos) return std::string();
  return slash == 0 ? "/" : file.substr(0, slash);
}

// The folder of the running program; empty when it cannot be read.
std::string ProgramFolder() {
  char self[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  return n > 0 ? FolderOf(std::string(self, static_cast<size_t>(n)))
               : std::string();
}

// The folder this layer was loaded from: where libKvMorvelM64 is
// installed (or the program itself, when the layer is linked into it).
// A name the dynamic loader kept relative says nothing reliable once the
// current folder has changed, so only an absolute one counts.
std::string LayerFolder() {
  Dl_info info;
  if (dladdr(reinterpret_cast<void*>(&LoadLibraryW), &info) == 0 ||
      !info.dli_fname || info.dli_fname[0] != '/')
    return std::string();
  return FolderOf(info.dli_fname);
}

#ifndef KVMORVEL_MODULE_FOLDER
#define KVMORVEL_MODULE_FOLDER "kvmorvel"
#endif

// The layer's private module folder; empty when the layer's folder is
// unknown, so that a relative name never stands for it.
std::string PrivateModuleFolder() {
  const std::string layer = LayerFolder();
  if (layer.empty()) return std::string();
  return (layer == "/" ? "" : layer) + "/" KVMORVEL_MODULE_FOLDER;
}

std::string CurrentFolder() {
  char here[PATH_MAX];
  return getcwd(here, sizeof here) ? std::string(here) : std::string();
}

// Where a bare name is looked for, in order. Like Windows, the current
// folder comes last, so a library planted where the user happens to
// stand never replaces an installed one. The dynamic loader's own search
// (LD_LIBRARY_PATH, whose empty entries mean the current folder, and the
// system folders) is left out on purpose: the modules loaded by name are
// ours and live beside the program or the layer.
// LOAD_LIBRARY_SEARCH_DEFAULT_DIRS leaves the current folder out, as on
// Windows: with no library installed, none is taken from where the user
// happens to stand.
std::vector<std::string> SearchFolders(bool currentFolder) {
  std::vector<std::string> folders = {ProgramFolder(), PrivateModuleFolder(),
                                      LayerFolder()};
  if (currentFolder) folders.push_back(CurrentFolder());
  return folders;
}

HMODULE Load(const std::string& path) {
  void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!module) SetLastError(ERROR_BAD_EXE_FORMAT);
  return module;
}

}  // namespace

HMODULE LoadLibraryW(LPCWSTR path) { return LoadLibraryExW(path, nullptr, 0); }

HMODULE LoadLibraryExW(LPCWSTR path, HANDLE file, DWORD flags) {
  if (file || (flags & ~LOAD_LIBRARY_SEARCH_DEFAULT_DIRS)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::string p;
  if (!ToPosixPath(path, &p)) return nullptr;
  struct stat st;
  if (p.find('/') != std::string::npos) {
    // A name with a folder in it is loaded as given.
    if (stat(p.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
      SetLastError(ERROR_MOD_NOT_FOUND);
      return nullptr;
    }
    return Load(p);
  }
  // The first folder that holds the name decides: a file there that does
  // not load fails the call rather than falling through to a later, less
  // trusted folder.
  const bool trustedOnly = (flags & LOAD_LIBRARY_SEARCH_DEFAULT_DIRS) != 0;
  for (const std::string& folder : SearchFolders(!trustedOnly)) {
    if (folder.empty()) continue;
    const std::string candidate = (folder == "/" ? "" : folder) + "/" + p;
    if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode))
      return Load(candidate);
  }
  SetLastError(ERROR_MOD_NOT_FOUND);
  return nullptr;
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
