// SPDX-License-Identifier: GPL-2.0-or-later
#include "local_path.h"

#include "KvMorvelHost.h"
#include "system.h"
#include "text.h"

bool LocalPathBelow(const std::string& folder, const std::u16string& name,
                    std::string* path) {
  if (!CKvMorvelHost::IsContainedName(reinterpret_cast<LPCWSTR>(name.c_str())))
    return false;
  std::string local;
  for (const char c : Utf16ToUtf8(name))
    local += c == '\\' || c == '/' ? kvsys::kSeparator : c;
  while (!local.empty() && local.back() == kvsys::kSeparator) local.pop_back();
  *path = kvsys::Join(folder, local);
  return true;
}
