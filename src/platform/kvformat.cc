// SPDX-License-Identifier: GPL-2.0-or-later
// The wide printf-style formatter and the C runtime's random generator,
// the same code on every system so log lines and generated names match.
#include <ctime>

#include "kvwin32.h"

namespace {

// Appends to a bounded buffer, remembering whether anything was cut.
class Out {
 public:
  Out(WCHAR* buffer, size_t capacity) : b_(buffer), cap_(capacity) {}
  void Put(WCHAR c) {
    if (n_ + 1 < cap_)
      b_[n_++] = c;
    else
      cut_ = true;
  }
  void Pad(int count, WCHAR c) {
    for (int i = 0; i < count; ++i) Put(c);
  }
  int Finish() {
    if (cap_ == 0) return -1;  // not even room for the terminator
    b_[n_ < cap_ ? n_ : cap_ - 1] = 0;
    return cut_ ? -1 : static_cast<int>(n_);
  }

 private:
  WCHAR* b_;
  size_t cap_;
  size_t n_ = 0;
  bool cut_ = false;
};

struct Conversion {
  bool left = false;
  bool zero = false;
  int width = 0;
  int precision = -1;
  int longs = 0;  // 'l' count, or 2 for I64
  bool narrow = false;  // "%hs": a narrow string, as the C runtime reads it
};

// Digits of `value` in `base`, most significant first, into `digits`.
int Digits(unsigned long long value, unsigned base, bool upper,
           WCHAR* digits) {
  const char* set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  WCHAR reversed[32];
  int n = 0;
  do {
    reversed[n++] = static_cast<WCHAR>(set[value % base]);
    value /= base;
  } while (value);
  for (int i = 0; i < n; ++i) digits[i] = reversed[n - 1 - i];
  return n;
}

void PutNumber(Out& out, const Conversion& conv, unsigned long long magnitude,
               bool negative, unsigned base, bool upper) {
  WCHAR digits[32];
  int n = Digits(magnitude, base, upper, digits);
  if (conv.precision == 0 && magnitude == 0) n = 0;
  const int zeros = conv.precision > n ? conv.precision - n : 0;
  int length = n + zeros + (negative ? 1 : 0);
  const bool padZero = conv.zero && !conv.left && conv.precision < 0;
  if (!conv.left && !padZero) out.Pad(conv.width - length, ' ');
  if (negative) out.Put('-');
  if (padZero) out.Pad(conv.width - length, '0');
  out.Pad(zeros, '0');
  for (int i = 0; i < n; ++i) out.Put(digits[i]);
  if (conv.left) out.Pad(conv.width - length, ' ');
}

template <typename Char>
void PutString(Out& out, const Conversion& conv, const Char* s) {
  static const char kNull[] = "(null)";
  int length = 0;
  if (s) {
    while (s[length] && (conv.precision < 0 || length < conv.precision))
      ++length;
  } else {
    length = 6;
  }
  if (!conv.left) out.Pad(conv.width - length, ' ');
  for (int i = 0; i < length; ++i)
    out.Put(s ? static_cast<WCHAR>(static_cast<unsigned>(s[i]) &
                                   (sizeof(Char) == 1 ? 0xFFu : 0xFFFFu))
              : static_cast<WCHAR>(kNull[i]));
  if (conv.left) out.Pad(conv.width - length, ' ');
}

// Reads flags, width, precision and length of one conversion.
const WCHAR* ParseSpec(const WCHAR* p, Conversion& conv, va_list& args) {
  for (;; ++p) {
    if (*p == '-') conv.left = true;
    else if (*p == '0') conv.zero = true;
    else if (*p == '+' || *p == ' ' || *p == '#') continue;
    else break;
  }
  if (*p == '*') {
    conv.width = va_arg(args, int);
    ++p;
  }
  while (*p >= '0' && *p <= '9') conv.width = conv.width * 10 + (*p++ - '0');
  if (*p == '.') {
    conv.precision = 0;
    ++p;
    while (*p >= '0' && *p <= '9')
      conv.precision = conv.precision * 10 + (*p++ - '0');
  }
  if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
    conv.longs = 2;
    p += 3;
  }
  while (*p == 'l' || *p == 'h' || *p == 'z') {
    if (*p == 'l' || *p == 'z') ++conv.longs;
    if (*p == 'h') conv.narrow = true;
    ++p;
  }
  return p;
}

}  // namespace

int KvFormatVW(WCHAR* buffer, size_t capacity, const WCHAR* format,
               va_list args) {
  Out out(buffer, capacity);
  va_list ap;
  va_copy(ap, args);
  for (const WCHAR* p = format; p && *p; ++p) {
    if (*p != '%') {
      out.Put(*p);
      continue;
    }
    Conversion conv;
    p = ParseSpec(p + 1, conv, ap);
    switch (*p) {
      case 's':
        if (conv.narrow)
          PutString(out, conv, va_arg(ap, const char*));
        else
          PutString(out, conv, va_arg(ap, const WCHAR*));
        break;
      case 'S': PutString(out, conv, va_arg(ap, const char*)); break;
      case 'c': {
        const WCHAR c[2] = {static_cast<WCHAR>(va_arg(ap, int)), 0};
        PutString(out, conv, c);
        break;
      }
      case 'p': {
        Conversion hex = conv;
        hex.precision = static_cast<int>(2 * sizeof(void*));
        PutNumber(out, hex, reinterpret_cast<uintptr_t>(va_arg(ap, void*)), false, 16, true);
        break;
      }
      case 'd':
      case 'i': {
        long long v = conv.longs >= 2 ? va_arg(ap, long long)
                      : conv.longs == 1 ? va_arg(ap, long)
                                        : va_arg(ap, int);
        unsigned long long m = v < 0 ? 0ull - static_cast<unsigned long long>(v)
                                     : static_cast<unsigned long long>(v);
        PutNumber(out, conv, m, v < 0, 10, false);
        break;
      }
      case 'u':
      case 'x':
      case 'X': {
        unsigned long long v = conv.longs >= 2 ? va_arg(ap, unsigned long long)
                               : conv.longs == 1 ? va_arg(ap, unsigned long)
                                                 : va_arg(ap, unsigned);
        PutNumber(out, conv, v, false, *p == 'u' ? 10 : 16, *p == 'X');
        break;
      }
      case '%': out.Put('%'); break;
      case 0: --p; break;  // a lone '%' at the end
      default: out.Put('%'); out.Put(*p); break;
    }
  }
  va_end(ap);
  return out.Finish();
}

int KvFormatW(WCHAR* buffer, size_t capacity, const WCHAR* format, ...) {
  va_list args;
  va_start(args, format);
  const int n = KvFormatVW(buffer, capacity, format, args);
  va_end(args);
  return n;
}

namespace {
thread_local unsigned int g_randState = 1;
}

void KvSrand(unsigned int seed) { g_randState = seed; }

int KvRand() {
  g_randState = g_randState * 214013u + 2531011u;
  return static_cast<int>((g_randState >> 16) & 0x7FFF);
}

ULONGLONG KvTimeNow() { return static_cast<ULONGLONG>(time(nullptr)); }
