// SPDX-License-Identifier: GPL-2.0-or-later
// The archive object: state, copying, dispatch by version and accessors.
#include "KvMorvel.h"

#include <cstring>
#include <vector>

#include "KvLog.h"
#include "archive/codes.h"
#include "archive/manifest.h"
#include "formats/short_name.h"
#include "formats/source_descriptor.h"
#include "formats/piece_source.h"
#include "formats/v1/v1_format.h"
#include "formats/v2/v2_format.h"
#include "formats/v5/v5_format.h"
#include "kvwin32.h"

namespace {

const ULONGLONG kDefaultSplitSize = 650117120ull;  // 620 MiB

// Copies a zero-terminated string into a 260-character field, cutting it
// to fit rather than writing past the field.
void CopyField(WCHAR (&field)[260], const WCHAR* text) {
  lstrcpynW(field, text ? text : TEXT(""), 260);
}

// The current entry's whole name. A host's subclass may have written
// m_entryName itself: the whole name counts only while it still begins
// with that field's text, else the field is the name.
const WCHAR* WholeEntryName(const std::vector<WCHAR>& whole,
                            const WCHAR (&cut)[260]) {
  if (whole.empty()) return cut;
  for (size_t i = 0; cut[i]; ++i)
    if (whole[i] != cut[i]) return cut;
  return whole.data();
}

// The restore's memory of the data it read, in the control record of the
// open archive (null for an image or no archive).
DataOwners* OwnersOf(void* control, DWORD version) {
  if (!control) return nullptr;
  if (version == 1) return &static_cast<_MVRL_OBJECT*>(control)->owners;
  if (version == 2) return &static_cast<_MVRL_OBJECT_2*>(control)->owners;
  if (version == 5) return &V5Record(control)->owners;
  return nullptr;
}

}  // namespace

CKvMorvel::CKvMorvel()
    : m_entryData(),
      m_control(nullptr),
      m_compressionLevel(0),
      m_read(FALSE),
      m_version(1),
      m_freeSpaceKiB(0),
      m_currentItem(nullptr),
      m_mounted(FALSE),
      m_currentIndex(0),
      m_splitSize(kDefaultSplitSize),
      m_partNumber(1),
      m_partFill(0),
      m_modified(FALSE),
      m_partHandle(INVALID_HANDLE_VALUE),
      m_header5(DefaultV5Header()),
      m_nextCataloguePos(0xFFFFFFFFFFFFFFFFull),
      m_catalogueEnded(FALSE),
      m_batchHoldsLoaded(FALSE),
      m_entryNamePlain(FALSE),
      m_listEndCode(ERROR_NO_MORE_ITEMS),
      m_flushEntries(kV5FlushEveryEntries),
      m_flushMilliseconds(kV5FlushEveryMilliseconds),
      m_lastFlushTick(0),
      m_cancel(false),
      m_errorCause(0),
      m_errorCausePart(0),
      m_restoreOptions(0),
      m_restoreOutcome(KV_RESTORED_NOTHING),
      m_manifest(nullptr) {
  m_archivePath[0] = 0;
  m_entryName[0] = 0;
  m_encryptedName[0] = 0;
  m_drive[0] = 0;
}

// The control record and the part handle are shared, not duplicated:
// both objects then refer to the same open files.
CKvMorvel::CKvMorvel(const CKvMorvel& other)
    : CKvObject(other),
      m_entryData(other.m_entryData),
      m_control(other.m_control),
      m_compressionLevel(other.m_compressionLevel),
      m_read(other.m_read),
      m_version(other.m_version),
      m_freeSpaceKiB(other.m_freeSpaceKiB),
      m_currentItem(other.m_currentItem),
      m_mounted(other.m_mounted),
      m_currentIndex(other.m_currentIndex),
      m_splitSize(other.m_splitSize),
      m_entries2(other.m_entries2),
      m_entries5(other.m_entries5),
      m_partNumber(other.m_partNumber),
      m_partFill(other.m_partFill),
      m_modified(other.m_modified),
      m_partHandle(other.m_partHandle),
      m_header5(other.m_header5),
      m_nextCataloguePos(other.m_nextCataloguePos),
      m_catalogueEnded(other.m_catalogueEnded),
      m_batchHoldsLoaded(other.m_batchHoldsLoaded),
      m_entryNamePlain(other.m_entryNamePlain),
      m_listEndCode(other.m_listEndCode),
      m_flushEntries(other.m_flushEntries),
      m_flushMilliseconds(other.m_flushMilliseconds),
      m_lastFlushTick(other.m_lastFlushTick),
      m_entryWholeName(other.m_entryWholeName),
      m_cancel(other.m_cancel.load()),
      m_errorCause(other.m_errorCause),
      m_errorCausePart(other.m_errorCausePart),
      m_restoreOptions(other.m_restoreOptions),
      m_restoreOutcome(other.m_restoreOutcome),
      m_manifest(nullptr) {
  CopyField(m_archivePath, other.m_archivePath);
  CopyField(m_entryName, other.m_entryName);
  CopyField(m_encryptedName, other.m_encryptedName);
  CopyField(m_drive, other.m_drive);
}

CKvMorvel& CKvMorvel::operator=(const CKvMorvel& other) {
  if (this == &other) return *this;
  CKvObject::operator=(other);
  CopyField(m_archivePath, other.m_archivePath);
  CopyField(m_entryName, other.m_entryName);
  CopyField(m_encryptedName, other.m_encryptedName);
  m_entryData = other.m_entryData;
  m_control = other.m_control;
  m_compressionLevel = other.m_compressionLevel;
  m_read = other.m_read;
  m_version = other.m_version;
  m_freeSpaceKiB = other.m_freeSpaceKiB;
  m_currentItem = other.m_currentItem;
  m_mounted = other.m_mounted;
  CopyField(m_drive, other.m_drive);
  m_currentIndex = other.m_currentIndex;
  m_splitSize = other.m_splitSize;
  m_entries2 = other.m_entries2;
  m_entries5 = other.m_entries5;
  m_partNumber = other.m_partNumber;
  m_partFill = other.m_partFill;
  m_modified = other.m_modified;
  m_partHandle = other.m_partHandle;
  m_header5 = other.m_header5;
  m_nextCataloguePos = other.m_nextCataloguePos;
  m_catalogueEnded = other.m_catalogueEnded;
  m_batchHoldsLoaded = other.m_batchHoldsLoaded;
  m_entryNamePlain = other.m_entryNamePlain;
  m_listEndCode = other.m_listEndCode;
  m_flushEntries = other.m_flushEntries;
  m_flushMilliseconds = other.m_flushMilliseconds;
  m_lastFlushTick = other.m_lastFlushTick;
  m_entryWholeName = other.m_entryWholeName;
  m_cancel.store(other.m_cancel.load());
  m_errorCause = other.m_errorCause;
  m_errorCausePart = other.m_errorCausePart;
  m_restoreOptions = other.m_restoreOptions;
  m_restoreOutcome = other.m_restoreOutcome;
  // A manifest describes the archive this object held, which it no
  // longer does: it is let go, marked incomplete.
  delete m_manifest;
  m_manifest = nullptr;
  return *this;
}

// Releases the entry lists only: an archive or image left open stays open,
// as the host owns the decision to close it.
CKvMorvel::~CKvMorvel() {
  ReleaseEntryLists();
  delete m_manifest;  // left marked incomplete unless Close completed it
}

void CKvMorvel::ReleaseEntryLists() {
  std::vector<_MVRL_FILEENTRY_2>().swap(m_entries2);
  std::vector<_MVRL_FILEENTRY_MAX_5>().swap(m_entries5);
}

BOOL CKvMorvel::Dump() { return TRUE; }

void CKvMorvel::Release() {
  // A host that holds a null object has nothing to release. Calling a
  // member through a null pointer is undefined, so the compiler takes
  // `this` for non-null and drops a plain test of it (and the one inside
  // delete); read back through a volatile, the value is unknown to it and
  // the test stays.
  CKvMorvel* volatile self = this;
  if (self != nullptr) delete self;
}

// --- Reading entries ----------------------------------------------------

void CKvMorvel::LoadCurrentEntry(const WIN32_FILE_ATTRIBUTE_DATA& data,
                                 LPCWSTR name) {
  m_entryData = data;
  SetEntryName(name);
  m_encryptedName[0] = 0;
  const DWORD attributes = data.dwFileAttributes;
  if (!(attributes & FILE_ATTRIBUTE_ENCRYPTED) ||
      (attributes & FILE_ATTRIBUTE_DIRECTORY))
    return;
  const ULONGLONG now = KvTimeNow();
  KvSrand(GetTickCount());
  const WCHAR* whole = WholeEntryName(m_entryWholeName, m_entryName);
  const int length = lstrlenW(whole);
  if (length > 0 && whole[length - 1] == '\\') return;
  const WCHAR* base = whole;
  for (const WCHAR* p = whole; *p; ++p)
    if (*p == '\\') base = p + 1;
  // A name that does not fit the 260-character field is left empty rather
  // than cut: a cut name could collide with another entry's.
  if (KvFormatW(m_encryptedName, 260, TEXT("%s.%u.%u"), base,
                static_cast<unsigned>(KvRand()),
                static_cast<unsigned>(now & 0xFFFFFFFFu)) < 0)
    m_encryptedName[0] = 0;
}

void CKvMorvel::SetEntryName(LPCWSTR name) {
  if (!name) name = TEXT("");
  CopyField(m_entryName, name);
  m_entryWholeName.assign(name, name + lstrlenW(name) + 1);
}

BOOL CKvMorvel::Info(BOOL advance) {
  if (m_version == 3) return VDInfo(advance);
  if (m_version == 5 || m_version == 2) {
    if (!m_control) {
      m_error.SetError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    if (m_version == 5) {
      if (m_currentIndex >= m_entries5.size()) {
        if (m_catalogueEnded) {
          m_error.SetError(m_listEndCode);
          return FALSE;
        }
        LoadNextEntries();
        // Tested against the index, not emptiness: a load refused while
        // the batch holds added entries leaves them and the index as is.
        if (m_currentIndex >= m_entries5.size()) {
          m_error.SetError(m_listEndCode);
          return FALSE;
        }
      }
      const _MVRL_FILEENTRY_MAX_5& e = m_entries5[m_currentIndex];
      LoadCurrentEntry(e.data, e.name);
    } else {
      FillVector(1);
      if (m_currentIndex >= m_entries2.size()) {
        m_error.SetError(m_listEndCode);
        return FALSE;
      }
      const _MVRL_FILEENTRY_2& e = m_entries2[m_currentIndex];
      WCHAR name[kV2TailSize / 2 + 1];
      V2EntryName(e, name, sizeof(name) / sizeof(name[0]));
      LoadCurrentEntry(e.data, name);
    }
    if (advance) {
      ++m_currentIndex;
      OwnersOf(m_control, m_version)->PassEntry();
    }
    return TRUE;
  }
  if (!InfoV1(advance)) return FALSE;
  if (advance && m_control) OwnersOf(m_control, m_version)->PassEntry();
  return TRUE;
}

// --- Writing and restoring ----------------------------------------------

BOOL CKvMorvel::AddFile(LPCWSTR source, LPCWSTR name, void* descriptor,
                        DWORD descriptorLength) {
  if (!m_control || !source || !name) {
    m_error.SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // A source whose attributes cannot be read is added with zeroed
  // attribute data; the adder then fails on opening it, with its code.
  WIN32_FILE_ATTRIBUTE_DATA data = {};
  if (!GetFileAttributesExW(source, GetFileExInfoStandard, &data))
    data = WIN32_FILE_ATTRIBUTE_DATA();
  return AddFile(source, name, &data, descriptor, descriptorLength);
}

namespace {

// What an add stores for an item: data, a folder, a reparse record.
enum class SourceKind { kFile, kFolder, kReparsePoint };

SourceKind KindOf(DWORD attributes) {
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return SourceKind::kReparsePoint;
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return SourceKind::kFolder;
  return SourceKind::kFile;
}

// Why no add may be made now, or 0: an image is not written here, and
// an archive opened for reading is never written (a version 5 add would
// grow its last part and the catalogue could not be written at Close).
DWORD AddRefusal(DWORD version, BOOL read, const CancelFlag* cancel) {
  if (version == 3) return E_NOTIMPL;
  if (read) return ERROR_ACCESS_DENIED;
  if (CancelRequested(cancel)) return kCancelledCode;
  return 0;
}

}  // namespace

BOOL CKvMorvel::AddFile(LPCWSTR source, LPCWSTR name,
                        WIN32_FILE_ATTRIBUTE_DATA* data, void* descriptor,
                        DWORD descriptorLength) {
  if (!m_control || !source || !name || !data) {
    m_error.SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (const DWORD refused = AddRefusal(m_version, m_read, &m_cancel)) {
    m_error.SetError(refused);
    return FALSE;
  }
  // Opened once, a link never followed: everything stored is read
  // through this handle, so nothing put at the path meanwhile is read.
  const bool file = KindOf(data->dwFileAttributes) == SourceKind::kFile;
  HANDLE opened = CreateFileW(
      source, GENERIC_READ,
      file ? FILE_SHARE_READ
           : FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
      nullptr, OPEN_EXISTING,
      FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  // A folder's entry keeps the caller's data alone: one whose source
  // cannot be opened is still stored, with nothing read.
  if (opened == INVALID_HANDLE_VALUE &&
      KindOf(data->dwFileAttributes) != SourceKind::kFolder) {
    // Version 1 leaves the holder as it was and tells the open's code as
    // the thread's last error only.
    if (m_version != 1) m_error.SetError(GetLastError());
    return FALSE;
  }
  const BOOL added =
      AddFromHandle(opened, source, name, data, false, descriptor,
                    descriptorLength);
  const DWORD code = GetLastError();
  if (opened != INVALID_HANDLE_VALUE) CloseHandle(opened);
  SetLastError(code);
  return added;
}

BOOL CKvMorvel::AddOpenedFile(HANDLE source, LPCWSTR name,
                              WIN32_FILE_ATTRIBUTE_DATA* data,
                              void* descriptor, DWORD descriptorLength) {
  if (!m_control || !source || source == INVALID_HANDLE_VALUE || !name) {
    m_error.SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  WIN32_FILE_ATTRIBUTE_DATA own = {};
  if (!data) {
    if (!ReadSourceData(source, &own)) {
      m_error.SetError(GetLastError());
      return FALSE;
    }
    data = &own;
  }
  return AddFromHandle(source, nullptr, name, data, data == &own, descriptor,
                       descriptorLength);
}

BOOL CKvMorvel::AddFromHandle(HANDLE source, LPCWSTR path, LPCWSTR name,
                              WIN32_FILE_ATTRIBUTE_DATA* data,
                              bool dataFromHandle, void* descriptor,
                              DWORD descriptorLength) {
  if (const DWORD refused = AddRefusal(m_version, m_read, &m_cancel)) {
    m_error.SetError(refused);
    return FALSE;
  }
  // What was opened must be what the caller looked at: a file put in a
  // folder's place, or a link in a file's, is not stored under its name.
  // (Where the caller says reparse point, reading the point through the
  // handle refuses anything else as no reparse point.)
  WIN32_FILE_ATTRIBUTE_DATA opened = *data;
  if (source != INVALID_HANDLE_VALUE && !dataFromHandle) {
    if (!ReadSourceData(source, &opened)) {
      m_error.SetError(GetLastError());
      return FALSE;
    }
    const SourceKind said = KindOf(data->dwFileAttributes);
    if (KindOf(opened.dwFileAttributes) != said &&
        said != SourceKind::kReparsePoint) {
      m_error.SetError(kErrorSourceChanged);
      return FALSE;
    }
  }
  // Version 1 keeps its folder's short name too, and a reparse point's
  // source is named in the log: only they need the name the system gives
  // the handle. The others read everything through the handle.
  std::vector<WCHAR> named;
  if (!path && (m_version == 1 ||
                (data->dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))) {
    named = NameOfHandle(source);
    path = named.data();
  }
  if (m_manifest) m_manifest->digest.Reset();
  BOOL added = FALSE;
  if (m_version == 2)
    added = AddFileProcess2(source, path, name, data, descriptor,
                            descriptorLength);
  else if (m_version == 5)
    added = AddFileProcess5(source, path, name, data, descriptor,
                            descriptorLength);
  else
    added = AddFileProcess(source, path, name, &opened, descriptor,
                           descriptorLength);
  if (!added || !m_manifest || !HasEntryData(m_version, data->dwFileAttributes))
    return added;
  const DWORD code = AddManifestEntry(m_manifest, name);
  if (code) m_error.SetError(code);
  return code == 0;
}

BOOL CKvMorvel::ExtractFile(LPCWSTR target, int flag) {
  m_restoreOutcome = KV_RESTORED_NOTHING;
  if (!target) {
    m_error.SetError(kErrorNullTarget);
    return FALSE;
  }
  if (CancelRequested(&m_cancel)) {
    m_error.SetError(kCancelledCode);
    return FALSE;
  }
  if (m_version == 3) return VDExtractFile(target);
  if (!m_control) {
    m_error.SetError(kErrorNoArchive);
    return FALSE;
  }
  if (m_version == 2) return MorvelExtractFile2(target, flag);
  if (m_version == 5) return MorvelExtractFile5(target, flag);
  return MorvelExtractFile(target, flag);
}

void CKvMorvel::Cancel() { m_cancel.store(true, std::memory_order_relaxed); }

BOOL CKvMorvel::Close() {
  if (m_version == 3) return UnmountImage(m_drive[0]);
  BOOL closed = FALSE;
  if (m_version == 5)
    closed = CloseStructuresV5();
  else if (m_version == 2)
    closed = CloseStructuresV2();
  else
    closed = CloseStructuresV1();
  // A version 1 archive whose Close failed stays open for another Close,
  // and keeps its manifest for it; otherwise the manifest is done with.
  if (!m_manifest || (!closed && m_control)) return closed;
  const DWORD code = closed ? CompleteManifest(m_manifest, m_archivePath,
                                               m_version == 5 ? m_header5.partCount : 0)
                            : 0;
  delete m_manifest;
  m_manifest = nullptr;
  if (code) m_error.SetError(code);
  return closed && code == 0;
}

// --- Accessors ----------------------------------------------------------

DWORD CKvMorvel::GetVersion() { return m_version; }
DWORD CKvMorvel::GetAttributes() { return m_entryData.dwFileAttributes; }
WIN32_FILE_ATTRIBUTE_DATA CKvMorvel::GetAttributesData() {
  return m_entryData;
}
FILETIME CKvMorvel::GetCreationTime() { return m_entryData.ftCreationTime; }
FILETIME CKvMorvel::GetLastAccessTime() {
  return m_entryData.ftLastAccessTime;
}
FILETIME CKvMorvel::GetLastWriteTime() { return m_entryData.ftLastWriteTime; }
LONGLONG CKvMorvel::GetLength64() {
  return static_cast<LONGLONG>(
      (static_cast<ULONGLONG>(m_entryData.nFileSizeHigh) << 32) |
      m_entryData.nFileSizeLow);
}

// Copies `text` into a caller's buffer. A string longer than the stated
// capacity is refused with 122 instead of being written past the buffer.
BOOL CKvMorvel::CopyOut(const WCHAR* text, WCHAR* buffer, DWORD capacity) {
  if (IsBadWritePtr(buffer, static_cast<uintptr_t>(capacity) * 2)) {
    m_error.SetError(kErrorNullTarget);
    return FALSE;
  }
  if (static_cast<DWORD>(lstrlenW(text)) >= capacity) {
    m_error.SetError(kErrorNameTooLong);
    return FALSE;
  }
  lstrcpyW(buffer, text);
  return TRUE;
}

BOOL CKvMorvel::GetFile(WCHAR* buffer, DWORD capacity) {
  return CopyOut(WholeEntryName(m_entryWholeName, m_entryName), buffer,
                 capacity);
}

BOOL CKvMorvel::GetEntryName(WCHAR* buffer, DWORD capacity, DWORD* needed) {
  if (IsBadWritePtr(needed, sizeof *needed)) {
    m_error.SetError(kErrorNullTarget);
    return FALSE;
  }
  const WCHAR* name = WholeEntryName(m_entryWholeName, m_entryName);
  *needed = static_cast<DWORD>(lstrlenW(name)) + 1;
  // Asked first, so that a null buffer of capacity 0 learns the size.
  if (capacity < *needed) {
    m_error.SetError(kErrorNameTooLong);
    return FALSE;
  }
  return CopyOut(name, buffer, capacity);
}
BOOL CKvMorvel::GetEncryptedFileName(WCHAR* buffer, DWORD capacity) {
  return CopyOut(m_encryptedName, buffer, capacity);
}
BOOL CKvMorvel::GetMountedDrive(WCHAR* buffer, DWORD capacity) {
  return CopyOut(m_drive, buffer, capacity);
}

void CKvMorvel::SetDataFailure(DWORD cause, DWORD part) {
  m_errorCause = cause;
  m_errorCausePart = part;
  // A stop the host asked for is reported as itself, not as lost data.
  m_error.SetError(cause == kCancelledCode ? kCancelledCode
                                           : ERROR_INTERNAL_ERROR);
}

DWORD CKvMorvel::GetErrorCause(DWORD* part) const {
  const bool held = m_error.GetError() == ERROR_INTERNAL_ERROR;
  if (part) *part = held ? m_errorCausePart : 0;
  return held ? m_errorCause : 0;
}

BOOL CKvMorvel::GetFailedPartFile(WCHAR* buffer, DWORD capacity,
                                  DWORD* cause) {
  // Only version 5 has part files; its restore keeps the cause.
  const RestoreCause* kept =
      m_version == 5 && m_control ? &V5Record(m_control)->cause : nullptr;
  const bool named = kept && kept->file[0];
  if (!CopyOut(named ? kept->file : TEXT(""), buffer, capacity)) return FALSE;
  if (cause) *cause = named ? kept->code : 0;
  return TRUE;
}

void CKvMorvel::SetCompressionLevel(int level) { m_compressionLevel = level; }
ULONGLONG CKvMorvel::GetSplitSize() { return m_splitSize; }
void CKvMorvel::SetRestoreOptions(DWORD options) { m_restoreOptions = options; }
DWORD CKvMorvel::GetRestoreOptions() const { return m_restoreOptions; }
DWORD CKvMorvel::GetRestoreOutcome() const { return m_restoreOutcome; }
void CKvMorvel::SetSplitSize(ULONGLONG size) { m_splitSize = size; }
