// SPDX-License-Identifier: GPL-2.0-or-later
// Files and folders: open, read, write, seek, size, close, create and
// remove.
#include <fcntl.h>
#include <limits.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>

#include "layer.h"

using namespace kvposix;

namespace {

const int kNoFd = -1;

struct OpenRequest {
  std::string path;
  DWORD access;
  DWORD share;
  DWORD disposition;
  DWORD flags;
  bool driveRoot;
  // O_NOFOLLOW with FILE_FLAG_OPEN_REPARSE_POINT: a link put at the name
  // after it was looked at is not followed (the open fails with 1921).
  int NoFollow() const {
    return (flags & FILE_FLAG_OPEN_REPARSE_POINT) ? O_NOFOLLOW : 0;
  }
};

// Closes the descriptor unless released.
class FdGuard {
 public:
  explicit FdGuard(int fd) : fd_(fd) {}
  ~FdGuard() {
    if (fd_ >= 0) close(fd_);
  }
  int get() const { return fd_; }
  void reset(int fd) {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
  }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

int OpenRetry(const std::string& path, int flags, mode_t mode = 0) {
  return RetryEintr([&] { return open(path.c_str(), flags | O_CLOEXEC, mode); });
}

// The real path of the folder `path` names, from realpath: for a
// descriptor the kernel gives no usable path of.
std::string RealPathOf(const std::string& path) {
  char* real = path.empty() ? nullptr : realpath(path.c_str(), nullptr);
  if (!real) return path;
  std::string result = real;
  free(real);
  return result;
}

// The path the kernel keeps for the open descriptor, by one readlink of
// /proc/self/fd: the real path of what was opened, links on the way and
// at its end (unless the link itself was opened) already resolved.
// Empty when it cannot serve: no /proc, an object outside the process's
// root ("(unreachable)...") or one removed meanwhile (" (deleted)").
std::string KernelPath(int fd) {
  char link[32];
  snprintf(link, sizeof(link), "/proc/self/fd/%d", fd);
  std::vector<char> buffer(PATH_MAX + 1);
  const ssize_t n = readlink(link, buffer.data(), PATH_MAX);
  if (n <= 0 || buffer[0] != '/') return std::string();
  const std::string path(buffer.data(), static_cast<size_t>(n));
  static const char kDeleted[] = " (deleted)";
  const size_t tail = sizeof(kDeleted) - 1;
  if (path.size() > tail && path.compare(path.size() - tail, tail, kDeleted) == 0)
    return std::string();
  return path;
}

// The path the handle keeps for metadata calls: the real object's path,
// so a handle opened through a link still names what it opened. The
// kernel's path of the descriptor costs one call where resolving the path
// costs one per name on it; realpath serves when that path is unusable.
// (A name that ends in " (deleted)" itself is resolved by realpath too.)
std::string StablePath(const std::string& path, int fd, Kind kind) {
  const std::string known = KernelPath(fd);
  if (!known.empty()) return known;
  if (kind != Kind::kLink) return RealPathOf(path);
  std::string name = path;
  while (name.size() > 1 && name.back() == '/') name.pop_back();
  const size_t slash = name.rfind('/');
  const std::string folder = ParentOf(path);
  char* real = folder.empty() ? nullptr : realpath(folder.c_str(), nullptr);
  if (!real) return path;
  const std::string result = std::string(real) + "/" +
                             (slash == std::string::npos ? name : name.substr(slash + 1));
  free(real);
  return result;
}

}  // namespace

const std::string& Handle::Path() {
  std::lock_guard<std::mutex> hold(pathLock_);
  if (!pathKnown_) {
    path_ = StablePath(openedPath, fd, kind);
    pathKnown_ = true;
  }
  return path_;
}

HANDLE kvposix::RegisterDescriptor(int fd, Kind kind, const std::string& openedPath,
                                   DWORD access, DWORD share, const struct stat& st) {
  FdGuard guard(fd);
  std::unique_ptr<Handle> h(new (std::nothrow) Handle);
  if (!h) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return INVALID_HANDLE_VALUE;
  }
  h->kind = kind;
  h->openedPath = openedPath;
  h->access = access;
  h->share = share;
  h->dev = st.st_dev;
  h->ino = st.st_ino;
  h->fd = guard.get();
  HANDLE result = AddHandle(h);
  if (result == INVALID_HANDLE_VALUE) return result;  // 32, fd closed by guard
  guard.release();  // the table's Handle closes it now
  return result;
}

namespace {
bool NamesHandle(int dir, const std::string& name, const Handle& h) {
  struct stat st;
  return fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
         st.st_dev == h.dev && st.st_ino == h.ino;
}
}  // namespace

int kvposix::OpenFolderHolding(Handle& h, std::string* name) {
  if (h.openedIn && NamesHandle(h.openedIn->fd, h.nameInFolder, h)) {
    *name = h.nameInFolder;
    return RetryEintr([&] { return fcntl(h.openedIn->fd, F_DUPFD_CLOEXEC, 0); });
  }
  // The folder is opened by the path the handle's object has now, then
  // checked to hold that very object (device and inode) under the name:
  // a name moved or replaced meanwhile, or a folder on the way swapped
  // for a link, finds another object there and is left alone.
  const std::string path = h.Path();
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos || slash + 1 == path.size()) {
    errno = ENOENT;
    return -1;
  }
  const std::string folder = slash == 0 ? "/" : path.substr(0, slash);
  *name = path.substr(slash + 1);
  const int dir = OpenRetry(folder, O_PATH | O_DIRECTORY);
  if (dir < 0) return -1;
  if (NamesHandle(dir, *name, h)) return dir;
  close(dir);
  errno = ENOENT;
  return -1;
}

namespace {
const char kFdFolder[] = "/proc/self/fd/";
}  // namespace

std::string kvposix::FdPath(int fd) { return kFdFolder + std::to_string(fd); }

bool kvposix::IsFdPath(const std::string& path) {
  return path.compare(0, sizeof(kFdFolder) - 1, kFdFolder) == 0;
}

std::string kvposix::MetadataPath(Handle& h) {
  return h.kind == Kind::kLink ? h.Path() : FdPath(h.fd);
}

namespace {

// Wraps an open descriptor in a registered handle; `st` is its fstat.
HANDLE Register(const OpenRequest& r, FdGuard& fd, Kind kind, const struct stat& st) {
  return RegisterDescriptor(fd.release(), kind, r.path, r.access, r.share, st);
}

// Register for a descriptor not yet looked at.
HANDLE RegisterOpened(const OpenRequest& r, FdGuard& fd, Kind kind) {
  struct stat st;
  if (fstat(fd.get(), &st) != 0) {
    FailErrno(errno);
    return INVALID_HANDLE_VALUE;
  }
  return Register(r, fd, kind, st);
}

HANDLE OpenLink(const OpenRequest& r) {
  if (r.disposition == CREATE_NEW) {
    SetLastError(ERROR_FILE_EXISTS);
    return INVALID_HANDLE_VALUE;
  }
  FdGuard fd(OpenRetry(r.path, O_PATH | O_NOFOLLOW));
  if (fd.get() < 0) {
    SetLastError(CodeForPath(errno, r.path));
    return INVALID_HANDLE_VALUE;
  }
  HANDLE h = RegisterOpened(r, fd, Kind::kLink);
  if (h != INVALID_HANDLE_VALUE)
    SetLastError(r.disposition == OPEN_ALWAYS || r.disposition == CREATE_ALWAYS
                     ? ERROR_ALREADY_EXISTS
                     : ERROR_SUCCESS);
  return h;
}

HANDLE OpenFolder(const OpenRequest& r) {
  if (!(r.flags & FILE_FLAG_BACKUP_SEMANTICS) && !r.driveRoot) {
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  if (r.disposition == CREATE_NEW) {
    SetLastError(ERROR_FILE_EXISTS);
    return INVALID_HANDLE_VALUE;
  }
  if (r.disposition == CREATE_ALWAYS || r.disposition == TRUNCATE_EXISTING) {
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  FdGuard fd(OpenRetry(r.path, O_RDONLY | O_DIRECTORY | r.NoFollow()));
  if (fd.get() < 0 && errno == EACCES)  // a folder we may not list
    fd.reset(OpenRetry(r.path, O_PATH | O_DIRECTORY | r.NoFollow()));
  if (fd.get() < 0) {
    SetLastError(CodeForPath(errno, r.path));
    return INVALID_HANDLE_VALUE;
  }
  HANDLE h = RegisterOpened(r, fd, Kind::kFolder);
  if (h != INVALID_HANDLE_VALUE)
    SetLastError(r.disposition == OPEN_ALWAYS ? ERROR_ALREADY_EXISTS
                                              : ERROR_SUCCESS);
  return h;
}

// A file opened for writing only is opened for reading too when its
// permissions allow: the share locks (handles.cc) need a descriptor that
// reads. ReadFile still refuses the handle, by its access.
int AccessMode(DWORD access) {
  return WantsWrite(access) ? O_RDWR : O_RDONLY;
}

// Opens (or creates) the file; `existed` tells which happened. The open
// never waits: a pipe put in place after the caller's check would block
// it until a writer came (see KeepsRegular).
int OpenOrCreate(const OpenRequest& r, bool* existed) {
  const int mode = AccessMode(r.access) | O_NONBLOCK | r.NoFollow();
  const bool creates = r.disposition == CREATE_NEW ||
                       r.disposition == CREATE_ALWAYS ||
                       r.disposition == OPEN_ALWAYS;
  *existed = true;
  if (creates) {
    const int fd = OpenRetry(r.path, mode | O_CREAT | O_EXCL, 0666);
    if (fd >= 0) {
      *existed = false;
      return fd;
    }
    if (errno != EEXIST || r.disposition == CREATE_NEW) return kNoFd;
  }
  int fd = OpenRetry(r.path, mode);
  if (fd < 0 && errno == EACCES && mode == O_RDWR && !WantsRead(r.access))
    fd = OpenRetry(r.path, O_WRONLY);
  // An open for attributes only needs no permission on the data.
  if (fd < 0 && errno == EACCES && !WantsRead(r.access) &&
      !WantsWrite(r.access))
    fd = OpenRetry(r.path, O_PATH | r.NoFollow());
  return fd;
}

// True when the descriptor OpenOrCreate made is a regular file (its
// fstat left in `st`). Its O_NONBLOCK stays: Linux ignores the flag for
// reads and writes of regular files, and clearing it would cost a call
// on every open.
bool KeepsRegular(int fd, struct stat* st) {
  return fstat(fd, st) == 0 && S_ISREG(st->st_mode);
}

HANDLE OpenFile(const OpenRequest& r, const struct stat* st) {
  // Devices, pipes and sockets are refused before any open: opening a
  // device may act on it, and reading a pipe waits for a writer. Windows
  // has no such files on a disk path; 222 names the refusal by its cause.
  if (st && !S_ISREG(st->st_mode)) {
    SetLastError(ERROR_BAD_FILE_TYPE);
    return INVALID_HANDLE_VALUE;
  }
  if (r.disposition == TRUNCATE_EXISTING && !WantsWrite(r.access)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  // Windows refuses to write a read-only file, even to its administrator.
  const bool writes = WantsWrite(r.access) || r.disposition == CREATE_ALWAYS;
  if (st && writes && r.disposition != CREATE_NEW &&
      ModeIsReadOnly(st->st_mode)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  bool existed = false;
  FdGuard fd(OpenOrCreate(r, &existed));
  if (fd.get() < 0) {
    SetLastError(errno == EEXIST ? ERROR_FILE_EXISTS
                                 : CodeForPath(errno, r.path));
    return INVALID_HANDLE_VALUE;
  }
  struct stat opened;
  if (!KeepsRegular(fd.get(), &opened)) {  // swapped for a pipe or device meanwhile
    SetLastError(ERROR_BAD_FILE_TYPE);
    return INVALID_HANDLE_VALUE;
  }
  HANDLE h = Register(r, fd, Kind::kFile, opened);
  if (h == INVALID_HANDLE_VALUE) return h;
  const int openFd = static_cast<Handle*>(h)->fd;
  const bool truncate = existed && (r.disposition == CREATE_ALWAYS ||
                                    r.disposition == TRUNCATE_EXISTING);
  if (truncate && RetryEintr([&] { return ftruncate(openFd, 0); }) != 0) {
    const int error = errno;
    CloseHandle(h);
    FailErrno(error);
    return INVALID_HANDLE_VALUE;
  }
  const DWORD attributes = r.flags & 0xFFFFu & ~FILE_ATTRIBUTE_NORMAL;
  if (!existed && attributes) WriteAttributes(r.path, attributes);
  SetLastError(existed && (r.disposition == OPEN_ALWAYS ||
                           r.disposition == CREATE_ALWAYS)
                   ? ERROR_ALREADY_EXISTS
                   : ERROR_SUCCESS);
  return h;
}

// A file opened to be deleted on close loses its name at once: POSIX keeps
// an unlinked file's data until its last descriptor closes, which is the
// same lifetime, and nothing is left behind when the process dies.
HANDLE OpenDeletedOnClose(HANDLE h, const std::string& path) {
  if (h == INVALID_HANDLE_VALUE) return h;
  const DWORD code = GetLastError();
  if (unlink(path.c_str()) != 0) {
    const DWORD failure = CodeFromErrno(errno);
    CloseHandle(h);
    SetLastError(failure);
    return INVALID_HANDLE_VALUE;
  }
  NoteNameChange();
  SetLastError(code);
  return h;
}

bool IsDriveDevice(LPCWSTR name) {
  return name[0] == '\\' && name[1] == '\\' && name[2] == '.' &&
         name[3] == '\\';
}

}  // namespace

HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD share,
                   LPSECURITY_ATTRIBUTES security, DWORD disposition,
                   DWORD flags, HANDLE templateFile) {
  if (TakeFault(kFaultCreate) != FaultMode::kOff) {
    SetLastError(CodeFromErrno(EMFILE));
    return INVALID_HANDLE_VALUE;
  }
  OpenRequest r{std::string(), access, share, disposition, flags, false};
  if (!ToPosixPath(name, &r.path)) return INVALID_HANDLE_VALUE;
  if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  r.driveRoot = IsDriveDevice(name);
  if (disposition == CREATE_NEW && !(flags & FILE_FLAG_OPEN_REPARSE_POINT) &&
      !r.driveRoot) {
    // The exclusive create needs no look first: it makes the file or finds
    // something there, which the steps below then answer for as before.
    HANDLE h = OpenFile(r, nullptr);
    if (h != INVALID_HANDLE_VALUE && (flags & FILE_FLAG_DELETE_ON_CLOSE))
      return OpenDeletedOnClose(h, r.path);
    if (h != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS) return h;
  }
  struct stat st;
  // With FILE_FLAG_OPEN_REPARSE_POINT the name itself is looked at first;
  // for anything but a link that is what stat would tell.
  bool looked = false, exists = false;
  if (flags & FILE_FLAG_OPEN_REPARSE_POINT) {
    looked = exists = lstat(r.path.c_str(), &st) == 0;
    if (exists && S_ISLNK(st.st_mode)) return OpenLink(r);
  }
  if (!looked) exists = stat(r.path.c_str(), &st) == 0;
  if (exists && S_ISDIR(st.st_mode)) return OpenFolder(r);
  HANDLE h = OpenFile(r, exists ? &st : nullptr);
  return flags & FILE_FLAG_DELETE_ON_CLOSE ? OpenDeletedOnClose(h, r.path) : h;
}

BOOL CloseHandle(HANDLE handle) {
  // The descriptor closes with the last reference: here, or when a call
  // another thread is making with the handle returns.
  return TakeHandle(handle, Kind::kFile) ? TRUE : FALSE;
}

namespace {
// Every kWritebackBytes written through a handle, the disk is asked to
// start writing them, without waiting. A large file then goes to the disk
// while it is being made, and the FlushFileBuffers that makes it durable
// waits for its last piece only, not for all of it.
const uint64_t kWritebackBytes = 8u << 20;

void StartWriteback(Handle& h, DWORD bytes) {
  const uint64_t before = h.unflushedBytes.fetch_add(bytes);
  if (before + bytes < kWritebackBytes) return;
  h.unflushedBytes.store(0);
  sync_file_range(h.fd, 0, 0, SYNC_FILE_RANGE_WRITE);
}

// The handle's descriptor when it may move data; null with the code set.
HandleRef DataHandle(HANDLE file, bool write) {
  HandleRef h = LookFileHandle(file);
  if (!h) return nullptr;
  if (h->kind != Kind::kFile ||
      !(write ? WantsWrite(h->access) : WantsRead(h->access))) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  return h;
}
}  // namespace

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read,
              LPOVERLAPPED overlapped) {
  if (read) *read = 0;
  HandleRef h = DataHandle(file, false);
  if (!h) return FALSE;
  if (!buffer && toRead) return Fail(ERROR_INVALID_PARAMETER);
  const FaultMode fault = TakeFault(kFaultRead);
  if (fault == FaultMode::kShort) toRead /= 2;
  else if (fault == FaultMode::kEnd) toRead = 0;
  else if (fault != FaultMode::kOff) return FailErrno(EIO);
  DWORD done = 0;
  while (done < toRead) {
    const ssize_t n = RetryEintr([&] {
      return ::read(h->fd, static_cast<char*>(buffer) + done, toRead - done);
    });
    if (n < 0) return FailErrno(errno);
    if (n == 0) break;
    done += static_cast<DWORD>(n);
  }
  if (read) *read = done;
  return TRUE;
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written,
               LPOVERLAPPED overlapped) {
  if (written) *written = 0;
  HandleRef h = DataHandle(file, true);
  if (!h) return FALSE;
  if (!buffer && toWrite) return Fail(ERROR_INVALID_PARAMETER);
  const FaultMode fault = TakeFault(kFaultWrite);
  const DWORD wanted = toWrite;
  if (fault == FaultMode::kShort) toWrite /= 2;
  else if (fault != FaultMode::kOff) return Fail(ERROR_DISK_FULL);
  DWORD done = 0;
  while (done < toWrite) {
    const ssize_t n = RetryEintr([&] {
      return ::write(h->fd, static_cast<const char*>(buffer) + done,
                     toWrite - done);
    });
    if (n < 0) {
      if (written) *written = done;
      return FailErrno(errno);
    }
    done += static_cast<DWORD>(n);
  }
  StartWriteback(*h, done);
  if (written) *written = done;
  if (done < wanted) return Fail(ERROR_DISK_FULL);  // a short fault
  return TRUE;
}

BOOL SetFilePointerEx(HANDLE file, LARGE_INTEGER distance,
                      PLARGE_INTEGER newPosition, DWORD method) {
  HandleRef h = LookFileHandle(file);
  if (!h) return FALSE;
  if (h->kind != Kind::kFile) return Fail(ERROR_INVALID_FUNCTION);
  if (method > FILE_END) return Fail(ERROR_INVALID_PARAMETER);
  if (TakeFault(kFaultSeek) != FaultMode::kOff) return FailErrno(EIO);
  const int whence = method == FILE_BEGIN ? SEEK_SET
                     : method == FILE_CURRENT ? SEEK_CUR : SEEK_END;
  if (method == FILE_BEGIN && distance.QuadPart < 0)
    return Fail(ERROR_NEGATIVE_SEEK);
  const off_t at = lseek(h->fd, static_cast<off_t>(distance.QuadPart), whence);
  if (at < 0) return Fail(errno == EINVAL ? ERROR_NEGATIVE_SEEK
                                          : CodeFromErrno(errno));
  if (newPosition) newPosition->QuadPart = at;
  return TRUE;
}

DWORD SetFilePointer(HANDLE file, LONG distance, LONG* high, DWORD method) {
  LARGE_INTEGER move, at;
  move.QuadPart = high ? static_cast<LONGLONG>(
                             (static_cast<ULONGLONG>(static_cast<DWORD>(*high))
                              << 32) |
                             static_cast<DWORD>(distance))
                       : distance;
  if (!SetFilePointerEx(file, move, &at, method))
    return INVALID_SET_FILE_POINTER;
  if (high) *high = static_cast<LONG>(at.QuadPart >> 32);
  SetLastError(ERROR_SUCCESS);  // callers tell 0xFFFFFFFF apart by it
  return static_cast<DWORD>(at.QuadPart);
}

BOOL GetFileSizeEx(HANDLE file, PLARGE_INTEGER size) {
  HandleRef h = LookFileHandle(file);
  if (!h) return FALSE;
  if (!size) return Fail(ERROR_INVALID_PARAMETER);
  struct stat st;
  if (fstat(h->fd, &st) != 0) return FailErrno(errno);
  size->QuadPart = S_ISREG(st.st_mode) ? st.st_size : 0;
  return TRUE;
}

DWORD GetFileSize(HANDLE file, LPDWORD high) {
  LARGE_INTEGER size;
  if (!GetFileSizeEx(file, &size)) return 0xFFFFFFFFu;
  if (high) *high = static_cast<DWORD>(size.QuadPart >> 32);
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(size.QuadPart);
}

DWORD GetFileType(HANDLE file) {
  HandleRef h = LookFileHandle(file);
  if (!h) return FILE_TYPE_UNKNOWN;
  struct stat st;
  if (fstat(h->fd, &st) != 0) {
    FailErrno(errno);
    return FILE_TYPE_UNKNOWN;
  }
  SetLastError(ERROR_SUCCESS);
  if (S_ISCHR(st.st_mode)) return FILE_TYPE_CHAR;
  if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)) return FILE_TYPE_PIPE;
  return FILE_TYPE_DISK;
}

namespace {
// A 32-bit volume serial number for a device number: the major number in
// the high 12 bits, the minor in the low 20, which keeps every device
// number below those sizes (all of Linux's ordinary ones) apart.
DWORD VolumeSerialOf(dev_t device) {
  return static_cast<DWORD>((major(device) << 20) ^ minor(device));
}
}  // namespace

BOOL GetFileInformationByHandle(HANDLE file,
                                LPBY_HANDLE_FILE_INFORMATION info) {
  HandleRef h = LookFileHandle(file);
  if (!h) return FALSE;
  if (!info) return Fail(ERROR_INVALID_PARAMETER);
  struct statx sx;
  Metadata meta;
  if (const DWORD code = ReadHandleMetadata(*h, &meta, &sx)) return Fail(code);
  info->dwFileAttributes = meta.attributes;
  info->ftCreationTime = FromTicks(meta.creation);
  info->ftLastAccessTime = FromTicks(meta.access);
  info->ftLastWriteTime = FromTicks(meta.write);
  info->dwVolumeSerialNumber =
      VolumeSerialOf(makedev(sx.stx_dev_major, sx.stx_dev_minor));
  info->nFileSizeHigh = static_cast<DWORD>(meta.size >> 32);
  info->nFileSizeLow = static_cast<DWORD>(meta.size);
  info->nNumberOfLinks = static_cast<DWORD>(sx.stx_nlink);
  const uint64_t index = static_cast<uint64_t>(sx.stx_ino);
  info->nFileIndexHigh = static_cast<DWORD>(index >> 32);
  info->nFileIndexLow = static_cast<DWORD>(index);
  return TRUE;
}

namespace {

// The times and attributes of FILE_BASIC_INFO, through the descriptor.
// With attributes to set, the creation time goes into the same block as
// they do (one write of it, not two).
BOOL SetBasicInfo(HANDLE file, const FILE_BASIC_INFO& basic) {
  const FILETIME creation = FromTicks(basic.CreationTime.QuadPart);
  const FILETIME access = FromTicks(basic.LastAccessTime.QuadPart);
  const FILETIME write = FromTicks(basic.LastWriteTime.QuadPart);
  const bool withAttributes = basic.FileAttributes != 0;
  const bool setsCreation = basic.CreationTime.QuadPart != 0 &&
                            basic.CreationTime.QuadPart != -1;
  if (!SetFileTime(file, setsCreation && !withAttributes ? &creation : nullptr,
                   basic.LastAccessTime.QuadPart ? &access : nullptr,
                   basic.LastWriteTime.QuadPart ? &write : nullptr))
    return FALSE;
  if (!withAttributes) return TRUE;
  HandleRef h = LookFileHandle(file);
  if (!h) return FALSE;
  if (const DWORD code =
          WriteAttributes(MetadataPath(*h), basic.FileAttributes,
                          setsCreation ? basic.CreationTime.QuadPart : 0))
    return Fail(code);
  return TRUE;
}

// Removes the name of the file or link open as `h`: only while it names
// the handle's own file, inside the folder found holding it.
BOOL DeleteByHandle(const HandleRef& h) {
  if (!(h->access & DELETE)) return Fail(ERROR_ACCESS_DENIED);
  std::string name;
  const int dir = OpenFolderHolding(*h, &name);
  if (dir < 0) return FailErrno(errno);
  const int error = unlinkat(dir, name.c_str(), 0) != 0 ? errno : 0;
  close(dir);
  if (error) return FailErrno(error);
  NoteNameChange();
  return TRUE;
}

}  // namespace

DWORD GetFinalPathNameByHandleW(HANDLE file, LPWSTR path, DWORD capacity,
                                DWORD flags) {
  HandleRef h = LookFileHandle(file);
  if (!h) return 0;
  if (flags != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  // The kernel's name of the object the descriptor holds, as it is now.
  std::vector<char> name(PATH_MAX + 1);
  const ssize_t n = readlink(FdPath(h->fd).c_str(), name.data(), PATH_MAX);
  if (n <= 0 || name[0] != '/') {
    SetLastError(n < 0 ? CodeFromErrno(errno) : ERROR_PATH_NOT_FOUND);
    return 0;
  }
  const std::u16string wide =
      ToWindowsPath(std::string(name.data(), static_cast<size_t>(n)));
  if (wide.size() + 1 > capacity) return static_cast<DWORD>(wide.size() + 1);
  CopyWide(wide, path, capacity);
  return static_cast<DWORD>(wide.size());
}

BOOL SetFileInformationByHandle(HANDLE file, FILE_INFO_BY_HANDLE_CLASS infoClass,
                                LPVOID info, DWORD size) {
  if (infoClass == FileBasicInfo) {
    if (!LookFileHandle(file)) return FALSE;
    if (!info || size < sizeof(FILE_BASIC_INFO)) return Fail(ERROR_INVALID_PARAMETER);
    return SetBasicInfo(file, *static_cast<const FILE_BASIC_INFO*>(info));
  }
  HandleRef h = LookFileHandle(file);
  if (!h) return FALSE;
  if (h->kind == Kind::kFolder) return Fail(ERROR_INVALID_HANDLE);
  if (infoClass != FileDispositionInfo || !info ||
      size < sizeof(FILE_DISPOSITION_INFO))
    return Fail(ERROR_INVALID_PARAMETER);
  if (!static_cast<const FILE_DISPOSITION_INFO*>(info)->DeleteFile)
    return Fail(ERROR_NOT_SUPPORTED);
  return DeleteByHandle(h);
}

BOOL SetEndOfFile(HANDLE file) {
  HandleRef h = DataHandle(file, true);
  if (!h) return FALSE;
  const off_t at = lseek(h->fd, 0, SEEK_CUR);
  if (at < 0) return FailErrno(errno);
  if (RetryEintr([&] { return ftruncate(h->fd, at); }) != 0)
    return FailErrno(errno);
  return TRUE;
}

BOOL FlushFileBuffers(HANDLE file) {
  HandleRef h = DataHandle(file, true);
  if (!h) return FALSE;
  if (TakeFault(kFaultFlush) != FaultMode::kOff) return Fail(ERROR_DISK_FULL);
  if (RetryEintr([&] { return fsync(h->fd); }) != 0) return FailErrno(errno);
  return TRUE;
}

BOOL CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES security) {
  std::string p;
  if (!ToPosixPath(path, &p)) return FALSE;
  if (mkdir(p.c_str(), 0777) != 0)
    return Fail(errno == EEXIST   ? ERROR_ALREADY_EXISTS
                : errno == ENOENT ? ERROR_PATH_NOT_FOUND
                                  : CodeFromErrno(errno));
  return TRUE;
}

BOOL RemoveDirectoryW(LPCWSTR path) {
  std::string p;
  if (!ToPosixPath(path, &p)) return FALSE;
  struct stat st, target;
  if (lstat(p.c_str(), &st) != 0) return FailForPath(errno, p);
  if (S_ISLNK(st.st_mode)) {  // a folder link goes, its target stays
    if (stat(p.c_str(), &target) != 0 || !S_ISDIR(target.st_mode))
      return Fail(ERROR_DIRECTORY);
    if (unlink(p.c_str()) != 0) return FailErrno(errno);
    NoteNameChange();
    return TRUE;
  }
  if (!S_ISDIR(st.st_mode)) return Fail(ERROR_DIRECTORY);
  if (DeleteRefused(p, st)) return Fail(ERROR_SHARING_VIOLATION);
  if (rmdir(p.c_str()) != 0)
    return Fail(errno == EEXIST ? ERROR_DIR_NOT_EMPTY : CodeFromErrno(errno));
  NoteNameChange();
  return TRUE;
}

BOOL DeleteFileW(LPCWSTR path) {
  std::string p;
  if (!ToPosixPath(path, &p)) return FALSE;
  struct stat st;
  if (lstat(p.c_str(), &st) != 0) return FailForPath(errno, p);
  if (S_ISDIR(st.st_mode)) return Fail(ERROR_ACCESS_DENIED);
  if (S_ISREG(st.st_mode) && ModeIsReadOnly(st.st_mode))
    return Fail(ERROR_ACCESS_DENIED);
  if (DeleteRefused(p, st)) return Fail(ERROR_SHARING_VIOLATION);
  if (unlink(p.c_str()) != 0) return FailForPath(errno, p);
  NoteNameChange();
  return TRUE;
}
