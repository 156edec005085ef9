// SPDX-License-Identifier: GPL-2.0-or-later
// Names made fit to be read: on a terminal, in a message or in a log
// line. A file or entry name may hold any character, and written raw a
// control character moves the cursor, starts an escape sequence (ESC, or
// U+009B, the one-character CSI) or begins a new line that looks like
// one the program wrote. The command and the library's log show names
// through this one function. Header only and free of system headers, as
// utf.h, so that the core, the layer and the command can all include it.
#ifndef KVMORVEL_COMMON_DISPLAY_TEXT_H
#define KVMORVEL_COMMON_DISPLAY_TEXT_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/utf.h"

namespace display_text_detail {

inline void AppendOctal(unsigned char byte, std::string* out) {
  *out += '\\';
  *out += static_cast<char>('0' + ((byte >> 6) & 7));
  *out += static_cast<char>('0' + ((byte >> 3) & 7));
  *out += static_cast<char>('0' + (byte & 7));
}

// C0 controls, DEL and the C1 controls (U+0080..U+009F).
inline bool IsControl(uint32_t c) {
  return c < 0x20 || (c >= 0x7F && c <= 0x9F);
}

}  // namespace display_text_detail

// Appends the UTF-8 `text` to *out as it may be shown: a newline and a
// tab as \n and \t, every other control character (C0, DEL, C1) as the
// octal escapes of its UTF-8 bytes (ESC "\033", U+009B "\302\233"), and
// each byte that is not part of a valid UTF-8 sequence as its own octal
// escape. Everything else, '\' (the archive's separator) included, is
// copied as it is. The result is valid UTF-8 and holds no control
// character.
inline void AppendDisplayText(const std::string& text, std::string* out) {
  using display_text_detail::AppendOctal;
  const unsigned char* s = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  for (size_t i = 0; i < n;) {
    uint32_t c = 0;
    const size_t length = DecodeUtf8(s, n, i, &c);
    if (length == 0) {
      AppendOctal(s[i++], out);
      continue;
    }
    if (c == '\n') {
      *out += "\\n";
    } else if (c == '\t') {
      *out += "\\t";
    } else if (display_text_detail::IsControl(c)) {
      for (size_t k = 0; k < length; ++k) AppendOctal(s[i + k], out);
    } else {
      out->append(text, i, length);
    }
    i += length;
  }
}

inline std::string DisplayText(const std::string& utf8) {
  std::string out;
  AppendDisplayText(utf8, &out);
  return out;
}

// The same for UTF-16 text. A lone surrogate is shown as the escapes of
// the three bytes it would take in UTF-8 ("\355\240\200" for U+D800), so
// that it cannot pass for U+FFFD or for another name.
inline std::string DisplayText(const std::u16string& text) {
  std::string utf8;
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t c = text[i];
    if (IsHighSurrogate(c) && i + 1 < text.size() &&
        IsLowSurrogate(text[i + 1]))
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    AppendUtf8(c, &utf8);  // a lone surrogate: bytes DecodeUtf8 refuses
  }
  return DisplayText(utf8);
}

#endif  // KVMORVEL_COMMON_DISPLAY_TEXT_H
