// SPDX-License-Identifier: GPL-2.0-or-later
// DOS attributes, creation time and 8.3 short names, kept in extended
// attributes beside the POSIX metadata:
//   user.DOSATTRIB           read-only, hidden, system, archive (and the
//                            folder bit) plus the creation time, in
//                            Samba's layout (dosattrib.cc)
//   user.kvmorvel.attributes the other bits (temporary, sparse,
//                            compressed, offline, not indexed,
//                            encrypted, ...) as a little-endian u32
//   user.kvmorvel.shortname  the 8.3 name, UTF-8
// Read-only on a file is kept both ways, in user.DOSATTRIB and as the
// absence of every write permission bit, and read from the blob when Samba's
// binary block is there, else from the mode; on a folder it lives in
// user.DOSATTRIB alone. A symbolic link takes no user
// attributes on Linux: 0x400 (and 0x10) and its times are derived, and
// what it is given beyond that is kept by its folder (links.cc).
#include <fcntl.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstring>
#include <mutex>

#include "common/le_bytes.h"
#include "layer.h"

namespace kvposix {

const char kDosAttribName[] = "user.DOSATTRIB";
const char kExtraAttribName[] = "user.kvmorvel.attributes";
const char kShortName[] = "user.kvmorvel.shortname";
const char kSecurityName[] = "user.kvmorvel.security";
const char kReparseName[] = "user.kvmorvel.reparse";
const char kLinksName[] = "user.kvmorvel.links";
const char kNtaclName[] = "security.NTACL";
const char kAccessAclName[] = "system.posix_acl_access";
const char kDefaultAclName[] = "system.posix_acl_default";
const char* const LayerXattrs::kNames[] = {kDosAttribName, kExtraAttribName, kShortName,
                                           kSecurityName, kReparseName,     kLinksName,
                                           kNtaclName,    kAccessAclName,   kDefaultAclName};

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
ULONGLONG BirthOrWrite(const struct statx& sx) {
  return FileTimeFromTimespec((sx.stx_mask & STATX_BTIME) ? ToTimespec(sx.stx_btime)
                                                          : ToTimespec(sx.stx_mtime));
}

// user.DOSATTRIB as stored (empty when absent), read only when listed.
std::vector<uint8_t> ReadDosBlob(const std::string& path, const LayerXattrs& names) {
  std::vector<uint8_t> blob;
  if (!names.Has(kDosAttribName) || !ReadXattr(path, kDosAttribName, &blob))
    blob.clear();
  return blob;
}

DosInfo DecodeDosBlob(const std::vector<uint8_t>& blob) {
  return blob.empty() ? DosInfo() : DecodeDosAttrib(blob);
}

void LinkMetadata(const std::string& path, Metadata* meta) {
  struct stat target;
  const bool folder = stat(path.c_str(), &target) == 0 && S_ISDIR(target.st_mode);
  meta->isLink = true;
  meta->attributes = FILE_ATTRIBUTE_REPARSE_POINT |
                     (folder ? FILE_ATTRIBUTE_DIRECTORY : 0);
  meta->reparseTag = LinkTag(path);
  meta->size = 0;
}

// The bits Samba keeps of a file or folder (the folder bit from its type).
// Read-only of a file is Samba's binary block's when there is one (Samba
// keeps it there alone and never in the mode); without one, or with the
// bare hex string Wine writes, it is the mode's.
DWORD SambaAttributes(mode_t mode, const DosInfo& dos) {
  const bool folder = S_ISDIR(mode);
  DWORD a = dos.hasAttributes ? dos.attributes & kSambaBits
                              : (folder ? 0 : FILE_ATTRIBUTE_ARCHIVE);
  a &= ~FILE_ATTRIBUTE_DIRECTORY;
  if (folder) a |= FILE_ATTRIBUTE_DIRECTORY;
  if (!folder && !dos.fromBlock) {
    a &= ~FILE_ATTRIBUTE_READONLY;
    if (ModeIsReadOnly(mode)) a |= FILE_ATTRIBUTE_READONLY;
  }
  return a;
}

// The attributes of a file or folder as stored.
DWORD StoredAttributes(const std::string& path, mode_t mode, const DosInfo& dos,
                       const LayerXattrs& names) {
  DWORD a = SambaAttributes(mode, dos);
  DWORD extra = 0;
  if (names.Has(kExtraAttribName) && ReadU32Xattr(path, kExtraAttribName, &extra))
    a |= extra & kExtraBits;
  return a;
}

// Writes user.DOSATTRIB; a file system without user attributes is fine
// as long as nothing but defaults had to be kept. Bytes equal to those
// already stored are not written again.
DWORD WriteDos(const std::string& path, DWORD attributes, ULONGLONG creation,
               bool mustKeep, const std::vector<uint8_t>& stored) {
  const std::vector<uint8_t> blob = EncodeDosAttrib(attributes, creation);
  if (blob == stored) return 0;
  const int error = WriteXattr(path, kDosAttribName, blob);
  if (error == 0 || (error == ENOTSUP && !mustKeep)) return 0;
  return CodeFromErrno(error);
}

}  // namespace

namespace {

// The first buffer a value is read into: every attribute the layer writes
// but a long descriptor or reparse buffer fits, so one call reads it.
const size_t kFirstXattrGuess = 512;

// One getxattr (lgetxattr when `follow` is false) into a buffer that
// usually suffices; the size is asked only when it did not.
bool ReadXattrAs(const std::string& path, const char* name, bool follow,
                 std::vector<uint8_t>* value) {
  size_t room = kFirstXattrGuess;
  for (int attempt = 0; attempt < 4; ++attempt) {
    value->resize(room);
    const ssize_t n = follow ? getxattr(path.c_str(), name, value->data(), room)
                             : lgetxattr(path.c_str(), name, value->data(), room);
    if (n >= 0) {
      value->resize(static_cast<size_t>(n));
      return true;
    }
    if (errno != ERANGE) break;
    const ssize_t size = follow ? getxattr(path.c_str(), name, nullptr, 0)
                                : lgetxattr(path.c_str(), name, nullptr, 0);
    if (size < 0) break;
    room = static_cast<size_t>(size) + 1;  // grew meanwhile: ask again
  }
  value->clear();
  return false;
}

}  // namespace

bool ReadXattr(const std::string& path, const char* name,
               std::vector<uint8_t>* value) {
  return ReadXattrAs(path, name, true, value);
}

bool ReadOwnXattr(const std::string& path, const char* name,
                  std::vector<uint8_t>* value) {
  return ReadXattrAs(path, name, IsFdPath(path), value);
}

LayerXattrs ListLayerXattrs(const std::string& path, int* error) {
  LayerXattrs names;
  if (error) *error = 0;
  // Most objects carry few attributes: the first listing goes into a
  // buffer on the stack, and only a longer list is asked for again.
  char first[1024];
  std::vector<char> list;
  const bool follow = IsFdPath(path);  // the descriptor's object itself
  for (int attempt = 0; attempt < 4; ++attempt) {
    char* into = attempt == 0 ? first : list.data();
    const size_t room = attempt == 0 ? sizeof first : list.size();
    const ssize_t n = follow ? listxattr(path.c_str(), into, room)
                             : llistxattr(path.c_str(), into, room);
    if (n >= 0) {
      names.Take(into, static_cast<size_t>(n));
      return names;
    }
    if (errno != ERANGE) break;
    const ssize_t size = follow ? listxattr(path.c_str(), nullptr, 0)
                                : llistxattr(path.c_str(), nullptr, 0);
    if (size < 0) break;
    list.resize(static_cast<size_t>(size) + 1);
  }
  if (errno == ENOTSUP) names.Take(nullptr, 0);  // none can be kept here
  else if (error) *error = errno;
  return names;
}

void LayerXattrs::Take(const char* list, size_t length) {
  listed_ = true;
  for (size_t at = 0; at < length;) {
    const char* name = list + at;
    const size_t n = strnlen(name, length - at);
    for (size_t i = 0; i < kCount; ++i)
      if (strcmp(name, kNames[i]) == 0) present_ |= 1u << i;
    at += n + 1;
  }
}

bool LayerXattrs::Has(const char* name) const {
  if (!listed_) return true;  // not listed: each is asked for itself
  for (size_t i = 0; i < kCount; ++i)
    if (strcmp(name, kNames[i]) == 0) return (present_ >> i) & 1;
  return true;
}

int StatusOf(const std::string& path, struct statx* sx) {
  // A descriptor's path is followed to the object open by it.
  const int flags = IsFdPath(path) ? 0 : AT_SYMLINK_NOFOLLOW;
  return statx(AT_FDCWD, path.c_str(), flags,
               STATX_BASIC_STATS | STATX_BTIME, sx) == 0 ? 0 : errno;
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
  if (strcmp(name, kShortName) == 0 || strcmp(name, kLinksName) == 0) NoteNameChange();
  return ChangeXattrs(path, [&] {
    return setxattr(path.c_str(), name, value.data(), value.size(), 0);
  });
}

int RemoveXattr(const std::string& path, const char* name) {
  if (strcmp(name, kShortName) == 0 || strcmp(name, kLinksName) == 0) NoteNameChange();
  const int error = ChangeXattrs(path, [&] { return removexattr(path.c_str(), name); });
  return error == ENODATA ? 0 : error;
}

namespace {

// The metadata of an object whose statx is `sx`: a link's from what its
// folder keeps for `path`; a file's or folder's from the attributes read
// at `xattrPath` (a descriptor's FdPath is followed, see IsFdPath).
void MetadataFrom(const struct statx& sx, const std::string& path,
                  const std::string& xattrPath, Metadata* meta) {
  *meta = Metadata();
  meta->access = FileTimeFromTimespec(ToTimespec(sx.stx_atime));
  meta->write = FileTimeFromTimespec(ToTimespec(sx.stx_mtime));
  if (S_ISLNK(sx.stx_mode)) {
    LinkMetadata(path, meta);
    LinkInfo kept;
    const bool hasKept = ReadLinkInfo(path, &kept);
    meta->attributes |= kept.attributes & kLinkBits;
    meta->creation = hasKept && kept.creation ? kept.creation : BirthOrWrite(sx);
    meta->shortName = ToWideName(kept.shortName);
    return;
  }
  const LayerXattrs names = ListLayerXattrs(xattrPath);
  const DosInfo dos = DecodeDosBlob(ReadDosBlob(xattrPath, names));
  meta->attributes = StoredAttributes(xattrPath, sx.stx_mode, dos, names);
  std::vector<uint8_t> reparse;
  if (names.Has(kReparseName) && ReadXattr(xattrPath, kReparseName, &reparse) &&
      reparse.size() >= 4) {
    meta->attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
    meta->reparseTag = LoadU32(reparse.data());
  }
  if (meta->attributes == 0) meta->attributes = FILE_ATTRIBUTE_NORMAL;
  meta->creation = dos.hasCreation ? dos.creation : BirthOrWrite(sx);
  meta->size = S_ISREG(sx.stx_mode) ? static_cast<ULONGLONG>(sx.stx_size) : 0;
  std::vector<uint8_t> shortName;
  if (names.Has(kShortName) && ReadXattr(xattrPath, kShortName, &shortName))
    meta->shortName = ToWideName(std::string(shortName.begin(), shortName.end()));
}

}  // namespace

DWORD ReadMetadata(const std::string& path, Metadata* meta) {
  struct statx sx;
  if (const int error = StatusOf(path, &sx)) return CodeForPath(error, path);
  MetadataFrom(sx, path, path, meta);
  return 0;
}

DWORD ReadHandleMetadata(Handle& handle, Metadata* meta, struct statx* status) {
  struct statx own;
  struct statx& sx = status ? *status : own;
  if (statx(handle.fd, "", AT_EMPTY_PATH, STATX_BASIC_STATS | STATX_BTIME,
            &sx) != 0)
    return CodeFromErrno(errno);
  // A link's kept attributes are its folder's, found by the link's name.
  const bool link = S_ISLNK(sx.stx_mode);
  MetadataFrom(sx, link ? handle.Path() : std::string(), FdPath(handle.fd),
               meta);
  return 0;
}

DWORD WriteAttributes(const std::string& path, DWORD attributes,
                      ULONGLONG creation) {
  struct statx sx;
  if (const int error = StatusOf(path, &sx)) return CodeForPath(error, path);
  if (S_ISLNK(sx.stx_mode)) {
    LinkInfo kept;
    ReadLinkInfo(path, &kept);
    kept.attributes = attributes & kLinkBits;
    if (creation) kept.creation = creation;
    WriteLinkInfo(path, kept);
    return 0;
  }
  const bool folder = S_ISDIR(sx.stx_mode);
  const LayerXattrs names = ListLayerXattrs(path);
  if (!folder) {
    const bool readOnly = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
    mode_t mode = sx.stx_mode & 07777;
    // Clearing read-only gives the owner write back only where the mode
    // is the file's whole descriptor. Where a descriptor is kept beside
    // it (Samba's, ours, a POSIX ACL), the write bits are what that
    // descriptor grants, and no attribute may widen them.
    const bool keepsDescriptor = names.Has(kNtaclName) ||
                                 names.Has(kSecurityName) ||
                                 names.Has(kAccessAclName);
    if (readOnly) mode &= ~0222;
    else if (ModeIsReadOnly(mode) && !keepsDescriptor) mode |= 0200;
    if (mode != (sx.stx_mode & 07777) && chmod(path.c_str(), mode) != 0)
      return CodeFromErrno(errno);
  }
  const std::vector<uint8_t> stored = ReadDosBlob(path, names);
  const DosInfo dos = DecodeDosBlob(stored);
  const DWORD samba = (attributes & kSambaBits & ~FILE_ATTRIBUTE_DIRECTORY) |
                      (folder ? FILE_ATTRIBUTE_DIRECTORY : 0);
  const bool setsCreation = creation != 0;
  if (!setsCreation) creation = dos.hasCreation ? dos.creation : BirthOrWrite(sx);
  const DWORD keep = attributes & ~(FILE_ATTRIBUTE_READONLY | kDerivedBits |
                                    FILE_ATTRIBUTE_DIRECTORY);
  const bool mustKeep = setsCreation || (keep != 0 && keep != FILE_ATTRIBUTE_ARCHIVE) ||
                        (folder && (attributes & FILE_ATTRIBUTE_READONLY));
  const DWORD code = WriteDos(path, samba, creation, mustKeep, stored);
  if (code) return code;
  const DWORD extra = attributes & kExtraBits;
  int error = 0;
  if (extra) {
    std::vector<uint8_t> b;
    AppendU32(b, extra);
    error = WriteXattr(path, kExtraAttribName, b);
  } else if (names.Has(kExtraAttribName)) {
    error = RemoveXattr(path, kExtraAttribName);
    if (error == ENOTSUP) error = 0;
  }
  return error ? CodeFromErrno(error) : 0;
}

DWORD WriteCreationTime(const std::string& path, ULONGLONG creation) {
  struct statx sx;
  if (const int error = StatusOf(path, &sx)) return CodeForPath(error, path);
  if (S_ISLNK(sx.stx_mode)) {  // no call sets a birth time
    LinkInfo kept;
    ReadLinkInfo(path, &kept);
    kept.creation = creation;
    WriteLinkInfo(path, kept);
    return 0;
  }
  const LayerXattrs names = ListLayerXattrs(path);
  const std::vector<uint8_t> stored = ReadDosBlob(path, names);
  const DosInfo dos = DecodeDosBlob(stored);
  // The bits as they read now, so that a read-only bit that only the mode
  // held (no blob, or Wine's hex string) is not lost to the new block.
  return WriteDos(path, SambaAttributes(sx.stx_mode, dos), creation, true, stored);
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

std::u16string ShortNameOf(const std::u16string& stored) {
  return stored.size() <= 12 ? stored : std::u16string();
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
    ReadLinkInfo(h->Path(), &kept);
    kept.shortName = narrow;
    WriteLinkInfo(h->Path(), kept);
    return TRUE;
  }
  const std::string path = MetadataPath(*h);  // through the descriptor
  const int error =
      narrow.empty() ? RemoveXattr(path, kShortName)
                     : WriteXattr(path, kShortName,
                                  std::vector<uint8_t>(narrow.begin(), narrow.end()));
  return error ? FailErrno(error) : TRUE;
}

NTSTATUS NtQueryInformationFile(HANDLE file, PIO_STATUS_BLOCK status,
                                LPVOID info, ULONG length,
                                FILE_INFORMATION_CLASS infoClass) {
  if (infoClass != FileAlternateNameInformation) return STATUS_INVALID_INFO_CLASS;
  if (!status || !info || length < offsetof(FILE_NAME_INFORMATION, FileName))
    return STATUS_INFO_LENGTH_MISMATCH;
  HandleRef h = LookFileHandle(file);
  if (!h) return STATUS_INVALID_HANDLE;
  // One getxattr through the descriptor (a link's from its folder's
  // record): what SetFileShortNameW kept for this very object.
  std::string narrow;
  if (h->kind == Kind::kLink) {
    LinkInfo kept;
    ReadLinkInfo(h->Path(), &kept);
    narrow = kept.shortName;
  } else {
    std::vector<uint8_t> b;
    if (ReadXattr(FdPath(h->fd), kShortName, &b)) narrow.assign(b.begin(), b.end());
  }
  const std::u16string name = ShortNameOf(ToWideName(narrow));
  if (name.empty()) return STATUS_OBJECT_NAME_NOT_FOUND;
  FILE_NAME_INFORMATION* out = static_cast<FILE_NAME_INFORMATION*>(info);
  const size_t bytes = name.size() * sizeof(WCHAR);
  const size_t room = length - offsetof(FILE_NAME_INFORMATION, FileName);
  out->FileNameLength = static_cast<ULONG>(bytes);
  memcpy(out->FileName, name.data(), bytes < room ? bytes : room);
  status->Information = offsetof(FILE_NAME_INFORMATION, FileName) +
                        (bytes < room ? bytes : room);
  status->Status = bytes <= room ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
  return status->Status;
}

namespace {

bool IsWideSeparator(char16_t c) { return c == '\\' || c == '/'; }

// Where the part of a path that names folders and files begins, as
// ToPosixPath reads it: after "\\?\", "\??\" or "\\.\" and a drive letter.
size_t NamesStart(const std::u16string& w) {
  size_t at = 0;
  if (w.compare(0, 4, u"\\\\?\\") == 0 || w.compare(0, 4, u"\\??\\") == 0 ||
      w.compare(0, 4, u"\\\\.\\") == 0)
    at = 4;
  if (w.size() >= at + 2 && w[at + 1] == ':' && w[at] < 0x80 &&
      ((w[at] | 0x20) >= 'a' && (w[at] | 0x20) <= 'z'))
    at += 2;
  return at;
}

// [begin, end) of each name in `s` from `from` on, separators skipped.
template <typename Text, typename IsSep>
std::vector<std::pair<size_t, size_t>> NameSpans(const Text& s, size_t from, IsSep isSep) {
  std::vector<std::pair<size_t, size_t>> spans;
  for (size_t i = from; i < s.size();) {
    if (isSep(s[i])) {
      ++i;
      continue;
    }
    const size_t begin = i;
    while (i < s.size() && !isSep(s[i])) ++i;
    spans.push_back(std::make_pair(begin, i));
  }
  return spans;
}

// The stored short name of the object at `path`: its own attribute, or,
// for a link, its folder's record (looked for only when the folder has
// records). Empty when it has none.
std::u16string StoredShortName(const std::string& path, const LayerXattrs& own,
                               const LayerXattrs& folder) {
  std::vector<uint8_t> b;
  if (own.Has(kShortName) && ReadOwnXattr(path, kShortName, &b))
    return ToWideName(std::string(b.begin(), b.end()));
  LinkInfo kept;
  if (folder.Has(kLinksName) && ReadLinkInfo(path, &kept))
    return ToWideName(kept.shortName);
  return std::u16string();
}

}  // namespace

namespace {

// The short form of the folder a path's last name sits in, kept from the
// call before: a tree's files share their folder, and each name on the way
// costs a listing of its attributes. The memo is good while the layer has
// changed no name, short name or link record since it was made (any such
// change bumps the generation); a short name another process gives a
// folder meanwhile is seen once the layer changes anything, or for a path
// in another folder. One entry, under a lock, for every thread.
struct FolderShortForm {
  std::u16string widePrefix;  // the path's text up to its last name
  std::string posixFolder;    // the folder that text names
  std::u16string shortPrefix; // widePrefix with each name in short form
  LayerXattrs folderNames;    // the folder's listing, for a link's record
  uint64_t generation = 0;
  bool valid = false;
};

std::mutex g_folderFormLock;
FolderShortForm g_folderForm;
std::atomic<uint64_t> g_nameGeneration{1};

bool RecallFolderForm(const std::u16string& widePrefix, const std::string& posixFolder,
                      FolderShortForm* form) {
  std::lock_guard<std::mutex> hold(g_folderFormLock);
  if (!g_folderForm.valid || g_folderForm.generation != g_nameGeneration.load() ||
      g_folderForm.widePrefix != widePrefix || g_folderForm.posixFolder != posixFolder)
    return false;
  *form = g_folderForm;
  return true;
}

void KeepFolderForm(const FolderShortForm& form) {
  std::lock_guard<std::mutex> hold(g_folderFormLock);
  g_folderForm = form;
  g_folderForm.valid = true;
}

}  // namespace

void kvposix::NoteNameChange() { g_nameGeneration.fetch_add(1); }

DWORD GetShortPathNameW(LPCWSTR longPath, LPWSTR shortPath, DWORD capacity) {
  std::string posix;
  if (!ToPosixPath(longPath, &posix)) return 0;
  const std::u16string wide(reinterpret_cast<const char16_t*>(longPath),
                            WideLength(longPath));
  const auto names = NameSpans(wide, NamesStart(wide), IsWideSeparator);
  const auto posixNames = NameSpans(posix, 0, [](char c) { return c == '/'; });
  if (posixNames.size() < names.size()) {
    SetLastError(ERROR_INVALID_NAME);
    return 0;
  }
  // Each name of the path is looked up by one listing of its attributes,
  // which also tells whether its folder keeps records of links; the first
  // name's folder is listed for that alone. The last name's folder may be
  // known from the call before.
  const size_t first = posixNames.size() - names.size();
  const size_t last = names.empty() ? 0 : names.size() - 1;
  FolderShortForm form;
  form.generation = g_nameGeneration.load();
  size_t from = 0;
  std::u16string out;
  LayerXattrs folderNames;
  if (last > 0) {
    form.widePrefix = wide.substr(0, names[last].first);
    form.posixFolder = posix.substr(0, posixNames[first + last - 1].second);
  }
  if (last > 0 && RecallFolderForm(form.widePrefix, form.posixFolder, &form)) {
    out = form.shortPrefix;
    folderNames = form.folderNames;
    from = last;
  } else {
    std::string folder = first ? posix.substr(0, posixNames[first - 1].second)
                               : (posix[0] == '/' ? "/" : ".");
    folderNames = names.empty() ? LayerXattrs() : ListLayerXattrs(folder);
    out = wide.substr(0, names.empty() ? wide.size() : names[0].first);
  }
  for (size_t i = from; i < names.size(); ++i) {
    const std::string path = posix.substr(0, posixNames[first + i].second);
    int error = 0;
    const LayerXattrs own = ListLayerXattrs(path, &error);
    if (error) {  // coded as an open of the whole path would be: 2 or 3
      SetLastError(CodeForPath(error, posix));
      return 0;
    }
    const std::u16string name = wide.substr(names[i].first, names[i].second - names[i].first);
    const std::u16string stored =
        name == u"." || name == u".." ? std::u16string()
                                      : ShortNameOf(StoredShortName(path, own, folderNames));
    out += stored.empty() ? name : stored;
    const size_t next = i + 1 < names.size() ? names[i + 1].first : wide.size();
    out += wide.substr(names[i].second, next - names[i].second);
    folderNames = own;
    if (i + 1 == last) {
      form.shortPrefix = out;
      form.folderNames = own;
      KeepFolderForm(form);
    }
  }
  if (!shortPath || capacity <= out.size()) return static_cast<DWORD>(out.size() + 1);
  CopyWide(out, shortPath, capacity);
  return static_cast<DWORD>(out.size());
}
