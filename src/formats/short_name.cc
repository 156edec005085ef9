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

}  // namespace

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
  int longBegin = 0, shortBegin = 0;
  const int longEnd = LastName(path, lstrlenW(path), &longBegin);
  const int shortEnd = LastName(shortPath.data(), static_cast<int>(n), &shortBegin);
  const int length = shortEnd - shortBegin;
  // The same text as the long name: the item has no alternate name.
  bool same = length == longEnd - longBegin;
  for (int i = 0; same && i < length; ++i)
    same = shortPath[shortBegin + i] == path[longBegin + i];
  if (same) return;
  for (int i = 0; i < length && i < kShortNameChars - 1; ++i)
    field[i] = shortPath[shortBegin + i];
}
