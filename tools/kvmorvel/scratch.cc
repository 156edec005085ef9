// SPDX-License-Identifier: GPL-2.0-or-later
// The Linux half of the scratch folder (scratch_windows.cc: Windows).
#include "scratch.h"

#if !defined(_WIN32)

#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "text.h"

namespace {

const int kOpenFolders = 16;  // descriptors nftw may hold at once

// A restored descriptor may have taken the owner's rights away from a
// folder; they are given back so that its contents can be removed.
int OpenUp(const char* path, const struct stat* info, int type, struct FTW*) {
  if (type == FTW_D || type == FTW_DNR) chmod(path, (info->st_mode & 07777) | S_IRWXU);
  return 0;
}

int RemoveOne(const char* path, const struct stat*, int type, struct FTW*) {
  if (type == FTW_DP || type == FTW_D || type == FTW_DNR) rmdir(path);
  else unlink(path);
  return 0;
}

}  // namespace

ScratchFolder::ScratchFolder() {
  const char* base = getenv("TMPDIR");
  std::string pattern = (base && *base ? std::string(base) : "/tmp") + "/kvmorvel-verify-XXXXXX";
  if (mkdtemp(&pattern[0])) path_ = pattern;
}

ScratchFolder::~ScratchFolder() {
  if (path_.empty()) return;
  nftw(path_.c_str(), OpenUp, kOpenFolders, FTW_PHYS);
  nftw(path_.c_str(), RemoveOne, kOpenFolders, FTW_PHYS | FTW_DEPTH);
}

void ScratchFolder::RemoveItem(const std::u16string& name) const {
  std::string relative = Utf16ToUtf8(name);
  for (char& c : relative)
    if (c == '\\') c = '/';
  const std::string item = path_ + "/" + relative;
  struct stat info;
  if (lstat(item.c_str(), &info) == 0 && !S_ISDIR(info.st_mode)) unlink(item.c_str());
}

void KeepEncryptedFilesInPlace() { unsetenv("USERPART"); }

#endif  // !_WIN32
