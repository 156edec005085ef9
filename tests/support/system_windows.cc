// SPDX-License-Identifier: GPL-2.0-or-later
// The Windows half of the test support, part two: temporary folders, the
// program's folder, the current folder and the POSIX calls of
// posix_windows.h, over the Windows API.
#if defined(_WIN32)

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "attach.h"
#include "common/windows_files.h"
#include "support/test_support.h"

namespace {

// The test programs link the core itself, and no loader runs its DllMain:
// the attach runs here once, before main, as the loader would run it.
const bool kAttached = (KvMorvelProcessAttach(), true);

}  // namespace

TempDir::TempDir() {
  wchar_t base[MAX_PATH];
  const DWORD n = GetTempPathW(MAX_PATH, base);
  if (n == 0 || n >= MAX_PATH) throw std::runtime_error("GetTempPathW");
  // The process id and a counter make the name; a name left by another
  // process is passed over.
  static unsigned counter = 0;
  for (int attempt = 0; attempt < 1000; ++attempt) {
    wchar_t name[64];
    swprintf(name, 64, L"kvtest.%lu.%u", GetCurrentProcessId(), counter++);
    std::wstring path = std::wstring(base) + name;
    if (CreateDirectoryW(path.c_str(), nullptr)) {
      path_ = Utf8FromWide(path.c_str());
      return;
    }
    if (GetLastError() != ERROR_ALREADY_EXISTS) break;
  }
  throw std::runtime_error("CreateDirectoryW in the temporary folder");
}

TempDir::~TempDir() { RemoveTree(WideFromUtf8(path_)); }

// Drive letters are mapped through KVMORVEL_DOSDEVICES by the Linux layer
// only; a test that maps one skips itself under Wine first.
DosDevices::DosDevices() {}
DosDevices::~DosDevices() {}
void DosDevices::Map(char, const std::string&) {
  throw std::runtime_error("drive letters are mapped on Linux only");
}
void DosDevices::Unmap(char) {}

void WriteSparse(const std::string& path, unsigned long long size,
                 const std::vector<std::pair<unsigned long long, std::string>>& data) {
  HANDLE file = CreateFileW(WideFromUtf8(path).c_str(), GENERIC_WRITE, 0,
                            nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                            nullptr);
  if (file == INVALID_HANDLE_VALUE) throw std::runtime_error("open " + path);
  LARGE_INTEGER at;
  at.QuadPart = static_cast<LONGLONG>(size);
  bool ok = SetFilePointerEx(file, at, nullptr, FILE_BEGIN) && SetEndOfFile(file);
  for (const auto& piece : data) {
    DWORD written = 0;
    at.QuadPart = static_cast<LONGLONG>(piece.first);
    ok = ok && SetFilePointerEx(file, at, nullptr, FILE_BEGIN) &&
         WriteFile(file, piece.second.data(), static_cast<DWORD>(piece.second.size()),
                   &written, nullptr) &&
         written == piece.second.size();
  }
  CloseHandle(file);
  if (!ok) throw std::runtime_error("cannot write " + path);
}

unsigned long long DiskBytes(const std::string& path) {
  DWORD high = 0;
  const DWORD low = GetCompressedFileSizeW(WideFromUtf8(path).c_str(), &high);
  return (static_cast<unsigned long long>(high) << 32) | low;
}

bool Exists(const std::string& path) {
  return GetFileAttributesW(WideFromUtf8(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string ProgramFolder() {
  wchar_t self[MAX_PATH];
  const DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) throw std::runtime_error("GetModuleFileNameW");
  const std::string path = Utf8FromWide(self);
  return path.substr(0, path.find_last_of("\\/"));
}

InFolder::InFolder(const std::string& folder) {
  wchar_t here[MAX_PATH];
  if (!GetCurrentDirectoryW(MAX_PATH, here) ||
      !SetCurrentDirectoryW(WideFromUtf8(folder).c_str()))
    throw std::runtime_error("cannot enter " + folder);
  previous_ = Utf8FromWide(here);
}

InFolder::~InFolder() { SetCurrentDirectoryW(WideFromUtf8(previous_).c_str()); }

bool UnderWine() {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

int mkdir(const char* path, int) {
  return CreateDirectoryW(WideFromUtf8(path).c_str(), nullptr) ? 0 : -1;
}

int setenv(const char* name, const char* value, int overwrite) {
  if (!overwrite && getenv(name)) return 0;
  if (_putenv_s(name, value) != 0) return -1;
  return SetEnvironmentVariableW(WideFromUtf8(name).c_str(), WideFromUtf8(value).c_str())
             ? 0
             : -1;
}

int unsetenv(const char* name) {
  _putenv_s(name, "");
  return SetEnvironmentVariableW(WideFromUtf8(name).c_str(), nullptr) ? 0 : -1;
}

int symlink(const char* target, const char* link) {
  std::wstring to = WideFromUtf8(target);
  for (wchar_t& c : to)
    if (c == L'/') c = L'\\';
  const DWORD attributes = GetFileAttributesW(to.c_str());
  DWORD flags = SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE;
  if (attributes != INVALID_FILE_ATTRIBUTES &&
      (attributes & FILE_ATTRIBUTE_DIRECTORY))
    flags |= SYMBOLIC_LINK_FLAG_DIRECTORY;
  return CreateSymbolicLinkW(WideFromUtf8(link).c_str(), to.c_str(), flags) ? 0 : -1;
}

int lstat(const char* path, struct stat* status) {
  const DWORD attributes = GetFileAttributesW(WideFromUtf8(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return -1;
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    *status = {};
    status->st_mode = S_IFLNK;
    return 0;
  }
  return stat(path, status);
}

unsigned geteuid() { return 1; }

#endif  // _WIN32
