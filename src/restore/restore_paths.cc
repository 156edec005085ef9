// SPDX-License-Identifier: GPL-2.0-or-later
// Path safety: containment of stored names, links on the path, and the
// folders a restore creates.
#include "restore/restore_paths.h"

#include "KvLog.h"
#include "archive/codes.h"
#include "formats/file_io.h"
#include "open_beneath.h"

bool IsDriveQualified(const WCHAR* path) {
  const WCHAR c = path[0];
  return ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) &&
         path[1] == ':';
}

bool IsAbsolutePath(const WCHAR* path) {
  if (IsPathSeparator(path[0])) return true;
  return path[0] && path[1] == ':' && IsPathSeparator(path[2]);
}

namespace {

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
  while (end > from && IsPathSeparator(path[end - 1])) --end;
  return end;
}

bool IsLink(const WCHAR* path) {
  const DWORD a = GetFileAttributesW(path);
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_REPARSE_POINT);
}

// Tests the prefix of `path` ending before `end` for a link.
bool IsLinkPrefix(WCHAR* path, int end) {
  const WCHAR saved = path[end];
  path[end] = 0;
  const bool link = IsLink(path);
  path[end] = saved;
  return link;
}

WCHAR UpperAscii(WCHAR c) { return c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c; }

// Whether [begin, end) is `word` (upper-case ASCII), any case.
bool EqualsUpper(const WCHAR* begin, const WCHAR* end, const char* word) {
  for (const WCHAR* p = begin; p < end; ++p, ++word)
    if (!*word || UpperAscii(*p) != static_cast<WCHAR>(*word)) return false;
  return !*word;
}

bool IsDeviceDigit(WCHAR c) {
  // Windows takes the superscripts 1, 2 and 3 as the digits of COMn/LPTn.
  return (c >= '1' && c <= '9') || c == 0x00B9 || c == 0x00B2 || c == 0x00B3;
}

}  // namespace

bool IsDeviceName(const WCHAR* begin, const WCHAR* end) {
  // The device is the part before the first dot, trailing spaces trimmed:
  // "aux.txt", "nul .log" and "con. " all name a device.
  const WCHAR* stem = begin;
  while (stem < end && *stem != '.') ++stem;
  while (stem > begin && stem[-1] == ' ') --stem;
  const int length = static_cast<int>(stem - begin);
  if (length == 3)
    return EqualsUpper(begin, stem, "CON") || EqualsUpper(begin, stem, "PRN") ||
           EqualsUpper(begin, stem, "AUX") || EqualsUpper(begin, stem, "NUL");
  if (length == 4 && IsDeviceDigit(begin[3]))
    return EqualsUpper(begin, begin + 3, "COM") ||
           EqualsUpper(begin, begin + 3, "LPT");
  return EqualsUpper(begin, stem, "CONIN$") || EqualsUpper(begin, stem, "CONOUT$");
}

namespace {

// Whether a component of a stored name may not be restored on this
// system: only dots and spaces everywhere, a device name on Windows.
bool IsRefusedComponent(const WCHAR* begin, const WCHAR* end) {
  if (IsDotsAndSpaces(begin, end)) return true;
#ifdef _WIN32
  if (IsDeviceName(begin, end)) return true;
#endif
  return false;
}

}  // namespace

bool IsContainedName(const WCHAR* name) {
  if (IsPathSeparator(name[0]) || IsDriveQualified(name)) return false;
  const WCHAR* const end = name + EndOfLastComponent(name, 0);
  if (end == name) return false;  // empty: the target itself
  const WCHAR* begin = name;
  for (const WCHAR* p = name;; ++p) {
    if (p == end || IsPathSeparator(*p)) {
      if (IsRefusedComponent(begin, p)) return false;
      if (p == end) return true;
      begin = p + 1;
    }
  }
}

bool IsPlainFileName(const WCHAR* name) {
  if (!IsContainedName(name)) return false;
  for (const WCHAR* p = name; *p; ++p)
    if (IsPathSeparator(*p)) return false;
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
  const bool separator = !IsPathSeparator(target[targetLength - 1]);
  const DWORD total = static_cast<DWORD>(targetLength) + (separator ? 1 : 0) +
                      static_cast<DWORD>(lstrlenW(name)) + 1;
  if (total > capacity) return kErrorNameTooLong;
  lstrcpyW(out, target);
  if (separator) lstrcatW(out, TEXT("\\"));
  lstrcatW(out, name);
  return 0;
}

int LastComponentOf(const WCHAR* name, int* end) {
  *end = EndOfLastComponent(name, 0);
  int start = *end;
  while (start > 0 && !IsPathSeparator(name[start - 1])) --start;
  return start;
}

namespace {

// What a folder below the target is opened with: enough to open names in
// it, to set a made folder's short name, and to let others work on it.
const DWORD kHeldFolderAccess = GENERIC_READ | FILE_WRITE_ATTRIBUTES;
const DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Whether the target path (its trailing separators left out) is a link.
// A drive root or "/" is left out: a drive's root is the real folder its
// letter names, never a link.
bool TargetIsLink(const WCHAR* target) {
  WCHAR path[kRestorePathChars];
  lstrcpynW(path, target, kRestorePathChars);
  int end = lstrlenW(path);
  while (end > 0 && IsPathSeparator(path[end - 1])) --end;
  if (end == 0) return false;
  path[end] = 0;
  return IsLink(path);
}

// Creates the folder `path` and each missing folder above it, a
// component at a time ("\\" and "/" both separate, as everywhere in a
// restore). The target is the caller's own path: made as it names it.
void CreateTargetFolders(const WCHAR* path) {
  // A leading run of separators is kept: it is the root of a POSIX path
  // or the start of a UNC path, and dropping it would make the path
  // relative to the current folder.
  WCHAR prefix[kRestorePathChars + 2];
  int p = 0;
  int i = 0;
  while (IsPathSeparator(path[i])) prefix[p++] = path[i++];
  while (path[i] && p < kRestorePathChars) {
    while (path[i] && !IsPathSeparator(path[i]) && p < kRestorePathChars)
      prefix[p++] = path[i++];
    prefix[p++] = '\\';
    prefix[p] = 0;
    if (!PathFileExistsW(prefix)) CreateDirectoryW(prefix, nullptr);
    while (IsPathSeparator(path[i])) ++i;
  }
}

}  // namespace

void FolderChain::Close() {
  for (int i = 0; i < m_depth; ++i) CloseHandle(m_folders[i]);
  m_depth = 0;
  if (m_target != INVALID_HANDLE_VALUE) CloseHandle(m_target);
  m_target = INVALID_HANDLE_VALUE;
  m_targetPath[0] = 0;
}

DWORD FolderChain::OpenTarget(const WCHAR* target) {
  if (m_target != INVALID_HANDLE_VALUE && lstrcmpW(target, m_targetPath) == 0)
    return 0;
  Close();
  if (lstrlenW(target) >= kRestorePathChars) return kErrorNameTooLong;
  if (TargetIsLink(target)) return kLinkInPathCode;
  // A missing target is made, as the restore has always done.
  if (!PathFileExistsW(target)) CreateTargetFolders(target);
  m_target = CreateFileW(target, kHeldFolderAccess, kShareAll, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (m_target == INVALID_HANDLE_VALUE) return LastErrorOr(ERROR_PATH_NOT_FOUND);
  if (!IsFolderHandle(m_target)) {
    Close();
    return ERROR_DIRECTORY;
  }
  lstrcpyW(m_targetPath, target);
  return 0;
}

// Opens the folder `component` (`length` characters) in the deepest held
// folder, made when missing, and holds it.
DWORD FolderChain::Step(const WCHAR* component, int length, bool* made) {
  if (m_depth >= static_cast<int>(sizeof(m_folders) / sizeof(m_folders[0])))
    return kErrorNameTooLong;
  HANDLE parent = m_depth ? m_folders[m_depth - 1] : m_target;
  HANDLE opened = INVALID_HANDLE_VALUE;
  // Most folders on the way are there already (made by their own entry
  // or an earlier one): opened first, made only when missing.
  *made = false;
  DWORD code = OpenBeneath(parent, component, static_cast<size_t>(length),
                           kHeldFolderAccess, kShareAll, FILE_OPEN_IF,
                           BeneathKind::kFolder, &opened, made);
  // A file where a folder goes: the entry's folder cannot be there.
  if (code == ERROR_DIRECTORY) return ERROR_PATH_NOT_FOUND;
  if (code) return code;
  // A folder made now is no link; one found there may be.
  if (!*made && IsLinkHandle(opened)) {
    CloseHandle(opened);
    return kLinkInPathCode;
  }
  const int start = m_depth ? m_ends[m_depth - 1] + 1 : 0;
  if (m_depth) m_names[start - 1] = '\\';
  for (int i = 0; i < length; ++i) m_names[start + i] = component[i];
  m_names[start + length] = 0;
  m_folders[m_depth] = opened;
  m_ends[m_depth] = start + length;
  ++m_depth;
  return 0;
}

DWORD FolderChain::Reach(const WCHAR* target, const WCHAR* name, bool whole,
                         HANDLE* folder, bool* made) {
  *folder = INVALID_HANDLE_VALUE;
  if (made) *made = false;
  DWORD code = OpenTarget(target);
  if (code) return code;
  int end = 0;
  const int last = LastComponentOf(name, &end);
  const int stop = whole ? end : last;
  // The held folders that lead to this entry's folder are kept (the same
  // names, compared exactly); the rest are let go.
  int depth = 0, at = 0;
  while (at < stop) {
    int next = at;
    while (next < stop && !IsPathSeparator(name[next])) ++next;
    if (depth >= m_depth) break;
    const int heldStart = depth ? m_ends[depth - 1] + 1 : 0;
    const int heldLength = m_ends[depth] - heldStart;
    bool same = heldLength == next - at;
    for (int i = 0; same && i < heldLength; ++i)
      same = m_names[heldStart + i] == name[at + i];
    if (!same) break;
    ++depth;
    at = next;
    while (at < stop && IsPathSeparator(name[at])) ++at;
  }
  while (m_depth > depth) CloseHandle(m_folders[--m_depth]);
  bool madeNow = false;
  while (at < stop) {
    int next = at;
    while (next < stop && !IsPathSeparator(name[next])) ++next;
    code = Step(name + at, next - at, &madeNow);
    if (code) {
      Close();
      return code;
    }
    at = next;
    while (at < stop && IsPathSeparator(name[at])) ++at;
  }
  if (made) *made = madeNow;
  *folder = m_depth ? m_folders[m_depth - 1] : m_target;
  return 0;
}

DWORD CheckNoLinkAbove(WCHAR* fullPath, int nameStart) {
  // The target folder itself: a link there would take every entry
  // elsewhere. A drive root or "/" is left out (a drive's root is the real
  // folder its letter names, never a link).
  int targetEnd = nameStart;
  while (targetEnd > 0 && IsPathSeparator(fullPath[targetEnd - 1])) --targetEnd;
  if (targetEnd > 0 && IsLinkPrefix(fullPath, targetEnd))
    return kLinkInPathCode;
  const int end = EndOfLastComponent(fullPath, nameStart);
  for (int i = nameStart + 1; i < end; ++i) {
    if (!IsPathSeparator(fullPath[i]) || IsPathSeparator(fullPath[i - 1])) continue;
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
  DWORD code = BuildRestorePath(target, name, out, capacity);
  const int nameStart = lstrlenW(out) - lstrlenW(name);
  if (!code) code = CheckNoLinkOnPath(out, nameStart);
  return code;
}

bool IsFolderAt(const WCHAR* path) {
  const DWORD a = GetFileAttributesW(path);
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

DWORD MakeFolderTarget(const WCHAR* path) {
  if (CreateDirectoryW(path, nullptr)) return 0;
  const DWORD code = LastErrorOr(ERROR_ACCESS_DENIED);
  // Only a folder already there is taken as the entry's; anything else
  // is refused before it is opened, so nothing of it changes.
  if (IsFolderAt(path)) return 0;
  return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES ? kOtherKindCode
                                                              : code;
}

bool IsFolderHandle(HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION info;
  return GetFileInformationByHandle(handle, &info) &&
         (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
}

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
             BuildRestorePath(root, link + nameStart, folder) == 0;
  }
  // The folders are made from the target's handle one name at a time,
  // never through a link: one on the way counts as outside.
  FolderChain chain;
  HANDLE made = INVALID_HANDLE_VALUE;
  if (inside && chain.Reach(root, link + nameStart, true, &made) == kLinkInPathCode)
    inside = false;
  if (!inside)
    CKvLog::GetInstance()->AddError(
        TEXT("Link target outside the restore folder, not created: %s"), link);
}
