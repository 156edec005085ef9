// The Windows half of the scratch folder (scratch.cc: Linux): a folder of
// its own in the user's temporary folder, removed with its contents.
#include "scratch.h"

#if defined(_WIN32)

#include <windows.h>

#include "common/utf.h"

namespace {

std::wstring Wide(const std::string& utf8) {
  std::u16string wide;
  Utf8ToUtf16(utf8, &wide);
  return std::wstring(wide.begin(), wide.end());
}

// Read-only items are made writable first; links are removed as
// themselves, never followed.
void RemoveTree(const std::wstring& path) {
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

}  // namespace

ScratchFolder::ScratchFolder() {
  wchar_t base[MAX_PATH];
  const DWORD n = GetTempPathW(MAX_PATH, base);
  if (n == 0 || n >= MAX_PATH) return;
  for (unsigned attempt = 0; attempt < 100; ++attempt) {
    const std::wstring path = std::wstring(base) + L"kvmorvel-verify-" +
                              std::to_wstring(GetCurrentProcessId()) + L"-" +
                              std::to_wstring(attempt);
    if (CreateDirectoryW(path.c_str(), nullptr)) {
      path_ = Utf16ToUtf8(std::u16string(path.begin(), path.end()));
      return;
    }
    if (GetLastError() != ERROR_ALREADY_EXISTS) return;
  }
}

ScratchFolder::~ScratchFolder() {
  if (!path_.empty()) RemoveTree(Wide(path_));
}

void ScratchFolder::RemoveItem(const std::u16string& name) const {
  const std::wstring item =
      Wide(path_) + L"\\" + std::wstring(name.begin(), name.end());
  const DWORD attributes = GetFileAttributesW(item.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES ||
      (attributes & FILE_ATTRIBUTE_DIRECTORY))
    return;
  SetFileAttributesW(item.c_str(), FILE_ATTRIBUTE_NORMAL);
  DeleteFileW(item.c_str());
}

void KeepEncryptedFilesInPlace() { SetEnvironmentVariableW(L"USERPART", nullptr); }

#endif  // _WIN32
