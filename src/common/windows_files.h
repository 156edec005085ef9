// SPDX-License-Identifier: GPL-2.0-or-later
// Windows only: helpers the command and the Windows half of the test
// support share. UTF-8 paths to the wide strings of the Windows API and
// back, and removing a tree of files and folders.
#ifndef KVMORVEL_COMMON_WINDOWS_FILES_H
#define KVMORVEL_COMMON_WINDOWS_FILES_H

#if defined(_WIN32)

#include <windows.h>

#include <string>

#include "common/utf.h"

inline std::wstring WideFromUtf8(const std::string& utf8) {
  std::u16string wide;
  Utf8ToUtf16(utf8, &wide);
  return std::wstring(wide.begin(), wide.end());
}

inline std::string Utf8FromWide(const std::wstring& wide) {
  return Utf16ToUtf8(std::u16string(wide.begin(), wide.end()));
}

// Removes `path` and everything below it. Read-only items are made
// writable first; links and junctions are removed as themselves, never
// followed.
inline void RemoveTree(const std::wstring& path) {
  SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return;
  const bool folder = attributes & FILE_ATTRIBUTE_DIRECTORY;
  if (folder && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &found);
    if (find != INVALID_HANDLE_VALUE) {
      do {
        const std::wstring name = found.cFileName;
        if (name != L"." && name != L"..") RemoveTree(path + L"\\" + name);
      } while (FindNextFileW(find, &found));
      FindClose(find);
    }
  }
  if (folder)
    RemoveDirectoryW(path.c_str());
  else
    DeleteFileW(path.c_str());
}

#endif  // _WIN32

#endif  // KVMORVEL_COMMON_WINDOWS_FILES_H
