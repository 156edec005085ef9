// SPDX-License-Identifier: GPL-2.0-or-later
// The Linux half of the command's file system needs (system.h).
#if !defined(_WIN32)

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "common.h"
#include "system.h"

namespace kvsys {

const char kSeparator = '/';

namespace {

// The volume serial number the library's layer reports for a device
// number (docs/win32-layer.md, GetFileInformationByHandle): the major
// number in the high 12 bits, the minor in the low 20.
uint64_t VolumeSerialOf(dev_t device) {
  return static_cast<uint32_t>((major(device) << 20) ^ minor(device));
}

Kind KindOfMode(mode_t mode) {
  return S_ISDIR(mode)   ? Kind::kFolder
         : S_ISLNK(mode) ? Kind::kLink
         : S_ISREG(mode) ? Kind::kFile
                         : Kind::kOther;
}

// The layer's file index is the inode (docs/win32-layer.md).
Item ItemOf(const struct stat& info) {
  Item item;
  item.kind = KindOfMode(info.st_mode);
  item.fileIndex = static_cast<uint64_t>(info.st_ino);
  item.volume = VolumeSerialOf(info.st_dev);
  // Seconds from 1601 to 1970, in 100 ns units.
  const int64_t kEpochTicks = 116444736000000000LL;
  item.lastWrite = static_cast<uint64_t>(
      kEpochTicks + static_cast<int64_t>(info.st_mtim.tv_sec) * 10000000 +
      info.st_mtim.tv_nsec / 100);
  return item;
}

// The listing's type (DT_UNKNOWN when the file system does not say) and
// inode spare a look at each child; its volume is its folder's.
Listed FromListing(const struct dirent& entry, uint64_t volume) {
  Listed child;
  child.name = entry.d_name;
  child.typed = entry.d_type != DT_UNKNOWN;
  child.item.kind = KindOfMode(DTTOIF(entry.d_type));
  child.item.fileIndex = static_cast<uint64_t>(entry.d_ino);
  child.item.volume = volume;
  return child;
}

}  // namespace

bool ReadItem(const std::string& path, Item* item, std::string* message) {
  struct stat info;
  if (lstat(path.c_str(), &info) != 0) {
    *message = strerror(errno);
    return false;
  }
  *item = ItemOf(info);
  return true;
}

Folder::~Folder() {
  if (handle_ >= 0) close(static_cast<int>(handle_));
}

bool Folder::Open(const Folder* parent, const std::string& leaf,
                  const std::string& path, const Item& item,
                  std::string* message) {
  path_ = path;
  const int at = parent ? static_cast<int>(parent->handle_) : AT_FDCWD;
  const int fd = openat(at, parent ? leaf.c_str() : path.c_str(),
                        O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    *message = errno == ELOOP || errno == ENOTDIR
                   ? "changed while it was read: no longer a folder"
                   : strerror(errno);
    return false;
  }
  struct stat info;
  if (fstat(fd, &info) != 0) {
    *message = strerror(errno);
    close(fd);
    return false;
  }
  const Item opened = ItemOf(info);
  if ((item.fileIndex != kUnknownIndex && item.fileIndex != opened.fileIndex) ||
      (item.volume != kUnknownVolume && item.volume != opened.volume)) {
    *message = "changed while it was read: another folder is in its place";
    close(fd);
    return false;
  }
  handle_ = fd;
  volume_ = opened.volume;
  return true;
}

bool Folder::List(std::vector<Listed>* children, std::string* message) const {
  // The listing reads through its own descriptor, which closedir closes.
  const int fd = dup(static_cast<int>(handle_));
  DIR* folder = fd < 0 ? nullptr : fdopendir(fd);
  if (!folder) {
    *message = strerror(errno);
    if (fd >= 0) close(fd);
    return false;
  }
  errno = 0;
  while (struct dirent* item = readdir(folder)) {
    if (strcmp(item->d_name, ".") != 0 && strcmp(item->d_name, "..") != 0)
      children->push_back(FromListing(*item, volume_));
  }
  const int error = errno;
  closedir(folder);
  if (error != 0) *message = strerror(error);
  return error == 0;
}

bool Folder::ReadChild(const std::string& leaf, Item* item,
                       std::string* message) const {
  struct stat info;
  if (fstatat(static_cast<int>(handle_), leaf.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
    *message = strerror(errno);
    return false;
  }
  *item = ItemOf(info);
  return true;
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
