// SPDX-License-Identifier: GPL-2.0-or-later
// The Linux half of the command's file system needs (system.h).
#if !defined(_WIN32)

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "common.h"
#include "system.h"

namespace kvsys {

const char kSeparator = '/';

bool ReadItem(const std::string& path, Item* item, std::string* message) {
  struct stat info;
  if (lstat(path.c_str(), &info) != 0) {
    *message = strerror(errno);
    return false;
  }
  item->kind = S_ISDIR(info.st_mode)   ? Kind::kFolder
               : S_ISLNK(info.st_mode) ? Kind::kLink
               : S_ISREG(info.st_mode) ? Kind::kFile
                                       : Kind::kOther;
  // The layer's file index is the inode (docs/win32-layer.md).
  item->fileIndex = static_cast<uint64_t>(info.st_ino);
  return true;
}

namespace {

// The listing's type (DT_UNKNOWN when the file system does not say) and
// inode spare a look at each child.
Listed FromListing(const struct dirent& entry) {
  Listed child;
  child.name = entry.d_name;
  child.typed = entry.d_type != DT_UNKNOWN;
  const mode_t type = DTTOIF(entry.d_type);
  child.item.kind = S_ISDIR(type)   ? Kind::kFolder
                    : S_ISLNK(type) ? Kind::kLink
                    : S_ISREG(type) ? Kind::kFile
                                    : Kind::kOther;
  child.item.fileIndex = static_cast<uint64_t>(entry.d_ino);
  return child;
}

}  // namespace

// Whether the opened folder is the one listed under `fileIndex`. A
// listing gives a mount point's index in the folder holding it, not the
// mounted folder's: a folder on another device than its parent is taken
// as the mount it is.
bool IsListedFolder(int fd, const struct stat& info, uint64_t fileIndex) {
  if (fileIndex == kUnknownIndex ||
      static_cast<uint64_t>(info.st_ino) == fileIndex)
    return true;
  struct stat parent;
  return fstatat(fd, "..", &parent, 0) == 0 && parent.st_dev != info.st_dev;
}

// The folder opened for listing, never through a link at its end, and
// only when it is the one the walk saw; null with a message otherwise.
DIR* OpenListedFolder(const std::string& path, uint64_t fileIndex,
                      std::string* message) {
  const int fd =
      open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    *message = errno == ELOOP ? "changed while it was read: now a link"
                              : strerror(errno);
    return nullptr;
  }
  struct stat info;
  if (fstat(fd, &info) != 0 || !IsListedFolder(fd, info, fileIndex)) {
    *message = "changed while it was read: another folder is in its place";
    close(fd);
    return nullptr;
  }
  DIR* folder = fdopendir(fd);
  if (!folder) {
    *message = strerror(errno);
    close(fd);
  }
  return folder;
}

bool ListFolder(const std::string& path, uint64_t fileIndex,
                std::vector<Listed>* children, std::string* message) {
  DIR* folder = OpenListedFolder(path, fileIndex, message);
  if (!folder) return false;
  errno = 0;
  while (struct dirent* item = readdir(folder)) {
    if (strcmp(item->d_name, ".") != 0 && strcmp(item->d_name, "..") != 0)
      children->push_back(FromListing(*item));
  }
  const int error = errno;
  closedir(folder);
  if (error != 0) *message = strerror(error);
  return error == 0;
}

std::string Join(const std::string& folder, const std::string& name) {
  return (folder == "/" ? "/" : folder + "/") + name;
}

bool Exists(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0;
}

FILE* OpenFileForReading(const std::string& path) {
  return fopen(path.c_str(), "rb");
}

bool MakeFolders(const std::string& path, std::string* message) {
  std::string prefix;
  size_t start = 0;
  while (start < path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    prefix = path.substr(0, end);
    start = end + 1;
    if (prefix.empty()) continue;
    if (mkdir(prefix.c_str(), 0777) != 0 && errno != EEXIST) {
      *message = strerror(errno);
      return false;
    }
  }
  struct stat info;
  if (stat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    *message = strerror(ENOTDIR);
    return false;
  }
  return true;
}

bool IsFolder(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

size_t RootPrefixLength(const std::string& argument) {
  const size_t first = argument.find_first_not_of('/');
  return first == std::string::npos ? argument.size() : first;
}

bool IsArgumentSeparator(char c) { return c == '/'; }

bool ResolveRoot(const std::string& argument, std::string* resolvedPath,
                 std::string* name, std::string* message) {
  std::string path = AbsolutePath(argument);
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  const size_t slash = path.rfind('/');
  std::string last = path.substr(slash + 1);
  std::string folder = slash == 0 ? "/" : path.substr(0, slash);
  if (last == "." || last == "..") {
    folder = path;
    last.clear();
  }
  char resolved[PATH_MAX];
  if (!realpath(folder.c_str(), resolved)) {
    *message = strerror(errno);
    return false;
  }
  std::string base = resolved;
  if (last.empty() && base != "/") {
    // A PATH ending in "." or "..": its own name comes from the resolution.
    const size_t cut = base.rfind('/');
    last = base.substr(cut + 1);
    base = cut == 0 ? "/" : base.substr(0, cut);
  }
  *name = last;
  *resolvedPath = last.empty() ? base : (base == "/" ? "" : base) + "/" + last;
  return true;
}

}  // namespace kvsys

std::string AbsolutePath(const std::string& path) {
  if (!path.empty() && path[0] == '/') return path;
  std::vector<char> buffer(4096);
  while (!getcwd(buffer.data(), buffer.size())) {
    if (errno != ERANGE) return path;
    buffer.resize(buffer.size() * 2);
  }
  std::string cwd = buffer.data();
  if (cwd.empty() || cwd.back() != '/') cwd += '/';
  return path.empty() ? cwd : cwd + path;
}

#endif  // !_WIN32
