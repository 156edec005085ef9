// SPDX-License-Identifier: GPL-2.0-or-later
// Text conversions of the command: UTF-8 and UTF-16, JSON and terminal
// escaping, attribute letters, times and Windows error messages.
#ifndef KVMORVEL_TOOL_TEXT_H
#define KVMORVEL_TOOL_TEXT_H

#include <string>

#include "KvMorvelTypes.h"
#include "common/display_text.h"
#include "common/utf.h"

// Utf8ToUtf16 (strict: a Linux file name may hold any bytes, and one that
// is not UTF-8 cannot be stored) and Utf16ToUtf8 come from common/utf.h.
// Empty for bytes that are not valid UTF-8.
std::u16string Utf8ToUtf16OrEmpty(const std::string& utf8);

// A JSON string literal, quotes included. Everything outside printable
// ASCII is written as \uXXXX per UTF-16 unit, so the output is plain ASCII
// and names with any characters (lone surrogates too) stay exact.
std::string JsonString(const std::u16string& text);
// The same literal appended to *out.
void AppendJsonString(const std::u16string& text, std::string* out);

// A name for a terminal line or a message: UTF-8, with control
// characters (C0, DEL, C1) written as \n, \t or \ooo and invalid
// sequences as \ooo, so that a hostile name cannot move the cursor,
// start an escape sequence or forge a line (DisplayText of
// common/display_text.h, which the library's log uses too; for a UTF-8
// path read from the system, call DisplayText itself).
std::string DisplayName(const std::u16string& name);

// The attributes as ten letters, '-' where a bit is clear:
// d folder, l reparse point (link), r read-only, h hidden, s system,
// a archive, c compressed, e encrypted, p sparse, o offline.
std::string AttributeLetters(DWORD attributes);

ULONGLONG FileTimeValue(const FILETIME& time);
// "YYYY-MM-DD HH:MM" in local time, as tar -tv shows it; with `seconds`
// "YYYY-MM-DD HH:MM:SS".
std::string FormatLocalTime(const FILETIME& time, bool seconds = false);

// What a Windows or library error code means, in an administrator's
// words: the command's one table of messages.
std::string ErrorMessage(DWORD code);

#endif  // KVMORVEL_TOOL_TEXT_H
