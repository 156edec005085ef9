// The restore procedure shared by versions 5 and 2, and the path steps
// that version 1 uses as well.
#include "common/archive_constants.h"
#include "restore/restore_common.h"

#include "KvLog.h"
#include "KvSystem.h"
#include "formats/file_io.h"
#include "formats/le_codec.h"
#include "formats/reparse_point.h"

static_assert(kAllSecurityInformation ==
                  (OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                   DACL_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION),
              "the shared mask names owner, group, DACL and SACL");

namespace {

const DWORD kTargetAccess = GENERIC_READ | GENERIC_WRITE | DELETE;
const DWORD kTargetFlags = FILE_FLAG_BACKUP_SEMANTICS | FILE_ATTRIBUTE_NORMAL;
const DWORD kReparseFlags =
    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;

CKvLog* Log() { return CKvLog::GetInstance(); }

bool IsSeparator(WCHAR c) { return c == '\\' || c == '/'; }

bool IsDriveQualified(const WCHAR* path) {
  const WCHAR c = path[0];
  return ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) &&
         path[1] == ':';
}

// A component of only dots and spaces, the empty one included: Windows
// trims trailing dots and spaces, so each of them means "." or "..".
bool IsDotsAndSpaces(const WCHAR* begin, const WCHAR* end) {
  for (const WCHAR* p = begin; p < end; ++p)
    if (*p != '.' && *p != ' ') return false;
  return true;
}

// Where the last component of `path` ends, trailing separators after
// `from` left out ("dir\" ends after "dir").
int EndOfLastComponent(const WCHAR* path, int from) {
  int end = lstrlenW(path);
  while (end > from && IsSeparator(path[end - 1])) --end;
  return end;
}

// The last error of a failing call; `fallback` when the call left none, so
// a failure is never reported as code 0.
DWORD LastErrorOr(DWORD fallback) {
  const DWORD code = GetLastError();
  return code ? code : fallback;
}

bool IsLink(const WCHAR* path) {
  const DWORD a = GetFileAttributesW(path);
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_REPARSE_POINT);
}

// --- Opening the target --------------------------------------------------

// An encrypted file goes to "USERPART"\System Recovery\ENC under its
// encrypted-file name when that variable is set. Fills `folder` and
// `redirected` (empty when there is no redirect). Values that do not fit
// their buffers are refused with 122, never cut: a cut path names another
// file.
DWORD PlanEncryptedRedirect(const WCHAR* encryptedName,
                            WCHAR (&folder)[kEncFolderChars],
                            WCHAR (&redirected)[kSecondPathChars]) {
  redirected[0] = 0;
  if (!encryptedName[0]) return 0;
  WCHAR value[kEnvValueChars];
  const DWORD n =
      GetEnvironmentVariableW(TEXT("USERPART"), value, kEnvValueChars);
  if (n == 0) return 0;  // absent or empty: restored at its own path
  if (n >= kEnvValueChars) return ERROR_INSUFFICIENT_BUFFER;
  // The encrypted-file name is one file name in that folder.
  if (!IsPlainFileName(encryptedName)) return kUnsafeNameCode;
  if (KvFormatW(folder, kEncFolderChars, TEXT("%s\\System Recovery\\ENC"),
                value) < 0 ||
      KvFormatW(redirected, kSecondPathChars, TEXT("%s\\%s"), folder,
                encryptedName) < 0) {
    redirected[0] = 0;
    return ERROR_INSUFFICIENT_BUFFER;
  }
  return 0;
}

// Creates the file of a file entry, after the redirect of an encrypted
// one. The redirect is planned before anything is deleted, so a refused
// one leaves the disk as it was.
HANDLE OpenFileTarget(const RestoreEntry& entry, WCHAR* fullPath,
                      const WCHAR* encryptedName, DWORD* refusal) {
  WCHAR folder[kEncFolderChars];
  WCHAR redirected[kSecondPathChars];
  redirected[0] = 0;
  if (entry.data.dwFileAttributes & FILE_ATTRIBUTE_ENCRYPTED) {
    *refusal = PlanEncryptedRedirect(encryptedName, folder, redirected);
    if (*refusal) return INVALID_HANDLE_VALUE;
  }
  if (PathFileExistsW(fullPath)) {
    SetFileAttributesW(fullPath, FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(fullPath);
  }
  if (redirected[0]) {
    SHCreateDirectory(nullptr, folder);
    lstrcpynW(fullPath, redirected, kRestorePathChars);
  }
  return CreateRestoredFile(fullPath);
}

// Opens what the entry is restored into, by the first case that applies:
// a drive root, a folder, a file. `fullPath` may be redirected.
HANDLE OpenRestoreTarget(const RestoreEntry& entry, WCHAR* fullPath,
                         const WCHAR* encryptedName, DWORD* refusal) {
  *refusal = 0;
  const DWORD a = entry.data.dwFileAttributes;
  // Only "X:\" is a drive root; a three-character POSIX path is not.
  if (lstrlenW(fullPath) == 3 && IsDriveQualified(fullPath)) {
    WCHAR volume[kSecondPathChars];
    KvFormatW(volume, kSecondPathChars, TEXT("\\\\.\\%c:"),
              static_cast<int>(fullPath[0]));
    return CreateFileW(volume, GENERIC_READ,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  }
  if (a & FILE_ATTRIBUTE_DIRECTORY) {
    CreateDirectoryW(fullPath, nullptr);  // an existing folder is fine
    if (a & FILE_ATTRIBUTE_REPARSE_POINT)
      return CreateFileW(fullPath, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         kReparseFlags, nullptr);
    return CreateFileW(fullPath, kTargetAccess, 0, nullptr, OPEN_EXISTING,
                       kTargetFlags, nullptr);
  }
  return OpenFileTarget(entry, fullPath, encryptedName, refusal);
}

// --- Reparse points ------------------------------------------------------

// A mount point's print name on drive D: is made to point at the drive
// being restored to, and that folder is created when missing and inside
// the restore target. Only a drive-qualified name under a drive-qualified
// restore path is adjusted: for any other form the first-character swap
// would name an unrelated folder (on a POSIX path, one at the root of the
// file system).
void PrepareLinkTarget(WCHAR* link, const WCHAR* fullPath, int nameStart) {
  if (!link[0]) {
    Log()->AddInfo(TEXT("No link found"));
    return;
  }
  if (!IsDriveQualified(link) || !IsDriveQualified(fullPath)) {
    Log()->AddInfo(TEXT("Link target not on a drive: %s"), link);
    return;
  }
  link[0] = fullPath[0];
  Log()->AddInfo(TEXT("Create Link: %s"), link);
  CreateLinkedFolderInTarget(link, fullPath, nameStart);
}

// Reads the reparse record at `offset` of `source` (u32 length N, then N
// bytes of REPARSE_DATA_BUFFER) and sets it on `target`. Returns 0 to go
// on, or the code that fails the restore. A read that succeeds with fewer
// bytes than asked is logged and leaves the target without reparse point,
// and the restore goes on.
DWORD SetReparseFromRecord(HANDLE source, ULONGLONG offset, HANDLE target,
                           const WCHAR* fullPath, int nameStart) {
  BYTE buffer[kReparseBufferSize] = {};
  WCHAR link[kLinkTargetChars] = {};
  DWORD n = 0;
  bool whole = false;
  BOOL ok = ReadBlockLength(source, offset, &n, &whole);
  if (!whole) {
    const DWORD code = LastErrorOr(ERROR_HANDLE_EOF);
    Log()->AddError(TEXT("ReadFile failed - %u"), static_cast<unsigned>(code));
    return ok ? 0 : code;
  }
  // The record must hold the 8-byte header and fit the 17000-byte buffer.
  if (n < kReparseHeaderSize || n > kReparseBufferSize) {
    Log()->AddError(TEXT("Invalid reparse data length - %u"),
                    static_cast<unsigned>(n));
    return ERROR_INVALID_REPARSE_DATA;
  }
  DWORD got = 0;
  ok = ReadFile(source, buffer, n, &got, nullptr);
  if (!ok || got != n) {
    const DWORD code = LastErrorOr(ERROR_HANDLE_EOF);
    Log()->AddError(TEXT("ReadFile (reparse data) failed - %u"),
                    static_cast<unsigned>(code));
    return ok ? 0 : code;
  }
  const DWORD tag = LoadU32(buffer);
  const DWORD dataLength = LoadU16(buffer + 4);
  if (dataLength + kReparseHeaderSize > n) return ERROR_INVALID_REPARSE_DATA;
  if (tag == kTagMicrosoftMountPoint || tag == IO_REPARSE_TAG_MOUNT_POINT) {
    const DWORD code = ParsePrintName(buffer, n, link, kLinkTargetChars);
    if (code) return code;
    if (tag == kTagMicrosoftMountPoint)
      Log()->AddInfo(TEXT("Link to %s"), link);
  }
  PrepareLinkTarget(link, fullPath, nameStart);
  DWORD returned = 0;
  if (!DeviceIoControl(target, FSCTL_SET_REPARSE_POINT, buffer,
                       dataLength + kReparseHeaderSize, nullptr, 0, &returned,
                       nullptr))
    return LastErrorOr(ERROR_INVALID_REPARSE_DATA);
  return 0;
}

// Sets the entry's stored reparse point on `target`. A folder gets it as a
// junction; a link to a file gets it on the new empty file, which the file
// system turns into that link. The stored record is never read as data.
DWORD RestoreReparsePoint(const RestoreEntry& entry, HANDLE target,
                          const WCHAR* fullPath, const RestoreSource& source) {
  if (!entry.hasReparseRecord) {
    Log()->AddInfo(TEXT("No link found"));
    return 0;
  }
  ULONGLONG offset = 0;
  HANDLE file = source.openReparse(&offset);
  if (file == INVALID_HANDLE_VALUE) return LastErrorOr(ERROR_FILE_NOT_FOUND);
  const int nameStart = lstrlenW(fullPath) - lstrlenW(entry.name);
  const DWORD code =
      SetReparseFromRecord(file, offset, target, fullPath, nameStart);
  source.closeReparse(file);
  if (code) Log()->AddError(TEXT("Error: %u"), static_cast<unsigned>(code));
  return code;
}

// Writes a file's data or sets a reparse point. Returns 0 or the code
// that fails the restore.
DWORD RestoreContent(const RestoreEntry& entry, HANDLE target,
                     const WCHAR* fullPath, const RestoreSource& source) {
  const DWORD a = entry.data.dwFileAttributes;
  if (a & FILE_ATTRIBUTE_REPARSE_POINT)
    return RestoreReparsePoint(entry, target, fullPath, source);
  if (a & FILE_ATTRIBUTE_DIRECTORY) return 0;
  return source.writeData(target) ? 0 : ERROR_INTERNAL_ERROR;
}

}  // namespace

// --- Restored objects ----------------------------------------------------

void CreateLinkedFolderInTarget(const WCHAR* link, const WCHAR* fullPath,
                                int nameStart) {
  WCHAR root[kRestorePathChars];
  WCHAR folder[kRestorePathChars];
  bool inside = nameStart > 0 && nameStart < kRestorePathChars &&
                lstrlenW(link) >= nameStart;
  if (inside) {
    lstrcpynW(root, fullPath, nameStart + 1);
    lstrcpynW(folder, link, nameStart + 1);
    inside = lstrcmpiW(folder, root) == 0 &&
             BuildRestorePath(root, link + nameStart, folder) == 0 &&
             CheckNoLinkAbove(folder, nameStart) == 0;
  }
  if (!inside) {
    Log()->AddError(
        TEXT("Link target outside the restore folder, not created: %s"), link);
    return;
  }
  CreateFolderIfMissing(folder);
}

void CreateFolderIfMissing(const WCHAR* path) {
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW(path, &found);
  if (find == INVALID_HANDLE_VALUE)
    SHCreateDirectory(nullptr, path);
  else
    FindClose(find);
}

void ApplyCompressionAndShortName(HANDLE target, DWORD attributes,
                                  const WCHAR* shortName) {
  if (attributes & FILE_ATTRIBUTE_COMPRESSED) {
    BYTE format[2];
    StoreU16(format, COMPRESSION_FORMAT_DEFAULT);
    DWORD returned = 0;
    DeviceIoControl(target, FSCTL_SET_COMPRESSION, format, sizeof(format),
                    nullptr, 0, &returned, nullptr);
  }
  if (shortName[0]) SetFileShortNameW(target, shortName);
}

// --- Paths ---------------------------------------------------------------

void CopyShortName(const WCHAR* field, WCHAR* out) {
  int i = 0;
  for (; i < kShortNameChars && field[i]; ++i) out[i] = field[i];
  out[i] = 0;
}

BOOL ReadBlockLength(HANDLE file, ULONGLONG offset, DWORD* length,
                     bool* whole) {
  SeekTo(file, offset);
  BYTE bytes[4];
  DWORD got = 0;
  const BOOL ok = ReadFile(file, bytes, sizeof(bytes), &got, nullptr);
  *whole = ok && got == sizeof(bytes);
  if (*whole) *length = LoadU32(bytes);
  return ok;
}

bool IsContainedName(const WCHAR* name) {
  if (IsSeparator(name[0]) || IsDriveQualified(name)) return false;
  const WCHAR* const end = name + EndOfLastComponent(name, 0);
  if (end == name) return false;  // empty: the target itself
  const WCHAR* begin = name;
  for (const WCHAR* p = name;; ++p) {
    if (p == end || IsSeparator(*p)) {
      if (IsDotsAndSpaces(begin, p)) return false;
      if (p == end) return true;
      begin = p + 1;
    }
  }
}

bool IsPlainFileName(const WCHAR* name) {
  if (!IsContainedName(name)) return false;
  for (const WCHAR* p = name; *p; ++p)
    if (IsSeparator(*p)) return false;
  return true;
}

DWORD BuildRestorePath(const WCHAR* target, const WCHAR* name, WCHAR* out,
                       DWORD capacity) {
  out[0] = 0;
  // An empty target would give "\name", a path at the root of the current
  // drive rather than under a folder the caller chose: refused.
  if (!target[0]) return ERROR_INVALID_PARAMETER;
  if (!IsContainedName(name)) return kUnsafeNameCode;
  const int targetLength = lstrlenW(target);
  const bool separator = !IsSeparator(target[targetLength - 1]);
  const DWORD total = static_cast<DWORD>(targetLength) + (separator ? 1 : 0) +
                      static_cast<DWORD>(lstrlenW(name)) + 1;
  if (total > capacity) return ERROR_INSUFFICIENT_BUFFER;
  lstrcpyW(out, target);
  if (separator) lstrcatW(out, TEXT("\\"));
  lstrcatW(out, name);
  return 0;
}

// Tests the prefix of `path` ending before `end` for a link.
static bool IsLinkPrefix(WCHAR* path, int end) {
  const WCHAR saved = path[end];
  path[end] = 0;
  const bool link = IsLink(path);
  path[end] = saved;
  return link;
}

DWORD CheckNoLinkAbove(WCHAR* fullPath, int nameStart) {
  // The target folder itself: a link there would take every entry
  // elsewhere. A drive root or "/" is left out (a drive's root is the real
  // folder its letter names, never a link).
  int targetEnd = nameStart;
  while (targetEnd > 0 && IsSeparator(fullPath[targetEnd - 1])) --targetEnd;
  if (targetEnd > 0 && IsLinkPrefix(fullPath, targetEnd))
    return kLinkInPathCode;
  const int end = EndOfLastComponent(fullPath, nameStart);
  for (int i = nameStart + 1; i < end; ++i) {
    if (!IsSeparator(fullPath[i]) || IsSeparator(fullPath[i - 1])) continue;
    if (IsLinkPrefix(fullPath, i)) return kLinkInPathCode;
  }
  return 0;
}

DWORD CheckNoLinkOnPath(WCHAR* fullPath, int nameStart) {
  const DWORD code = CheckNoLinkAbove(fullPath, nameStart);
  if (code) return code;
  const int end = EndOfLastComponent(fullPath, nameStart);
  if (end <= nameStart || !IsLinkPrefix(fullPath, end)) return 0;
  // A link at the entry's own path is replaced, never followed: remove it
  // (a link to a folder is removed as a folder on Windows).
  const WCHAR saved = fullPath[end];
  fullPath[end] = 0;
  if (!DeleteFileW(fullPath)) RemoveDirectoryW(fullPath);
  const bool stays = IsLink(fullPath);
  fullPath[end] = saved;
  return stays ? kLinkInPathCode : 0;
}

DWORD ConfineRestorePath(const WCHAR* target, const WCHAR* name, WCHAR* out,
                         DWORD capacity) {
  const DWORD code = BuildRestorePath(target, name, out, capacity);
  if (code) return code;
  return CheckNoLinkOnPath(out, lstrlenW(out) - lstrlenW(name));
}

bool CreateMissingParents(const WCHAR* fullPath) {
  WCHAR parent[kRestorePathChars];
  lstrcpynW(parent, fullPath, kRestorePathChars);
  PathRemoveFileSpecW(parent);
  if (!parent[0] || PathFileExistsW(parent)) return false;
  // Grow a prefix component by component, creating what is missing. A
  // leading run of separators is kept: it is the root of a POSIX path or
  // the start of a UNC path, and dropping it would make the path relative
  // to the current folder.
  WCHAR prefix[kRestorePathChars + 2];
  int p = 0;
  int i = 0;
  while (IsSeparator(parent[i])) prefix[p++] = parent[i++];
  while (parent[i]) {
    while (parent[i] && !IsSeparator(parent[i])) prefix[p++] = parent[i++];
    prefix[p++] = '\\';
    prefix[p] = 0;
    if (!PathFileExistsW(prefix)) CreateDirectoryW(prefix, nullptr);
    while (IsSeparator(parent[i])) ++i;
  }
  return true;
}

HANDLE CreateRestoredFile(const WCHAR* path) {
  if (PathFileExistsW(path)) {
    SetFileAttributesW(path, FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(path);
  }
  return CreateFileW(path, kTargetAccess, 0, nullptr, CREATE_ALWAYS,
                     kTargetFlags, nullptr);
}

namespace {

// Layout of a self-relative descriptor: revision u8, Sbz1 u8, control u16,
// then the offsets of owner, group, SACL and DACL (u32 each, 0 for none).
enum {
  kDescriptorHeaderSize = 20,
  kSelfRelative = 0x8000,
  kSidHeaderSize = 8,  // revision, count, authority (6 bytes)
  kAclHeaderSize = 8,  // revision, Sbz1, AclSize u16, count u16, Sbz2 u16
};

bool SidFits(const BYTE* d, DWORD length, DWORD at) {
  if (at == 0) return true;
  if (at > length || length - at < kSidHeaderSize) return false;
  return 4u * d[at + 1] <= length - at - kSidHeaderSize;
}

bool AclFits(const BYTE* d, DWORD length, DWORD at) {
  if (at == 0) return true;
  if (at > length || length - at < kAclHeaderSize) return false;
  const DWORD size = LoadU16(d + at + 2);
  return size >= kAclHeaderSize && size <= length - at;
}

}  // namespace

bool IsWholeDescriptor(const BYTE* d, DWORD length) {
  if (length < kDescriptorHeaderSize || d[0] != 1) return false;
  if (!(LoadU16(d + 2) & kSelfRelative)) return false;
  return SidFits(d, length, LoadU32(d + 4)) &&
         SidFits(d, length, LoadU32(d + 8)) &&
         AclFits(d, length, LoadU32(d + 12)) &&
         AclFits(d, length, LoadU32(d + 16));
}

bool SetDescriptorUnderPrivilege(const WCHAR* path, BYTE* descriptor,
                                 DWORD length, bool disableAfter) {
  if (!IsWholeDescriptor(descriptor, length)) {
    Log()->AddInfo(TEXT("Incomplete security descriptor not applied - %u"),
                   static_cast<unsigned>(length));
    return false;
  }
  CKvSystem::SetPrivilege(TEXT("SeSecurityPrivilege"), TRUE);
  SetFileSecurityW(path, kAllSecurityInformation, descriptor);
  if (disableAfter) CKvSystem::SetPrivilege(TEXT("SeSecurityPrivilege"), FALSE);
  return true;
}

// --- The whole procedure -------------------------------------------------

BOOL RestoreStoredEntry(const RestoreEntry& entry, const WCHAR* target,
                        const WCHAR* encryptedName,
                        const RestoreSource& source, CKvError& error) {
  WCHAR fullPath[kRestorePathChars];
  DWORD code = ConfineRestorePath(target, entry.name, fullPath);
  if (code) {
    error.SetError(code);
    return FALSE;
  }
  CreateMissingParents(fullPath);
  HANDLE handle = OpenRestoreTarget(entry, fullPath, encryptedName, &code);
  if (code) {
    error.SetError(code);
    return FALSE;
  }
  if (handle == INVALID_HANDLE_VALUE) {
    code = LastErrorOr(ERROR_INVALID_HANDLE);
    Log()->AddError(TEXT("Cannot create %s - %u"), fullPath,
                    static_cast<unsigned>(code));
    error.SetError(code);
    return FALSE;
  }
  ApplyCompressionAndShortName(handle, entry.data.dwFileAttributes,
                               entry.shortName);
  code = RestoreContent(entry, handle, fullPath, source);
  if (code) {
    CloseHandle(handle);
    error.SetError(code);
    return FALSE;
  }
  // Stored times are UTC already: set unchanged.
  SetFileTime(handle, &entry.data.ftCreationTime,
              &entry.data.ftLastAccessTime, &entry.data.ftLastWriteTime);
  CloseHandle(handle);
  code = source.applyDescriptor(fullPath);
  if (code) {
    error.SetError(code);
    return FALSE;
  }
  SetFileAttributesW(fullPath,
                     entry.data.dwFileAttributes & ~FILE_ATTRIBUTE_ENCRYPTED);
  return TRUE;
}
