// SPDX-License-Identifier: GPL-2.0-or-later
// The restore procedure shared by versions 5 and 2, and the steps on
// restored objects and stored items that version 1 uses as well.
#include "restore/restore_common.h"

#include "KvLog.h"
#include "archive/codes.h"
#include "formats/file_io.h"
#include "formats/le_codec.h"
#include "formats/piece_source.h"

namespace {

const DWORD kTargetAccess = GENERIC_READ | GENERIC_WRITE | DELETE;
const DWORD kTargetFlags = FILE_FLAG_BACKUP_SEMANTICS | FILE_ATTRIBUTE_NORMAL;
const DWORD kReparseFlags =
    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;

CKvLog* Log() { return CKvLog::GetInstance(); }

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
  if (redirected[0]) {
    // The file at the entry's own path goes, as a restore there would
    // replace it.
    if (PathFileExistsW(fullPath)) {
      SetFileAttributesW(fullPath, FILE_ATTRIBUTE_NORMAL);
      DeleteFileW(fullPath);
    }
    SHCreateDirectory(nullptr, folder);
    lstrcpynW(fullPath, redirected, kRestorePathChars);
  }
  return CreateRestoredFile(fullPath);
}

// Opens the folder a folder entry is restored into, made when missing. A
// file (or anything but a folder) at its path is refused with
// kOtherKindCode and left as it was: its times, attributes and descriptor
// are not the entry's to set. What is opened is checked again through
// the handle, in case a file took the folder's place in between.
HANDLE OpenFolderTarget(const RestoreEntry& entry, const WCHAR* fullPath,
                        DWORD* refusal) {
  *refusal = MakeFolderTarget(fullPath);
  if (*refusal) return INVALID_HANDLE_VALUE;
  HANDLE folder =
      (entry.data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
          ? CreateFileW(fullPath, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                        kReparseFlags, nullptr)
          : CreateFileW(fullPath, kTargetAccess, 0, nullptr, OPEN_EXISTING,
                        kTargetFlags, nullptr);
  if (folder != INVALID_HANDLE_VALUE && !IsFolderHandle(folder)) {
    CloseHandle(folder);
    *refusal = kOtherKindCode;
    return INVALID_HANDLE_VALUE;
  }
  return folder;
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
  if (a & FILE_ATTRIBUTE_DIRECTORY) return OpenFolderTarget(entry, fullPath, refusal);
  return OpenFileTarget(entry, fullPath, encryptedName, refusal);
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
  FILE_DISPOSITION_INFO gone = {TRUE};
  if (!SetFileInformationByHandle(file, FileDispositionInfo, &gone, sizeof(gone)))
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

// --- The whole procedure -------------------------------------------------

BOOL RestoreStoredEntry(const RestoreEntry& entry, const WCHAR* target,
                        const WCHAR* encryptedName,
                        const RestoreSource& source, CheckedFolder* checked,
                        CKvError& error) {
  WCHAR fullPath[kRestorePathChars];
  DWORD code = ConfineRestorePath(target, entry.name, fullPath,
                                  kRestorePathChars, checked);
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
                               entry.shortName, fullPath);
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
