// SPDX-License-Identifier: GPL-2.0-or-later
// Fuzz target for disk images: mount through the mount library, walk
// every entry and copy each into a scratch target, unmount. Afterwards
// nothing outside the target changed and the mount library's private
// folder is empty again.
//
// Input: the image file; its first 8 bytes are set to the image
// signature, so that every input reaches the mount library.
#include <dirent.h>
#include <limits.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "KvMorvel.h"
#include "common/archive_constants.h"
#include "fuzz/fuzz_support.h"

namespace {

const size_t kMaxEntries = 100000;  // bounds a walk that cycles

// Aborts when the mount library left anything in its temporary folder
// after the unmount.
void CheckUnmounted() {
  const std::string mounts = FuzzMountFolder();
  DIR* dir = opendir(mounts.c_str());
  if (!dir) abort();
  while (dirent* e = readdir(dir)) {
    if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, "..")) continue;
    fprintf(stderr, "the unmount left %s/%s\n", mounts.c_str(), e->d_name);
    abort();
  }
  closedir(dir);
}

// Walks and copies the whole image into `target`, with the folder of the
// mount library current (the loader looks for it there) and the mount
// folder as TMPDIR (where the mount library unpacks).
void CopyOut(const std::u16string& image, const std::u16string& target) {
  char saved[PATH_MAX];
  if (!getcwd(saved, sizeof(saved)) || chdir(FuzzWorkFolder().c_str()) != 0)
    abort();
  const char* tmp = getenv("TMPDIR");
  const std::string savedTmp = tmp ? tmp : "";
  setenv("TMPDIR", FuzzMountFolder().c_str(), 1);
  {
    CKvMorvel archive;
    if (archive.Open(AsWideChars(image), TRUE, 0)) {
      WCHAR name[260];
      for (size_t i = 0; i < kMaxEntries && archive.Info(i > 0); ++i) {
        archive.GetFile(name, 260);
        archive.GetAttributesData();
        archive.ExtractFile(AsWideChars(target), 0);
      }
      archive.Close();
    }
  }
  if (tmp)
    setenv("TMPDIR", savedTmp.c_str(), 1);
  else
    unsetenv("TMPDIR");
  if (chdir(saved) != 0) abort();
}

}  // namespace

int FuzzImage(const uint8_t* data, size_t size) {
  FuzzScratch scratch;
  FuzzBytes image(kImageSignature, kImageSignature + 8);
  if (size > 8) image.insert(image.end(), data + 8, data + size);
  scratch.Write("a.img", image.data(), image.size());
  CopyOut(scratch.Wide("a.img"), scratch.Wide("target"));
  CheckUnmounted();
  scratch.CheckNothingEscaped();
  return 0;
}
