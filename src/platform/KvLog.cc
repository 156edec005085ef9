// SPDX-License-Identifier: GPL-2.0-or-later
// The process-wide logger.
#include "KvLog.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "KvLock.h"
#include "common/display_text.h"
#include "kvwin32.h"

namespace {

// The logger is one per process and any thread may log: its settings and
// its sink are read and changed only under this lock, and a line is
// formatted and written whole under it, so lines of two threads never
// mix. A sink runs under the lock too and must not log itself.
SRWLOCK& LoggerLock() {
  static SRWLOCK lock = SRWLOCK_INIT;
  return lock;
}

// Logging never changes the thread's last error: a caller logs a failure
// and then reports GetLastError(), and the C runtime's file calls (and the
// conversions) may overwrite it on Windows.
class LastErrorKept {
 public:
  LastErrorKept() : m_code(GetLastError()) {}
  ~LastErrorKept() { SetLastError(m_code); }
  LastErrorKept(const LastErrorKept&) = delete;
  LastErrorKept& operator=(const LastErrorKept&) = delete;

 private:
  DWORD m_code;
};

const char* KindName(CKvLog::Kind kind) {
  switch (kind) {
    case CKvLog::kError: return "ERROR";
    case CKvLog::kInfo: return "INFO";
    case CKvLog::kEnter: return "ENTER";
    case CKvLog::kExit: return "EXIT";
  }
  return "?";
}

}  // namespace

CKvLog::CKvLog() : m_configured(0), m_initialised(0), m_levelMask(0) {}

CKvLog* CKvLog::GetInstance() {
  static CKvLog instance;
  return &instance;
}

void CKvLog::Init(int /*level*/) {
  CKvLockHold hold(LoggerLock());
  const char* path = getenv("KVMORVEL_LOG");
  m_filePath = path ? path : "";
  m_initialised = 1;
}

void CKvLog::SetSink(Sink sink) {
  CKvLockHold hold(LoggerLock());
  m_sink = std::move(sink);
}

void CKvLog::Write(Kind kind, const WCHAR* format, va_list args) {
  LastErrorKept lastError;
  CKvLockHold hold(LoggerLock());
  if (!(m_levelMask & kind)) return;
  if (!m_sink && m_filePath.empty()) return;
  WCHAR line[2048];
  KvFormatVW(line, sizeof(line) / sizeof(line[0]), format, args);
  std::u16string text;
  for (const WCHAR* p = line; *p; ++p) text += static_cast<char16_t>(*p);
  // Names reach the line through its arguments: escaped as the command
  // shows them, a name holding a newline or an escape sequence can
  // neither begin a line of its own nor act on a terminal reading the log.
  const std::string shown = DisplayText(text);
  if (m_sink) {
    std::u16string wide;
    Utf8ToUtf16(shown, &wide);  // valid UTF-8 by construction
    m_sink(kind, wide);
    return;
  }
  // Binary: every line ends in "\n" alone on every system, where a text
  // mode file on Windows would write "\r\n".
  FILE* f = fopen(m_filePath.c_str(), "ab");
  if (!f) return;
  fprintf(f, "%s %s\n", KindName(kind), shown.c_str());
  fclose(f);
}

void CKvLog::EnterFunction(const WCHAR* format, ...) {
  va_list args;
  va_start(args, format);
  Write(kEnter, format, args);
  va_end(args);
}

int CKvLog::ExitFunction(int result) {
  Emit(kExit, TEXT("result=%d"), result);
  return result;
}

void CKvLog::Emit(Kind kind, const WCHAR* format, ...) {
  va_list args;
  va_start(args, format);
  Write(kind, format, args);
  va_end(args);
}

void CKvLog::AddError(const WCHAR* format, ...) {
  va_list args;
  va_start(args, format);
  Write(kError, format, args);
  va_end(args);
}

void CKvLog::AddInfo(const WCHAR* format, ...) {
  va_list args;
  va_start(args, format);
  Write(kInfo, format, args);
  va_end(args);
}
