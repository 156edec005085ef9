// SPDX-License-Identifier: GPL-2.0-or-later
// The Windows half of the command's file system needs (system.h), through
// the Windows API: each folder is held open and listed through its handle.
#if defined(_WIN32)

#include <windows.h>

#include "common.h"
#include "common/windows_files.h"
#include "system.h"
#include "text.h"

namespace {

// The message of the thread's last error, as the Linux half gives
// strerror's.
std::string LastErrorMessage() {
  const DWORD code = GetLastError();
  return ErrorMessage(code) + " (error " + std::to_string(code) + ")";
}

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

// A reparse point (a symbolic link or a junction) is stored as itself.
kvsys::Kind KindOf(DWORD attributes) {
  using kvsys::Kind;
  return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) ? Kind::kLink
         : (attributes & FILE_ATTRIBUTE_DIRECTORY)   ? Kind::kFolder
         : (attributes & FILE_ATTRIBUTE_DEVICE)      ? Kind::kOther
                                                     : Kind::kFile;
}

// The length of the root of a full path: "C:\" (3) or "\\server\share\".
size_t RootLength(const std::wstring& path) {
  if (path.size() >= 3 && path[1] == L':' && IsSeparator(path[2])) return 3;
  if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) {
    size_t at = path.find_first_of(L"\\/", 2);              // after server
    if (at != std::wstring::npos) at = path.find_first_of(L"\\/", at + 1);
    return at == std::wstring::npos ? path.size() : at + 1;  // after share
  }
  return 0;
}

std::wstring FullPath(const std::wstring& path) {
  const DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return path;
  std::wstring full(needed, L'\0');
  const DWORD n = GetFullPathNameW(path.c_str(), needed, &full[0], nullptr);
  full.resize(n < needed ? n : 0);
  return full.empty() ? path : full;
}

}  // namespace

namespace kvsys {

const char kSeparator = '\\';

bool ReadItem(const std::string& path, Item* item, std::string* message) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(WideFromUtf8(path).c_str(), GetFileExInfoStandard,
                            &data)) {
    *message = LastErrorMessage();
    return false;
  }
  item->kind = KindOf(data.dwFileAttributes);
  item->lastWrite = (static_cast<uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                    data.ftLastWriteTime.dwLowDateTime;
  // The file index needs an open; the archive test opens the few files
  // it must compare instead.
  item->fileIndex = kUnknownIndex;
  return true;
}

Folder::~Folder() {
  if (handle_ != -1) CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

// The folder is opened as itself (a junction or link in its place is
// refused, never followed) and listed through that handle, so the
// listing is of the folder checked, whatever its path names meanwhile.
bool Folder::Open(const Folder*, const std::string&, const std::string& path,
                  const Item& item, std::string* message) {
  path_ = path;
  HANDLE folder = CreateFileW(
      WideFromUtf8(path).c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
      nullptr);
  if (folder == INVALID_HANDLE_VALUE) {
    *message = LastErrorMessage();
    return false;
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(folder, &info)) {
    *message = LastErrorMessage();
    CloseHandle(folder);
    return false;
  }
  const uint64_t index =
      (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  if (KindOf(info.dwFileAttributes) != Kind::kFolder ||
      (item.fileIndex != kUnknownIndex && item.fileIndex != index) ||
      (item.volume != kUnknownVolume && item.volume != info.dwVolumeSerialNumber)) {
    *message = "changed while it was read: no longer the folder listed";
    CloseHandle(folder);
    return false;
  }
  handle_ = reinterpret_cast<intptr_t>(folder);
  volume_ = info.dwVolumeSerialNumber;
  return true;
}

bool Folder::ReadChild(const std::string& leaf, Item* item,
                       std::string* message) const {
  return ReadItem(Join(path_, leaf), item, message);
}

namespace {

// One listed child: its name, kind, and the file index and volume an
// open of it reports.
Listed FromListing(const FILE_ID_BOTH_DIR_INFO& entry, uint64_t volume) {
  Listed child;
  child.name = Utf8FromWide(
      std::wstring(entry.FileName, entry.FileNameLength / sizeof(WCHAR)));
  child.typed = true;
  child.item.kind = KindOf(entry.FileAttributes);
  child.item.fileIndex = static_cast<uint64_t>(entry.FileId.QuadPart);
  child.item.volume = volume;
  return child;
}

}  // namespace

bool Folder::List(std::vector<Listed>* children, std::string* message) const {
  HANDLE folder = reinterpret_cast<HANDLE>(handle_);
  // DWORD-aligned, as the entries in it are.
  std::vector<DWORD> buffer(16384);
  FILE_INFO_BY_HANDLE_CLASS what = FileIdBothDirectoryRestartInfo;
  while (GetFileInformationByHandleEx(folder, what, buffer.data(),
                                      buffer.size() * sizeof(DWORD))) {
    what = FileIdBothDirectoryInfo;
    const BYTE* at = reinterpret_cast<const BYTE*>(buffer.data());
    for (;;) {
      const auto& entry = *reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(at);
      Listed child = FromListing(entry, volume_);
      if (child.name != "." && child.name != "..")
        children->push_back(child);
      if (entry.NextEntryOffset == 0) break;
      at += entry.NextEntryOffset;
    }
  }
  const bool whole = GetLastError() == ERROR_NO_MORE_FILES;
  if (!whole) *message = LastErrorMessage();
  return whole;
}

std::string Join(const std::string& folder, const std::string& name) {
  if (!folder.empty() && (folder.back() == '\\' || folder.back() == '/'))
    return folder + name;
  return folder + "\\" + name;
}

bool Exists(const std::string& path) {
  return GetFileAttributesW(WideFromUtf8(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

FILE* OpenFileForReading(const std::string& path) {
  return _wfopen(WideFromUtf8(path).c_str(), L"rb");
}

bool MakeFolders(const std::string& path, std::string* message) {
  const std::wstring full = FullPath(WideFromUtf8(path));
  for (size_t at = RootLength(full); at <= full.size(); ++at) {
    if (at < full.size() && !IsSeparator(full[at])) continue;
    const std::wstring prefix = full.substr(0, at);
    if (!CreateDirectoryW(prefix.c_str(), nullptr) &&
        GetLastError() != ERROR_ALREADY_EXISTS) {
      *message = LastErrorMessage();
      return false;
    }
  }
  const DWORD attributes = GetFileAttributesW(full.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES ||
      !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    *message = ErrorMessage(ERROR_DIRECTORY);
    return false;
  }
  return true;
}

bool IsFolder(const std::string& path) {
  const DWORD attributes = GetFileAttributesW(WideFromUtf8(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES &&
         (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

size_t RootPrefixLength(const std::string& argument) {
  const std::wstring wide = WideFromUtf8(argument);
  // A share, or a drive with its separator: the root of a full path.
  size_t root = RootLength(wide);
  // "C:" alone, or "C:x", relative to that drive's current folder.
  if (root == 0 && wide.size() >= 2 && wide[1] == L':') root = 2;
  // "\x" or "/x": the root of the current drive.
  while (root < wide.size() && IsSeparator(wide[root])) ++root;
  // The root is ASCII but for a share's names: count its UTF-8 bytes.
  return Utf8FromWide(wide.substr(0, root)).size();
}

bool IsArgumentSeparator(char c) { return c == '\\' || c == '/'; }

// GetFullPathNameW settles "." and ".."; a link on the way is left as it
// is, and the system follows it when the walk goes through.
bool ResolveRoot(const std::string& argument, std::string* path,
                 std::string* name, std::string* message) {
  std::wstring full = FullPath(WideFromUtf8(argument));
  const size_t root = RootLength(full);
  if (root == 0) {
    SetLastError(ERROR_BAD_PATHNAME);
    *message = LastErrorMessage();
    return false;
  }
  while (full.size() > root && IsSeparator(full.back())) full.pop_back();
  if (full.size() == root) {  // a drive or share root: no name of its own
    *path = Utf8FromWide(full);
    name->clear();
    return true;
  }
  const size_t cut = full.find_last_of(L"\\/");
  *path = Utf8FromWide(full);
  *name = Utf8FromWide(full.substr(cut + 1));
  return true;
}

}  // namespace kvsys

std::string AbsolutePath(const std::string& path) {
  return Utf8FromWide(FullPath(WideFromUtf8(path.empty() ? "." : path)));
}

#endif  // _WIN32
