// SPDX-License-Identifier: GPL-2.0-or-later
// Disk images: finding a drive letter, mounting and unmounting through the
// mount library, and the node list that holds the walk of the drive.
#include <new>
#include <vector>

#include "KvMorvel.h"
#include "archive/codes.h"
#include "image/image_item.h"
#include "kvwin32.h"

namespace {

// The mount library's exports. Strings are ANSI; 0 means success.
typedef int (*MountProc)(const char* mountPoint, const char* image, int flag);
typedef int (*UnMountProc)(const char* drive);

// The third argument of "Mount": unpack and mount the image's tree.
const int kMountFlag = 1;

// An export of the library as the function type it has; the cast passes
// through the generic function type, as exports are looked up untyped.
template <typename Proc>
Proc ExportOf(HMODULE library, const char* name) {
  return reinterpret_cast<Proc>(
      reinterpret_cast<void (*)()>(GetProcAddress(library, name)));
}

// Loads "virtdisk.dll" by its bare name from the trusted folders only
// (LOAD_LIBRARY_SEARCH_DEFAULT_DIRS): on Windows the program's folder and
// the system's, on Linux the layer's (the program's folder, the private
// module folder, the folder of the archive library). The current folder
// is never searched, so a library planted where the host stands is not
// loaded even when none is installed. Each call loads it afresh and the
// caller frees it right after use.
HMODULE LoadMountLibrary() {
  return LoadLibraryExW(TEXT("virtdisk.dll"), nullptr,
                        LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
}

// The system's ANSI form of `wide` in 260 bytes, "_" for characters the
// code page cannot hold. FALSE when it does not fit.
BOOL ToAnsi(LPCWSTR wide, char (&ansi)[kImagePathChars]) {
  return WideCharToMultiByte(CP_ACP, 0, wide, -1, ansi, kImagePathChars, "_",
                             nullptr) > 0;
}

}  // namespace

BOOL JoinImagePath(WCHAR* out, DWORD capacity, LPCWSTR dir, LPCWSTR name) {
  const int dirLength = lstrlenW(dir);
  // An empty directory adds no separator: the name stands alone.
  const bool needsSeparator =
      dirLength > 0 && dir[dirLength - 1] != '\\' && dir[dirLength - 1] != '/';
  const size_t needed = static_cast<size_t>(dirLength) +
                        (needsSeparator ? 1 : 0) +
                        static_cast<size_t>(lstrlenW(name)) + 1;
  if (capacity == 0) return FALSE;
  out[0] = 0;
  if (needed > capacity) return FALSE;
  lstrcpyW(out, dir);
  if (needsSeparator) lstrcatW(out, TEXT("\\"));
  lstrcatW(out, name);
  return TRUE;
}

BOOL IsDotName(LPCWSTR name) {
  return lstrcmpW(name, TEXT(".")) == 0 || lstrcmpW(name, TEXT("..")) == 0;
}

BOOL CKvMorvel::OpenSIMImage(LPCWSTR image) {
  const WCHAR* source = (image && image[0]) ? image : m_archivePath;
  // A path that does not fit the 260-character limit is refused with 122
  // rather than cut to the name of some other file.
  if (static_cast<DWORD>(lstrlenW(source)) >= kImagePathChars) {
    m_error.SetError(kErrorNameTooLong);
    return FALSE;
  }
  WCHAR path[kImagePathChars];
  lstrcpyW(path, source);

  m_drive[0] = 0;
  GetFreeVolume(m_drive, kImagePathChars);
  if (!m_drive[0]) {
    m_error.SetError(ERROR_INVALID_DRIVE);
    return FALSE;
  }
  if (!MountImage(path, m_drive)) {
    m_drive[0] = 0;
    m_error.SetError(ERROR_INVALID_DATA);
    return FALSE;
  }
  return VDBuildItems();
}

BOOL CKvMorvel::GetFreeVolume(WCHAR* buffer, DWORD capacity) {
  if (IsBadWritePtr(buffer, static_cast<uintptr_t>(capacity) * 2))
    return FALSE;
  for (WCHAR letter = 'Z'; letter >= 'C'; --letter) {
    WCHAR root[4];
    if (KvFormatW(root, 4, TEXT("%c:\\"), static_cast<unsigned>(letter)) < 0)
      return FALSE;
    if (GetDriveTypeW(root) != DRIVE_NO_ROOT_DIR) continue;
    // A buffer too small for the root gets nothing rather than a cut root.
    if (capacity < 4) break;
    lstrcpyW(buffer, root);
    return TRUE;
  }
  if (capacity > 0) buffer[0] = 0;
  return FALSE;
}

BOOL CKvMorvel::MountImage(LPCWSTR image, LPCWSTR mountPoint) {
  BOOL result = FALSE;
  HMODULE library = LoadMountLibrary();
  if (library) {
    MountProc mount = ExportOf<MountProc>(library, "Mount");
    char ansiImage[kImagePathChars];
    char ansiMountPoint[kImagePathChars];
    if (mount && ToAnsi(image, ansiImage) &&
        ToAnsi(mountPoint, ansiMountPoint))
      result = mount(ansiMountPoint, ansiImage, kMountFlag) == 0;
    FreeLibrary(library);
  }
  m_mounted = result;
  return result;
}

BOOL CKvMorvel::UnmountImage(WCHAR drive) {
  if (!m_mounted) {
    m_error.SetError(kErrorNotMounted);
    return TRUE;
  }
  VDCloseFindHandles();
  WCHAR name[8];
  char ansiName[kImagePathChars];
  HMODULE library = nullptr;
  if (KvFormatW(name, 8, TEXT("%c:"), static_cast<unsigned>(drive)) < 0 ||
      !ToAnsi(name, ansiName) || !(library = LoadMountLibrary())) {
    m_error.SetError(kErrorNotMounted);
    return FALSE;
  }
  UnMountProc unmount = ExportOf<UnMountProc>(library, "UnMount");
  const int result = unmount ? unmount(ansiName) : 1;
  FreeLibrary(library);
  if (result != 0) {
    m_error.SetError(kErrorNotMounted);
    return FALSE;
  }
  m_mounted = FALSE;
  m_error.SetError(ERROR_SUCCESS);
  return TRUE;
}

BOOL CKvMorvel::VDBuildItems() {
  _item* root = new (std::nothrow) _item;
  if (!root) {
    UnmountImage(m_drive[0]);
    return FALSE;
  }
  root->parent = nullptr;
  root->find = INVALID_HANDLE_VALUE;
  lstrcpynW(root->name, m_drive, kImagePathChars);
  m_currentItem = root;
  m_entryNamePlain = FALSE;  // no item of this image loaded yet

  WCHAR pattern[kImagePathChars];
  if (!JoinImagePath(pattern, kImagePathChars, m_drive, TEXT("*.*"))) {
    m_error.SetError(kErrorNameTooLong);
    return FALSE;
  }
  root->find = FindFirstFileW(pattern, &root->data);
  if (root->find == INVALID_HANDLE_VALUE) {
    m_error.SetError(GetLastError());
    return FALSE;
  }
  while (IsDotName(root->data.cFileName)) {
    if (!FindNextFileW(root->find, &root->data)) {
      // Only "." and "..": an empty image, whose walk ends at once.
      m_error.SetError(ERROR_SUCCESS);
      FindClose(root->find);
      root->find = INVALID_HANDLE_VALUE;
      return TRUE;
    }
  }
  m_error.SetError(GetLastError());
  return TRUE;
}

void CKvMorvel::VDCloseFindHandles() {
  while (m_currentItem) {
    _item* parent = m_currentItem->parent;
    if (m_currentItem->find != INVALID_HANDLE_VALUE)
      FindClose(m_currentItem->find);
    delete m_currentItem;
    m_currentItem = parent;
  }
}

BOOL CKvMorvel::GetPath(_item* node, WCHAR* buffer, DWORD capacity) {
  if (IsBadWritePtr(buffer, static_cast<uintptr_t>(capacity) * 2))
    return FALSE;
  std::vector<const _item*> chain;
  for (const _item* level = node; level; level = level->parent)
    chain.push_back(level);
  // Joined from the root down, each name followed by one "\". A path that
  // does not fit the buffer leaves it empty and fails.
  WCHAR path[kImagePathChars] = {0};
  for (size_t i = chain.size(); i-- > 0;) {
    WCHAR joined[kImagePathChars];
    if (!JoinImagePath(joined, kImagePathChars, path, chain[i]->name) ||
        !JoinImagePath(path, kImagePathChars, joined, TEXT(""))) {
      if (capacity > 0) buffer[0] = 0;
      return FALSE;
    }
  }
  if (static_cast<DWORD>(lstrlenW(path)) >= capacity) {
    if (capacity > 0) buffer[0] = 0;
    return FALSE;
  }
  lstrcpyW(buffer, path);
  return TRUE;
}
