// SPDX-License-Identifier: GPL-2.0-or-later
#include "tool/sample_tree.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "kvwin32.h"
#include "support/test_support.h"

const char kHiddenFile[] = "hidden.txt";
const char kReadOnlyFile[] = "readonly.txt";
const char kExecutable[] = "run.sh";
const char kShortNamedFile[] = "long name of a file.txt";
const char kShortName[] = "LONGNA~1.TXT";
const char kNonAsciiFile[] = "Gr\xC3\xBC\xC3\x9F" "e \xE6\x95\xB0\xE6\x8D\xAE.txt";
const char kNonAsciiFolder[] = "donn\xC3\xA9" "es";
const char kFolderLink[] = "link_to_folder";
const char kFileLink[] = "link_to_file";
const char kExactMiB[] = "exact_1MiB.bin";

namespace {

const size_t kMiB = 1048576;

struct FileSpec {
  const char* name;
  size_t size;
};

// Creation 2019-01-01, last access 2035-01-01 (in the future, so that
// reading a file does not move it) and last write 2021-06-01, as
// FILETIMEs, plus odd ticks so that sub-second precision is checked too.
const unsigned long long kBaseTimes[3] = {131907744001234567ULL,
                                          136956960000000001ULL,
                                          132669216007654321ULL};

void Check(bool ok, const std::string& what) {
  if (!ok) throw std::runtime_error(what + " failed, error " +
                                    std::to_string(GetLastError()));
}

HANDLE OpenForMetadata(const std::string& path) {
  return CreateFileW(P(W(path)), GENERIC_READ | GENERIC_WRITE | DELETE, 0,
                     nullptr, OPEN_EXISTING,
                     FILE_FLAG_BACKUP_SEMANTICS | FILE_ATTRIBUTE_NORMAL,
                     nullptr);
}

FILETIME ToFileTime(unsigned long long value) {
  FILETIME time;
  time.dwLowDateTime = static_cast<DWORD>(value);
  time.dwHighDateTime = static_cast<DWORD>(value >> 32);
  return time;
}

unsigned long long FromFileTime(const FILETIME& time) {
  return (static_cast<unsigned long long>(time.dwHighDateTime) << 32) |
         time.dwLowDateTime;
}

void SetTimes(const std::string& path, int index, const char* shortName) {
  HANDLE handle = OpenForMetadata(path);
  Check(handle != INVALID_HANDLE_VALUE, "open " + path);
  const FILETIME creation = ToFileTime(SampleTime(0, index));
  const FILETIME access = ToFileTime(SampleTime(1, index));
  const FILETIME write = ToFileTime(SampleTime(2, index));
  if (shortName)
    Check(SetFileShortNameW(handle, P(W(shortName))), "short name " + path);
  Check(SetFileTime(handle, &creation, &access, &write), "times " + path);
  CloseHandle(handle);
}

void MakeFolder(const std::string& path) {
  Check(mkdir(path.c_str(), 0755) == 0, "mkdir " + path);
}

std::string ShortNameOf(const std::string& path) {
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW(P(W(path)), &found);
  if (find == INVALID_HANDLE_VALUE) return "?";
  FindClose(find);
  return N(reinterpret_cast<const char16_t*>(found.cAlternateFileName));
}

std::vector<unsigned char> DescriptorOf(const std::string& path) {
  DWORD needed = 0;
  GetFileSecurityW(P(W(path)), 15, nullptr, 0, &needed);
  if (needed == 0) return {};
  std::vector<unsigned char> buffer(needed);
  if (!GetFileSecurityW(P(W(path)), 15, buffer.data(), needed, &needed))
    return {};
  return buffer;
}

void SnapshotInto(const std::string& root, const std::string& relative,
                  TreeState* state) {
  const std::string path = relative.empty() ? root : root + "/" + relative;
  struct stat info;
  if (lstat(path.c_str(), &info) != 0) throw std::runtime_error("lstat " + path);
  ItemState item;
  item.kind = S_ISDIR(info.st_mode) ? 'd' : S_ISLNK(info.st_mode) ? 'l' : 'f';
  item.mode = info.st_mode & 07777;
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(P(W(path)), GetFileExInfoStandard, &data))
    throw std::runtime_error("GetFileAttributesExW " + path);
  item.attributes = data.dwFileAttributes;
  item.creation = FromFileTime(data.ftCreationTime);
  item.lastAccess = FromFileTime(data.ftLastAccessTime);
  item.lastWrite = FromFileTime(data.ftLastWriteTime);
  item.size = (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) |
              data.nFileSizeLow;
  item.shortName = ShortNameOf(path);
  item.descriptor = DescriptorOf(path);
  if (item.kind == 'f') item.payload = ReadBytes(path);
  if (item.kind == 'l') {
    char target[4096];
    const ssize_t n = readlink(path.c_str(), target, sizeof target);
    item.payload.assign(target, n > 0 ? static_cast<size_t>(n) : 0);
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved)) item.resolved = resolved;
    char top[PATH_MAX];
    const std::string base = realpath(root.c_str(), top) ? top : root;
    if (item.resolved == base)
      item.within = ".";
    else if (item.resolved.compare(0, base.size() + 1, base + "/") == 0)
      item.within = item.resolved.substr(base.size() + 1);
  }
  (*state)[relative] = item;
  if (item.kind != 'd') return;
  DIR* folder = opendir(path.c_str());
  if (!folder) throw std::runtime_error("opendir " + path);
  std::vector<std::string> names;
  while (struct dirent* entry = readdir(folder))
    if (strcmp(entry->d_name, ".") && strcmp(entry->d_name, ".."))
      names.push_back(entry->d_name);
  closedir(folder);
  for (const std::string& name : names)
    SnapshotInto(root, relative.empty() ? name : relative + "/" + name, state);
}

}  // namespace

unsigned long long SampleTime(int kind, int index) {
  // One hour apart per item, so that a time given to the wrong item shows.
  return kBaseTimes[kind] + static_cast<unsigned long long>(index) *
                                36000000000ULL;
}

void BuildSampleTree(const std::string& root) {
  const std::string nonAsciiFolder = root + "/" + kNonAsciiFolder;
  const std::vector<std::string> folders = {
      root, root + "/sub", root + "/sub/empty", nonAsciiFolder,
      nonAsciiFolder + "/nested", nonAsciiFolder + "/nested/deeper"};
  for (const std::string& folder : folders) MakeFolder(folder);

  const FileSpec files[] = {
      {"empty.bin", 0},        {"small.txt", 13},
      {kExactMiB, kMiB},       {"over_1MiB.bin", kMiB + 1},
      {"multi.bin", 3 * kMiB + 4097},
      {kHiddenFile, 100},      {kReadOnlyFile, 200},
      {kNonAsciiFile, 321},    {"sub/inner.txt", 4000},
      {kShortNamedFile, 55}};
  std::vector<std::string> filePaths;
  int seed = 1;
  for (const FileSpec& file : files) {
    filePaths.push_back(root + "/" + file.name);
    WriteBytes(filePaths.back(), PatternBytes(file.size, seed++));
  }
  filePaths.push_back(nonAsciiFolder + "/nested/deeper/leaf.txt");
  WriteBytes(filePaths.back(), "leaf\n");
  filePaths.push_back(root + "/" + kExecutable);
  WriteBytes(filePaths.back(), "#!/bin/sh\necho restored\n");
  Check(chmod(filePaths.back().c_str(), 0755) == 0, "chmod");
  Check(symlink("sub", (root + "/" + kFolderLink).c_str()) == 0, "symlink");
  Check(symlink("small.txt", (root + "/" + kFileLink).c_str()) == 0,
        "symlink");

  int index = 0;
  for (const std::string& path : filePaths) {
    const bool named = path == root + "/" + kShortNamedFile;
    SetTimes(path, index++, named ? kShortName : nullptr);
  }
  Check(SetFileAttributesW(P(W(root + "/" + kHiddenFile)),
                           FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE),
        "hide");
  Check(SetFileAttributesW(P(W(root + "/" + kReadOnlyFile)),
                           FILE_ATTRIBUTE_READONLY),
        "read-only");
  // Folders last and deepest first: adding to a folder moves its times.
  for (auto folder = folders.rbegin(); folder != folders.rend(); ++folder)
    SetTimes(*folder, index++, nullptr);
}

TreeState Snapshot(const std::string& root) {
  TreeState state;
  SnapshotInto(root, "", &state);
  return state;
}
