// SPDX-License-Identifier: GPL-2.0-or-later
// A host of KvMorvelM64.dll as a backup application uses it: linked
// against the DLL's import library, it sees the library only through the
// exported class and its own Windows API. The Windows checks drive it
// under Wine (tools/windows/host-checks.sh, crossover.sh):
//
//   dll_host open-missing PATH     Open(PATH) for reading; prints the
//                                  result, the holder's code and the
//                                  thread's last error
//   dll_host write ARCHIVE VERSION FOLDER
//                                  adds FOLDER and everything below it
//                                  (named from FOLDER's own name on)
//   dll_host restore ARCHIVE TARGET
//                                  restores every entry; prints one line
//                                  per entry: name, attributes, size,
//                                  last-write time
//
// Exit status: 0 done, 1 an entry failed, 2 usage or the archive did not
// open.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "KvMorvel.h"

namespace {

int OpenMissing(const wchar_t* path) {
  CKvMorvel archive;
  SetLastError(0);
  const BOOL result = archive.Open(path, TRUE, 0);
  const DWORD lastError = GetLastError();
  std::printf("result=%d code=%lu lastError=%lu\n", result,
              archive.GetErrorCode(), lastError);
  return result ? 1 : 0;
}

// Adds `path` as `name`, then (for a folder) everything below it.
bool AddTree(CKvMorvel& archive, DWORD version, const std::wstring& path,
             const std::wstring& name) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return false;
  const bool folder = attributes & FILE_ATTRIBUTE_DIRECTORY;
  bool ok = true;
  // Version 1 holds files only; its restore makes the folders again.
  if (!folder || version != 1) {
    if (!archive.AddFile(path.c_str(), name.c_str(), nullptr, 0)) {
      std::fwprintf(stderr, L"cannot add %ls - %lu\n", path.c_str(),
                    archive.GetErrorCode());
      ok = false;
    }
  }
  if (!folder) return ok;
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) return false;
  do {
    const std::wstring child = found.cFileName;
    if (child == L"." || child == L"..") continue;
    ok = AddTree(archive, version, path + L"\\" + child, name + L"\\" + child) &&
         ok;
  } while (FindNextFileW(find, &found));
  FindClose(find);
  return ok;
}

int Write(const wchar_t* path, DWORD version, const wchar_t* folder) {
  CKvMorvel archive;
  if (!archive.Open(path, FALSE, version)) {
    std::fwprintf(stderr, L"cannot open %ls - %lu\n", path,
                  archive.GetErrorCode());
    return 2;
  }
  std::wstring root = folder;
  while (!root.empty() && (root.back() == L'\\' || root.back() == L'/'))
    root.pop_back();
  const std::wstring name = root.substr(root.find_last_of(L"\\/") + 1);
  const bool ok = AddTree(archive, version, root, name);
  return archive.Close() && ok ? 0 : 1;
}

unsigned long long Ticks(const FILETIME& time) {
  return (static_cast<unsigned long long>(time.dwHighDateTime) << 32) |
         time.dwLowDateTime;
}

int Restore(const wchar_t* path, const wchar_t* target) {
  CKvMorvel archive;
  if (!archive.Open(path, TRUE, 0)) {
    std::fwprintf(stderr, L"cannot open %ls - %lu\n", path,
                  archive.GetErrorCode());
    return 2;
  }
  int status = 0;
  for (; archive.Info(0); archive.Info(1)) {
    WCHAR name[1024] = {0};  // above the longest name a version stores
    DWORD needed = 0;
    if (!archive.GetEntryName(name, 1024, &needed)) name[0] = 0;
    if (!archive.ExtractFile(target, 0)) {
      std::fwprintf(stderr, L"cannot restore %ls - %lu\n", name,
                    archive.GetErrorCode());
      status = 1;
    }
    // UTF-8 on the way out, so a Linux script compares names as bytes.
    char utf8[1024];
    WideCharToMultiByte(CP_UTF8, 0, name, -1, utf8, sizeof utf8, nullptr,
                        nullptr);
    std::printf("%s\t%lu\t%lld\t%llu\n", utf8, archive.GetAttributes(),
                archive.GetLength64(), Ticks(archive.GetLastWriteTime()));
  }
  if (archive.GetErrorCode() != ERROR_NO_MORE_ITEMS) status = 1;
  archive.Close();
  return status;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::wstring verb = argc > 1 ? argv[1] : L"";
  if (verb == L"open-missing" && argc == 3) return OpenMissing(argv[2]);
  if (verb == L"write" && argc == 5)
    return Write(argv[2], std::wcstoul(argv[3], nullptr, 10), argv[4]);
  if (verb == L"restore" && argc == 4) return Restore(argv[2], argv[3]);
  std::fprintf(stderr, "usage: dll_host open-missing PATH | write ARCHIVE "
                       "VERSION FOLDER | restore ARCHIVE TARGET\n");
  return 2;
}
