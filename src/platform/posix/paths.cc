// SPDX-License-Identifier: GPL-2.0-or-later
// Windows paths to POSIX paths and back, drive letters and volumes.
//
// "C:\dir\f" resolves through the dosdevices folder: one symbolic link
// per letter ("c:" -> /some/dir), named by KVMORVEL_DOSDEVICES, else
// $HOME/.kvmorvel/dosdevices. A POSIX path ("/tmp/x", also written
// "\tmp\x") is used as it is. See docs/win32-layer.md.
#include <dirent.h>
#include <limits.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ctime>

#include <mutex>

#include "layer.h"

namespace kvposix {

namespace {

const size_t kMaxWidePath = 32767;

bool IsSeparator(WCHAR c) { return c == '\\' || c == '/'; }

bool IsLetter(WCHAR c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool StartsWith(const std::u16string& s, const char16_t* prefix) {
  return s.compare(0, std::char_traits<char16_t>::length(prefix), prefix) == 0;
}

std::string ReadLink(const std::string& path) {
  std::vector<char> buffer(PATH_MAX + 1);
  const ssize_t n = readlink(path.c_str(), buffer.data(), PATH_MAX);
  if (n <= 0) return std::string();
  return std::string(buffer.data(), static_cast<size_t>(n));
}

// "X:rest" with the drive resolved; false with the code set.
bool DrivePath(char letter, const std::u16string& rest, std::string* out) {
  const std::string root = DriveTarget(letter);
  if (root.empty()) return Fail(ERROR_PATH_NOT_FOUND);
  std::string tail;
  if (!ToNarrowName(reinterpret_cast<const WCHAR*>(rest.data()), rest.size(),
                    &tail))
    return Fail(ERROR_INVALID_NAME);
  for (char& c : tail)
    if (c == '\\') c = '/';
  size_t start = 0;
  while (start < tail.size() && tail[start] == '/') ++start;
  *out = root;
  if (start < tail.size()) {
    if (out->empty() || out->back() != '/') *out += '/';
    *out += tail.substr(start);
  }
  return true;
}

// The home folder the password database gives the process's user, "" when
// it gives none. The entry's strings live in `buffer`, grown while the
// call asks for more room.
std::string PasswordDatabaseHome() {
  const long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
  const size_t kLargest = 1 << 20;
  for (size_t size = hint > 0 ? static_cast<size_t>(hint) : 1024;
       size <= kLargest; size *= 2) {
    std::vector<char> buffer(size);
    struct passwd entry;
    struct passwd* found = nullptr;
    const int r = getpwuid_r(getuid(), &entry, buffer.data(), size, &found);
    if (r == ERANGE) continue;
    if (r != 0 || !found || !found->pw_dir) return std::string();
    return found->pw_dir;
  }
  return std::string();
}

}  // namespace

// KVMORVEL_DOSDEVICES; else "$HOME/.kvmorvel/dosdevices" with the home
// from HOME, or from the password database when HOME is unset or empty
// (a service or a cron job may run without it). "" when neither names a
// home: the process then has no drive letters, rather than a folder made
// up at the root of the file system.
std::string DosDevicesFolder() {
  const char* configured = getenv("KVMORVEL_DOSDEVICES");
  if (configured && *configured) return configured;
  const char* home = getenv("HOME");
  std::string base = home && *home ? home : PasswordDatabaseHome();
  if (base.empty()) return base;
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  if (base == "/") base.clear();
  return base + "/.kvmorvel/dosdevices";
}

std::string DriveTarget(char letter) {
  const char lower = static_cast<char>(letter | 0x20);
  if (lower < 'a' || lower > 'z') return std::string();
  const std::string folder = DosDevicesFolder();
  if (folder.empty()) return folder;
  std::string target = ReadLink(folder + "/" + lower + ":");
  if (target.empty()) return target;
  if (target[0] != '/') target = folder + "/" + target;
  // The real folder, so the drive's root is never itself a link.
  char* real = realpath(target.c_str(), nullptr);
  if (!real) return NormalizePath(target);
  target = real;
  free(real);
  return target;
}

std::string ParentOf(const std::string& path) {
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  const size_t slash = p.rfind('/');
  if (slash == std::string::npos) return p.empty() || p == "." ? "" : ".";
  if (slash == 0) return p == "/" ? "" : "/";
  return p.substr(0, slash);
}

std::string NormalizePath(const std::string& path) {
  const bool absolute = !path.empty() && path[0] == '/';
  std::vector<std::string> parts;
  size_t i = 0;
  while (i <= path.size()) {
    size_t j = path.find('/', i);
    if (j == std::string::npos) j = path.size();
    const std::string part = path.substr(i, j - i);
    if (part == "..") {
      if (!parts.empty() && parts.back() != "..")
        parts.pop_back();
      else if (!absolute)
        parts.push_back(part);
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    i = j + 1;
  }
  std::string out = absolute ? "/" : "";
  for (size_t k = 0; k < parts.size(); ++k) {
    if (k) out += '/';
    out += parts[k];
  }
  return out.empty() ? "." : out;
}

bool ToPosixPath(const WCHAR* path, std::string* out) {
  if (!path) return Fail(ERROR_INVALID_PARAMETER);
  const size_t length = WideLength(path);
  if (length == 0) return Fail(ERROR_PATH_NOT_FOUND);
  if (length > kMaxWidePath) return Fail(ERROR_FILENAME_EXCED_RANGE);
  std::u16string w(reinterpret_cast<const char16_t*>(path), length);
  // Win32 and NT prefixes: "\\?\C:\x", "\??\C:\x", "\\.\C:".
  if (StartsWith(w, u"\\\\?\\") || StartsWith(w, u"\\??\\")) {
    w.erase(0, 4);
    if (StartsWith(w, u"UNC\\")) return Fail(ERROR_PATH_NOT_FOUND);
  }
  if (StartsWith(w, u"\\\\.\\")) {
    w.erase(0, 4);
    const bool drive = w.size() >= 2 && IsLetter(w[0]) && w[1] == ':' &&
                       (w.size() == 2 || (w.size() == 3 && IsSeparator(w[2])));
    if (!drive) return Fail(ERROR_FILE_NOT_FOUND);  // no other devices
  }
  if (w.size() >= 2 && w[0] == '\\' && w[1] == '\\')
    return Fail(ERROR_PATH_NOT_FOUND);  // network paths have no mapping
  bool ok;
  if (w.size() >= 2 && IsLetter(w[0]) && w[1] == ':') {
    ok = DrivePath(static_cast<char>(w[0]), w.substr(2), out);
  } else {
    ok = ToNarrowName(reinterpret_cast<const WCHAR*>(w.data()), w.size(), out);
    if (!ok) Fail(ERROR_INVALID_NAME);
  }
  if (!ok) return FALSE;
  for (char& c : *out)
    if (c == '\\') c = '/';
  // "x\" names x itself, as on Windows. POSIX resolves a final link when
  // a separator follows it, so a call meant for the link would reach
  // what it points to.
  while (out->size() > 1 && out->back() == '/') out->pop_back();
  if (out->size() >= PATH_MAX) return Fail(ERROR_FILENAME_EXCED_RANGE);
  return TRUE;
}

namespace {

// Whether any drive may be mapped: one listing of the dosdevices folder
// spares a host that maps none (no folder, or an empty one) the look at
// each of its 26 names, for every path.
bool ListsADrive(const std::string& folder) {
  DIR* listing = opendir(folder.c_str());
  if (!listing) return false;
  bool found = false;
  while (const struct dirent* entry = readdir(listing)) {
    const char* name = entry->d_name;
    if (name[0] != 0 && name[1] == ':' && name[2] == 0) {
      found = true;
      break;
    }
  }
  closedir(listing);
  return found;
}

// The answer is kept with the folder's identity and change time: a drive
// mapped or removed (by this process or another) adds or removes a name
// there, which changes them, so one stat tells whether to list again.
// A change time less than two seconds before the listing is not trusted
// (the file system's clock is coarse: a second change in the same tick
// would leave it as it was), and the folder is listed again.
bool DrivesMayBeMapped() {
  struct Kept {
    std::string folder;
    dev_t dev = 0;
    ino_t ino = 0;
    struct timespec changed = {};
    bool settled = false;
    bool mapped = false;
  };
  static std::mutex lock;
  static Kept kept;
  const std::string folder = DosDevicesFolder();
  struct stat st;
  if (folder.empty() || stat(folder.c_str(), &st) != 0) return false;
  std::lock_guard<std::mutex> hold(lock);
  if (kept.settled && kept.folder == folder && kept.dev == st.st_dev &&
      kept.ino == st.st_ino && kept.changed.tv_sec == st.st_ctim.tv_sec &&
      kept.changed.tv_nsec == st.st_ctim.tv_nsec)
    return kept.mapped;
  const bool settled = time(nullptr) >= st.st_ctim.tv_sec + 2;
  kept = Kept{folder, st.st_dev, st.st_ino, st.st_ctim, settled,
              ListsADrive(folder)};
  return kept.mapped;
}

// "X:\rest" when `path` lies inside the folder of a mapped drive (the
// drive with the longest folder wins); false otherwise.
bool DrivePathOf(const std::string& path, std::string* text) {
  char bestLetter = 0;
  std::string bestRoot;
  for (char letter = 'a'; letter <= 'z'; ++letter) {
    const std::string root = DriveTarget(letter);
    if (root.empty() || root.size() <= bestRoot.size()) continue;
    const bool inside =
        path == root || root == "/" ||
        (path.compare(0, root.size(), root) == 0 && path[root.size()] == '/');
    if (inside) {
      bestLetter = letter;
      bestRoot = root;
    }
  }
  if (!bestLetter) return false;
  *text = std::string(1, static_cast<char>(bestLetter - 32)) + ":\\";
  const size_t start = bestRoot == "/" ? 1 : bestRoot.size() + 1;
  if (start < path.size()) *text += path.substr(start);
  return true;
}

}  // namespace

std::u16string ToWindowsPath(const std::string& posixPath) {
  const std::string path = NormalizePath(posixPath);
  std::string text;
  if (DrivesMayBeMapped() && !DrivePathOf(path, &text)) {
    // The folder holding it may be reached through links; its last name
    // stays as it is (it may be a link itself).
    const std::string parent = ParentOf(path);
    char* real = parent.empty() ? nullptr : realpath(parent.c_str(), nullptr);
    if (real) {
      const std::string base = path.substr(path.rfind('/') + 1);
      const std::string resolved = std::string(real) + (std::string(real) == "/" ? "" : "/") + base;
      free(real);
      if (!DrivePathOf(resolved, &text)) text.clear();
    }
  }
  if (text.empty()) text = path;
  for (char& c : text)
    if (c == '/') c = '\\';
  return ToWideName(text);
}

}  // namespace kvposix

using namespace kvposix;

UINT GetDriveTypeW(LPCWSTR root) {
  std::string path = ".";
  if (root) {
    const DWORD saved = GetLastError();
    const bool ok = ToPosixPath(root, &path);
    SetLastError(saved);
    if (!ok) return DRIVE_NO_ROOT_DIR;
  }
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    return DRIVE_NO_ROOT_DIR;
  return DRIVE_FIXED;
}

BOOL GetDiskFreeSpaceExW(LPCWSTR root, PULARGE_INTEGER freeToCaller,
                         PULARGE_INTEGER total, PULARGE_INTEGER totalFree) {
  std::string path = ".";
  if (root && !ToPosixPath(root, &path)) return FALSE;
  struct statvfs vfs;
  if (RetryEintr([&] { return statvfs(path.c_str(), &vfs); }) != 0)
    return FailForPath(errno, path);
  const ULONGLONG unit = vfs.f_frsize ? vfs.f_frsize : vfs.f_bsize;
  if (freeToCaller) freeToCaller->QuadPart = unit * vfs.f_bavail;
  if (total) total->QuadPart = unit * vfs.f_blocks;
  if (totalFree) totalFree->QuadPart = unit * vfs.f_bfree;
  return TRUE;
}

DWORD KvGetDosDevicesFolder(LPSTR buffer, DWORD capacity) {
  if (!buffer && capacity) return Fail(ERROR_INVALID_PARAMETER);
  const std::string folder = DosDevicesFolder();
  if (folder.empty()) return Fail(ERROR_ENVVAR_NOT_FOUND);
  if (folder.size() >= capacity) return static_cast<DWORD>(folder.size() + 1);
  memcpy(buffer, folder.c_str(), folder.size() + 1);
  return static_cast<DWORD>(folder.size());
}
