// SPDX-License-Identifier: GPL-2.0-or-later
// Whole reads, whole writes and absolute seeks on a Win32 file handle.
//
// A short count is a failure here: every caller needs exactly the bytes
// it asked for, and a partial record is never worth keeping. These are
// the only such helpers: every format and the restore use them.
#ifndef KVMORVEL_FORMATS_FILE_IO_H
#define KVMORVEL_FORMATS_FILE_IO_H

#include "kvwin32.h"

// The last error of a layer call that just failed; `fallback` when the
// call left none, so a failure is never reported as code 0. Read it right
// after the call, before anything else can change it.
inline DWORD LastErrorOr(DWORD fallback) {
  const DWORD code = GetLastError();
  return code ? code : fallback;
}

inline bool ReadExact(HANDLE file, void* buffer, DWORD size) {
  DWORD got = 0;
  return ReadFile(file, buffer, size, &got, nullptr) && got == size;
}

// ReadExact that gives the cause: 0, the failed read's code, or 38 when
// the file ends before `size` bytes came.
inline DWORD ReadWhole(HANDLE file, void* buffer, DWORD size) {
  DWORD got = 0;
  if (!ReadFile(file, buffer, size, &got, nullptr))
    return LastErrorOr(ERROR_HANDLE_EOF);
  return got == size ? 0 : ERROR_HANDLE_EOF;
}

// A write the system reports as done but short leaves 112 (disk full) as
// the last error, so the caller's report names the cause.
inline bool WriteExact(HANDLE file, const void* buffer, DWORD size) {
  DWORD put = 0;
  if (!WriteFile(file, buffer, size, &put, nullptr)) return false;
  if (put != size) {
    SetLastError(ERROR_DISK_FULL);
    return false;
  }
  return true;
}

// Moves to `offset` counted from the start of the file (64-bit).
inline bool SeekTo(HANDLE file, ULONGLONG offset) {
  LARGE_INTEGER distance;
  distance.QuadPart = static_cast<LONGLONG>(offset);
  return SetFilePointerEx(file, distance, nullptr, FILE_BEGIN) != FALSE;
}

// Moves to the end of the file; `*end`, when given, receives its offset.
inline bool SeekToEnd(HANDLE file, ULONGLONG* end = nullptr) {
  LARGE_INTEGER distance;
  distance.QuadPart = 0;
  LARGE_INTEGER reached;
  reached.QuadPart = 0;
  if (!SetFilePointerEx(file, distance, &reached, FILE_END)) return false;
  if (end) *end = static_cast<ULONGLONG>(reached.QuadPart);
  return true;
}

// Moves the file pointer to `position` unless `*there` says it stands
// there already (an archive's adds write one behind the other, so only
// the first of them needs the seek). `*there` is cleared: the caller sets
// it again once its writes have gone through up to the next position.
inline bool PlaceAtWritePosition(HANDLE file, ULONGLONG position,
                                 bool* there) {
  const bool placed = *there || SeekTo(file, position);
  *there = false;
  return placed;
}

// Writes all of `buffer` at `offset` counted from the start of the file.
inline bool WriteAt(HANDLE file, ULONGLONG offset, const void* buffer,
                    DWORD size) {
  return SeekTo(file, offset) && WriteExact(file, buffer, size);
}

// The file's whole 64-bit length; false when it cannot be read (a
// negative length, which no file system reports, counts as unreadable).
inline bool FileLength(HANDLE file, ULONGLONG* length) {
  LARGE_INTEGER size;
  if (!GetFileSizeEx(file, &size) || size.QuadPart < 0) return false;
  *length = static_cast<ULONGLONG>(size.QuadPart);
  return true;
}

// Gives a host a name the library made (`made`: it could be made): the
// whole name into `buffer` of `capacity` characters, terminator included,
// when it fits; else the buffer is emptied and FALSE returned, so a host
// never receives a cut name.
inline BOOL GiveNameToHost(bool made, const WCHAR* name, WCHAR* buffer,
                           DWORD capacity) {
  if (!made || static_cast<DWORD>(lstrlenW(name)) >= capacity) {
    buffer[0] = 0;
    return FALSE;
  }
  lstrcpyW(buffer, name);
  return TRUE;
}

#endif  // KVMORVEL_FORMATS_FILE_IO_H
