#include "fuzz/fuzz_support.h"

#include <dirent.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace {
int RemoveOne(const char* path, const struct stat*, int flag, struct FTW*) {
  if (flag == FTW_DP || flag == FTW_D) {
    chmod(path, 0700);
    rmdir(path);
  } else {
    unlink(path);
  }
  return 0;
}
int OpenUp(const char* path, const struct stat*, int flag, struct FTW*) {
  if (flag == FTW_D) chmod(path, 0700);
  return 0;
}
}  // namespace

FuzzScratch::FuzzScratch() {
  char pattern[] = "/tmp/kvfuzz.XXXXXX";
  if (!mkdtemp(pattern)) abort();
  root_ = pattern;
}

FuzzScratch::~FuzzScratch() {
  nftw(root_.c_str(), OpenUp, 16, FTW_PHYS);
  nftw(root_.c_str(), RemoveOne, 16, FTW_DEPTH | FTW_PHYS);
}

void FuzzScratch::Write(const std::string& name, const uint8_t* data,
                        size_t size) {
  FILE* f = fopen((root_ + "/" + name).c_str(), "wb");
  if (!f) abort();
  if (size) fwrite(data, 1, size, f);
  fclose(f);
  known_.insert(name);
}

void FuzzScratch::MakeFolder(const std::string& name) {
  mkdir((root_ + "/" + name).c_str(), 0700);
  known_.insert(name);
}

std::u16string FuzzScratch::Wide(const std::string& name) const {
  const std::string path = root_ + "/" + name;
  return std::u16string(path.begin(), path.end());  // ASCII only
}

void FuzzScratch::CheckNothingEscaped(const std::string& target) const {
  DIR* dir = opendir(root_.c_str());
  if (!dir) abort();
  while (dirent* e = readdir(dir)) {
    const std::string name = e->d_name;
    if (name == "." || name == ".." || known_.count(name)) continue;
    fprintf(stderr, "restore escaped its target: %s/%s\n", root_.c_str(),
            name.c_str());
    abort();
  }
  closedir(dir);
}
