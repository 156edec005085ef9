// SPDX-License-Identifier: GPL-2.0-or-later
// The restore procedure shared by versions 5 and 2, and the steps on
// restored objects and stored items that version 1 uses as well.
#include "restore/restore_common.h"

#include "KvLog.h"
#include "archive/codes.h"
#include "formats/file_io.h"
#include "formats/le_codec.h"
#include "formats/piece_source.h"
#include "open_beneath.h"

namespace {

// The descriptor is applied through the handle: it asks for the rights
// to change owner and DACL.
const DWORD kTargetAccess =
    GENERIC_READ | GENERIC_WRITE | DELETE | WRITE_DAC | WRITE_OWNER;
const DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
const DWORD kTargetFlags = FILE_FLAG_BACKUP_SEMANTICS | FILE_ATTRIBUTE_NORMAL;
const DWORD kReparseFlags =
    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;

CKvLog* Log() { return CKvLog::GetInstance(); }

// Removes the name of the object open as `handle` (with DELETE access)
// through the handle, never by looking a path up.
bool RemoveByHandle(HANDLE handle) {
  FILE_DISPOSITION_INFO gone = {TRUE};
  return SetFileInformationByHandle(handle, FileDispositionInfo, &gone,
                                    sizeof(gone)) != FALSE;
}

LARGE_INTEGER TicksOf(const FILETIME& time) {
  LARGE_INTEGER ticks;
  ticks.QuadPart = static_cast<LONGLONG>(
      (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime);
  return ticks;
}

// Whether `policy` keeps the object open as `existing` at an entry's
// name. KV_RESTORE_KEEP_NEWER replaces it only when the entry's stored
// last-write time is later than its own; when its time cannot be read it
// is kept, since what cannot be compared may be newer work.
bool KeepsExisting(const ReplacePolicy* policy, HANDLE existing) {
  if (!policy) return false;
  if (policy->options & KV_RESTORE_KEEP_EXISTING) return true;
  if (!(policy->options & KV_RESTORE_KEEP_NEWER)) return false;
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(existing, &info)) return true;
  return static_cast<ULONGLONG>(TicksOf(policy->storedWrite).QuadPart) <=
         static_cast<ULONGLONG>(TicksOf(info.ftLastWriteTime).QuadPart);
}

void SetOutcome(ReplacePolicy* policy, DWORD outcome) {
  if (policy) policy->outcome = outcome;
}

// --- Opening the target --------------------------------------------------

// An encrypted file goes to "USERPART"\System Recovery\ENC under its
// encrypted-file name when that variable is set. Fills `folder` and
// `redirected` (empty when there is no redirect). Values that do not fit
// their buffers are refused with kErrorNameTooLong, never cut: a cut path
// names another file.
DWORD PlanEncryptedRedirect(const WCHAR* encryptedName,
                            WCHAR (&folder)[kEncFolderChars],
                            WCHAR (&redirected)[kSecondPathChars]) {
  redirected[0] = 0;
  if (!encryptedName[0]) return 0;
  WCHAR value[kEnvValueChars];
  const DWORD n =
      GetEnvironmentVariableW(TEXT("USERPART"), value, kEnvValueChars);
  if (n == 0) return 0;  // absent or empty: restored at its own path
  if (n >= kEnvValueChars) return kErrorNameTooLong;
  // The encrypted-file name is one file name in that folder.
  if (!IsPlainFileName(encryptedName)) return kUnsafeNameCode;
  if (KvFormatW(folder, kEncFolderChars, TEXT("%s\\System Recovery\\ENC"),
                value) < 0 ||
      KvFormatW(redirected, kSecondPathChars, TEXT("%s\\%s"), folder,
                encryptedName) < 0) {
    redirected[0] = 0;
    return kErrorNameTooLong;
  }
  return 0;
}

}  // namespace

DWORD ReachEntryFolder(const WCHAR* target, const WCHAR* name,
                       FolderChain* folders, EntryPlace* place) {
  int end = 0;
  const int start = LastComponentOf(name, &end);
  place->leaf = name + start;
  place->length = static_cast<size_t>(end - start);
  return folders->Reach(target, name, false, &place->folder);
}

namespace {

// Creates the file of a file entry, after the redirect of an encrypted
// one. The redirect is planned before anything is deleted, so a refused
// one leaves the disk as it was.
HANDLE OpenFileTarget(const RestoreEntry& entry, const EntryPlace& place,
                      WCHAR* fullPath, const WCHAR* encryptedName,
                      ReplacePolicy* policy, DWORD* refusal) {
  WCHAR folder[kEncFolderChars];
  WCHAR redirected[kSecondPathChars];
  redirected[0] = 0;
  if (entry.data.dwFileAttributes & FILE_ATTRIBUTE_ENCRYPTED) {
    *refusal = PlanEncryptedRedirect(encryptedName, folder, redirected);
    if (*refusal) return INVALID_HANDLE_VALUE;
  }
  if (!redirected[0])
    return CreateFileBeneath(place.folder, place.leaf, place.length, policy);
  // The file at the entry's own path goes, as a restore there would
  // replace it; the redirect is a folder of the caller's environment.
  HANDLE old = INVALID_HANDLE_VALUE;
  if (OpenBeneath(place.folder, place.leaf, place.length, DELETE, kShareAll,
                  FILE_OPEN, BeneathKind::kFile, &old) == 0) {
    RemoveByHandle(old);
    CloseHandle(old);
  }
  SHCreateDirectory(nullptr, folder);
  lstrcpynW(fullPath, redirected, kRestorePathChars);
  return CreateRestoredFile(fullPath);
}

// Removes the link open as `link` (opened as itself) by its handle.
void RemoveLink(HANDLE link) {
  RemoveByHandle(link);
  CloseHandle(link);
}

}  // namespace

HANDLE OpenFolderTarget(DWORD attributes, const EntryPlace& place,
                        ReplacePolicy* policy, DWORD* refusal) {
  const DWORD access =
      (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
          ? GENERIC_WRITE | DELETE | WRITE_DAC | WRITE_OWNER
          : kTargetAccess;
  for (int attempt = 0; attempt < 2; ++attempt) {
    // Made here or found: the exclusive create tells which, and what is
    // found is opened as itself, a link never followed.
    HANDLE folder = INVALID_HANDLE_VALUE;
    *refusal = OpenBeneath(place.folder, place.leaf, place.length, access,
                           kShareAll, FILE_CREATE, BeneathKind::kFolder, &folder);
    if (*refusal == 0) {
      SetOutcome(policy, KV_RESTORED_CREATED);
      return folder;
    }
    if (*refusal == ERROR_ALREADY_EXISTS)
      *refusal = OpenBeneath(place.folder, place.leaf, place.length, access,
                             kShareAll, FILE_OPEN, BeneathKind::kFolder, &folder);
    if (*refusal == ERROR_DIRECTORY) *refusal = kOtherKindCode;
    if (*refusal) return INVALID_HANDLE_VALUE;
    if (IsLinkHandle(folder)) {
      RemoveLink(folder);
      continue;
    }
    if (KeepsExisting(policy, folder)) {
      CloseHandle(folder);
      SetOutcome(policy, KV_RESTORED_KEPT);
      return INVALID_HANDLE_VALUE;
    }
    SetOutcome(policy, KV_RESTORED_REPLACED);
    return folder;
  }
  *refusal = kLinkInPathCode;
  return INVALID_HANDLE_VALUE;
}

namespace {

// Opens what the entry is restored into, by the first case that applies:
// a drive root, a folder, a file. `fullPath` may be redirected.
HANDLE OpenRestoreTarget(const RestoreEntry& entry, const WCHAR* target,
                         WCHAR* fullPath, const WCHAR* encryptedName,
                         FolderChain* folders, ReplacePolicy* policy,
                         DWORD* refusal) {
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
  EntryPlace place;
  *refusal = ReachEntryFolder(target, entry.name, folders, &place);
  if (*refusal) return INVALID_HANDLE_VALUE;
  if (a & FILE_ATTRIBUTE_DIRECTORY)
    return OpenFolderTarget(a, place, policy, refusal);
  return OpenFileTarget(entry, place, fullPath, encryptedName, policy, refusal);
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
  HANDLE file = INVALID_HANDLE_VALUE;
  const DWORD opened = source.openReparse(&file, &offset);
  if (opened) return opened;
  const int nameStart = lstrlenW(fullPath) - lstrlenW(entry.name);
  const DWORD code =
      SetReparseFromRecord(file, offset, target, fullPath, nameStart);
  source.closeReparse(file);
  if (code) Log()->AddError(TEXT("Error: %u"), static_cast<unsigned>(code));
  return code;
}

// Writes a file's data or sets a reparse point. Returns 0 or the code
// that fails the restore. Whatever made a file's data fail, the caller
// sees 1359, the one code of an entry whose data cannot be restored; the
// cause itself is logged here so it is not lost.
DWORD RestoreContent(const RestoreEntry& entry, HANDLE target,
                     const WCHAR* fullPath, const RestoreSource& source) {
  const DWORD a = entry.data.dwFileAttributes;
  if (a & FILE_ATTRIBUTE_REPARSE_POINT)
    return RestoreReparsePoint(entry, target, fullPath, source);
  if (a & FILE_ATTRIBUTE_DIRECTORY) return 0;
  const DWORD cause = source.writeData(target);
  if (!cause) return 0;
  LogDataFailure(fullPath, cause);
  // A restore the host stopped is no damage: it keeps its own code and
  // what it wrote so far (the command names the file as incomplete).
  if (cause == kCancelledCode) return kCancelledCode;
  DiscardRestoredFile(target, fullPath);
  if (source.cause && !source.cause->code) source.cause->Set(cause);
  return ERROR_INTERNAL_ERROR;
}

}  // namespace

// --- Restored objects ----------------------------------------------------

void LogDataFailure(const WCHAR* fullPath, DWORD cause) {
  Log()->AddError(TEXT("Cannot restore data of %s - %u"), fullPath,
                  static_cast<unsigned>(cause));
}

void DiscardRestoredFile(HANDLE file, const WCHAR* fullPath) {
  if (!RemoveByHandle(file))
    Log()->AddError(TEXT("Cannot remove %s after its data failed - %u"),
                    fullPath, static_cast<unsigned>(GetLastError()));
}

void SetShortNameBestEffort(HANDLE target, const WCHAR* shortName,
                            const WCHAR* path) {
  if (!shortName[0] || KvSetFileShortName(target, shortName)) return;
  Log()->AddError(TEXT("Cannot set short name %s of %s - %u"), shortName,
                  path, static_cast<unsigned>(GetLastError()));
}

void ApplyCompressionAndShortName(HANDLE target, DWORD attributes,
                                  const WCHAR* shortName, const WCHAR* path) {
  if (attributes & FILE_ATTRIBUTE_COMPRESSED) {
    BYTE format[2];
    StoreU16(format, COMPRESSION_FORMAT_DEFAULT);
    DWORD returned = 0;
    DeviceIoControl(target, FSCTL_SET_COMPRESSION, format, sizeof(format),
                    nullptr, 0, &returned, nullptr);
  }
  SetShortNameBestEffort(target, shortName, path);
}

// --- Stored items --------------------------------------------------------

void CopyShortName(const WCHAR* field, WCHAR* out) {
  int i = 0;
  for (; i < kShortNameChars && field[i]; ++i) out[i] = field[i];
  out[i] = 0;
}

DWORD ReadBlockLength(HANDLE file, ULONGLONG offset, DWORD* length,
                      bool* whole) {
  SeekTo(file, offset);
  BYTE bytes[4];
  DWORD got = 0;
  const BOOL ok = ReadFile(file, bytes, sizeof(bytes), &got, nullptr);
  const DWORD code = ok ? 0 : LastErrorOr(ERROR_HANDLE_EOF);
  *whole = ok && got == sizeof(bytes);
  if (*whole) *length = LoadU32(bytes);
  return code;
}

HANDLE CreateRestoredFile(const WCHAR* path) {
  // Most entries go where nothing is yet: a create that fails when
  // something is there saves looking first.
  HANDLE created = CreateFileW(path, kTargetAccess, 0, nullptr, CREATE_NEW,
                               kTargetFlags, nullptr);
  if (created != INVALID_HANDLE_VALUE) return created;
  // A folder in the file's place is not replaced, nor are its attributes
  // touched: it holds what other entries (or the user) put there.
  if (IsFolderAt(path)) {
    SetLastError(kOtherKindCode);
    return INVALID_HANDLE_VALUE;
  }
  if (PathFileExistsW(path)) {
    SetFileAttributesW(path, FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(path);
  }
  return CreateFileW(path, kTargetAccess, 0, nullptr, CREATE_ALWAYS,
                     kTargetFlags, nullptr);
}

namespace {

// Removes the file or link at `leaf` in `folder` through a handle opened
// there without following it, unless `policy` keeps it (`*kept` set; the
// same handle was looked at, so what was compared is what stays).
// Returns 0, kOtherKindCode for a folder (left as it was), or the code of
// the failed open or removal.
DWORD RemoveFileBeneath(HANDLE folder, const WCHAR* leaf, size_t length,
                        const ReplacePolicy* policy, bool* kept) {
  const DWORD access = DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES;
  HANDLE old = INVALID_HANDLE_VALUE;
  DWORD code = OpenBeneath(folder, leaf, length, access, kShareAll, FILE_OPEN,
                           BeneathKind::kFile, &old);
  if (code == ERROR_ACCESS_DENIED &&
      OpenBeneath(folder, leaf, length, access, kShareAll, FILE_OPEN,
                  BeneathKind::kFolder, &old) == 0) {
    // A folder is not replaced by a file; a link to one (Windows opens
    // it as a folder) is.
    if (!IsLinkHandle(old)) {
      CloseHandle(old);
      return kOtherKindCode;
    }
    code = 0;
  }
  if (code) return code;
  *kept = KeepsExisting(policy, old);
  if (*kept) {
    CloseHandle(old);
    return 0;
  }
  if (!IsLinkHandle(old)) {
    // Windows refuses to delete a read-only file.
    FILE_BASIC_INFO normal = {};
    normal.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    SetFileInformationByHandle(old, FileBasicInfo, &normal, sizeof(normal));
  }
  code = RemoveByHandle(old) ? 0 : LastErrorOr(ERROR_ACCESS_DENIED);
  CloseHandle(old);
  return code;
}

}  // namespace

HANDLE CreateFileBeneath(HANDLE folder, const WCHAR* leaf, size_t length,
                         ReplacePolicy* policy) {
  // Most entries go where nothing is yet: the exclusive create saves
  // looking first.
  HANDLE file = INVALID_HANDLE_VALUE;
  DWORD outcome = KV_RESTORED_CREATED;
  DWORD code = OpenBeneath(folder, leaf, length, kTargetAccess, 0, FILE_CREATE,
                           BeneathKind::kFile, &file);
  if (code == ERROR_ALREADY_EXISTS) {
    bool kept = false;
    code = RemoveFileBeneath(folder, leaf, length, policy, &kept);
    if (!code && kept) {
      SetOutcome(policy, KV_RESTORED_KEPT);
      SetLastError(0);
      return INVALID_HANDLE_VALUE;
    }
    outcome = KV_RESTORED_REPLACED;
    if (!code)
      code = OpenBeneath(folder, leaf, length, kTargetAccess, 0, FILE_CREATE,
                         BeneathKind::kFile, &file);
  }
  if (code) {
    SetLastError(code);
    return INVALID_HANDLE_VALUE;
  }
  SetOutcome(policy, outcome);
  return file;
}

void SetAttributesThrough(HANDLE target, DWORD attributes) {
  FILE_BASIC_INFO basic = {};
  basic.FileAttributes = attributes ? attributes : FILE_ATTRIBUTE_NORMAL;
  SetFileInformationByHandle(target, FileBasicInfo, &basic, sizeof(basic));
}

void SetTimesAndAttributesThrough(HANDLE target,
                                  const WIN32_FILE_ATTRIBUTE_DATA& data) {
  FILE_BASIC_INFO basic = {};
  basic.CreationTime = TicksOf(data.ftCreationTime);
  basic.LastAccessTime = TicksOf(data.ftLastAccessTime);
  basic.LastWriteTime = TicksOf(data.ftLastWriteTime);
  basic.FileAttributes =
      data.dwFileAttributes ? data.dwFileAttributes : FILE_ATTRIBUTE_NORMAL;
  // Times the system refuses (a damaged record's) never cost the
  // attributes: they are then set alone.
  if (!SetFileInformationByHandle(target, FileBasicInfo, &basic, sizeof(basic)))
    SetAttributesThrough(target, data.dwFileAttributes);
}

// --- The whole procedure -------------------------------------------------

namespace {

// Content, times, descriptor and attributes of the restored object open
// as `handle`, all through it; the handle is closed.
DWORD FinishThroughHandle(const RestoreEntry& entry, HANDLE handle,
                          const WCHAR* fullPath, const RestoreSource& source) {
  ApplyCompressionAndShortName(handle, entry.data.dwFileAttributes,
                               entry.shortName, fullPath);
  DWORD code = RestoreContent(entry, handle, fullPath, source);
  const bool contentWritten = code == 0;
  if (!code) code = source.applyDescriptor(handle, fullPath);
  // Stored times are UTC already: set unchanged. With the attributes, in
  // one call, which keeps the creation time and the attributes in one
  // write; only the times when the descriptor failed.
  if (!code) {
    WIN32_FILE_ATTRIBUTE_DATA data = entry.data;
    data.dwFileAttributes &= ~FILE_ATTRIBUTE_ENCRYPTED;
    SetTimesAndAttributesThrough(handle, data);
  } else if (contentWritten) {
    SetFileTime(handle, &entry.data.ftCreationTime,
                &entry.data.ftLastAccessTime, &entry.data.ftLastWriteTime);
  }
  CloseHandle(handle);
  return code;
}

}  // namespace

BOOL RestoreStoredEntry(const RestoreEntry& entry, const WCHAR* target,
                        const WCHAR* encryptedName,
                        const RestoreSource& source, FolderChain* folders,
                        ReplacePolicy* policy, CKvError& error) {
  WCHAR fullPath[kRestorePathChars];
  DWORD code = BuildRestorePath(target, entry.name, fullPath, kRestorePathChars);
  HANDLE handle = INVALID_HANDLE_VALUE;
  if (!code)
    handle = OpenRestoreTarget(entry, target, fullPath, encryptedName, folders,
                               policy, &code);
  if (code) {
    error.SetError(code);
    return FALSE;
  }
  if (handle == INVALID_HANDLE_VALUE && policy->outcome == KV_RESTORED_KEPT)
    return TRUE;  // what is there stays, as the host asked
  if (handle == INVALID_HANDLE_VALUE) {
    code = LastErrorOr(ERROR_INVALID_HANDLE);
    Log()->AddError(TEXT("Cannot create %s - %u"), fullPath,
                    static_cast<unsigned>(code));
    error.SetError(code);
    return FALSE;
  }
  code = FinishThroughHandle(entry, handle, fullPath, source);
  if (code) {
    policy->outcome = KV_RESTORED_NOTHING;
    error.SetError(code);
    return FALSE;
  }
  // A drive root and an encrypted file's redirect are opened outside the
  // exclusive create: they count as made.
  if (policy->outcome == KV_RESTORED_NOTHING) policy->outcome = KV_RESTORED_CREATED;
  return TRUE;
}
