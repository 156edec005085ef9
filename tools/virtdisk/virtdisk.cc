// SPDX-License-Identifier: GPL-2.0-or-later
// The mount library, virtdisk.dll: "Mount" unpacks a disk image into a
// private folder and points a drive letter of the layer's dosdevices
// folder at it; "UnMount" releases the letter and removes the folder.
//
// The private folder is "$TMPDIR/kvimage.XXXXXX" (/tmp without TMPDIR):
// the image's tree in its "tree" folder, and beside it the marker file
// "virtdisk.mount" holding the image's path. The letter's link points at
// "tree"; UnMount only ever removes a folder that carries the marker.
#include <ftw.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <string>
#include <vector>

#include "image_unpack.h"
#include "platform/posix/errno_code.h"
#include "kvwin32.h"

#define VIRTDISK_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

const int kUnpackAndMap = 1;  // the only flag "Mount" knows
const unsigned kAlreadyAssigned = 85;  // ERROR_ALREADY_ASSIGNED
const char kTreeName[] = "tree";
const char kMarkerName[] = "virtdisk.mount";

// The layer's code for `error`, but for a name that exists (the letter is
// taken: 85) and an errno the layer's table does not hold (29, a write
// fault: every step here makes or removes something).
unsigned CodeFromErrno(int error) {
  if (error == EEXIST) return kAlreadyAssigned;
  uint32_t code = 29;  // ERROR_WRITE_FAULT
  kvposix::LookUpErrnoCode(error, &code);
  return code;
}

// The letter of "X:" optionally followed by one "\" or "/", lower case;
// 0 for anything else.
char DriveLetter(const char* text) {
  if (!text) return 0;
  const char c = static_cast<char>(text[0] | 0x20);
  if (c < 'a' || c > 'z' || text[1] != ':') return 0;
  if (text[2] == 0) return c;
  if ((text[2] == '\\' || text[2] == '/') && text[3] == 0) return c;
  return 0;
}

// The layer's dosdevices folder, the one the layer resolves drive
// letters through. Returns 0, or the layer's code when the process has
// none (203), or 206 for a folder name longer than a path can be.
unsigned DosDevicesFolder(std::string* folder) {
  char buffer[PATH_MAX];
  const DWORD length = KvGetDosDevicesFolder(buffer, sizeof(buffer));
  if (!length) return GetLastError();
  if (length >= sizeof(buffer)) return ERROR_FILENAME_EXCED_RANGE;
  folder->assign(buffer, length);
  return 0;
}

// The letter's link "x:" in the dosdevices folder, which goes to
// *devices. Returns 0 or the code of DosDevicesFolder.
unsigned LinkOf(char letter, std::string* devices, std::string* link) {
  const unsigned code = DosDevicesFolder(devices);
  if (!code) *link = *devices + "/" + letter + ":";
  return code;
}

// Creates `path` and its missing parents (owner only).
bool MakeFolders(const std::string& path) {
  for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    const std::string part = path.substr(0, slash);
    if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
    if (slash == std::string::npos) return true;
  }
}

// Whether the running OpenUp walk opened a folder it could not read.
thread_local bool g_openedUnreadable = false;

// Gives a folder u+rwx. nftw opens a folder before it reports it, so one
// without the read bit (an image may store a folder with mode 0) comes
// as FTW_DNR and is not entered: the walk is made again after it.
int OpenUp(const char* path, const struct stat*, int flag, struct FTW*) {
  if (flag == FTW_D) chmod(path, 0700);
  if (flag == FTW_DNR && chmod(path, 0700) == 0) g_openedUnreadable = true;
  return 0;
}

int RemoveOne(const char* path, const struct stat*, int flag, struct FTW*) {
  const int r = (flag == FTW_DP) ? rmdir(path) : unlink(path);
  return r == 0 ? 0 : errno;
}

// Removes a folder and everything in it, read-only parts included, never
// following a link. Returns 0 or an errno value.
int RemoveTree(const std::string& path) {
  // Each walk that opens an unreadable folder lets the next one in, so
  // the walks end by the depth of such folders nested in one another.
  do {
    g_openedUnreadable = false;
    nftw(path.c_str(), OpenUp, 16, FTW_PHYS | FTW_MOUNT);
  } while (g_openedUnreadable);
  const int r = nftw(path.c_str(), RemoveOne, 16,
                     FTW_DEPTH | FTW_PHYS | FTW_MOUNT);
  return r > 0 ? r : (r < 0 ? errno : 0);
}

// A fresh private folder holding an empty "tree" and the marker; its real
// path (no links in it, as the unpacker requires) goes to *folder.
unsigned MakePrivateFolder(const char* image, std::string* folder) {
  const char* tmp = getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") +
                        "/kvimage.XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back(0);
  if (!mkdtemp(name.data())) return CodeFromErrno(errno);
  char real[PATH_MAX];
  if (!realpath(name.data(), real)) {
    const int e = errno;
    rmdir(name.data());
    return CodeFromErrno(e);
  }
  *folder = real;
  FILE* marker = fopen((*folder + "/" + kMarkerName).c_str(), "w");
  const bool ok = marker && fprintf(marker, "%s\n", image) > 0;
  if (marker && fclose(marker) != 0) marker = nullptr;
  if (!ok || !marker ||
      mkdir((*folder + "/" + kTreeName).c_str(), 0755) != 0) {
    const int e = errno;
    RemoveTree(*folder);
    return CodeFromErrno(e);
  }
  return 0;
}

// Opens the image through the layer, so that a drive-letter path such as
// "C:\images\disk.img" resolves as every other path of the library does.
HANDLE OpenImage(const char* image) {
  std::vector<WCHAR> wide(32768);
  if (MultiByteToWideChar(CP_ACP, 0, image, -1, wide.data(),
                          static_cast<int>(wide.size())) <= 0) {
    SetLastError(ERROR_INVALID_NAME);
    return INVALID_HANDLE_VALUE;
  }
  return CreateFileW(wide.data(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// The folder holding the "tree" a letter's link names: the link's target
// less its last "/tree" component. False when the link does not name a
// "tree" folder.
bool LinkedMountFolder(const std::string& link, std::string* folder) {
  char target[PATH_MAX];
  const ssize_t n = readlink(link.c_str(), target, sizeof(target) - 1);
  if (n <= 0) return false;
  const std::string tree(target, static_cast<size_t>(n));
  const std::string suffix = std::string("/") + kTreeName;
  if (tree.size() <= suffix.size() ||
      tree.compare(tree.size() - suffix.size(), suffix.size(), suffix) != 0)
    return false;
  *folder = tree.substr(0, tree.size() - suffix.size());
  return true;
}

// The private folder a letter's link points at, when the link is one this
// library made: its "tree" folder stands beside the marker file.
bool MountedFolder(const std::string& link, std::string* folder) {
  if (!LinkedMountFolder(link, folder)) return false;
  struct stat st;
  return lstat((*folder + "/" + kMarkerName).c_str(), &st) == 0 &&
         S_ISREG(st.st_mode);
}

// A link left by a mount whose private folder is gone (removed by a
// temporary-file cleaner, or a process that ended without unmounting):
// it names a missing ".../kvimage.XXXXXX/tree". Such a letter counts as
// free, as the layer already reports it; any other link is left alone.
bool IsStaleMount(const std::string& link) {
  std::string folder;
  if (!LinkedMountFolder(link, &folder)) return false;
  const size_t slash = folder.rfind('/');
  const std::string base =
      slash == std::string::npos ? folder : folder.substr(slash + 1);
  struct stat st;
  return base.compare(0, 8, "kvimage.") == 0 &&
         lstat(folder.c_str(), &st) != 0 && errno == ENOENT;
}

}  // namespace

// Mounts `image` on `mountPoint` ("X:\"). `flag` must be 1: unpack the
// image's tree into a private folder and map the letter to it. Returns 0,
// or a Windows code: 87 bad arguments, 85 the letter is already mapped,
// 203 the process has no dosdevices folder (no home), the open's code
// when the image cannot be opened (2, 3, 5), 13 not an
// image or a truncated, corrupt or unsafe one, 112 disk full, 29 other
// write failures. A failed mount leaves no letter and no folder behind.
VIRTDISK_EXPORT int Mount(const char* mountPoint, const char* image,
                          int flag) {
  const char letter = DriveLetter(mountPoint);
  if (!letter || !image || !image[0] || flag != kUnpackAndMap)
    return ERROR_INVALID_PARAMETER;
  std::string devices, link;
  unsigned code = LinkOf(letter, &devices, &link);
  if (code) return static_cast<int>(code);
  struct stat st;
  if (lstat(link.c_str(), &st) == 0 && !IsStaleMount(link))
    return kAlreadyAssigned;

  HANDLE file = OpenImage(image);
  if (file == INVALID_HANDLE_VALUE) return static_cast<int>(GetLastError());
  std::string folder;
  code = MakePrivateFolder(image, &folder);
  if (!code) {
    std::string reason;
    code = KvUnpackImage(file, folder + "/" + kTreeName, &reason);
  }
  CloseHandle(file);
  if (!code && IsStaleMount(link)) unlink(link.c_str());
  if (!code && (!MakeFolders(devices) ||
                symlink((folder + "/" + kTreeName).c_str(), link.c_str()) != 0))
    code = CodeFromErrno(errno);
  if (code && !folder.empty()) RemoveTree(folder);
  return static_cast<int>(code);
}

// Unmounts the drive "X:". Returns 0 once the letter is released and the
// private folder removed, or a Windows code: 87 a bad drive string, 15 the
// letter is not mapped to an image this library mounted (nothing is
// touched then; a process without a dosdevices folder has no letter
// mapped), or the code of a removal that failed (the letter then stays
// mapped so that a later call can finish the job).
VIRTDISK_EXPORT int UnMount(const char* drive) {
  const char letter = DriveLetter(drive);
  if (!letter) return ERROR_INVALID_PARAMETER;
  std::string devices, link, folder;
  if (LinkOf(letter, &devices, &link)) return ERROR_INVALID_DRIVE;
  if (!MountedFolder(link, &folder)) return ERROR_INVALID_DRIVE;
  const int removed = RemoveTree(folder + "/" + kTreeName);
  if (removed) return static_cast<int>(CodeFromErrno(removed));
  if (unlink(link.c_str()) != 0) return static_cast<int>(CodeFromErrno(errno));
  RemoveTree(folder);
  return 0;
}
