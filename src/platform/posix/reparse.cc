// SPDX-License-Identifier: GPL-2.0-or-later
// Reparse points and the other device controls.
//
// A symbolic link is a reparse point: FSCTL_GET_REPARSE_POINT describes a
// link to a folder by an absolute path as IO_REPARSE_TAG_MOUNT_POINT with
// substitute name "\??\" + the Windows path of its target and that path
// as print name, and any other link as IO_REPARSE_TAG_SYMLINK: a relative
// one (to a folder or a file) keeps its text, "\" separated, with the
// relative flag (1), as Windows reports its own relative links, so a
// restored copy leads to the same place beside it.
// FSCTL_SET_REPARSE_POINT with one of these tags replaces an empty folder
// or file (or a link) by a link to the print name mapped through the
// layer; relative text stays relative and is never resolved here. Any
// other tag is kept as the buffer's bytes in user.kvmorvel.reparse.
#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <cstring>

#include "common/le_bytes.h"
#include "layer.h"

using namespace kvposix;

namespace {

const size_t kHeader = 8;   // tag, data length, reserved
const size_t kGuidHeader = 24;

void PutWide(std::vector<uint8_t>& b, const std::u16string& s) {
  for (char16_t c : s) AppendU16(b, c);
}

std::u16string Backslashes(std::string path) {
  for (char& c : path)
    if (c == '/') c = '\\';
  return ToWideName(path);
}

// The text of the link at `path`, or with `fd` (>= 0, an O_PATH
// descriptor of the link itself) of that link, whatever the path names now.
bool ReadLinkText(const std::string& path, std::string* link, int fd = -1) {
  std::vector<char> target(PATH_MAX + 1);
  const ssize_t n = fd >= 0 ? readlinkat(fd, "", target.data(), PATH_MAX)
                            : readlink(path.c_str(), target.data(), PATH_MAX);
  if (n < 0) return false;
  link->assign(target.data(), static_cast<size_t>(n));
  return true;
}

// As Windows tags its own links: a mount point names an absolute folder,
// so only a link to a folder by an absolute path is one; a relative link
// to a folder is a symbolic link (relative flag), which keeps its text.
DWORD TagOf(const std::string& path, const std::string& link) {
  struct stat st;
  const bool folder = stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  const bool absolute = !link.empty() && link[0] == '/';
  return folder && absolute ? IO_REPARSE_TAG_MOUNT_POINT : IO_REPARSE_TAG_SYMLINK;
}

// The reparse buffer describing the link at `path` (read through `fd`
// when it is the link's descriptor; the path then only tells whether the
// target is a folder).
bool LinkBuffer(const std::string& path, std::vector<uint8_t>* out, int fd = -1) {
  std::string link;
  if (!ReadLinkText(path, &link, fd)) return FailErrno(errno);
  const bool mountPoint = TagOf(path, link) == IO_REPARSE_TAG_MOUNT_POINT;
  const bool relative = link.empty() || link[0] != '/';
  std::u16string substitute, print;
  if (relative) {
    substitute = print = Backslashes(link);
  } else {
    print = ToWindowsPath(link);
    substitute = u"\\??\\" + print;
  }
  const size_t fixed = mountPoint ? 8 : 12;
  const size_t names = (substitute.size() + print.size() + 2) * 2;
  if (fixed + names > MAXIMUM_REPARSE_DATA_BUFFER_SIZE - kHeader)
    return Fail(ERROR_INVALID_REPARSE_DATA);
  std::vector<uint8_t>& b = *out;
  b.clear();
  AppendU32(b, mountPoint ? IO_REPARSE_TAG_MOUNT_POINT : IO_REPARSE_TAG_SYMLINK);
  AppendU16(b, fixed + names);
  AppendU16(b, 0);
  AppendU16(b, 0);                            // substitute name offset
  AppendU16(b, substitute.size() * 2);        // and length
  AppendU16(b, (substitute.size() + 1) * 2);  // print name offset
  AppendU16(b, print.size() * 2);             // and length
  if (!mountPoint) AppendU32(b, relative ? SYMLINK_FLAG_RELATIVE : 0);
  PutWide(b, substitute);
  AppendU16(b, 0);
  PutWide(b, print);
  AppendU16(b, 0);
  return true;
}

// Read through the handle's descriptor: what the handle holds, never what
// its path names now.
BOOL GetReparse(const HandleRef& h, LPVOID out, DWORD outSize, LPDWORD returned) {
  struct stat st;
  if (fstatat(h->fd, "", &st, AT_EMPTY_PATH) != 0) return FailErrno(errno);
  std::vector<uint8_t> buffer;
  if (S_ISLNK(st.st_mode)) {
    if (!LinkBuffer(h->Path(), &buffer, h->fd)) return FALSE;
  } else if (!ReadXattr(FdPath(h->fd), kReparseName, &buffer) || buffer.size() < kHeader) {
    return Fail(ERROR_NOT_A_REPARSE_POINT);
  }
  if (!out || outSize < buffer.size()) return Fail(ERROR_INSUFFICIENT_BUFFER);
  memcpy(out, buffer.data(), buffer.size());
  if (returned) *returned = static_cast<DWORD>(buffer.size());
  return TRUE;
}

// The POSIX target named by a mount point or symbolic link buffer.
bool TargetOf(const uint8_t* in, size_t size, DWORD tag, std::string* target) {
  const size_t fixed = tag == IO_REPARSE_TAG_SYMLINK ? 12 : 8;
  if (size < kHeader + fixed) return Fail(ERROR_INVALID_REPARSE_DATA);
  const uint8_t* names = in + kHeader + fixed;
  const size_t room = size - kHeader - fixed;
  const size_t subOff = LoadU16(in + 8), subLen = LoadU16(in + 10);
  const size_t printOff = LoadU16(in + 12), printLen = LoadU16(in + 14);
  const bool relative = tag == IO_REPARSE_TAG_SYMLINK && (LoadU32(in + 16) & SYMLINK_FLAG_RELATIVE);
  if (subOff + subLen > room || printOff + printLen > room || (subOff | subLen | printOff | printLen) & 1)
    return Fail(ERROR_INVALID_REPARSE_DATA);
  const bool usePrint = printLen > 0;
  const uint8_t* name = names + (usePrint ? printOff : subOff);
  const size_t length = (usePrint ? printLen : subLen) / 2;
  if (length == 0) return Fail(ERROR_INVALID_REPARSE_DATA);
  std::u16string wide;
  for (size_t i = 0; i < length; ++i) wide += static_cast<char16_t>(LoadU16(name + 2 * i));
  if (relative) {
    if (!ToNarrowName(reinterpret_cast<const WCHAR*>(wide.data()), wide.size(), target))
      return Fail(ERROR_INVALID_REPARSE_DATA);
    for (char& c : *target)
      if (c == '\\') c = '/';
    return true;
  }
  return ToPosixPath(reinterpret_cast<const WCHAR*>(wide.c_str()), target);
}

// Puts back what a failed replacement removed, as `name` in `dir`.
void Restore(int dir, const std::string& name, const struct stat& st) {
  if (S_ISDIR(st.st_mode)) {
    mkdirat(dir, name.c_str(), st.st_mode & 07777);
  } else if (S_ISREG(st.st_mode)) {
    const int fd = openat(dir, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                          st.st_mode & 07777);
    if (fd >= 0) close(fd);
  }
}

// Replaces the empty file or folder open as `h` by a link to `target`,
// inside the folder holding it (never by a path walked again), and points
// the handle at the link.
BOOL ReplaceByLink(const HandleRef& h, const std::string& target, DWORD tag) {
  struct stat st;
  if (fstat(h->fd, &st) != 0) return FailErrno(errno);
  if (tag == IO_REPARSE_TAG_MOUNT_POINT && !S_ISDIR(st.st_mode) && !S_ISLNK(st.st_mode))
    return Fail(ERROR_DIRECTORY);
  if (S_ISREG(st.st_mode) && st.st_size != 0)
    return Fail(ERROR_REPARSE_ATTRIBUTE_CONFLICT);  // would lose the data
  std::string name;
  const int dir = OpenFolderHolding(*h, &name);
  if (dir < 0) return FailErrno(errno);
  const bool folder = S_ISDIR(st.st_mode);
  if (unlinkat(dir, name.c_str(), folder ? AT_REMOVEDIR : 0) != 0) {
    const int error = errno;
    close(dir);
    return folder && (error == ENOTEMPTY || error == EEXIST) ? Fail(ERROR_DIR_NOT_EMPTY)
                                                             : FailErrno(error);
  }
  NoteNameChange();
  if (symlinkat(target.c_str(), dir, name.c_str()) != 0) {
    const int error = errno;
    Restore(dir, name, st);
    close(dir);
    return FailErrno(error);
  }
  const int fd = openat(dir, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
  const int error = errno;
  close(dir);
  struct stat now;
  if (fd < 0 || fstat(fd, &now) != 0) {
    if (fd >= 0) close(fd);
    return FailErrno(fd < 0 ? error : errno);
  }
  MoveHandle(h.get(), fd, Kind::kLink, now);
  return TRUE;
}

BOOL MakeLink(const HandleRef& h, const uint8_t* in, size_t size, DWORD tag) {
  std::string target;
  if (!TargetOf(in, size, tag, &target)) return FALSE;
  return ReplaceByLink(h, target, tag);
}

BOOL SetReparse(const HandleRef& h, LPVOID in, DWORD inSize) {
  const uint8_t* b = static_cast<const uint8_t*>(in);
  if (!b || inSize < kHeader || inSize > MAXIMUM_REPARSE_DATA_BUFFER_SIZE)
    return Fail(ERROR_INVALID_REPARSE_DATA);
  const DWORD tag = LoadU32(b);
  const size_t header = tag & 0x80000000u ? kHeader : kGuidHeader;
  if (tag == 0 || tag == 1) return Fail(ERROR_REPARSE_TAG_INVALID);
  if (inSize < header || LoadU16(b + 4) + header != inSize)
    return Fail(ERROR_INVALID_REPARSE_DATA);
  if (tag == IO_REPARSE_TAG_MOUNT_POINT || tag == IO_REPARSE_TAG_SYMLINK)
    return MakeLink(h, b, inSize, tag);
  if (h->kind == Kind::kLink) return Fail(ERROR_REPARSE_ATTRIBUTE_CONFLICT);
  const int error = WriteXattr(MetadataPath(*h), kReparseName, std::vector<uint8_t>(b, b + inSize));
  return error ? FailErrno(error) : TRUE;
}

BOOL SetCompression(const HandleRef& h, LPVOID in, DWORD inSize) {
  if (!in || inSize < 2) return Fail(ERROR_INVALID_PARAMETER);
  if (h->kind == Kind::kLink) return TRUE;
  const uint16_t format = LoadU16(static_cast<const uint8_t*>(in));
  Metadata meta;
  if (const DWORD code = ReadMetadata(MetadataPath(*h), &meta)) return Fail(code);
  DWORD attributes = meta.attributes & ~FILE_ATTRIBUTE_COMPRESSED;
  if (format != COMPRESSION_FORMAT_NONE) attributes |= FILE_ATTRIBUTE_COMPRESSED;
  if (const DWORD code = WriteAttributes(MetadataPath(*h), attributes)) return Fail(code);
  return TRUE;
}

}  // namespace

namespace kvposix {

DWORD LinkTag(const std::string& path) {
  std::string link;
  ReadLinkText(path, &link);  // unreadable: no absolute text, a symbolic link
  return TagOf(path, link);
}

}  // namespace kvposix

BOOL DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD inSize,
                     LPVOID out, DWORD outSize, LPDWORD returned,
                     LPOVERLAPPED overlapped) {
  if (returned) *returned = 0;
  HandleRef h = LookFileHandle(device);
  if (!h) return FALSE;
  switch (code) {
    case FSCTL_GET_REPARSE_POINT: return GetReparse(h, out, outSize, returned);
    case FSCTL_SET_REPARSE_POINT: return SetReparse(h, in, inSize);
    case FSCTL_SET_COMPRESSION: return SetCompression(h, in, inSize);
    case FSCTL_QUERY_ALLOCATED_RANGES:
      return QueryAllocatedRanges(h, in, inSize, out, outSize, returned);
    default: return Fail(ERROR_INVALID_FUNCTION);
  }
}
