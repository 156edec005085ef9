// SPDX-License-Identifier: GPL-2.0-or-later
// File times: FILETIME counts 100 ns ticks since 1601-01-01 UTC.
// Last access and last write are the POSIX atime and mtime; the creation
// time lives in user.DOSATTRIB (attributes.cc).
#include <fcntl.h>
#include <time.h>

#include "layer.h"

namespace kvposix {

namespace {
const LONGLONG kTicksPerSecond = 10000000;
const LONGLONG kEpochDifference = 11644473600LL;  // 1601 to 1970, seconds

// {0,0} and {~0,~0} both mean "leave this time alone", as on Windows.
bool LeavesAlone(const FILETIME* t) {
  return !t || (t->dwLowDateTime == 0 && t->dwHighDateTime == 0) ||
         (t->dwLowDateTime == 0xFFFFFFFFu && t->dwHighDateTime == 0xFFFFFFFFu);
}

LONGLONG SecondsOf(ULONGLONG ticks) {
  return static_cast<LONGLONG>(ticks / kTicksPerSecond) - kEpochDifference;
}

ULONGLONG TicksOf(LONGLONG seconds, ULONGLONG fraction) {
  const LONGLONG since1601 = seconds + kEpochDifference;
  if (since1601 < 0) return 0;
  return static_cast<ULONGLONG>(since1601) * kTicksPerSecond + fraction;
}
}  // namespace

ULONGLONG FileTimeFromTimespec(const struct timespec& t) {
  return TicksOf(t.tv_sec, static_cast<ULONGLONG>(t.tv_nsec) / 100);
}

struct timespec TimespecFromFileTime(ULONGLONG ticks) {
  struct timespec t;
  t.tv_sec = static_cast<time_t>(SecondsOf(ticks));
  t.tv_nsec = static_cast<long>(ticks % kTicksPerSecond) * 100;
  return t;
}

}  // namespace kvposix

using namespace kvposix;

BOOL SetFileTime(HANDLE file, const FILETIME* creation,
                 const FILETIME* lastAccess, const FILETIME* lastWrite) {
  HandleRef h = LookFileHandle(file);
  if (!h) return FALSE;
  struct timespec times[2];
  times[0].tv_nsec = times[1].tv_nsec = UTIME_OMIT;
  times[0].tv_sec = times[1].tv_sec = 0;
  if (!LeavesAlone(lastAccess)) times[0] = TimespecFromFileTime(Ticks(*lastAccess));
  if (!LeavesAlone(lastWrite)) times[1] = TimespecFromFileTime(Ticks(*lastWrite));
  if (times[0].tv_nsec != UTIME_OMIT || times[1].tv_nsec != UTIME_OMIT) {
    // Through the descriptor (a link's own times by its path).
    const int flags = h->kind == Kind::kLink ? AT_SYMLINK_NOFOLLOW : 0;
    const std::string path = MetadataPath(*h);
    if (utimensat(AT_FDCWD, path.c_str(), times, flags) != 0)
      return FailForPath(errno, path);
  }
  if (!LeavesAlone(creation)) {
    if (const DWORD code = WriteCreationTime(MetadataPath(*h), Ticks(*creation)))
      return Fail(code);
  }
  return TRUE;
}

BOOL GetFileTime(HANDLE file, LPFILETIME creation, LPFILETIME lastAccess,
                 LPFILETIME lastWrite) {
  HandleRef h = LookFileHandle(file);
  if (!h) return FALSE;
  Metadata meta;
  if (const DWORD code = ReadHandleMetadata(*h, &meta)) return Fail(code);
  if (creation) *creation = FromTicks(meta.creation);
  if (lastAccess) *lastAccess = FromTicks(meta.access);
  if (lastWrite) *lastWrite = FromTicks(meta.write);
  return TRUE;
}

// Both conversions use the process's time zone with the daylight saving
// rule in force at that instant.
BOOL LocalFileTimeToFileTime(const FILETIME* local, LPFILETIME utc) {
  if (!local || !utc) return Fail(ERROR_INVALID_PARAMETER);
  const ULONGLONG ticks = Ticks(*local);
  const time_t wall = static_cast<time_t>(SecondsOf(ticks));
  struct tm fields;
  if (!gmtime_r(&wall, &fields)) return Fail(ERROR_INVALID_PARAMETER);
  fields.tm_isdst = -1;
  const time_t instant = mktime(&fields);
  *utc = FromTicks(TicksOf(instant, ticks % 10000000));
  return TRUE;
}

BOOL FileTimeToLocalFileTime(const FILETIME* utc, LPFILETIME local) {
  if (!utc || !local) return Fail(ERROR_INVALID_PARAMETER);
  const ULONGLONG ticks = Ticks(*utc);
  const time_t instant = static_cast<time_t>(SecondsOf(ticks));
  struct tm fields;
  if (!localtime_r(&instant, &fields)) return Fail(ERROR_INVALID_PARAMETER);
  *local = FromTicks(TicksOf(timegm(&fields), ticks % 10000000));
  return TRUE;
}

void GetSystemTimeAsFileTime(LPFILETIME now) {
  struct timespec t;
  clock_gettime(CLOCK_REALTIME, &t);
  if (now) *now = FromTicks(FileTimeFromTimespec(t));
}

DWORD GetTickCount() {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<DWORD>(static_cast<ULONGLONG>(t.tv_sec) * 1000 +
                            static_cast<ULONGLONG>(t.tv_nsec) / 1000000);
}
