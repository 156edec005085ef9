// SPDX-License-Identifier: GPL-2.0-or-later
// NtCreateFile relative to an open folder: one name inside the folder a
// handle holds, opened or created with openat / mkdirat on its descriptor,
// so no name above it is looked up again and, with
// FILE_OPEN_REPARSE_POINT, a link at the name is never followed.
#include <fcntl.h>
#include <unistd.h>

#include "layer.h"

using namespace kvposix;

namespace {

struct RelativeRequest {
  HandleRef root;       // the root folder's handle
  int folder;           // its descriptor
  std::string name;     // one name in it
  std::string path;     // the root's path and the name, for the handle
  DWORD access;
  DWORD share;
  DWORD disposition;
  DWORD options;
};

bool NoFollow(const RelativeRequest& r) {
  return (r.options & FILE_OPEN_REPARSE_POINT) != 0;
}

NTSTATUS StatusFromErrno(int error) {
  switch (error) {
    case EEXIST: return STATUS_OBJECT_NAME_COLLISION;
    case ENOENT: return STATUS_OBJECT_NAME_NOT_FOUND;
    case ENOTDIR: return STATUS_NOT_A_DIRECTORY;
    case EISDIR: return STATUS_FILE_IS_A_DIRECTORY;
    case EACCES:
    case EPERM:
    case EROFS: return STATUS_ACCESS_DENIED;
    case ENOSPC:
    case EDQUOT: return STATUS_DISK_FULL;
    case ENAMETOOLONG: return STATUS_NAME_TOO_LONG;
    case EMFILE:
    case ENFILE: return STATUS_TOO_MANY_OPENED_FILES;
    case ENOMEM: return STATUS_NO_MEMORY;
    case EBADF: return STATUS_INVALID_HANDLE;
    case EINVAL: return STATUS_INVALID_PARAMETER;
    default: return STATUS_UNSUCCESSFUL;
  }
}

// One name: not empty, no separator of either kind, not "." or "..".
bool IsOneName(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return false;
  return name.find('/') == std::string::npos && name.find('\\') == std::string::npos;
}

int OpenAt(int folder, const std::string& name, int flags, mode_t mode = 0) {
  return RetryEintr([&] { return openat(folder, name.c_str(), flags | O_CLOEXEC, mode); });
}

// Opens again, as `flags`, the object an O_PATH descriptor holds: the
// kernel's link to it names that very object, whatever its name is now.
int Reopen(int pathFd, int flags) {
  return RetryEintr([&] { return open(FdPath(pathFd).c_str(), flags | O_CLOEXEC); });
}

int DataMode(DWORD access) { return WantsWrite(access) ? O_RDWR : O_RDONLY; }

// Registers `fd` as a handle of `kind`; the status of the registration.
NTSTATUS Wrap(const RelativeRequest& r, int fd, Kind kind, HANDLE* out) {
  struct stat st;
  if (fstat(fd, &st) != 0) {
    const int error = errno;
    close(fd);
    return StatusFromErrno(error);
  }
  *out = RegisterDescriptor(fd, kind, r.path, r.access, r.share, st);
  if (*out != INVALID_HANDLE_VALUE) {
    // Not yet handed out: nothing else uses it meanwhile.
    HandleRef made = LookFileHandle(*out);
    made->openedIn = r.root;
    made->nameInFolder = r.name;
    return STATUS_SUCCESS;
  }
  return GetLastError() == ERROR_SHARING_VIOLATION ? STATUS_SHARING_VIOLATION
                                                   : STATUS_NO_MEMORY;
}

// A new folder: made, then opened without following, so what is opened
// is a folder at the name (a link put there meanwhile is refused).
NTSTATUS MakeFolderAt(const RelativeRequest& r, HANDLE* out) {
  if (mkdirat(r.folder, r.name.c_str(), 0777) != 0) return StatusFromErrno(errno);
  NoteNameChange();
  const int fd = OpenAt(r.folder, r.name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
  if (fd < 0) return StatusFromErrno(errno == ELOOP ? ENOTDIR : errno);
  return Wrap(r, fd, Kind::kFolder, out);
}

// A new file, exclusively: O_EXCL never follows a link at the name.
NTSTATUS MakeFileAt(const RelativeRequest& r, HANDLE* out) {
  const int fd = OpenAt(r.folder, r.name,
                        DataMode(r.access) | O_CREAT | O_EXCL | O_NOFOLLOW, 0666);
  if (fd < 0) return StatusFromErrno(errno);
  NoteNameChange();
  return Wrap(r, fd, Kind::kFile, out);
}

// What is at the name: the object (or, without following, the link
// itself) opened by O_PATH, then opened again for its kind's use. A
// device, pipe or socket is refused before it is opened for use.
NTSTATUS OpenExisting(const RelativeRequest& r, HANDLE* out) {
  const int pathFd = OpenAt(r.folder, r.name, O_PATH | (NoFollow(r) ? O_NOFOLLOW : 0));
  if (pathFd < 0) return StatusFromErrno(errno);
  struct stat st;
  if (fstat(pathFd, &st) != 0) {
    close(pathFd);
    return StatusFromErrno(errno);
  }
  if (S_ISLNK(st.st_mode)) return Wrap(r, pathFd, Kind::kLink, out);
  const bool folder = S_ISDIR(st.st_mode);
  NTSTATUS refused = STATUS_SUCCESS;
  if (folder && (r.options & FILE_NON_DIRECTORY_FILE)) refused = STATUS_FILE_IS_A_DIRECTORY;
  if (!folder && (r.options & FILE_DIRECTORY_FILE)) refused = STATUS_NOT_A_DIRECTORY;
  if (!folder && !S_ISREG(st.st_mode)) refused = STATUS_ACCESS_DENIED;
  if (refused) {
    close(pathFd);
    return refused;
  }
  int fd = Reopen(pathFd, folder ? O_RDONLY | O_DIRECTORY : DataMode(r.access) | O_NONBLOCK);
  if (fd < 0 && errno == EACCES && (folder || (!WantsRead(r.access) && !WantsWrite(r.access)))) {
    fd = pathFd;  // a folder we may not list, or an open for metadata only
  } else {
    close(pathFd);
  }
  if (fd < 0) return StatusFromErrno(errno);
  return Wrap(r, fd, folder ? Kind::kFolder : Kind::kFile, out);
}

NTSTATUS Dispatch(const RelativeRequest& r, HANDLE* out, ULONG_PTR* information) {
  const bool folder = (r.options & FILE_DIRECTORY_FILE) != 0;
  auto create = [&] { return folder ? MakeFolderAt(r, out) : MakeFileAt(r, out); };
  *information = FILE_CREATED;
  if (r.disposition == FILE_CREATE) return create();
  // FILE_OPEN_IF: what is there is opened; only a missing name is made
  // (and opened after all when another made it meanwhile).
  *information = FILE_OPENED;
  NTSTATUS status = OpenExisting(r, out);
  if (status != STATUS_OBJECT_NAME_NOT_FOUND || r.disposition == FILE_OPEN)
    return status;
  *information = FILE_CREATED;
  status = create();
  if (status != STATUS_OBJECT_NAME_COLLISION) return status;
  *information = FILE_OPENED;
  return OpenExisting(r, out);
}

}  // namespace

NTSTATUS NtCreateFile(PHANDLE handle, ACCESS_MASK access,
                      POBJECT_ATTRIBUTES attributes, PIO_STATUS_BLOCK status,
                      PLARGE_INTEGER allocation, ULONG fileAttributes,
                      ULONG share, ULONG disposition, ULONG options,
                      void* eaBuffer, ULONG eaLength) {
  if (!handle || !attributes || !status || !attributes->ObjectName ||
      !attributes->RootDirectory || eaLength ||
      (disposition != FILE_OPEN && disposition != FILE_CREATE &&
       disposition != FILE_OPEN_IF) ||
      ((options & FILE_DIRECTORY_FILE) && (options & FILE_NON_DIRECTORY_FILE)))
    return STATUS_INVALID_PARAMETER;
  *handle = INVALID_HANDLE_VALUE;
  status->Information = 0;
  HandleRef root = LookHandle(attributes->RootDirectory, Kind::kFolder);
  if (!root) return status->Status = STATUS_INVALID_HANDLE;
  const UNICODE_STRING& name = *attributes->ObjectName;
  RelativeRequest r{root, root->fd, std::string(), std::string(), access, share,
                    disposition, options};
  if (!name.Buffer || !ToNarrowName(name.Buffer, name.Length / sizeof(WCHAR), &r.name) ||
      !IsOneName(r.name))
    return status->Status = STATUS_OBJECT_NAME_INVALID;
  r.path = root->Path() + (root->Path() == "/" ? "" : "/") + r.name;
  ULONG_PTR information = 0;
  status->Status = Dispatch(r, handle, &information);
  if (status->Status == STATUS_SUCCESS) status->Information = information;
  return status->Status;
}

ULONG RtlNtStatusToDosError(NTSTATUS status) {
  switch (status) {
    case STATUS_SUCCESS: return ERROR_SUCCESS;
    case STATUS_OBJECT_NAME_COLLISION: return ERROR_ALREADY_EXISTS;
    case STATUS_OBJECT_NAME_NOT_FOUND: return ERROR_FILE_NOT_FOUND;
    case STATUS_OBJECT_PATH_NOT_FOUND: return ERROR_PATH_NOT_FOUND;
    case STATUS_NOT_A_DIRECTORY: return ERROR_DIRECTORY;
    case STATUS_FILE_IS_A_DIRECTORY:
    case STATUS_ACCESS_DENIED: return ERROR_ACCESS_DENIED;
    case STATUS_OBJECT_NAME_INVALID: return ERROR_INVALID_NAME;
    case STATUS_INVALID_HANDLE: return ERROR_INVALID_HANDLE;
    case STATUS_SHARING_VIOLATION: return ERROR_SHARING_VIOLATION;
    case STATUS_DISK_FULL: return ERROR_DISK_FULL;
    case STATUS_NAME_TOO_LONG: return ERROR_FILENAME_EXCED_RANGE;
    case STATUS_TOO_MANY_OPENED_FILES: return ERROR_TOO_MANY_OPEN_FILES;
    case STATUS_NO_MEMORY: return ERROR_NOT_ENOUGH_MEMORY;
    case STATUS_INVALID_PARAMETER: return ERROR_INVALID_PARAMETER;
    default: return ERROR_GEN_FAILURE;
  }
}
