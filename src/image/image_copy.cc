// SPDX-License-Identifier: GPL-2.0-or-later
// Disk images: copying the current item of the walk out of the mounted
// drive, with its descriptor, short name, compression, times, attributes
// and, for a directory junction, its reparse data.
#include <new>

#include "KvLog.h"
#include "KvMorvel.h"
#include "KvSystem.h"
#include "archive/codes.h"
#include "common/archive_constants.h"
#include "formats/le_codec.h"
#include "formats/reparse_point.h"
#include "image/image_item.h"
#include "kvwin32.h"
#include "restore/restore_common.h"
#include "restore/restore_descriptors.h"
#include "restore/restore_paths.h"
#include "restore/restore_reparse.h"

namespace {

const DWORD kSourceAccess = READ_CONTROL | ACCESS_SYSTEM_SECURITY;
const DWORD kBackupFlags =
    FILE_FLAG_BACKUP_SEMANTICS | FILE_ATTRIBUTE_NORMAL;  // 0x2000080
const DWORD kReparseFlags =
    FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS;  // 0x2200000

// Reading a SACL, opening with backup semantics and setting a short name
// need privileges the host may not have enabled. The copy enables them
// for its own duration and puts each back as it found it, so a host that
// enabled one itself keeps it.
class CopyPrivileges {
 public:
  CopyPrivileges() {
    for (int i = 0; i < kCount; ++i) {
      wasEnabled_[i] = CKvSystem::IsPrivilegeEnabled(kNames[i]);
      if (!wasEnabled_[i]) CKvSystem::SetPrivilege(kNames[i], TRUE);
    }
  }
  ~CopyPrivileges() {
    for (int i = 0; i < kCount; ++i)
      if (!wasEnabled_[i]) CKvSystem::SetPrivilege(kNames[i], FALSE);
  }
  CopyPrivileges(const CopyPrivileges&) = delete;
  CopyPrivileges& operator=(const CopyPrivileges&) = delete;

 private:
  static const int kCount = 3;
  static const WCHAR* const kNames[kCount];
  BOOL wasEnabled_[kCount];
};

const WCHAR* const CopyPrivileges::kNames[CopyPrivileges::kCount] = {
    TEXT("SeSecurityPrivilege"), TEXT("SeBackupPrivilege"),
    TEXT("SeRestorePrivilege")};

// The source's owner, group, DACL and SACL, or null when they cannot be
// read (the copy then goes on without them). Release with LocalFree.
// A reparse point's own descriptor is read, never that of what it names.
PSECURITY_DESCRIPTOR ReadSourceDescriptor(LPCWSTR source, BOOL isReparse) {
  HANDLE file = CreateFileW(source, kSourceAccess, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING,
                            isReparse ? kReparseFlags : kBackupFlags, nullptr);
  if (file == INVALID_HANDLE_VALUE) return nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(file, SE_FILE_OBJECT, kAllSecurityInformation, nullptr, nullptr,
                      nullptr, nullptr, &descriptor) != ERROR_SUCCESS)
    descriptor = nullptr;
  CloseHandle(file);
  return descriptor;
}

// The print name of mount-point reparse data read into `data` (`size`
// bytes), when it names an absolute folder and fits `name`.
BOOL TakePrintName(const BYTE* data, DWORD size, WCHAR (&name)[260]) {
  if (size < kMountPathBufferAt) return FALSE;
  const DWORD tag = LoadU32(data);
  if (tag != kTagMicrosoftMountPoint && tag != IO_REPARSE_TAG_MOUNT_POINT)
    return FALSE;
  return ParsePrintName(data, size, name, kImagePathChars) == 0 && name[0] &&
         IsAbsolutePath(name);
}


// Gives the copied item at `path` the short name, compression, times,
// attributes and descriptor of the item on the image, all through one
// handle opened without following a link at the path: a junction is
// opened as itself, never as the folder it names, and a name swapped for
// a link after the copy takes nothing of this elsewhere. Each step that
// fails is skipped: the item itself is already copied.
void ApplyCopiedMetadata(LPCWSTR path, const WIN32_FILE_ATTRIBUTE_DATA& data,
                         const WCHAR* shortName, BOOL isReparse,
                         PSECURITY_DESCRIPTOR descriptor) {
  // A read-only copy cannot be opened for writing: it is opened for its
  // attributes then, which the first step clears.
  const DWORD kAccessTried[] = {
      GENERIC_READ | GENERIC_WRITE | DELETE | WRITE_DAC | WRITE_OWNER,
      GENERIC_READ | FILE_WRITE_ATTRIBUTES | DELETE | WRITE_DAC | WRITE_OWNER,
      GENERIC_READ | GENERIC_WRITE | DELETE};
  HANDLE file = INVALID_HANDLE_VALUE;
  for (DWORD access : kAccessTried) {
    if (file != INVALID_HANDLE_VALUE) break;
    file = CreateFileW(path, access, 0, nullptr, OPEN_EXISTING, kReparseFlags,
                       nullptr);
  }
  if (file == INVALID_HANDLE_VALUE) return;
  SetAttributesThrough(file, FILE_ATTRIBUTE_NORMAL);
  ApplyCompressionAndShortName(file, data.dwFileAttributes, shortName, path);
  SetFileTime(file, &data.ftCreationTime, &data.ftLastAccessTime,
              &data.ftLastWriteTime);
  SetAttributesThrough(file, data.dwFileAttributes);
  if (descriptor) ApplyWholeDescriptorTo(file, descriptor);
  CloseHandle(file);
}

// Creates a new empty file at `path`. Returns 0 or the code of the failed
// create.
DWORD CreateEmptyFile(LPCWSTR path) {
  HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return LastErrorOr(ERROR_GEN_FAILURE);
  CloseHandle(file);
  return 0;
}

}  // namespace

BOOL CKvMorvel::VDExtractFile(LPCWSTR target) {
  if (!m_mounted || !m_entryName[0]) {
    m_error.SetError(kErrorNotMounted);
    return FALSE;
  }
  // An empty target would put the copy beside the current directory or at
  // the volume's root: refused like a null one.
  if (!target[0]) {
    m_error.SetError(kErrorNullTarget);
    return FALSE;
  }
  if (IsNeverCopiedName(m_entryName)) return TRUE;
  WCHAR sourcePath[kImagePathChars];
  if (!JoinImagePath(sourcePath, kImagePathChars, m_drive, m_entryName)) {
    m_error.SetError(kErrorNameTooLong);
    return FALSE;
  }
  // The check every restore makes: a name the walk found not plain, one
  // that leaves the target, a link in the target or on the way (restored
  // earlier or found there) refuse the copy before anything is touched.
  WCHAR targetPath[kImagePathChars];
  const DWORD refusal =
      m_entryNamePlain ? ConfineRestorePath(target, m_entryName, targetPath,
                                            kImagePathChars)
                       : kUnsafeNameCode;
  if (refusal) {
    m_error.SetError(refusal);
    return FALSE;
  }

  CopyPrivileges privileges;
  const DWORD attributes = m_entryData.dwFileAttributes;
  const BOOL isReparse = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  PSECURITY_DESCRIPTOR descriptor = ReadSourceDescriptor(sourcePath, isReparse);
  // 0, or the cause of the failed copy, read right after the failing call.
  DWORD failure = 0;
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
    // The restore's own rule: a file in the folder's place stays as it was.
    failure = MakeFolderTarget(targetPath);
    if (!failure) SetFileAttributesW(targetPath, FILE_ATTRIBUTE_NORMAL);
    if (!failure && isReparse)
      failure = CreateJunction(sourcePath, targetPath)
                    ? 0
                    : LastErrorOr(ERROR_INVALID_REPARSE_DATA);
  } else if (attributes & FILE_ATTRIBUTE_ENCRYPTED) {
    // encrypted data cannot be read through the drive: nothing to copy
  } else if (IsFolderAt(targetPath)) {
    failure = kOtherKindCode;  // a folder is not replaced by a file
  } else {
    SetFileAttributesW(targetPath, FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(targetPath);
    // A file that is a reparse point (a link to a file) becomes an empty
    // file carrying the same reparse data. CopyFileW would follow the link
    // and copy whatever file it names, which may lie outside the image.
    if (!isReparse) {
      if (!CopyFileW(sourcePath, targetPath, FALSE))
        failure = LastErrorOr(ERROR_GEN_FAILURE);
    } else {
      failure = CreateEmptyFile(targetPath);
      if (!failure && !CreateJunction(sourcePath, targetPath))
        failure = LastErrorOr(ERROR_INVALID_REPARSE_DATA);
    }
  }
  if (failure) {
    m_error.SetError(failure);
    if (descriptor) LocalFree(descriptor);
    return FALSE;
  }
  m_error.SetError(ERROR_SUCCESS);
  const WCHAR* shortName =
      m_currentItem ? m_currentItem->data.cAlternateFileName : TEXT("");
  ApplyCopiedMetadata(targetPath, m_entryData, shortName, isReparse,
                      descriptor);
  if (descriptor) LocalFree(descriptor);
  return TRUE;
}

BOOL CKvMorvel::CreateJunction(LPCWSTR source, LPCWSTR target) {
  BYTE* data = new (std::nothrow) BYTE[kReparseBufferSize];
  if (!data) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  // The code a failure leaves as the last error, kept across the log.
  DWORD failure = ERROR_INVALID_REPARSE_DATA;
  DWORD size = 0;
  ReparseReadStep step = kReparseOpen;
  const DWORD code = ReadReparsePoint(source, data, &size, &step);
  const BOOL read = code == ERROR_SUCCESS && size >= kReparseHeaderSize;
  if (code != ERROR_SUCCESS) failure = code;

  CKvLog* log = CKvLog::GetInstance();
  WCHAR linkName[kImagePathChars];
  if (read && TakePrintName(data, size, linkName)) {
    CreateLinkOnRestoreDrive(linkName, target,
                             lstrlenW(target) - lstrlenW(m_entryName));
  } else {
    log->AddInfo(TEXT("No link found"));
  }

  BOOL result = FALSE;
  const DWORD length = read ? LoadU16(data + 4) + kReparseHeaderSize : 0;
  if (read && length <= size) {
    HANDLE restored = CreateFileW(target, GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, kReparseFlags, nullptr);
    if (restored != INVALID_HANDLE_VALUE) {
      DWORD returned = 0;
      result = DeviceIoControl(restored, FSCTL_SET_REPARSE_POINT, data,
                               length, nullptr, 0, &returned, nullptr);
      failure = GetLastError();
      CloseHandle(restored);
    } else {
      failure = GetLastError();
    }
  }
  delete[] data;
  if (!result) SetLastError(failure ? failure : ERROR_INVALID_REPARSE_DATA);
  return result;
}
