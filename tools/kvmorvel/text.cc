// SPDX-License-Identifier: GPL-2.0-or-later
#include "text.h"

#include <cstdio>
#include <ctime>

namespace {

// FILETIME ticks between 1601-01-01 and 1970-01-01.
const ULONGLONG kUnixEpochTicks = 116444736000000000ULL;
const ULONGLONG kTicksPerSecond = 10000000ULL;

}  // namespace

std::u16string Utf8ToUtf16OrEmpty(const std::string& utf8) {
  std::u16string wide;
  if (!Utf8ToUtf16(utf8, &wide)) wide.clear();
  return wide;
}

std::string JsonString(const std::u16string& text) {
  std::string out;
  AppendJsonString(text, &out);
  return out;
}

void AppendJsonString(const std::u16string& text, std::string* to) {
  std::string& out = *to;
  out += '"';
  for (char16_t c : text) {
    switch (c) {
      case u'"': out += "\\\""; continue;
      case u'\\': out += "\\\\"; continue;
      case u'\b': out += "\\b"; continue;
      case u'\f': out += "\\f"; continue;
      case u'\n': out += "\\n"; continue;
      case u'\r': out += "\\r"; continue;
      case u'\t': out += "\\t"; continue;
      default: break;
    }
    if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      char escape[8];
      snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
      out += escape;
    }
  }
  out += '"';
}

std::string DisplayName(const std::u16string& name) {
  return DisplayText(name);
}

std::string AttributeLetters(DWORD attributes) {
  static const struct { DWORD bit; char letter; } kLetters[] = {
      {0x10, 'd'},  {0x400, 'l'}, {0x1, 'r'},    {0x2, 'h'},
      {0x4, 's'},   {0x20, 'a'},  {0x800, 'c'},  {0x4000, 'e'},
      {0x200, 'p'}, {0x1000, 'o'}};
  std::string out;
  for (const auto& entry : kLetters)
    out += (attributes & entry.bit) ? entry.letter : '-';
  return out;
}

ULONGLONG FileTimeValue(const FILETIME& time) {
  return (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) |
         time.dwLowDateTime;
}

std::string FormatLocalTime(const FILETIME& time, bool withSeconds) {
  const ULONGLONG ticks = FileTimeValue(time);
  // Times before 1970 are shown as negative seconds; time_t holds them.
  const long long seconds =
      ticks >= kUnixEpochTicks
          ? static_cast<long long>((ticks - kUnixEpochTicks) / kTicksPerSecond)
          : -static_cast<long long>((kUnixEpochTicks - ticks) /
                                    kTicksPerSecond);
  const time_t t = static_cast<time_t>(seconds);
  struct tm local;
  char text[32];
  if (!localtime_r(&t, &local) ||
      strftime(text, sizeof text, withSeconds ? "%Y-%m-%d %H:%M:%S" : "%Y-%m-%d %H:%M",
               &local) == 0)
    return withSeconds ? "0000-00-00 00:00:00" : "0000-00-00 00:00";  // outside what
                                                                      // the C library shows
  return text;
}

// The command's one table of messages. Where the system's text points an
// administrator the wrong way (11 "incorrect format" for a file that is
// no archive, 1359 "internal error" for data that could not be read),
// the table says what happened instead.
std::string ErrorMessage(DWORD code) {
  switch (code) {
    case 0: return "The operation completed successfully.";
    case 1: return "Incorrect function.";
    case 2: return "The system cannot find the file specified.";
    case 3: return "The system cannot find the path specified.";
    case 4: return "The system cannot open the file.";
    case 5: return "Permission denied.";
    case 6: return "The handle is invalid.";
    case 8: return "Not enough memory resources are available to process "
                   "this command.";
    case 11: return "Not an archive of a known format.";
    case 13: return "The data is invalid.";
    case 15: return "The system cannot find the drive specified.";
    case 18: return "There are no more files.";
    case 23: return "Data error (cyclic redundancy check).";
    case 32: return "The process cannot access the file because it is "
                    "being used by another process.";
    case 38: return "The data ends before its recorded size.";
    case 50: return "The request is not supported.";
    case 80: return "The file exists.";
    case 87: return "The parameter is incorrect.";
    case 112: return "The disk is full.";
    case 120: return "This function is not supported on this system.";
    case 122: return "The data area passed to a system call is too small.";
    case 123: return "The filename, directory name, or volume label syntax "
                     "is incorrect.";
    case 126: return "The specified module could not be found.";
    case 131: return "An attempt was made to move the file pointer before "
                     "the beginning of the file.";
    case 145: return "The directory is not empty.";
    case 183: return "Cannot create a file when that file already exists.";
    case 193: return "The file is not a loadable library.";
    case 206: return "The filename or extension is too long.";
    case 222: return "Not a file on a disk: a pipe, socket or device.";
    case 259: return "No more data is available.";
    case 267: return "The directory name is invalid.";
    case 1314: return "A required privilege is not held by the client.";
    case 1338: return "The security descriptor structure is invalid.";
    case 1359: return "The stored data is damaged or does not hold its "
                      "recorded size.";
    case 1392: return "The archive is damaged.";
    case 1921: return "The path leads through a symbolic link.";
    case 4390: return "The file or directory is not a reparse point.";
    case 4392: return "The data present in the reparse point buffer is "
                      "invalid.";
    case 0x80004001u: return "Not implemented.";
    case 0x10000002u: return "No target given, or the buffer is not writable.";
    case 0x10000203u: return "No archive is open.";
    case 0x10000204u: return "An archive is open on this object already.";
    case 0x10000205u: return "The source changed while it was read.";
    case 0x10000405u: return "No image is mounted, or unmounting failed.";
    default: return "Unknown error.";
  }
}
