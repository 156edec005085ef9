// SPDX-License-Identifier: GPL-2.0-or-later
// Disk images: the depth-first walk of the mounted drive, one item per
// Info call.
#include <new>

#include "KvLog.h"
#include "KvMorvel.h"
#include "image/image_item.h"
#include "kvwin32.h"
#include "restore/restore_common.h"

namespace {

const WCHAR kVolumeInformation[] = TEXT("System Volume Information");

// Moves a level's search to its next entry; a search that runs out is
// closed and marked invalid.
void AdvanceSearch(_item* level) {
  if (level->find == INVALID_HANDLE_VALUE) return;
  if (!FindNextFileW(level->find, &level->data)) {
    FindClose(level->find);
    level->find = INVALID_HANDLE_VALUE;
  }
}

// Leaves every exhausted level: frees it and moves its parent's search
// past the directory just finished. Returns the level the walk stands on,
// or null when the walk is over and every node is freed.
_item* LeaveExhaustedLevels(_item* level) {
  while (level && level->find == INVALID_HANDLE_VALUE) {
    _item* parent = level->parent;
    delete level;
    level = parent;
    if (level) AdvanceSearch(level);
  }
  return level;
}

// Starts the search of a directory's contents, skipping "." and ".." at
// its start. A search that cannot start, or finds nothing else, leaves
// the handle invalid: the level is then left at the next step.
void StartLevelSearch(_item* level, LPCWSTR drive, LPCWSTR entryName) {
  level->find = INVALID_HANDLE_VALUE;
  WCHAR directory[kImagePathChars];
  WCHAR pattern[kImagePathChars];
  if (!JoinImagePath(directory, kImagePathChars, drive, entryName) ||
      !JoinImagePath(pattern, kImagePathChars, directory, TEXT("*.*")))
    return;
  level->find = FindFirstFileW(pattern, &level->data);
  while (level->find != INVALID_HANDLE_VALUE &&
         IsDotName(level->data.cFileName))
    AdvanceSearch(level);
}

}  // namespace

BOOL IsVolumeInformationName(LPCWSTR entryName) {
  return lstrcmpiW(entryName, kVolumeInformation) == 0;
}

BOOL IsNeverCopiedName(LPCWSTR entryName) {
  static const WCHAR* const kNames[] = {TEXT("TEPH.DAV"),
                                        TEXT("pagefile.sys"),
                                        TEXT("hiberfil.sys"),
                                        kVolumeInformation};
  for (const WCHAR* name : kNames)
    if (lstrcmpiW(entryName, name) == 0) return TRUE;
  return FALSE;
}

BOOL CKvMorvel::VDInfo(BOOL advance) {
  // The item's name relative to the drive's root. An item whose name does
  // not fit 260 characters could be neither named nor copied: the walk
  // steps over it (and, for a directory, its contents) with an error line.
  WCHAR entryName[kImagePathChars];
  for (;;) {
    m_currentItem = LeaveExhaustedLevels(m_currentItem);
    if (!m_currentItem) return FALSE;
    WCHAR directory[kImagePathChars];
    if (GetPath(m_currentItem, directory, kImagePathChars) &&
        JoinImagePath(entryName, kImagePathChars, directory,
                      m_currentItem->data.cFileName))
      break;
    CKvLog::GetInstance()->AddError(TEXT("Path too long, item skipped: %s"),
                                    m_currentItem->data.cFileName);
    AdvanceSearch(m_currentItem);
  }
  const WIN32_FIND_DATAW& found = m_currentItem->data;
  const int length = lstrlenW(entryName);
  const WCHAR* relative = length > 3 ? entryName + 3 : entryName;

  m_entryData.dwFileAttributes = found.dwFileAttributes;
  m_entryData.ftCreationTime = found.ftCreationTime;
  m_entryData.ftLastAccessTime = found.ftLastAccessTime;
  m_entryData.ftLastWriteTime = found.ftLastWriteTime;
  m_entryData.nFileSizeHigh = found.nFileSizeHigh;
  m_entryData.nFileSizeLow = found.nFileSizeLow;
  SetEntryName(relative);
  m_encryptedName[0] = 0;
  // The walk enters only folders with a plain name, so the levels above
  // are plain and the item's own name decides. A name that is not (a
  // Linux name holding "\", a "." or ".." listed later than a search's
  // start) is listed, never entered: joined, it would name another path,
  // through a link or above its folder. The copy refuses it.
  m_entryNamePlain = IsPlainFileName(found.cFileName);
  if (!advance) return TRUE;

  const DWORD attributes = found.dwFileAttributes;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) &&
      !(attributes & FILE_ATTRIBUTE_REPARSE_POINT) && m_entryNamePlain &&
      !IsVolumeInformationName(m_entryName)) {
    _item* child = new (std::nothrow) _item();
    if (!child) {
      FindClose(m_currentItem->find);
      m_currentItem->find = INVALID_HANDLE_VALUE;
      return FALSE;
    }
    child->parent = m_currentItem;
    lstrcpynW(child->name, found.cFileName, kImagePathChars);
    StartLevelSearch(child, m_drive, m_entryName);
    m_currentItem = child;
    return TRUE;
  }
  AdvanceSearch(m_currentItem);
  return TRUE;
}
