// SPDX-License-Identifier: GPL-2.0-or-later
// Folder listings: FindFirstFileW / FindNextFileW / FindClose. A listing
// is read whole when it starts, sorted by name with "." and ".." first,
// and reported without following links.
#include <dirent.h>

#include <algorithm>
#include <memory>
#include <new>

#include "layer.h"

using namespace kvposix;

namespace {

bool HasWildcards(const std::u16string& s) {
  return s.find_first_of(u"*?") != std::u16string::npos;
}

// Windows matching: '*' any run, '?' one character, ASCII and Latin-1
// letters without regard to case; "*.*" matches every name.
bool Matches(const char16_t* pattern, const char16_t* name) {
  if (std::u16string(pattern) == u"*.*") return true;
  const char16_t* star = nullptr;
  const char16_t* resume = nullptr;
  while (*name) {
    if (*pattern == '*') {
      star = pattern++;
      resume = name;
    } else if (*pattern == '?' ||
               UpperWide(*pattern) == UpperWide(*name)) {
      ++pattern;
      ++name;
    } else if (star) {
      pattern = star + 1;
      name = ++resume;
    } else {
      return false;
    }
  }
  while (*pattern == '*') ++pattern;
  return *pattern == 0;
}

// Splits the pattern at its last separator.
void SplitPattern(const WCHAR* pattern, std::u16string* folder,
                  std::u16string* name) {
  const std::u16string all(reinterpret_cast<const char16_t*>(pattern),
                           WideLength(pattern));
  const size_t cut = all.find_last_of(u"\\/");
  if (cut == std::u16string::npos) {
    // "C:name" names a file in the drive's root; else the current folder.
    const bool drive = all.size() >= 2 && all[1] == ':';
    *folder = drive ? all.substr(0, 2) + u"\\" : u".";
    *name = drive ? all.substr(2) : all;
    return;
  }
  *folder = all.substr(0, cut + 1);
  *name = all.substr(cut + 1);
}

// Fills `data` for one entry of the handle's folder: one metadata read,
// the short name included. Returns 0, or the code of a failed read (the
// entry is then skipped: gone meanwhile).
DWORD Fill(const Handle& h, const FindEntry& e, WIN32_FIND_DATAW* data) {
  Metadata meta;
  std::string path = h.folder;
  if (path.empty() || path.back() != '/') path += '/';
  path += e.name;
  if (const DWORD code = ReadMetadata(path, &meta)) return code;
  WIN32_FIND_DATAW d = {};
  if (!CopyWide(e.wideName, d.cFileName, MAX_PATH)) return ERROR_FILE_NOT_FOUND;
  d.dwFileAttributes = meta.attributes;
  d.ftCreationTime = FromTicks(meta.creation);
  d.ftLastAccessTime = FromTicks(meta.access);
  d.ftLastWriteTime = FromTicks(meta.write);
  d.nFileSizeHigh = static_cast<DWORD>(meta.size >> 32);
  d.nFileSizeLow = static_cast<DWORD>(meta.size);
  d.dwReserved0 = meta.reparseTag;
  if (e.name != "." && e.name != "..")
    CopyWide(ShortNameOf(meta.shortName), d.cAlternateFileName, 14);
  *data = d;
  return 0;
}

// Reports the next entry that can be described; false at the end.
bool Next(Handle& h, WIN32_FIND_DATAW* data) {
  while (h.next < h.entries.size())
    if (Fill(h, h.entries[h.next++], data) == 0) return true;
  return false;
}

bool ListFolder(const std::string& folder, const std::u16string& name,
                std::vector<FindEntry>* out) {
  DIR* dir = opendir(folder.c_str());
  if (!dir) {
    const int error = errno;
    return Fail(error == ENOENT || error == ENOTDIR ? ERROR_PATH_NOT_FOUND
                                                    : CodeFromErrno(error));
  }
  while (struct dirent* entry = readdir(dir)) {
    FindEntry e;
    e.name = entry->d_name;
    e.wideName = ToWideName(e.name);
    // Names Windows cannot hold (over 259 units) are left out.
    if (e.wideName.size() < MAX_PATH && Matches(name.c_str(), e.wideName.c_str()))
      out->push_back(std::move(e));
  }
  closedir(dir);
  std::sort(out->begin(), out->end(), [](const FindEntry& a, const FindEntry& b) {
    const int ra = a.name == "." ? 0 : a.name == ".." ? 1 : 2;
    const int rb = b.name == "." ? 0 : b.name == ".." ? 1 : 2;
    return ra != rb ? ra < rb : a.name < b.name;
  });
  return true;
}

}  // namespace

HANDLE FindFirstFileW(LPCWSTR pattern, LPWIN32_FIND_DATAW data) {
  if (!pattern || !data) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  std::u16string folderW, name;
  SplitPattern(pattern, &folderW, &name);
  std::unique_ptr<Handle> h(new (std::nothrow) Handle);
  if (!h) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return INVALID_HANDLE_VALUE;
  }
  h->kind = Kind::kFind;
  if (!ToPosixPath(reinterpret_cast<const WCHAR*>(folderW.c_str()), &h->folder))
    return INVALID_HANDLE_VALUE;
  if (name.empty()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  if (HasWildcards(name)) {
    if (!ListFolder(h->folder, name, &h->entries)) return INVALID_HANDLE_VALUE;
    if (!Next(*h, data)) {
      SetLastError(ERROR_FILE_NOT_FOUND);
      return INVALID_HANDLE_VALUE;
    }
  } else {
    FindEntry e;
    if (!ToNarrowName(reinterpret_cast<const WCHAR*>(name.data()), name.size(),
                      &e.name)) {
      SetLastError(ERROR_INVALID_NAME);
      return INVALID_HANDLE_VALUE;
    }
    e.wideName = ToWideName(e.name);
    // The one metadata read tells a missing name (2 or 3) too.
    if (const DWORD code = Fill(*h, e, data)) {
      SetLastError(code);
      return INVALID_HANDLE_VALUE;
    }
    h->entries.push_back(e);
    h->next = 1;
  }
  HANDLE result = AddHandle(h);
  SetLastError(ERROR_SUCCESS);
  return result;
}

BOOL FindNextFileW(HANDLE find, LPWIN32_FIND_DATAW data) {
  HandleRef h = LookHandle(find, Kind::kFind);
  if (!h) return FALSE;
  if (!data) return Fail(ERROR_INVALID_PARAMETER);
  if (!Next(*h, data)) return Fail(ERROR_NO_MORE_FILES);
  return TRUE;
}

BOOL FindClose(HANDLE find) {
  return TakeHandle(find, Kind::kFind) ? TRUE : FALSE;
}
