// SPDX-License-Identifier: GPL-2.0-or-later
#include "local_path.h"

#include "system.h"
#include "text.h"

namespace {

bool IsStoredSeparator(char16_t c) { return c == u'\\' || c == u'/'; }

// A component that names the folder it is in or one above it, once
// Windows has trimmed its trailing dots and spaces.
bool IsDotsAndSpaces(const std::u16string& name, size_t begin, size_t end) {
  for (size_t i = begin; i < end; ++i)
    if (name[i] != u'.' && name[i] != u' ') return false;
  return true;
}

bool IsDriveQualified(const std::u16string& name) {
  return name.size() >= 2 && name[1] == u':' &&
         ((name[0] >= u'A' && name[0] <= u'Z') ||
          (name[0] >= u'a' && name[0] <= u'z'));
}

}  // namespace

bool IsContainedName(const std::u16string& name) {
  if (name.empty() || IsStoredSeparator(name[0]) || IsDriveQualified(name))
    return false;
  size_t begin = 0;
  while (begin < name.size()) {
    size_t end = begin;
    while (end < name.size() && !IsStoredSeparator(name[end])) ++end;
    const bool last = end + 1 >= name.size();  // a trailing separator ends it
    if (IsDotsAndSpaces(name, begin, end)) return false;
    if (last) break;
    begin = end + 1;
  }
  return true;
}

bool LocalPathBelow(const std::string& folder, const std::u16string& name,
                    std::string* path) {
  if (!IsContainedName(name)) return false;
  std::string local;
  for (const char c : Utf16ToUtf8(name))
    local += c == '\\' || c == '/' ? kvsys::kSeparator : c;
  while (!local.empty() && local.back() == kvsys::kSeparator) local.pop_back();
  *path = kvsys::Join(folder, local);
  return true;
}
