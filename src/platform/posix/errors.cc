// SPDX-License-Identifier: GPL-2.0-or-later
// The last-error slot and the one errno to Windows code table.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>

#include "errno_code.h"
#include "layer.h"

namespace {

thread_local DWORD g_lastError = 0;

struct ErrnoCode {
  int error;
  DWORD code;
};

// Every errno the layer may meet, with the code Windows gives for the
// same failure. ENOENT is refined by MissingCode where a path is known.
const ErrnoCode kTable[] = {
    {EPERM, ERROR_ACCESS_DENIED},
    {ENOENT, ERROR_FILE_NOT_FOUND},
    {EINTR, ERROR_OPERATION_ABORTED},
    {EIO, ERROR_IO_DEVICE},
    {ENXIO, ERROR_FILE_NOT_FOUND},
    {E2BIG, ERROR_INSUFFICIENT_BUFFER},
    {EBADF, ERROR_INVALID_HANDLE},
    {EAGAIN, ERROR_LOCK_VIOLATION},
    {ENOMEM, ERROR_NOT_ENOUGH_MEMORY},
    {EACCES, ERROR_ACCESS_DENIED},
    {EFAULT, ERROR_NOACCESS},
    {EBUSY, ERROR_BUSY},
    {EEXIST, ERROR_FILE_EXISTS},
    {EXDEV, ERROR_NOT_SAME_DEVICE},
    {ENODEV, ERROR_FILE_NOT_FOUND},
    {ENOTDIR, ERROR_PATH_NOT_FOUND},
    {EISDIR, ERROR_ACCESS_DENIED},
    {EINVAL, ERROR_INVALID_PARAMETER},
    {ENFILE, ERROR_TOO_MANY_OPEN_FILES},
    {EMFILE, ERROR_TOO_MANY_OPEN_FILES},
    {ETXTBSY, ERROR_SHARING_VIOLATION},
    {EFBIG, ERROR_FILE_TOO_LARGE},
    {ENOSPC, ERROR_DISK_FULL},
    {ESPIPE, ERROR_SEEK_ON_DEVICE},
    {EROFS, ERROR_WRITE_PROTECT},
    {EMLINK, ERROR_TOO_MANY_LINKS},
    {EPIPE, ERROR_BROKEN_PIPE},
    {ERANGE, ERROR_INSUFFICIENT_BUFFER},
    {ENAMETOOLONG, ERROR_FILENAME_EXCED_RANGE},
    {ENOTEMPTY, ERROR_DIR_NOT_EMPTY},
    {ELOOP, ERROR_CANT_RESOLVE_FILENAME},
    {ENODATA, ERROR_NOT_FOUND},
    {ENOSYS, ERROR_CALL_NOT_IMPLEMENTED},
    {EOPNOTSUPP, ERROR_NOT_SUPPORTED},
    {EOVERFLOW, ERROR_ARITHMETIC_OVERFLOW},
    {EDQUOT, ERROR_DISK_FULL},
    {ESTALE, ERROR_FILE_NOT_FOUND},
    {EILSEQ, ERROR_INVALID_NAME},
};

// An errno missing from the table is reported once on stderr and becomes
// a general failure: never a success.
void ReportUnmapped(int error) {
  static std::mutex lock;
  static std::set<int> seen;
  std::lock_guard<std::mutex> hold(lock);
  if (seen.insert(error).second)
    fprintf(stderr, "kvwin32: errno %d (%s) has no Windows code, using %u\n",
            error, strerror(error), static_cast<unsigned>(ERROR_GEN_FAILURE));
}

}  // namespace

DWORD GetLastError() { return g_lastError; }
void SetLastError(DWORD code) { g_lastError = code; }

namespace kvposix {

bool LookUpErrnoCode(int error, uint32_t* code) {
  for (const ErrnoCode& e : kTable) {
    if (e.error == error) {
      *code = e.code;
      return true;
    }
  }
  return false;
}

DWORD CodeFromErrno(int error) {
  DWORD code = ERROR_GEN_FAILURE;
  if (!LookUpErrnoCode(error, &code)) ReportUnmapped(error);
  return code;
}

BOOL Fail(DWORD code) {
  SetLastError(code);
  return FALSE;
}

BOOL FailErrno(int error) { return Fail(CodeFromErrno(error)); }

DWORD MissingCode(const std::string& path) {
  struct stat st;
  const std::string parent = ParentOf(path);
  if (parent.empty()) return ERROR_FILE_NOT_FOUND;
  if (stat(parent.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    return ERROR_PATH_NOT_FOUND;
  return ERROR_FILE_NOT_FOUND;
}

DWORD CodeForPath(int error, const std::string& path) {
  if (error == ENOENT) return MissingCode(path);
  return CodeFromErrno(error);
}

BOOL FailForPath(int error, const std::string& path) {
  return Fail(CodeForPath(error, path));
}

}  // namespace kvposix
