// Whole reads, whole writes and absolute seeks on a Win32 file handle.
//
// A short count is a failure here: every caller needs exactly the bytes
// it asked for, and a partial record is never worth keeping.
#ifndef KVMORVEL_FORMATS_FILE_IO_H
#define KVMORVEL_FORMATS_FILE_IO_H

#include "kvwin32.h"

inline bool ReadExact(HANDLE file, void* buffer, DWORD size) {
  DWORD got = 0;
  return ReadFile(file, buffer, size, &got, nullptr) && got == size;
}

inline bool WriteExact(HANDLE file, const void* buffer, DWORD size) {
  DWORD put = 0;
  return WriteFile(file, buffer, size, &put, nullptr) && put == size;
}

// Moves to `offset` counted from the start of the file (64-bit).
inline bool SeekTo(HANDLE file, ULONGLONG offset) {
  LARGE_INTEGER distance;
  distance.QuadPart = static_cast<LONGLONG>(offset);
  return SetFilePointerEx(file, distance, nullptr, FILE_BEGIN) != FALSE;
}

// Writes all of `buffer` at `offset` counted from the start of the file.
inline bool WriteAt(HANDLE file, ULONGLONG offset, const void* buffer,
                    DWORD size) {
  return SeekTo(file, offset) && WriteExact(file, buffer, size);
}

// The file's whole 64-bit length.
inline bool FileLength(HANDLE file, ULONGLONG* length) {
  LARGE_INTEGER size;
  if (!GetFileSizeEx(file, &size) || size.QuadPart < 0) return false;
  *length = static_cast<ULONGLONG>(size.QuadPart);
  return true;
}

#endif  // KVMORVEL_FORMATS_FILE_IO_H
