// SPDX-License-Identifier: GPL-2.0-or-later
// Small helpers of the layer's tests: little-endian byte building and
// direct access to extended attributes.
#ifndef KVMORVEL_TESTS_PLATFORM_UTIL_H
#define KVMORVEL_TESTS_PLATFORM_UTIL_H

#include <sys/xattr.h>

#include <cstdint>
#include <string>
#include <vector>

#include "kvwin32.h"
#include "support/test_support.h"

typedef std::vector<uint8_t> Bytes;

inline void Le(Bytes& b, uint64_t v, int n) {
  for (int i = 0; i < n; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
inline void Text(Bytes& b, const std::string& s) { b.insert(b.end(), s.begin(), s.end()); }
inline void Zeros(Bytes& b, size_t n) { b.insert(b.end(), n, 0); }

inline bool GetX(const std::string& path, const char* name, Bytes* out) {
  const ssize_t n = getxattr(path.c_str(), name, nullptr, 0);
  if (n < 0) return false;
  out->resize(static_cast<size_t>(n));
  return getxattr(path.c_str(), name, out->data(), out->size()) == n;
}
inline void SetX(const std::string& path, const char* name, const Bytes& b) {
  setxattr(path.c_str(), name, b.data(), b.size(), 0);
}

inline ULONGLONG Ticks(const FILETIME& t) {
  return (static_cast<ULONGLONG>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
}
inline FILETIME Ft(ULONGLONG v) {
  FILETIME t;
  t.dwLowDateTime = static_cast<DWORD>(v);
  t.dwHighDateTime = static_cast<DWORD>(v >> 32);
  return t;
}
// 100 ns ticks since 1601 of a POSIX time.
inline ULONGLONG TicksOfUnix(int64_t seconds, long nanoseconds = 0) {
  return static_cast<ULONGLONG>(seconds + 11644473600LL) * 10000000ULL +
         static_cast<ULONGLONG>(nanoseconds / 100);
}

inline WIN32_FILE_ATTRIBUTE_DATA Info(const std::u16string& path) {
  WIN32_FILE_ATTRIBUTE_DATA d = {};
  GetFileAttributesExW(P(path), GetFileExInfoStandard, &d);
  return d;
}

inline HANDLE OpenPath(const std::u16string& path, DWORD access, DWORD share,
                       DWORD disposition, DWORD flags = 0) {
  return CreateFileW(P(path), access, share, nullptr, disposition, flags, nullptr);
}

#endif  // KVMORVEL_TESTS_PLATFORM_UTIL_H
