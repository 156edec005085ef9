// SPDX-License-Identifier: GPL-2.0-or-later
// Windows base types used by the public interface of KvMorvelM64.
//
// On Windows they come from the system headers. Elsewhere this header
// defines the same names with the same sizes, so that every record the
// library writes has the same bytes on both systems: WCHAR is a UTF-16
// code unit (char16_t), DWORD is 32 bits, FILETIME counts 100 ns ticks
// since 1601-01-01 in two 32-bit halves.
#ifndef KVMORVEL_TYPES_H
#define KVMORVEL_TYPES_H

#if defined(_WIN32)

#ifndef UNICODE
#define UNICODE
#endif
#ifndef _UNICODE
#define _UNICODE
#endif
#include <windows.h>

#else  // !_WIN32

#include <cstdint>

typedef int BOOL;
typedef unsigned char BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef unsigned int UINT;
typedef int INT;
typedef char CHAR;
typedef char16_t WCHAR;
typedef void* HANDLE;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;
typedef CHAR* LPSTR;
typedef const CHAR* LPCSTR;
typedef DWORD* LPDWORD;
typedef LPCWSTR LPCTSTR;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

// A wide string literal: u"..." here, L"..." on Windows.
#define TEXT(s) u##s

typedef struct _FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
} FILETIME, *LPFILETIME;

typedef struct _WIN32_FILE_ATTRIBUTE_DATA {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
} WIN32_FILE_ATTRIBUTE_DATA, *LPWIN32_FILE_ATTRIBUTE_DATA;

#endif  // _WIN32

#if defined(_WIN32)
#if defined(KVMORVEL_BUILDING)
#define KVMORVEL_API __declspec(dllexport)
#else
#define KVMORVEL_API __declspec(dllimport)
#endif
#else
#define KVMORVEL_API __attribute__((visibility("default")))
#endif

#endif  // KVMORVEL_TYPES_H
