// DOS attributes, creation time and 8.3 short names, kept in extended
// attributes beside the POSIX metadata:
//   user.DOSATTRIB           read-only, hidden, system, archive (and the
//                            folder bit) plus the creation time, in
//                            Samba's layout (dosattrib.cc)
//   user.kvmorvel.attributes the other bits (temporary, sparse,
//                            compressed, offline, not indexed,
//                            encrypted, ...) as a little-endian u32
//   user.kvmorvel.shortname  the 8.3 name, UTF-8
// Read-only on a file is the absence of every write permission bit; on a
// folder it lives in user.DOSATTRIB alone. A symbolic link takes no user
// attributes on Linux: 0x400 (and 0x10) and its times are derived, and
// what it is given beyond that is kept by its folder (links.cc).
#include <fcntl.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstring>

#include "common/le_bytes.h"
#include "layer.h"

namespace kvposix {

const char kDosAttribName[] = "user.DOSATTRIB";
const char kExtraAttribName[] = "user.kvmorvel.attributes";
const char kShortName[] = "user.kvmorvel.shortname";
const char kSecurityName[] = "user.kvmorvel.security";
const char kReparseName[] = "user.kvmorvel.reparse";

namespace {

// The bits Samba keeps in user.DOSATTRIB.
const DWORD kSambaBits = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                         FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_DIRECTORY |
                         FILE_ATTRIBUTE_ARCHIVE;
// Bits that describe what the object is rather than what was set on it.
const DWORD kDerivedBits = FILE_ATTRIBUTE_DEVICE | FILE_ATTRIBUTE_NORMAL |
                           FILE_ATTRIBUTE_REPARSE_POINT;
const DWORD kExtraBits = ~(kSambaBits | kDerivedBits);
// What a link may be given: everything but what it is.
const DWORD kLinkBits = ~(kDerivedBits | FILE_ATTRIBUTE_DIRECTORY);

bool ReadU32Xattr(const std::string& path, const char* name, DWORD* value) {
  std::vector<uint8_t> b;
  if (!ReadXattr(path, name, &b) || b.size() < 4) return false;
  *value = LoadU32(b.data());
  return true;
}

// Birth time when the file system keeps one, else the modification time.
ULONGLONG BirthOrWrite(const std::string& path, const struct stat& st) {
  struct statx sx;
  if (statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BTIME, &sx) ==
          0 &&
      (sx.stx_mask & STATX_BTIME)) {
    struct timespec t;
    t.tv_sec = sx.stx_btime.tv_sec;
    t.tv_nsec = sx.stx_btime.tv_nsec;
    return FileTimeFromTimespec(t);
  }
  return FileTimeFromTimespec(st.st_mtim);
}

DosInfo ReadDosInfo(const std::string& path) {
  std::vector<uint8_t> blob;
  if (!ReadXattr(path, kDosAttribName, &blob)) return DosInfo();
  return DecodeDosAttrib(blob);
}

void LinkMetadata(const std::string& path, const struct stat& st,
                  Metadata* meta) {
  struct stat target;
  const bool folder = stat(path.c_str(), &target) == 0 && S_ISDIR(target.st_mode);
  meta->isLink = true;
  meta->attributes = FILE_ATTRIBUTE_REPARSE_POINT |
                     (folder ? FILE_ATTRIBUTE_DIRECTORY : 0);
  meta->reparseTag = LinkTag(path);
  meta->size = 0;
}

// The attributes of a file or folder as stored, with read-only of a file
// taken from its mode.
DWORD StoredAttributes(const std::string& path, const struct stat& st,
                       const DosInfo& dos) {
  const bool folder = S_ISDIR(st.st_mode);
  DWORD a = dos.hasAttributes ? dos.attributes & kSambaBits
                              : (folder ? 0 : FILE_ATTRIBUTE_ARCHIVE);
  DWORD extra = 0;
  if (ReadU32Xattr(path, kExtraAttribName, &extra)) a |= extra & kExtraBits;
  a &= ~FILE_ATTRIBUTE_DIRECTORY;
  if (folder) a |= FILE_ATTRIBUTE_DIRECTORY;
  if (!folder) {
    a &= ~FILE_ATTRIBUTE_READONLY;
    if (ModeIsReadOnly(st.st_mode)) a |= FILE_ATTRIBUTE_READONLY;
  }
  return a;
}

// Writes user.DOSATTRIB; a file system without user attributes is fine
// as long as nothing but defaults had to be kept.
DWORD WriteDos(const std::string& path, DWORD attributes, ULONGLONG creation,
               bool mustKeep) {
  const int error =
      WriteXattr(path, kDosAttribName, EncodeDosAttrib(attributes, creation));
  if (error == 0 || (error == ENOTSUP && !mustKeep)) return 0;
  return CodeFromErrno(error);
}

}  // namespace

bool ReadXattr(const std::string& path, const char* name,
               std::vector<uint8_t>* value) {
  for (int attempt = 0; attempt < 4; ++attempt) {
    const ssize_t size = getxattr(path.c_str(), name, nullptr, 0);
    if (size < 0) return false;
    value->resize(static_cast<size_t>(size));
    const ssize_t n = getxattr(path.c_str(), name, value->data(), value->size());
    if (n >= 0) {
      value->resize(static_cast<size_t>(n));
      return true;
    }
    if (errno != ERANGE) return false;  // grew meanwhile: ask again
  }
  return false;
}

namespace {
// Runs a change of user attributes. Linux wants write permission for it,
// even from the owner, where Windows keeps a read-only file's attributes
// changeable: the owner's write bit is lent for the call.
template <typename Change>
int ChangeXattrs(const std::string& path, Change change) {
  if (change() == 0) return 0;
  const int error = errno;
  struct stat st;
  if (error != EACCES || stat(path.c_str(), &st) != 0 || st.st_uid != geteuid() ||
      (st.st_mode & S_IWUSR) || chmod(path.c_str(), (st.st_mode & 07777) | S_IWUSR) != 0)
    return error;
  const int result = change() == 0 ? 0 : errno;
  chmod(path.c_str(), st.st_mode & 07777);
  return result;
}
}  // namespace

int WriteXattr(const std::string& path, const char* name,
               const std::vector<uint8_t>& value) {
  return ChangeXattrs(path, [&] {
    return setxattr(path.c_str(), name, value.data(), value.size(), 0);
  });
}

int RemoveXattr(const std::string& path, const char* name) {
  const int error = ChangeXattrs(path, [&] { return removexattr(path.c_str(), name); });
  return error == ENODATA ? 0 : error;
}

DWORD ReadMetadata(const std::string& path, Metadata* meta) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return CodeForPath(errno, path);
  *meta = Metadata();
  meta->access = FileTimeFromTimespec(st.st_atim);
  meta->write = FileTimeFromTimespec(st.st_mtim);
  if (S_ISLNK(st.st_mode)) {
    LinkMetadata(path, st, meta);
    LinkInfo kept;
    const bool hasKept = ReadLinkInfo(path, &kept);
    meta->attributes |= kept.attributes & kLinkBits;
    meta->creation = hasKept && kept.creation ? kept.creation : BirthOrWrite(path, st);
    return 0;
  }
  const DosInfo dos = ReadDosInfo(path);
  meta->attributes = StoredAttributes(path, st, dos);
  std::vector<uint8_t> reparse;
  if (ReadXattr(path, kReparseName, &reparse) && reparse.size() >= 4) {
    meta->attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
    meta->reparseTag = LoadU32(reparse.data());
  }
  if (meta->attributes == 0) meta->attributes = FILE_ATTRIBUTE_NORMAL;
  meta->creation = dos.hasCreation ? dos.creation : BirthOrWrite(path, st);
  meta->size = S_ISREG(st.st_mode) ? static_cast<ULONGLONG>(st.st_size) : 0;
  return 0;
}

DWORD WriteAttributes(const std::string& path, DWORD attributes) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return CodeForPath(errno, path);
  if (S_ISLNK(st.st_mode)) {
    LinkInfo kept;
    ReadLinkInfo(path, &kept);
    kept.attributes = attributes & kLinkBits;
    WriteLinkInfo(path, kept);
    return 0;
  }
  const bool folder = S_ISDIR(st.st_mode);
  if (!folder) {
    const bool readOnly = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
    mode_t mode = st.st_mode & 07777;
    if (readOnly) mode &= ~0222;
    else if (ModeIsReadOnly(mode)) mode |= 0200;
    if (mode != (st.st_mode & 07777) && chmod(path.c_str(), mode) != 0)
      return CodeFromErrno(errno);
  }
  const DosInfo dos = ReadDosInfo(path);
  const DWORD samba = (attributes & kSambaBits & ~FILE_ATTRIBUTE_DIRECTORY) |
                      (folder ? FILE_ATTRIBUTE_DIRECTORY : 0);
  const ULONGLONG creation = dos.hasCreation ? dos.creation : BirthOrWrite(path, st);
  const DWORD keep = attributes & ~(FILE_ATTRIBUTE_READONLY | kDerivedBits |
                                    FILE_ATTRIBUTE_DIRECTORY);
  const bool mustKeep = keep != 0 && keep != FILE_ATTRIBUTE_ARCHIVE;
  const DWORD code = WriteDos(path, samba, creation,
                              mustKeep || (folder && (attributes & FILE_ATTRIBUTE_READONLY)));
  if (code) return code;
  const DWORD extra = attributes & kExtraBits;
  int error;
  if (extra) {
    std::vector<uint8_t> b;
    AppendU32(b, extra);
    error = WriteXattr(path, kExtraAttribName, b);
  } else {
    error = RemoveXattr(path, kExtraAttribName);
    if (error == ENOTSUP) error = 0;
  }
  return error ? CodeFromErrno(error) : 0;
}

DWORD WriteCreationTime(const std::string& path, ULONGLONG creation) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return CodeForPath(errno, path);
  if (S_ISLNK(st.st_mode)) {  // no call sets a birth time
    LinkInfo kept;
    ReadLinkInfo(path, &kept);
    kept.creation = creation;
    WriteLinkInfo(path, kept);
    return 0;
  }
  const DosInfo dos = ReadDosInfo(path);
  const DWORD samba = (dos.hasAttributes ? dos.attributes
                                         : StoredAttributes(path, st, dos)) &
                      kSambaBits;
  return WriteDos(path, samba, creation, true);
}

void CopyLayerXattrs(const std::string& from, const std::string& to) {
  for (const char* name : {kDosAttribName, kExtraAttribName, kShortName,
                           kSecurityName, kReparseName}) {
    std::vector<uint8_t> value;
    if (ReadXattr(from, name, &value))
      WriteXattr(to, name, value);
    else
      RemoveXattr(to, name);
  }
}

bool IsValidShortName(const WCHAR* name) {
  static const char kSpecial[] = "!#$%&'()-@^_`{}~";
  size_t base = 0, ext = 0;
  bool dot = false;
  for (const WCHAR* p = name; *p; ++p) {
    const WCHAR c = *p;
    if (c == '.') {
      if (dot || base == 0) return false;
      dot = true;
      continue;
    }
    const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                    (c >= '0' && c <= '9') ||
                    (c < 0x80 && c && strchr(kSpecial, static_cast<char>(c)));
    if (!ok) return false;
    ++(dot ? ext : base);
  }
  return base >= 1 && base <= 8 && ext <= 3 && (!dot || ext >= 1);
}

std::u16string ReadShortName(const std::string& path) {
  std::string text;
  LinkInfo kept;
  std::vector<uint8_t> b;
  if (ReadLinkInfo(path, &kept))
    text = kept.shortName;
  else if (ReadXattr(path, kShortName, &b))
    text.assign(b.begin(), b.end());
  const std::u16string name = ToWideName(text);
  return name.size() <= 12 ? name : std::u16string();
}

}  // namespace kvposix

using namespace kvposix;

BOOL GetFileAttributesExW(LPCWSTR path, GET_FILEEX_INFO_LEVELS level,
                          LPVOID info) {
  if (level != GetFileExInfoStandard || !info)
    return Fail(ERROR_INVALID_PARAMETER);
  std::string p;
  if (!ToPosixPath(path, &p)) return FALSE;
  Metadata meta;
  if (const DWORD code = ReadMetadata(p, &meta)) return Fail(code);
  WIN32_FILE_ATTRIBUTE_DATA* data = static_cast<WIN32_FILE_ATTRIBUTE_DATA*>(info);
  data->dwFileAttributes = meta.attributes;
  data->ftCreationTime = FromTicks(meta.creation);
  data->ftLastAccessTime = FromTicks(meta.access);
  data->ftLastWriteTime = FromTicks(meta.write);
  data->nFileSizeHigh = static_cast<DWORD>(meta.size >> 32);
  data->nFileSizeLow = static_cast<DWORD>(meta.size);
  return TRUE;
}

DWORD GetFileAttributesW(LPCWSTR path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(path, GetFileExInfoStandard, &data))
    return INVALID_FILE_ATTRIBUTES;
  return data.dwFileAttributes;
}

BOOL SetFileAttributesW(LPCWSTR path, DWORD attributes) {
  std::string p;
  if (!ToPosixPath(path, &p)) return FALSE;
  if (const DWORD code = WriteAttributes(p, attributes)) return Fail(code);
  return TRUE;
}

BOOL SetFileShortNameW(HANDLE file, LPCWSTR shortName) {
  HandleRef h = LookFileHandle(file);
  if (!h) return FALSE;
  if (!shortName) return Fail(ERROR_INVALID_PARAMETER);
  if (*shortName && !IsValidShortName(shortName)) return Fail(ERROR_INVALID_PARAMETER);
  std::string narrow;
  ToNarrowName(shortName, WideLength(shortName), &narrow);
  if (h->kind == Kind::kLink) {
    LinkInfo kept;
    ReadLinkInfo(h->path, &kept);
    kept.shortName = narrow;
    WriteLinkInfo(h->path, kept);
    return TRUE;
  }
  const int error =
      narrow.empty() ? RemoveXattr(h->path, kShortName)
                     : WriteXattr(h->path, kShortName,
                                  std::vector<uint8_t>(narrow.begin(), narrow.end()));
  return error ? FailErrno(error) : TRUE;
}
