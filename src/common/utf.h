// SPDX-License-Identifier: GPL-2.0-or-later
// UTF-8 and UTF-16, the one conversion the layer (file names, code pages),
// the command (names on the command line and in its output) and the test
// support use. Header only and free of system headers, so that each of
// them can include it whatever it builds against.
#ifndef KVMORVEL_COMMON_UTF_H
#define KVMORVEL_COMMON_UTF_H

#include <cstddef>
#include <cstdint>
#include <string>

inline bool IsHighSurrogate(uint32_t c) { return c >= 0xD800 && c <= 0xDBFF; }
inline bool IsLowSurrogate(uint32_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

inline void AppendUtf8(uint32_t c, std::string* out) {
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

inline void AppendUtf16(uint32_t c, std::u16string* out) {
  if (c >= 0x10000) {
    c -= 0x10000;
    *out += static_cast<char16_t>(0xD800 + (c >> 10));
    *out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
  } else {
    *out += static_cast<char16_t>(c);
  }
}

// Decodes one UTF-8 sequence at s[i] (of `n` bytes); returns its length,
// or 0 when the bytes there are not valid UTF-8 (overlong forms and
// surrogates included).
inline size_t DecodeUtf8(const unsigned char* s, size_t n, size_t i,
                         uint32_t* cp) {
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
  if (v < min || v > 0x10FFFF || IsHighSurrogate(v) || IsLowSurrogate(v))
    return 0;
  *cp = v;
  return len;
}

// UTF-8 to UTF-16; each invalid byte becomes `invalid(byte)`.
template <typename Invalid>
std::u16string Utf8ToUtf16With(const char* text, size_t n, Invalid invalid) {
  std::u16string out;
  const unsigned char* s = reinterpret_cast<const unsigned char*>(text);
  for (size_t i = 0; i < n;) {
    uint32_t cp;
    const size_t len = DecodeUtf8(s, n, i, &cp);
    if (len == 0) {
      out += invalid(s[i]);
      ++i;
    } else {
      AppendUtf16(cp, &out);
      i += len;
    }
  }
  return out;
}

// Strict UTF-8 to UTF-16: false (and `*wide` empty) for bytes that are not
// valid UTF-8.
inline bool Utf8ToUtf16(const std::string& utf8, std::u16string* wide) {
  bool valid = true;
  *wide = Utf8ToUtf16With(utf8.data(), utf8.size(), [&valid](unsigned char) {
    valid = false;
    return char16_t(0xFFFD);
  });
  if (!valid) wide->clear();
  return valid;
}

// UTF-16 to UTF-8; a lone surrogate becomes U+FFFD.
inline std::string Utf16ToUtf8(const std::u16string& wide) {
  std::string out;
  for (size_t i = 0; i < wide.size(); ++i) {
    uint32_t c = wide[i];
    if (IsHighSurrogate(c) && i + 1 < wide.size() &&
        IsLowSurrogate(wide[i + 1])) {
      c = 0x10000 + ((c - 0xD800) << 10) + (wide[++i] - 0xDC00);
    } else if (IsHighSurrogate(c) || IsLowSurrogate(c)) {
      c = 0xFFFD;
    }
    AppendUtf8(c, &out);
  }
  return out;
}

#endif  // KVMORVEL_COMMON_UTF_H
