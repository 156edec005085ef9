// SPDX-License-Identifier: GPL-2.0-or-later
#include "formats/short_name.h"

#include <vector>

namespace {

// The last name of `path`, trailing separators left out: [*begin, end).
int LastName(const WCHAR* path, int length, int* begin) {
  int end = length;
  while (end > 0 && (path[end - 1] == '\\' || path[end - 1] == '/')) --end;
  int start = end;
  while (start > 0 && path[start - 1] != '\\' && path[start - 1] != '/') --start;
  *begin = start;
  return end;
}

// Copies the last name of `shortPath` into `field` when it differs from
// the last name of `longPath`: the same text means no alternate name.
void KeepWhenOther(const WCHAR* shortPath, int shortChars, LPCWSTR longPath,
                   WCHAR (&field)[kShortNameChars]) {
  int longBegin = 0, shortBegin = 0;
  const int longEnd = LastName(longPath, lstrlenW(longPath), &longBegin);
  const int shortEnd = LastName(shortPath, shortChars, &shortBegin);
  const int length = shortEnd - shortBegin;
  bool same = length == longEnd - longBegin;
  for (int i = 0; same && i < length; ++i)
    same = shortPath[shortBegin + i] == longPath[longBegin + i];
  if (same) return;
  for (int i = 0; i < length && i < kShortNameChars - 1; ++i)
    field[i] = shortPath[shortBegin + i];
}

// Asks the handle. False when the file system cannot answer that way
// (then the name is looked up by path); true with `field` left empty when
// the item has no alternate name.
bool AskHandle(HANDLE source, WCHAR (&field)[kShortNameChars]) {
  ULONG space[32] = {};  // FILE_NAME_INFORMATION with room for 8.3 and more
  FILE_NAME_INFORMATION* info = reinterpret_cast<FILE_NAME_INFORMATION*>(space);
  IO_STATUS_BLOCK io = {};
  const NTSTATUS status = NtQueryInformationFile(
      source, &io, info, sizeof space, FileAlternateNameInformation);
  if (status < 0)
    return RtlNtStatusToDosError(status) == ERROR_FILE_NOT_FOUND;
  const int chars = static_cast<int>(info->FileNameLength / sizeof(WCHAR));
  if (chars <= 0 || chars >= kShortNameChars) return true;
  // Some file systems answer with the long name itself when it is already
  // an 8.3 name: compared with the handle's own name, it is none.
  const std::vector<WCHAR> longName = NameOfHandle(source);
  if (longName[0] == 0) return false;
  KeepWhenOther(info->FileName, chars, longName.data(), field);
  return true;
}

}  // namespace

std::vector<WCHAR> NameOfHandle(HANDLE source) {
  std::vector<WCHAR> path(512);
  DWORD n = GetFinalPathNameByHandleW(source, path.data(),
                                      static_cast<DWORD>(path.size()), 0);
  if (n >= path.size()) {
    path.resize(n + 1);
    n = GetFinalPathNameByHandleW(source, path.data(),
                                  static_cast<DWORD>(path.size()), 0);
  }
  if (n == 0 || n >= path.size()) n = 0;
  path[n] = 0;
  return path;
}

void LookUpShortNameOf(HANDLE source, LPCWSTR path,
                       WCHAR (&field)[kShortNameChars]) {
  for (WCHAR& c : field) c = 0;
  if (source != INVALID_HANDLE_VALUE && AskHandle(source, field)) return;
  std::vector<WCHAR> named;
  if (!path) {
    named = NameOfHandle(source);
    path = named.data();
  }
  LookUpShortName(path, field);
}

void LookUpShortName(LPCWSTR path, WCHAR (&field)[kShortNameChars]) {
  for (WCHAR& c : field) c = 0;
  // GetShortPathNameW looks the names up directly, where a search would
  // read all of the item's metadata and take a '*' or '?' in a Linux name
  // for a wildcard. The buffer grows once when the short path is longer.
  std::vector<WCHAR> shortPath(512);
  DWORD n = GetShortPathNameW(path, shortPath.data(), static_cast<DWORD>(shortPath.size()));
  if (n >= shortPath.size()) {
    shortPath.resize(n);
    n = GetShortPathNameW(path, shortPath.data(), static_cast<DWORD>(shortPath.size()));
  }
  if (n == 0 || n >= shortPath.size()) return;
  KeepWhenOther(shortPath.data(), static_cast<int>(n), path, field);
}
