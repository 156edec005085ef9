// SPDX-License-Identifier: GPL-2.0-or-later
// Shell path helpers. Both "\" and "/" separate, so Windows paths and
// POSIX paths ("/tmp/x", whose root is "/") work alike.
#include <sys/stat.h>

#include "layer.h"

using namespace kvposix;

namespace {

bool IsSeparator(WCHAR c) { return c == '\\' || c == '/'; }

// Length of the root part: "C:\" 3, "C:" 2, "\\server\share" up to the
// share's end, "\\?\C:\" 7, "\" or "/" 1, a relative path 0.
size_t RootLength(const WCHAR* p) {
  const size_t n = WideLength(p);
  if (n >= 4 && p[0] == '\\' && p[1] == '\\' && (p[2] == '?' || p[2] == '.') &&
      p[3] == '\\')
    return 4 + RootLength(p + 4);
  if (n >= 2 && p[1] == ':' && p[0] < 0x80 && p[0] != '\\' && p[0] != '/')
    return n >= 3 && IsSeparator(p[2]) ? 3 : 2;
  if (n >= 2 && p[0] == '\\' && p[1] == '\\') {
    size_t i = 2, parts = 0;
    for (; i < n; ++i)
      if (IsSeparator(p[i]) && ++parts == 2) break;
    return i;
  }
  return n >= 1 && IsSeparator(p[0]) ? 1 : 0;
}

}  // namespace

BOOL PathStripToRootW(LPWSTR path) {
  if (!path) return FALSE;
  const size_t root = RootLength(path);
  path[root] = 0;
  return root ? TRUE : FALSE;
}

BOOL PathRemoveFileSpecW(LPWSTR path) {
  if (!path) return FALSE;
  const size_t root = RootLength(path);
  const size_t n = WideLength(path);
  size_t last = n;
  for (size_t i = root; i < n; ++i)
    if (IsSeparator(path[i])) last = i;
  size_t cut = last == n ? root : last;
  if (cut >= n) return FALSE;
  path[cut] = 0;
  return TRUE;
}

BOOL PathFileExistsW(LPCWSTR path) {
  std::string p;
  const DWORD saved = GetLastError();
  if (!path || !ToPosixPath(path, &p)) return FALSE;
  SetLastError(saved);
  struct stat st;
  if (lstat(p.c_str(), &st) != 0) return Fail(CodeForPath(errno, p));
  return TRUE;
}

// Creates the folder and every missing parent. Returns 0, 183 when the
// folder already exists, or the code of the failure (also left in
// GetLastError).
int SHCreateDirectory(HWND owner, LPCWSTR path) {
  std::string p;
  if (!ToPosixPath(path, &p)) return static_cast<int>(GetLastError());
  struct stat st;
  if (stat(p.c_str(), &st) == 0) {
    SetLastError(ERROR_ALREADY_EXISTS);
    return ERROR_ALREADY_EXISTS;
  }
  for (size_t i = 1; i <= p.size(); ++i) {
    if (i < p.size() && p[i] != '/') continue;
    const std::string part = p.substr(0, i);
    if (mkdir(part.c_str(), 0777) == 0) continue;
    const int error = errno;
    if (error == EEXIST && stat(part.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
      continue;
    const DWORD code = error == EEXIST || error == ENOTDIR
                           ? ERROR_PATH_NOT_FOUND
                           : CodeFromErrno(error);
    SetLastError(code);
    return static_cast<int>(code);
  }
  SetLastError(ERROR_SUCCESS);
  return 0;
}
