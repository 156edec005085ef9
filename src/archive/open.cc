// SPDX-License-Identifier: GPL-2.0-or-later
// Open: recognise the container version and set up its control record.
#include <cstring>
#include <new>

#include "KvLog.h"
#include "KvMorvel.h"
#include "archive/codes.h"
#include "common/archive_constants.h"
#include "formats/le_codec.h"
#include "formats/v1/v1_format.h"
#include "formats/v2/v2_format.h"
#include "formats/v5/v5_format.h"
#include "kvwin32.h"

namespace {

// Reads the first 12 bytes and decides the version, then rewinds. Bytes
// missing from a shorter file count as not matching, so such a file is
// version 1 (whose initialiser then rejects it).
DWORD DetectVersion(HANDLE file) {
  BYTE head[12] = {};
  DWORD got = 0;
  if (!ReadFile(file, head, sizeof(head), &got, nullptr)) got = 0;
  SetFilePointer(file, 0, nullptr, FILE_BEGIN);
  if (got >= 8 && memcmp(head, kImageSignature, 8) == 0) return 3;
  if (got < 12) return 1;
  const DWORD v = LoadU32(head + 8);
  return (v == 2 || v == 5) ? v : 1;
}

ULONGLONG FreeSpaceKiB(LPCWSTR path) {
  WCHAR root[260];
  lstrcpynW(root, path, 260);
  PathStripToRootW(root);
  ULARGE_INTEGER callerFree, total, totalFree;
  if (!GetDiskFreeSpaceExW(root, &callerFree, &total, &totalFree)) return 0;
  return totalFree.QuadPart >> 10;
}

// Opens the archive to write: a new file is created with DELETE access,
// so that a failed Open can take away what it made; an existing one is
// opened without it (appending needs no right to delete).
HANDLE OpenForWriting(LPCWSTR fileName, BOOL* created) {
  HANDLE file = CreateFileW(fileName, GENERIC_READ | GENERIC_WRITE | DELETE,
                            0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                            nullptr);
  *created = file != INVALID_HANDLE_VALUE;
  if (*created || GetLastError() != ERROR_FILE_EXISTS) return file;
  return CreateFileW(fileName, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Lets go of the main file of a failed Open. A file this Open created
// goes away through the handle that made it, never by a second look-up of
// its path, which could meet a file put there meanwhile; a file that was
// there before is only closed.
void AbandonMainFile(HANDLE file, BOOL created) {
  if (created) {
    FILE_DISPOSITION_INFO remove = {};
    remove.DeleteFile = TRUE;
    if (!SetFileInformationByHandle(file, FileDispositionInfo, &remove,
                                    sizeof(remove)))
      CKvLog::GetInstance()->AddError(
          TEXT("Cannot remove the archive file this Open created - %u"),
          static_cast<unsigned>(GetLastError()));
  }
  CloseHandle(file);
}

}  // namespace

BOOL CKvMorvel::Open(LPCWSTR fileName, BOOL read, DWORD version) {
  CKvLog* log = CKvLog::GetInstance();
  log->EnterFunction(
      TEXT("BOOL CKvMorvel::Open(LPCTSTR strFileName=%s,BOOL bRead=%u,")
          TEXT("DWORD dwVersion=%u)"),
      fileName ? fileName : TEXT("(null)"), static_cast<unsigned>(read),
      static_cast<unsigned>(version));
  // The path must fit the 260-character archive path field, and the part
  // names and library paths derived from it; a longer one is refused
  // instead of being cut to the name of some other file.
  if (!fileName || !fileName[0]) {
    m_error.SetError(ERROR_INVALID_PARAMETER);
    return log->ExitFunction(FALSE);
  }
  if (lstrlenW(fileName) >= 260) {
    m_error.SetError(kErrorNameTooLong);
    return log->ExitFunction(FALSE);
  }
  // A second archive would take the place of the first one's control
  // record and handles, which could then be neither written nor closed.
  if (m_control || m_mounted) {
    log->AddError(TEXT("An archive is open on this object already"));
    m_error.SetError(kErrorAlreadyOpen);
    return log->ExitFunction(FALSE);
  }
  m_freeSpaceKiB = FreeSpaceKiB(fileName);
  m_read = read;
  m_listEndCode = ERROR_NO_MORE_ITEMS;

  BOOL created = FALSE;
  HANDLE file = read ? CreateFileW(fileName, GENERIC_READ, FILE_SHARE_READ,
                                   nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr)
                     : OpenForWriting(fileName, &created);
  const DWORD openError = GetLastError();
  if (file == INVALID_HANDLE_VALUE) {
    log->AddError(TEXT("CreateFile on %s - %u"), fileName,
                  static_cast<unsigned>(openError));
    m_error.SetError(openError);
    return log->ExitFunction(FALSE);
  }
  // Only a file on a disk is an archive. A pipe or device would make the
  // version test wait for data that may never come (the POSIX layer
  // refuses those in CreateFileW already, with the same code).
  const BOOL existing = !created;
  if (GetFileType(file) != FILE_TYPE_DISK) {
    AbandonMainFile(file, !existing);
    log->AddError(TEXT("%s is not a file on a disk"), fileName);
    m_error.SetError(ERROR_BAD_FILE_TYPE);
    return log->ExitFunction(FALSE);
  }
  lstrcpyW(m_archivePath, fileName);
  m_version = read ? DetectVersion(file) : version;

  if (m_version == 3) {
    CloseHandle(file);
    return log->ExitFunction(OpenSIMImage(fileName));
  }
  if (m_version == 5) return log->ExitFunction(OpenV5(file, existing));
  return log->ExitFunction(OpenV1V2(file, existing));
}

BOOL CKvMorvel::OpenV5(HANDLE file, BOOL existing) {
  _MVRL_OBJECT_5* record = new (std::nothrow) _MVRL_OBJECT_5;
  if (!record) {
    AbandonMainFile(file, !existing);
    m_error.SetError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  InitV5ControlRecord(record);
  m_partNumber = 0;
  m_partHandle = INVALID_HANDLE_VALUE;
  m_currentIndex = 0;
  m_lastFlushTick = GetTickCount();
  if (existing) {
    // For writing, InitStructuresV5 also refuses a file that is not a
    // version 5 archive (11) and a damaged catalogue (1392).
    if (!InitStructuresV5(file, record)) {
      const DWORD code = GetLastError();
      CloseHandle(file);
      delete record;
      m_error.SetError(code);
      return FALSE;
    }
    record->archive = file;
    m_control = record;
    m_partNumber = 0;
    m_partHandle = INVALID_HANDLE_VALUE;
    m_currentIndex = 0;
    m_batchHoldsLoaded = TRUE;
    m_error.SetError(ERROR_SUCCESS);
    return TRUE;
  }
  record->archive = file;
  m_control = record;
  m_entries5.clear();
  m_batchHoldsLoaded = FALSE;
  m_partFill = 0;
  // A header that cannot be written, or no part to write to: the open
  // fails and lets the archive go, as the host does not close an archive
  // it could not open. (Records written behind a missing header would
  // land where the header goes at Close.)
  if (!CreateHeader5() || !AddPart()) {
    m_error.SetError(GetLastError());
    AbandonMainFile(file, TRUE);
    delete record;
    m_control = nullptr;
    return FALSE;
  }
  m_currentIndex = 0;
  return TRUE;
}

BOOL CKvMorvel::OpenV1V2(HANDLE file, BOOL existing) {
  if (m_version == 2) {
    _MVRL_OBJECT_2* record = new (std::nothrow) _MVRL_OBJECT_2;
    if (!record) {
      AbandonMainFile(file, !existing);
      m_error.SetError(ERROR_NOT_ENOUGH_MEMORY);
      return FALSE;
    }
    InitV2ControlRecord(record);
    if (existing) {
      if (!InitStructuresV2(file, record)) {
        CloseHandle(file);
        delete record;
        return FALSE;
      }
      m_entries2.clear();
      m_currentIndex = 0;
      FillVector(1);
      return TRUE;
    }
    record->archive = file;
    record->catalogue.Attach(file, 0, 0, &record->atWritePosition);
    record->catalogue.SetArchivePath(m_archivePath);
    record->modified = TRUE;
    record->header.capacity = m_freeSpaceKiB << 10;
    record->budget = record->header.capacity - kV2HeaderSize;
    m_control = record;
    m_entries2.clear();
    m_currentIndex = 0;
    m_nextCataloguePos = 0;
    m_listEndCode = ERROR_NO_MORE_ITEMS;
    return TRUE;
  }
  _MVRL_OBJECT* record = new (std::nothrow) _MVRL_OBJECT;
  if (!record) {
    AbandonMainFile(file, !existing);
    m_error.SetError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  InitV1ControlRecord(record);
  if (existing) {
    if (!InitStructuresV1(file, record)) {
      CloseHandle(file);
      delete record;
      return FALSE;
    }
    return TRUE;
  }
  record->archive = file;
  record->catalogue.Attach(file, 0, 0, &record->atWritePosition);
  record->catalogue.SetArchivePath(m_archivePath);
  m_control = record;
  return TRUE;
}
