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
#include "formats/file_io.h"
#include "formats/le_codec.h"
#include "formats/reparse_point.h"
#include "image/image_item.h"
#include "kvwin32.h"
#include "open_beneath.h"
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


// Gives the copied item, open as `file` (made or opened relative to its
// held folder, never by its path), the short name, compression, times,
// attributes and descriptor of the item on the image, before the handle
// is let go. `path` names it in the log. Each step that fails is
// skipped: the item itself is already copied.
void ApplyCopiedMetadata(HANDLE file, const WCHAR* path,
                         const WIN32_FILE_ATTRIBUTE_DATA& data,
                         const WCHAR* shortName,
                         PSECURITY_DESCRIPTOR descriptor, DWORD options) {
  SetAttributesThrough(file, FILE_ATTRIBUTE_NORMAL);
  ApplyCompressionAndShortName(file, data.dwFileAttributes, shortName, path);
  SetTimesAndAttributesThrough(file, data);
  if (descriptor) ApplyWholeDescriptorTo(file, descriptor, options);
}

// Copies `length` bytes from `offset` of `source` to the same offset of
// `target`. Returns 0 or the code of the failed read or write.
DWORD CopyRange(HANDLE source, HANDLE target, ULONGLONG offset,
                ULONGLONG length, BYTE* buffer, DWORD capacity) {
  if (!SeekTo(source, offset) || !SeekTo(target, offset))
    return LastErrorOr(ERROR_GEN_FAILURE);
  while (length) {
    const DWORD want =
        length < capacity ? static_cast<DWORD>(length) : capacity;
    DWORD got = 0;
    if (!ReadFile(source, buffer, want, &got, nullptr))
      return LastErrorOr(ERROR_GEN_FAILURE);
    if (got == 0) return 0;  // the file shrank: its end is set after
    if (!WriteExact(target, buffer, got)) return LastErrorOr(ERROR_GEN_FAILURE);
    length -= got;
  }
  return 0;
}

// Copies the data of the file open as `source` into the new empty file
// open as `target`: only the ranges the source holds data in are written
// and the end is set after, so a hole of the source stays a hole where
// the file system makes unwritten ranges holes (on Windows the copy is
// not marked sparse: its gaps read as zeros). A source that cannot tell
// its ranges is copied whole. Returns 0 or the code of the failure.
DWORD CopyFileData(HANDLE source, HANDLE target) {
  ULONGLONG size = 0;
  if (!FileLength(source, &size)) return LastErrorOr(ERROR_GEN_FAILURE);
  const DWORD kChunk = 1u << 20;
  BYTE* buffer = new (std::nothrow) BYTE[kChunk];
  if (!buffer) return ERROR_NOT_ENOUGH_MEMORY;
  const int kRanges = 64;
  FILE_ALLOCATED_RANGE_BUFFER ranges[kRanges];
  ULONGLONG asked = 0;
  DWORD code = 0;
  while (!code && asked < size) {
    FILE_ALLOCATED_RANGE_BUFFER query;
    query.FileOffset.QuadPart = static_cast<LONGLONG>(asked);
    query.Length.QuadPart = static_cast<LONGLONG>(size - asked);
    DWORD returned = 0;
    const BOOL whole = DeviceIoControl(source, FSCTL_QUERY_ALLOCATED_RANGES,
                                       &query, sizeof(query), ranges,
                                       sizeof(ranges), &returned, nullptr);
    const DWORD count = returned / sizeof(ranges[0]);
    if (!whole && (GetLastError() != ERROR_MORE_DATA || count == 0)) {
      code = CopyRange(source, target, asked, size - asked, buffer, kChunk);
      break;
    }
    for (DWORD i = 0; i < count && !code; ++i)
      code = CopyRange(source, target,
                       static_cast<ULONGLONG>(ranges[i].FileOffset.QuadPart),
                       static_cast<ULONGLONG>(ranges[i].Length.QuadPart),
                       buffer, kChunk);
    if (whole || count == 0) break;
    asked = static_cast<ULONGLONG>(ranges[count - 1].FileOffset.QuadPart +
                                   ranges[count - 1].Length.QuadPart);
  }
  delete[] buffer;
  if (!code && !(SeekTo(target, size) && SetEndOfFile(target)))
    code = LastErrorOr(ERROR_GEN_FAILURE);
  return code;
}

// Copies the file at `sourcePath` on the mounted drive into the new
// empty file open as `target`. Returns 0 or the code of the failure.
DWORD CopyFromSource(const WCHAR* sourcePath, HANDLE target) {
  HANDLE source = CreateFileW(sourcePath, GENERIC_READ, FILE_SHARE_READ,
                              nullptr, OPEN_EXISTING, kBackupFlags, nullptr);
  if (source == INVALID_HANDLE_VALUE) return LastErrorOr(ERROR_GEN_FAILURE);
  const DWORD code = CopyFileData(source, target);
  CloseHandle(source);
  return code;
}

// Sets on the copied object open as `restored` (a new empty folder or
// file, at `target`; INVALID_HANDLE_VALUE to open `target` by its path
// once the data is read, for the host's CreateJunction) the reparse data of the item at `source` on the
// mounted drive, whose name below the target is `entryName`, and makes
// the folder a junction names when it lies inside the restore target.
// Returns 0 or the code of the failure.
DWORD SetJunctionThrough(LPCWSTR source, HANDLE restored, LPCWSTR target,
                         const WCHAR* entryName) {
  BYTE* data = new (std::nothrow) BYTE[kReparseBufferSize];
  if (!data) return ERROR_NOT_ENOUGH_MEMORY;
  DWORD failure = ERROR_INVALID_REPARSE_DATA;
  DWORD size = 0;
  ReparseReadStep step = kReparseOpen;
  const DWORD code = ReadReparsePoint(source, data, &size, &step);
  const BOOL read = code == ERROR_SUCCESS && size >= kReparseHeaderSize;
  if (code != ERROR_SUCCESS) failure = code;

  WCHAR linkName[kImagePathChars];
  if (read && TakePrintName(data, size, linkName)) {
    CreateLinkOnRestoreDrive(linkName, target,
                             lstrlenW(target) - lstrlenW(entryName));
  } else {
    CKvLog::GetInstance()->AddInfo(TEXT("No link found"));
  }

  const DWORD length = read ? LoadU16(data + 4) + kReparseHeaderSize : 0;
  if (read && length <= size) {
    HANDLE handle = restored;
    if (handle == INVALID_HANDLE_VALUE)
      handle = CreateFileW(target, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           kReparseFlags, nullptr);
    DWORD returned = 0;
    if (handle == INVALID_HANDLE_VALUE)
      failure = LastErrorOr(ERROR_INVALID_REPARSE_DATA);
    else if (DeviceIoControl(handle, FSCTL_SET_REPARSE_POINT, data, length,
                             nullptr, 0, &returned, nullptr))
      failure = 0;
    else
      failure = LastErrorOr(ERROR_INVALID_REPARSE_DATA);
    if (handle != restored && handle != INVALID_HANDLE_VALUE)
      CloseHandle(handle);
  }
  delete[] data;
  return failure;
}

// Opens a file already at the item's name in its held folder, without
// following a link (a link is left alone). INVALID_HANDLE_VALUE when none
// is there.
HANDLE OpenExistingFileBeneath(const EntryPlace& place) {
  HANDLE file = INVALID_HANDLE_VALUE;
  const DWORD access =
      GENERIC_READ | GENERIC_WRITE | WRITE_DAC | WRITE_OWNER;
  if (OpenBeneath(place.folder, place.leaf, place.length, access,
                  FILE_SHARE_READ, FILE_OPEN, BeneathKind::kFile, &file))
    return INVALID_HANDLE_VALUE;
  if (!IsLinkHandle(file)) return file;
  CloseHandle(file);
  return INVALID_HANDLE_VALUE;
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
  // The item's folder is reached from the target's handle one name at a
  // time and the item made relative to it: a folder swapped for a link
  // after the check above cannot take the copy out of the target.
  FolderChain folders;
  EntryPlace place;
  // 0, or the cause of the failed copy, read right after the failing call.
  DWORD failure = ReachEntryFolder(target, m_entryName, &folders, &place);
  if (failure) {
    m_error.SetError(failure);
    return FALSE;
  }
  PSECURITY_DESCRIPTOR descriptor = ReadSourceDescriptor(sourcePath, isReparse);
  HANDLE copied = INVALID_HANDLE_VALUE;
  ReplacePolicy policy;
  policy.options = m_restoreOptions;
  policy.storedWrite = m_entryData.ftLastWriteTime;
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
    // The restore's own rule: a file in the folder's place stays as it was.
    copied = OpenFolderTarget(attributes, place, &policy, &failure);
    if (copied != INVALID_HANDLE_VALUE)
      SetAttributesThrough(copied, FILE_ATTRIBUTE_NORMAL);
    if (copied != INVALID_HANDLE_VALUE && isReparse)
      failure = SetJunctionThrough(sourcePath, copied, targetPath, m_entryName);
  } else if (attributes & FILE_ATTRIBUTE_ENCRYPTED) {
    // encrypted data cannot be read through the drive: nothing to copy
    copied = OpenExistingFileBeneath(place);
  } else {
    // A folder is not replaced by a file (kOtherKindCode); a file or link
    // at the name is removed through a handle opened there.
    copied = CreateFileBeneath(place.folder, place.leaf, place.length, &policy);
    // A file that is a reparse point (a link to a file) becomes an empty
    // file carrying the same reparse data. Copying its data would follow
    // the link and copy whatever file it names, which may lie outside the
    // image. A file the policy kept stays as it is.
    if (copied != INVALID_HANDLE_VALUE)
      failure = isReparse ? SetJunctionThrough(sourcePath, copied, targetPath,
                                               m_entryName)
                          : CopyFromSource(sourcePath, copied);
    else if (policy.outcome != KV_RESTORED_KEPT)
      failure = LastErrorOr(ERROR_GEN_FAILURE);
  }
  if (failure) {
    m_error.SetError(failure);
    if (copied != INVALID_HANDLE_VALUE) CloseHandle(copied);
    if (descriptor) LocalFree(descriptor);
    return FALSE;
  }
  m_error.SetError(ERROR_SUCCESS);
  m_restoreOutcome = policy.outcome;
  const WCHAR* shortName =
      m_currentItem ? m_currentItem->data.cAlternateFileName : TEXT("");
  if (copied != INVALID_HANDLE_VALUE) {
    ApplyCopiedMetadata(copied, targetPath, m_entryData, shortName,
                        descriptor, m_restoreOptions);
    CloseHandle(copied);
  }
  if (descriptor) LocalFree(descriptor);
  return TRUE;
}

BOOL CKvMorvel::CreateJunction(LPCWSTR source, LPCWSTR target) {
  const DWORD failure =
      SetJunctionThrough(source, INVALID_HANDLE_VALUE, target, m_entryName);
  if (failure) SetLastError(failure);
  return failure == 0;
}
