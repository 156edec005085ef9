// SPDX-License-Identifier: GPL-2.0-or-later
// The Linux half of the test support: temporary folders, drive letters,
// the program's folder and the current folder, over POSIX.
#if !defined(_WIN32)

#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "support/test_support.h"

TempDir::TempDir() {
  char pattern[] = "/tmp/kvtest.XXXXXX";
  if (!mkdtemp(pattern)) throw std::runtime_error("mkdtemp");
  path_ = pattern;
}

namespace {
int RemoveOne(const char* path, const struct stat*, int flag, struct FTW*) {
  if (flag == FTW_DP) {
    chmod(path, 0700);
    return rmdir(path) == 0 ? 0 : 0;
  }
  unlink(path);
  return 0;
}
int OpenUp(const char* path, const struct stat* st, int flag, struct FTW*) {
  if (flag == FTW_D) chmod(path, 0700);
  return 0;
}
}  // namespace

TempDir::~TempDir() {
  nftw(path_.c_str(), OpenUp, 16, FTW_PHYS);
  nftw(path_.c_str(), RemoveOne, 16, FTW_DEPTH | FTW_PHYS);
}

DosDevices::DosDevices() {}
DosDevices::~DosDevices() {}

void DosDevices::Map(char letter, const std::string& folder) {
  std::string link = dir_.path() + "/" + static_cast<char>(tolower(letter)) + ":";
  unlink(link.c_str());
  if (symlink(folder.c_str(), link.c_str()) != 0)
    throw std::runtime_error("symlink " + link);
}

void DosDevices::Unmap(char letter) {
  std::string link = dir_.path() + "/" + static_cast<char>(tolower(letter)) + ":";
  unlink(link.c_str());
}

void WriteSparse(const std::string& path, unsigned long long size,
                 const std::vector<std::pair<unsigned long long, std::string>>& data) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) throw std::runtime_error("open " + path);
  bool ok = ftruncate(fd, static_cast<off_t>(size)) == 0;
  for (const auto& piece : data)
    ok = ok && pwrite(fd, piece.second.data(), piece.second.size(),
                      static_cast<off_t>(piece.first)) ==
                   static_cast<ssize_t>(piece.second.size());
  close(fd);
  if (!ok) throw std::runtime_error("cannot write " + path);
}

unsigned long long DiskBytes(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) throw std::runtime_error("stat " + path);
  return static_cast<unsigned long long>(st.st_blocks) * 512;
}

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

std::string ProgramFolder() {
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) throw std::runtime_error("readlink /proc/self/exe");
  const std::string path(self, static_cast<size_t>(n));
  return path.substr(0, path.rfind('/'));
}

InFolder::InFolder(const std::string& folder) {
  char here[4096];
  if (!getcwd(here, sizeof here) || chdir(folder.c_str()) != 0)
    throw std::runtime_error("cannot enter " + folder);
  previous_ = here;
}

InFolder::~InFolder() {
  if (chdir(previous_.c_str()) != 0) perror("chdir back");
}

bool UnderWine() { return false; }

#endif  // !_WIN32
