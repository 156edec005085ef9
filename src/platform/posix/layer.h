// SPDX-License-Identifier: GPL-2.0-or-later
// Private pieces shared by the POSIX implementation of the Win32 seam:
// error mapping, text and path conversion, the handle table and the
// metadata kept in extended attributes. Nothing outside
// src/platform/posix includes this header.
#ifndef KVMORVEL_PLATFORM_POSIX_LAYER_H
#define KVMORVEL_PLATFORM_POSIX_LAYER_H

#include <sys/stat.h>
#include <sys/types.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "kvwin32.h"

namespace kvposix {

// ---- errors.cc ----------------------------------------------------------
// The Windows code for an errno value (one table for the whole layer).
DWORD CodeFromErrno(int error);
// Sets the last error and returns FALSE, for `return Fail(code);`.
BOOL Fail(DWORD code);
BOOL FailErrno(int error);
// ENOENT on `path` means 3 when the folder holding it is missing, else 2.
DWORD MissingCode(const std::string& path);
// The Windows code for an errno met while working on `path`.
DWORD CodeForPath(int error, const std::string& path);
BOOL FailForPath(int error, const std::string& path);

// ---- text.cc ------------------------------------------------------------
size_t WideLength(const WCHAR* s);
// UTF-16 to UTF-8 for file names. A lone low surrogate U+DC80..U+DCFF
// stands for the raw byte 0x80..0xFF of a name that is not UTF-8 (the
// inverse of ToWideName), so every Linux name survives a round trip.
// Returns false for any other lone surrogate.
bool ToNarrowName(const WCHAR* wide, size_t length, std::string* out);
std::u16string ToWideName(const std::string& narrow);
// Copies a UTF-16 string into a WCHAR array of `capacity` with terminator.
bool CopyWide(const std::u16string& from, WCHAR* to, size_t capacity);
WCHAR UpperWide(WCHAR c);

// ---- paths.cc -----------------------------------------------------------
// Maps a Windows or POSIX path to the POSIX path to use. Fails with 87
// (null), 123 (bad name), 206 (too long), 3 (empty path, unknown drive
// letter, network path).
bool ToPosixPath(const WCHAR* path, std::string* out);
// Maps an absolute POSIX path back to a Windows path: "X:\..." inside a
// mapped drive, else the POSIX path with "\" separators.
std::u16string ToWindowsPath(const std::string& posixPath);
// The folder holding the drive links, and the folder a letter maps to
// ("" when the letter has no link).
std::string DosDevicesFolder();
std::string DriveTarget(char letter);
std::string ParentOf(const std::string& path);
// Joins a relative link target to the folder holding the link and
// removes "." and ".." lexically.
std::string NormalizePath(const std::string& path);

// ---- times --------------------------------------------------------------
ULONGLONG FileTimeFromTimespec(const struct timespec& t);
struct timespec TimespecFromFileTime(ULONGLONG ticks);
inline struct timespec ToTimespec(const struct statx_timestamp& t) {
  struct timespec s;
  s.tv_sec = t.tv_sec;
  s.tv_nsec = t.tv_nsec;
  return s;
}
inline ULONGLONG Ticks(const FILETIME& t) {
  return (static_cast<ULONGLONG>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
}
inline FILETIME FromTicks(ULONGLONG ticks) {
  FILETIME t;
  t.dwLowDateTime = static_cast<DWORD>(ticks);
  t.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  return t;
}

// ---- xattrs (attributes.cc) ---------------------------------------------
extern const char kDosAttribName[];   // "user.DOSATTRIB"
extern const char kExtraAttribName[]; // bits Samba does not keep
extern const char kShortName[];
extern const char kSecurityName[];
extern const char kReparseName[];
extern const char kLinksName[];       // what links are given (links.cc)
extern const char kNtaclName[];       // "security.NTACL", Samba's descriptor
extern const char kAccessAclName[];   // "system.posix_acl_access"
extern const char kDefaultAclName[];  // "system.posix_acl_default"
// Reads one extended attribute of `path` (never of a link); false when
// absent or unreadable. One call when the value fits the first buffer.
bool ReadXattr(const std::string& path, const char* name,
               std::vector<uint8_t>* value);
// The same of the object at `path` itself, a link not followed.
bool ReadOwnXattr(const std::string& path, const char* name,
                  std::vector<uint8_t>* value);

// Which of the layer's attributes an object carries, from one llistxattr,
// so that none is asked for that is not there. When the list could not be
// read, Has answers true for each and every one is asked for itself.
class LayerXattrs {
 public:
  bool Has(const char* name) const;
  void Take(const char* list, size_t length);  // a listxattr answer

 private:
  static const char* const kNames[];
  static const size_t kCount = 9;
  bool listed_ = false;
  unsigned present_ = 0;
};
// Lists the attributes of `path` itself (a link not followed). `error`
// (optional) gets the errno of a failed listing, 0 otherwise; a file
// system without extended attributes lists none.
// A descriptor's FdPath is followed: it names the descriptor's object.
LayerXattrs ListLayerXattrs(const std::string& path, int* error = nullptr);
// One statx of `path`, a link at its end not followed, with the birth
// time when the file system keeps it. Returns 0 or the errno.
int StatusOf(const std::string& path, struct statx* sx);
// Writes one; returns 0 or the errno.
int WriteXattr(const std::string& path, const char* name,
               const std::vector<uint8_t>& value);
int RemoveXattr(const std::string& path, const char* name);

// The decoded user.DOSATTRIB.
struct DosInfo {
  bool hasAttributes = false;
  DWORD attributes = 0;
  // The attributes come from Samba's binary block (version 1, 3, 4 or 5),
  // not from the bare hex string: read-only is then the block's, as Samba
  // keeps it, rather than the mode's.
  bool fromBlock = false;
  bool hasCreation = false;
  ULONGLONG creation = 0;
};
DosInfo DecodeDosAttrib(const std::vector<uint8_t>& blob);
std::vector<uint8_t> EncodeDosAttrib(DWORD attributes, ULONGLONG creation);

// Everything GetFileAttributesExW and FindFirstFileW report for one path,
// without following a link at its end.
struct Metadata {
  DWORD attributes = 0;
  ULONGLONG creation = 0, access = 0, write = 0;
  ULONGLONG size = 0;
  DWORD reparseTag = 0;
  bool isLink = false;
  std::u16string shortName;  // as stored, empty when none
};
// Returns 0 or a Windows code.
DWORD ReadMetadata(const std::string& path, Metadata* meta);
struct Handle;
// The same of what an open handle holds, read through its descriptor
// (statx AT_EMPTY_PATH, the attributes through FdPath); only what a
// link's folder keeps for it is looked up by the link's name.
// `status` (optional) gets the descriptor's statx: its device, inode
// and link count, without another call.
DWORD ReadHandleMetadata(Handle& handle, Metadata* meta,
                         struct statx* status = nullptr);
// Writes attributes / creation time of a file or folder (a link: ignored).
// `creation` (ticks, 0: kept as it is) is written in the same block as
// the attributes, so both cost one write.
DWORD WriteAttributes(const std::string& path, DWORD attributes,
                      ULONGLONG creation = 0);
DWORD WriteCreationTime(const std::string& path, ULONGLONG creation);
// Copies the layer's extended attributes from one file to another.
void CopyLayerXattrs(const std::string& from, const std::string& to);
bool IsValidShortName(const WCHAR* name);
// Tells GetShortPathNameW that a name, short name or link record may have
// changed, so the folder form it keeps from the call before is stale.
void NoteNameChange();
// The short name reported for a stored one: empty when it is too long to
// be an 8.3 name.
std::u16string ShortNameOf(const std::u16string& stored);

// ---- handles (files.cc) --------------------------------------------------
enum class Kind { kFile, kFolder, kLink, kFind };

struct FindEntry {
  std::string name;
  std::u16string wideName;
};

struct Handle {
  uint32_t magic = 0x4B56484Eu;
  Kind kind = Kind::kFile;
  int fd = -1;
  std::string openedPath;  // the POSIX path it was opened by
  // The real object's path, for the calls that act on the handle by path:
  // worked out at the first such call (files.cc), so that a handle used
  // only to read or write data costs no lookup.
  const std::string& Path();
  DWORD access = 0;
  DWORD share = 0;
  dev_t dev = 0;
  ino_t ino = 0;
  bool registered = false;  // in the share table
  // A handle NtCreateFile opened relative to a folder: that folder's
  // handle (kept alive with it) and the name there, so a removal or a
  // link put in its place acts inside that folder, never by a path.
  std::shared_ptr<Handle> openedIn;
  std::string nameInFolder;
  std::atomic<uint64_t> unflushedBytes{0};  // written since writeback began
  // Find handles only.
  std::string folder;
  std::vector<FindEntry> entries;
  size_t next = 0;
 private:
  std::mutex pathLock_;  // a lock, not a once_flag: glibc wakes waiters
  bool pathKnown_ = false;  // of a once_flag with a system call each time
  std::string path_;
};

// A handle in use. The table owns every live handle through one of these
// and each lookup hands out another, so a CloseHandle on another thread
// only drops the table's reference: the Handle, and its descriptor, go
// when the last user lets go, never while a call still works with it.
typedef std::shared_ptr<Handle> HandleRef;

// Registers a new handle and returns it as HANDLE. On success the table
// owns it (`handle` is left empty) and closes its descriptor when the
// last reference goes; on failure it is left to the caller.
HANDLE AddHandle(std::unique_ptr<Handle>& handle);
// The live handle of that kind, or null with 6.
HandleRef LookHandle(HANDLE handle, Kind kind);
HandleRef LookFileHandle(HANDLE handle);  // file, folder or link
// Removes from the table (and the share table) and drops the table's
// reference. False with 6 when it was not a live handle of that kind.
bool TakeHandle(HANDLE handle, Kind kind);
// Re-points an open handle at a new object (after a reparse point
// replaced it), keeping the share registration in step.
void MoveHandle(Handle* handle, int fd, Kind kind, const struct stat& st);
// True when another open of `path` (dev/ino in `st`), of this process or
// another, refuses this delete.
bool DeleteRefused(const std::string& path, const struct stat& st);

// Wraps an open descriptor (`st` its fstat) in a registered handle, owned
// by the table on success; `openedPath` is kept for the calls that act by
// path. On failure (32 a share conflict, 8) the descriptor is closed and
// INVALID_HANDLE_VALUE returned with the code set.
HANDLE RegisterDescriptor(int fd, Kind kind, const std::string& openedPath,
                          DWORD access, DWORD share, const struct stat& st);

// Opens (O_PATH) the folder holding the object open as `h` and gives its
// name there in `*name`, checked to name that very object (device and
// inode): the folder it was opened in by NtCreateFile when its name there
// still names it, else the folder its current path names. -1 with errno
// (ENOENT when no name of it is found there).
int OpenFolderHolding(Handle& h, std::string* name);

// "/proc/self/fd/N": a path that, followed, names the object open as `fd`
// itself, whatever has happened to its names since. The layer's metadata
// calls take it in place of a path, so that a handle's metadata is
// written through its descriptor: for such a path they follow the last
// step (it is the kernel's own link to the object) where they would
// otherwise not follow a link at the end of a path.
std::string FdPath(int fd);
bool IsFdPath(const std::string& path);
// The path the metadata of an open handle is written by: its FdPath for
// a file or folder, its real path for a link (a link's own metadata is
// kept by the folder holding it, links.cc).
std::string MetadataPath(Handle& h);

// FSCTL_QUERY_ALLOCATED_RANGES on an open file (sparse.cc).
BOOL QueryAllocatedRanges(const HandleRef& h, LPVOID in, DWORD inSize,
                          LPVOID out, DWORD outSize, LPDWORD returned);

bool WantsRead(DWORD access);
bool WantsWrite(DWORD access);
// Windows' read-only for a file: no write permission bit at all.
inline bool ModeIsReadOnly(mode_t mode) { return (mode & 0222) == 0; }

// ---- links.cc ------------------------------------------------------------
// What a symbolic link was given, kept by the folder holding it.
struct LinkInfo {
  DWORD attributes = 0;    // bits beyond the derived 0x400 / 0x10
  ULONGLONG creation = 0;  // 0: none kept
  std::string shortName;   // UTF-8, empty: none
};
// False when nothing is kept for the link at `linkPath`.
bool ReadLinkInfo(const std::string& linkPath, LinkInfo* info);
// Best effort: a folder that takes no more attributes keeps nothing.
void WriteLinkInfo(const std::string& linkPath, const LinkInfo& info);

// ---- reparse.cc ----------------------------------------------------------
// The tag a symbolic link is reported with: IO_REPARSE_TAG_MOUNT_POINT for
// a link to a folder, IO_REPARSE_TAG_SYMLINK for any other.
DWORD LinkTag(const std::string& path);

// ---- security.cc ---------------------------------------------------------
// The descriptor of `path`: stored bytes, or one built from the owner,
// group and mode. Returns 0 or a Windows code.
DWORD DescriptorOf(const std::string& path, std::vector<uint8_t>* out);
// The same of what an open handle holds, through its descriptor.
DWORD HandleDescriptorOf(const Handle& handle, std::vector<uint8_t>* out);

// ---- fault switch (faults.cc), for tests only -----------------------------
// Only a program linked with the kvfaults build of faults.cc (the test
// programs) has the members below but TakeFault; elsewhere TakeFault
// always answers kOff.
// The counted calls are CreateFileW, ReadFile, WriteFile, SetFilePointerEx
// and FlushFileBuffers, numbered from 1 after the switch is set.
enum class FaultMode {
  kOff,
  kCount,  // count only
  kFail,   // the call numbered `at` fails (112 for writes and flushes)
  kShort,  // it comes up short: a read returns half, a write stores half
           // and fails with 112; the other calls fail
  kEnd,    // a read finds the end of the file (0 bytes), as when the file
           // shrank while it was read; the other calls fail
  kKill,   // it raises SIGKILL
};
// The calls counted, as a mask.
enum FaultCall : unsigned {
  kFaultCreate = 1,
  kFaultRead = 2,
  kFaultWrite = 4,
  kFaultSeek = 8,
  kFaultFlush = 16,
  kFaultAnyCall = 31,
};
// Counts the calls of `calls` from now on; the one numbered `at` does
// what `mode` says.
void KvFaultInjectAfter(FaultMode mode, unsigned long long at,
                        unsigned calls = kFaultAnyCall);
unsigned long long KvFaultCalls();
bool KvFaultFired();
// Called by each counted call: kOff, or what this call must do.
FaultMode TakeFault(FaultCall call);

// ---- retry --------------------------------------------------------------
template <typename F>
auto RetryEintr(F f) -> decltype(f()) {
  decltype(f()) r;
  do {
    r = f();
  } while (r == -1 && errno == EINTR);
  return r;
}

}  // namespace kvposix

#endif  // KVMORVEL_PLATFORM_POSIX_LAYER_H
