// SPDX-License-Identifier: GPL-2.0-or-later
// The Windows half of the scratch folder (scratch.cc: Linux): a folder of
// its own in the user's temporary folder, removed with its contents.
#include "scratch.h"

#if defined(_WIN32)

#include "common/windows_files.h"

ScratchFolder::ScratchFolder() {
  wchar_t base[MAX_PATH];
  const DWORD n = GetTempPathW(MAX_PATH, base);
  if (n == 0 || n >= MAX_PATH) return;
  for (unsigned attempt = 0; attempt < 100; ++attempt) {
    const std::wstring path = std::wstring(base) + L"kvmorvel-verify-" +
                              std::to_wstring(GetCurrentProcessId()) + L"-" +
                              std::to_wstring(attempt);
    if (CreateDirectoryW(path.c_str(), nullptr)) {
      path_ = Utf8FromWide(path);
      return;
    }
    if (GetLastError() != ERROR_ALREADY_EXISTS) return;
  }
}

ScratchFolder::~ScratchFolder() {
  if (!path_.empty()) RemoveTree(WideFromUtf8(path_));
}

void ScratchFolder::RemoveItem(const std::u16string& name) const {
  const std::wstring item =
      WideFromUtf8(path_) + L"\\" + std::wstring(name.begin(), name.end());
  const DWORD attributes = GetFileAttributesW(item.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES ||
      (attributes & FILE_ATTRIBUTE_DIRECTORY))
    return;
  SetFileAttributesW(item.c_str(), FILE_ATTRIBUTE_NORMAL);
  DeleteFileW(item.c_str());
}

void KeepEncryptedFilesInPlace() { SetEnvironmentVariableW(L"USERPART", nullptr); }

#endif  // _WIN32
