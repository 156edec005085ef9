// SPDX-License-Identifier: GPL-2.0-or-later
// The process-wide logger.
//
// Lines go to a sink: the file named by the environment variable
// KVMORVEL_LOG when it is set (appended, one UTF-8 line per call), nothing
// otherwise, or a function a test or host installs with SetSink. Each
// line is escaped as the command shows names (common/display_text.h): a
// control character or an invalid sequence in a name formatted into it
// is written as \n, \t or octal escapes, so one call is one line.
#ifndef KVMORVEL_PLATFORM_KVLOG_H
#define KVMORVEL_PLATFORM_KVLOG_H

#include "KvMorvelTypes.h"

#include <cstdarg>
#include <functional>
#include <string>

class CKvLog {
 public:
  enum Kind { kError = 1, kInfo = 2, kEnter = 4, kExit = 8 };
  // Receives every line that passes the level mask, with its kind.
  typedef std::function<void(Kind kind, const std::u16string& line)> Sink;

  static CKvLog* GetInstance();

  // Opens the default sink. Sets the initialised flag.
  void Init(int level);
  void EnterFunction(const WCHAR* format, ...);
  // Returns `result` unchanged, so callers can return through it.
  int ExitFunction(int result);
  void AddError(const WCHAR* format, ...);
  void AddInfo(const WCHAR* format, ...);

  // Replaces the sink; an empty function restores the default one.
  void SetSink(Sink sink);

  // Public as the library's attach hook expects them.
  int m_configured;   // nonzero once a host chose a level mask
  int m_initialised;  // nonzero after Init
  unsigned m_levelMask;

 private:
  CKvLog();
  void Write(Kind kind, const WCHAR* format, va_list args);
  void Emit(Kind kind, const WCHAR* format, ...);

  Sink m_sink;
  std::string m_filePath;
};

#endif  // KVMORVEL_PLATFORM_KVLOG_H
