// SPDX-License-Identifier: GPL-2.0-or-later
// Text: code page conversion, wide string helpers and the UTF-16 <-> UTF-8
// conversion of file names.
#include <cstring>
#include <string>

#include "common/utf.h"
#include "layer.h"

namespace kvposix {

size_t WideLength(const WCHAR* s) {
  size_t n = 0;
  if (s)
    while (s[n]) ++n;
  return n;
}

bool ToNarrowName(const WCHAR* wide, size_t length, std::string* out) {
  out->clear();
  for (size_t i = 0; i < length; ++i) {
    uint32_t c = wide[i];
    if (IsHighSurrogate(c) && i + 1 < length && IsLowSurrogate(wide[i + 1])) {
      c = 0x10000 + ((c - 0xD800) << 10) + (wide[++i] - 0xDC00);
    } else if (c >= 0xDC80 && c <= 0xDCFF) {
      *out += static_cast<char>(c - 0xDC00);  // a raw byte, see ToWideName
      continue;
    } else if (IsHighSurrogate(c) || IsLowSurrogate(c)) {
      return false;
    }
    AppendUtf8(c, out);
  }
  return true;
}

std::u16string ToWideName(const std::string& narrow) {
  return Utf8ToUtf16With(narrow.data(), narrow.size(), [](unsigned char b) {
    return static_cast<char16_t>(0xDC00 + b);
  });
}

bool CopyWide(const std::u16string& from, WCHAR* to, size_t capacity) {
  if (from.size() + 1 > capacity) return false;
  memcpy(to, from.data(), from.size() * sizeof(WCHAR));
  to[from.size()] = 0;
  return true;
}

// ASCII and Latin-1 letters, the set the layer folds for comparisons.
WCHAR UpperWide(WCHAR c) {
  if (c >= 'a' && c <= 'z') return static_cast<WCHAR>(c - 32);
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<WCHAR>(c - 32);
  if (c == 0xFF) return 0x178;
  return c;
}

}  // namespace kvposix

using namespace kvposix;

int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wide, int wideLen,
                        LPSTR multi, int multiLen, LPCSTR defaultChar,
                        BOOL* usedDefault) {
  if (!wide || wideLen < -1 || wideLen == 0 || multiLen < 0 ||
      (codePage != CP_ACP && codePage != CP_UTF8)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const size_t n = wideLen == -1 ? WideLength(wide) + 1
                                 : static_cast<size_t>(wideLen);
  // Unmappable units: the caller's default character, else U+FFFD in
  // UTF-8 and "?" for the ANSI page.
  const std::string replacement =
      defaultChar ? std::string(defaultChar)
                  : codePage == CP_UTF8 ? std::string("\xEF\xBF\xBD") : "?";
  std::string out;
  bool replaced = false;
  for (size_t i = 0; i < n; ++i) {
    uint32_t c = wide[i];
    if (IsHighSurrogate(c) && i + 1 < n && IsLowSurrogate(wide[i + 1])) {
      c = 0x10000 + ((c - 0xD800) << 10) + (wide[++i] - 0xDC00);
    } else if (IsHighSurrogate(c) || IsLowSurrogate(c)) {
      out += replacement;
      replaced = true;
      continue;
    }
    AppendUtf8(c, &out);
  }
  if (usedDefault) *usedDefault = replaced ? TRUE : FALSE;
  if (out.size() > 0x7FFFFFFF) {
    SetLastError(ERROR_ARITHMETIC_OVERFLOW);
    return 0;
  }
  if (multiLen == 0) return static_cast<int>(out.size());
  if (!multi || out.size() > static_cast<size_t>(multiLen)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  memcpy(multi, out.data(), out.size());
  return static_cast<int>(out.size());
}

int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR multi,
                        int multiLen, LPWSTR wide, int wideLen) {
  if (!multi || multiLen < -1 || multiLen == 0 || wideLen < 0 ||
      (codePage != CP_ACP && codePage != CP_UTF8)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const size_t n = multiLen == -1 ? strlen(multi) + 1
                                  : static_cast<size_t>(multiLen);
  const std::u16string out = Utf8ToUtf16With(
      multi, n, [](unsigned char) { return static_cast<char16_t>(0xFFFD); });
  if (out.size() > 0x7FFFFFFF) {
    SetLastError(ERROR_ARITHMETIC_OVERFLOW);
    return 0;
  }
  if (wideLen == 0) return static_cast<int>(out.size());
  if (!wide || out.size() > static_cast<size_t>(wideLen)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  memcpy(wide, out.data(), out.size() * sizeof(WCHAR));
  return static_cast<int>(out.size());
}

int lstrlenW(LPCWSTR s) { return static_cast<int>(WideLength(s)); }

LPWSTR lstrcpyW(LPWSTR to, LPCWSTR from) {
  if (!to || !from) return nullptr;
  size_t i = 0;
  for (; from[i]; ++i) to[i] = from[i];
  to[i] = 0;
  return to;
}

LPWSTR lstrcpynW(LPWSTR to, LPCWSTR from, int capacity) {
  if (!to || !from) return nullptr;
  if (capacity <= 0) return to;
  int i = 0;
  for (; i + 1 < capacity && from[i]; ++i) to[i] = from[i];
  to[i] = 0;
  return to;
}

LPWSTR lstrcatW(LPWSTR to, LPCWSTR from) {
  if (!to || !from) return nullptr;
  lstrcpyW(to + WideLength(to), from);
  return to;
}

namespace {
// Ordinal comparison, optionally with the layer's case folding. (Windows
// compares by a locale's collation; for equality the two agree.)
int Compare(LPCWSTR a, LPCWSTR b, bool fold) {
  if (!a || !b) return a ? 1 : b ? -1 : 0;
  for (;; ++a, ++b) {
    const WCHAR x = fold ? UpperWide(*a) : *a;
    const WCHAR y = fold ? UpperWide(*b) : *b;
    if (x != y) return x < y ? -1 : 1;
    if (!x) return 0;
  }
}
}  // namespace

int lstrcmpW(LPCWSTR a, LPCWSTR b) { return Compare(a, b, false); }
int lstrcmpiW(LPCWSTR a, LPCWSTR b) { return Compare(a, b, true); }

LPWSTR CharUpperW(LPWSTR s) {
  for (WCHAR* p = s; p && *p; ++p) *p = UpperWide(*p);
  return s;
}

LPWSTR StrCpyW(LPWSTR to, LPCWSTR from) { return lstrcpyW(to, from); }
