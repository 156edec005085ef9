// SPDX-License-Identifier: GPL-2.0-or-later
#include "fuzz/fuzz_support.h"

#include <dirent.h>
#include <ftw.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace {

std::string g_base;  // the process's watched folder, empty before set-up

int OpenUp(const char* path, const struct stat*, int flag, struct FTW*) {
  if (flag == FTW_D || flag == FTW_DNR) chmod(path, 0700);
  return 0;
}
int RemoveOne(const char* path, const struct stat*, int flag, struct FTW*) {
  if (flag == FTW_DP || flag == FTW_D || flag == FTW_DNR)
    rmdir(path);
  else
    unlink(path);
  return 0;
}
void RemoveTree(const std::string& path) {
  nftw(path.c_str(), OpenUp, 16, FTW_PHYS);
  nftw(path.c_str(), RemoveOne, 16, FTW_DEPTH | FTW_PHYS);
}

void MustMakeFolder(const std::string& path) {
  if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) {
    perror(path.c_str());
    abort();
  }
}
void MustLink(const std::string& target, const std::string& link) {
  if (symlink(target.c_str(), link.c_str()) != 0) {
    perror(link.c_str());
    abort();
  }
}
void MustWrite(const std::string& path, const void* data, size_t size) {
  FILE* f = fopen(path.c_str(), "wb");
  if (!f || (size && fwrite(data, 1, size, f) != size)) abort();
  fclose(f);
}

void RemoveBase() {
  if (!g_base.empty()) RemoveTree(g_base);
}

// Folders below the base whose changes are not escapes: the mount
// library's unpacked images and its drive letters.
bool Unwatched(const std::string& relative) {
  return relative == "/mounts" || relative.rfind("/mounts/", 0) == 0 ||
         relative == "/devices" || relative.rfind("/devices/", 0) == 0;
}

// The folder of the running program, where the mount library is built.
std::string ProgramFolder() {
  char self[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
  const std::string path(self, n > 0 ? static_cast<size_t>(n) : 0);
  return path.substr(0, path.rfind('/'));
}

}  // namespace

void FuzzProcessSetUp() {
  if (!g_base.empty()) return;
  // TMPDIR lets a long run keep its scratch on tmpfs: the restore targets
  // flush what they write, and on a disk that is waiting, not fuzzing.
  const char* tmp = getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") +
                        "/kvfuzz.XXXXXX";
  if (!mkdtemp(&pattern[0])) abort();
  g_base = pattern;
  atexit(RemoveBase);
  for (const char* folder : {"/devices", "/drive_c", "/mounts", "/work", "/up",
                             "/up/up"})
    MustMakeFolder(g_base + folder);
  MustLink(g_base + "/drive_c", g_base + "/devices/c:");
  MustLink(ProgramFolder() + "/virtdisk.dll", g_base + "/work/virtdisk.dll");
  setenv("KVMORVEL_DOSDEVICES", (g_base + "/devices").c_str(), 1);
}

std::string FuzzWorkFolder() { return g_base + "/work"; }
std::string FuzzMountFolder() { return g_base + "/mounts"; }

FuzzScratch::FuzzScratch() {
  FuzzProcessSetUp();
  run_ = g_base + "/up/up/run";
  RemoveTree(run_);  // what an aborted input left
  MustMakeFolder(run_);
  MustMakeFolder(run_ + "/outside");
  MustWrite(run_ + "/outside/sentinel", "sentinel", 8);
  MustMakeFolder(run_ + "/target");
  MustWrite(run_ + "/target/present.txt", "present", 7);
  MustLink("../outside", run_ + "/target/link");
  MustLink(run_ + "/outside", run_ + "/target/junction");
  before_ = Take();
}

FuzzScratch::~FuzzScratch() { RemoveTree(run_); }

void FuzzScratch::Write(const std::string& name, const uint8_t* data,
                        size_t size) {
  MustWrite(Path(name), data, size);
  before_ = Take();
}

std::string FuzzScratch::Path(const std::string& name) const {
  return run_ + "/" + name;
}

std::u16string FuzzScratch::Wide(const std::string& name) const {
  const std::string path = Path(name);
  return std::u16string(path.begin(), path.end());  // ASCII only
}

// Every entry under the base but the target's contents, by its inode,
// mode, owner, size and change time (which moves on any write, chmod,
// chown or extended attribute change); the target itself by its inode.
FuzzScratch::Snapshot FuzzScratch::Take() const {
  Snapshot shot;
  std::vector<std::string> pending = {""};
  const std::string target = run_.substr(g_base.size()) + "/target";
  while (!pending.empty()) {
    const std::string relative = pending.back();
    pending.pop_back();
    DIR* dir = opendir((g_base + relative).c_str());
    if (!dir) continue;
    while (dirent* e = readdir(dir)) {
      const std::string name = e->d_name;
      if (name == "." || name == "..") continue;
      const std::string child = relative + "/" + name;
      if (Unwatched(child)) continue;
      struct stat st;
      if (lstat((g_base + child).c_str(), &st) != 0) continue;
      Seen& seen = shot[child];
      seen.inode = st.st_ino;
      seen.mode = st.st_mode & S_IFMT;
      if (child == target) continue;  // the same folder; its contents vary
      seen.mode = st.st_mode;
      seen.size = st.st_size;
      seen.stamp = st.st_ctim.tv_sec * 1000000000LL + st.st_ctim.tv_nsec;
      seen.owner = static_cast<long long>(st.st_uid) << 32 | st.st_gid;
      if (S_ISLNK(st.st_mode)) {
        char text[PATH_MAX];
        const ssize_t n = readlink((g_base + child).c_str(), text, sizeof(text));
        if (n > 0) seen.link.assign(text, static_cast<size_t>(n));
      }
      if (S_ISDIR(st.st_mode)) pending.push_back(child);
    }
    closedir(dir);
  }
  return shot;
}

void FuzzScratch::CheckNothingEscaped() const {
  const Snapshot after = Take();
  const char* what = nullptr;
  std::string where;
  for (const auto& b : before_) {
    const auto a = after.find(b.first);
    if (a == after.end()) {
      what = "removed";
    } else if (!(a->second == b.second)) {
      what = "changed";
    } else {
      continue;
    }
    where = b.first;
    break;
  }
  if (!what) {
    for (const auto& a : after) {
      if (before_.count(a.first)) continue;
      what = "created";
      where = a.first;
      break;
    }
  }
  if (!what) return;
  fprintf(stderr, "escaped its target: %s %s%s\n", what, g_base.c_str(),
          where.c_str());
  abort();
}

void SplitInput(const uint8_t* data, size_t size, FuzzBytes* first,
                FuzzBytes* rest) {
  first->clear();
  rest->clear();
  if (size < 4) return;
  uint32_t length = 0;
  for (int i = 0; i < 4; ++i) length |= static_cast<uint32_t>(data[i]) << (8 * i);
  data += 4;
  size -= 4;
  if (length > size) length = static_cast<uint32_t>(size);
  first->assign(data, data + length);
  rest->assign(data + length, data + size);
}

FuzzBytes JoinInput(const FuzzBytes& first, const FuzzBytes& rest) {
  FuzzBytes in(4);
  for (int i = 0; i < 4; ++i) in[i] = static_cast<uint8_t>(first.size() >> (8 * i));
  in.insert(in.end(), first.begin(), first.end());
  in.insert(in.end(), rest.begin(), rest.end());
  return in;
}

FuzzBytes ReadFileBytes(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  const std::string text = s.str();
  return FuzzBytes(text.begin(), text.end());
}

const FuzzTarget* FindFuzzTarget(const std::string& name) {
  for (const FuzzTarget* t = kFuzzTargets; t->name; ++t)
    if (name == t->name) return t;
  return nullptr;
}
