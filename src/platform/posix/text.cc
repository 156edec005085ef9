// Text: code page conversion, wide string helpers and the UTF-16 <-> UTF-8
// conversion of file names.
#include <cstring>
#include <string>

#include "layer.h"

namespace kvposix {

namespace {

bool IsHigh(uint32_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLow(uint32_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

void PutUtf8(uint32_t c, std::string* out) {
  if (c < 0x80) {
    *out += static_cast<char>(c);
  } else if (c < 0x800) {
    *out += static_cast<char>(0xC0 | (c >> 6));
    *out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    *out += static_cast<char>(0xE0 | (c >> 12));
    *out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    *out += static_cast<char>(0xF0 | (c >> 18));
    *out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    *out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// Decodes one UTF-8 sequence at s[i]; returns its length, or 0 when the
// bytes there are not valid UTF-8 (overlong forms and surrogates included).
size_t DecodeUtf8(const unsigned char* s, size_t n, size_t i, uint32_t* cp) {
  const unsigned char c = s[i];
  if (c < 0x80) {
    *cp = c;
    return 1;
  }
  size_t len;
  uint32_t v, min;
  if ((c & 0xE0) == 0xC0) { len = 2; v = c & 0x1F; min = 0x80; }
  else if ((c & 0xF0) == 0xE0) { len = 3; v = c & 0x0F; min = 0x800; }
  else if ((c & 0xF8) == 0xF0) { len = 4; v = c & 0x07; min = 0x10000; }
  else return 0;
  if (i + len > n) return 0;
  for (size_t k = 1; k < len; ++k) {
    if ((s[i + k] & 0xC0) != 0x80) return 0;
    v = (v << 6) | (s[i + k] & 0x3F);
  }
  if (v < min || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return 0;
  *cp = v;
  return len;
}

void PutUtf16(uint32_t c, std::u16string* out) {
  if (c >= 0x10000) {
    c -= 0x10000;
    *out += static_cast<char16_t>(0xD800 + (c >> 10));
    *out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
  } else {
    *out += static_cast<char16_t>(c);
  }
}

// UTF-8 to UTF-16; each invalid byte becomes `invalid(byte)`.
template <typename Invalid>
std::u16string Utf8ToUtf16(const char* text, size_t n, Invalid invalid) {
  std::u16string out;
  const unsigned char* s = reinterpret_cast<const unsigned char*>(text);
  for (size_t i = 0; i < n;) {
    uint32_t cp;
    const size_t len = DecodeUtf8(s, n, i, &cp);
    if (len == 0) {
      out += invalid(s[i]);
      ++i;
    } else {
      PutUtf16(cp, &out);
      i += len;
    }
  }
  return out;
}

}  // namespace

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
    if (IsHigh(c) && i + 1 < length && IsLow(wide[i + 1])) {
      c = 0x10000 + ((c - 0xD800) << 10) + (wide[++i] - 0xDC00);
    } else if (c >= 0xDC80 && c <= 0xDCFF) {
      *out += static_cast<char>(c - 0xDC00);  // a raw byte, see ToWideName
      continue;
    } else if (IsHigh(c) || IsLow(c)) {
      return false;
    }
    PutUtf8(c, out);
  }
  return true;
}

std::u16string ToWideName(const std::string& narrow) {
  return Utf8ToUtf16(narrow.data(), narrow.size(), [](unsigned char b) {
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
    if (IsHigh(c) && i + 1 < n && IsLow(wide[i + 1])) {
      c = 0x10000 + ((c - 0xD800) << 10) + (wide[++i] - 0xDC00);
    } else if (IsHigh(c) || IsLow(c)) {
      out += replacement;
      replaced = true;
      continue;
    }
    PutUtf8(c, &out);
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
  const std::u16string out = Utf8ToUtf16(
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
