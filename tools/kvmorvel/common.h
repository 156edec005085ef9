// SPDX-License-Identifier: GPL-2.0-or-later
// Shared pieces of the kvmorvel command: exit codes, the verbs and the
// failure report every verb uses.
#ifndef KVMORVEL_TOOL_COMMON_H
#define KVMORVEL_TOOL_COMMON_H

#include <string>
#include <vector>

#include "KvMorvel.h"

enum ExitCode {
  kExitOk = 0,
  kExitFailed = 1,       // at least one entry failed
  kExitUsage = 2,        // bad command line, or the archive did not open
  kExitInterrupted = 130 // SIGINT
};

typedef std::vector<std::string> Args;

int RunCreate(const Args& args);
int RunList(const Args& args);
int RunExtract(const Args& args);
int RunMkimage(const Args& args);
int RunVerify(const Args& args);
int RunDiff(const Args& args);

// With --json, failures are also written to stdout as JSON lines of type
// "error", beside the text on stderr.
void SetJsonOutput(bool on);
bool JsonOutput();

// Every report below escapes the names in its text (DisplayText: control
// characters and invalid sequences written as \n, \t or \ooo), so a
// caller passes names as they are.
// Prints "kvmorvel: WHAT: error CODE (0xCODE): WORDS" on stderr, WORDS
// being what happened in an administrator's words (the command's table
// of messages, ErrorMessage in text.h, or the `words` given).
// "cannot open ARCHIVE" and the code; 32 says the archive is in use, and
// a folder given as the archive is named so.
void ReportOpenFailure(const std::string& archive, unsigned code);
void ReportFailure(const std::string& what, unsigned code);
void ReportFailure(const std::string& what, unsigned code,
                   const std::string& words);
// A failure of the entry `name`: on stderr as ReportFailure words it
// (`what` holds the displayed name), and with --json as the line
// {"type":"error","name":...,"code":...,"message":...}.
void ReportEntryFailure(const std::u16string& name, const std::string& what,
                        unsigned code);
void ReportEntryFailure(const std::u16string& name, const std::string& what,
                        unsigned code, const std::string& words);

// The words for `code` as FailureCode gave it for `archive`: a cause
// behind the library's 1359 that names a version 5 part file (of the
// archive at `archivePath`) says which part, "Part file NAME is missing."
// for a missing one; any other code gets its ErrorMessage.
std::string FailureWordsOf(CKvMorvel& archive, unsigned code,
                           const std::string& archivePath);
// The words for a failure `code` of the part file `part`: "Part file NAME
// is missing." for 2 and 3, else ErrorMessage with the part file named.
std::string PartFailureWords(const std::string& part, unsigned code);
// Prints "kvmorvel: MESSAGE" on stderr.
void ReportNote(const std::string& message);
// Prints "kvmorvel: MESSAGE" and a hint to --help on stderr, and returns
// kExitUsage.
int UsageError(const std::string& verb, const std::string& message);

// The code that explains why the last call on `archive` failed. The
// library leaves its code in the error holder, except on two version 1
// paths (a source or a target that does not open), which leave only the
// thread's last error; `holderBefore` is the holder's code before the
// call, so that a stale code is not reported for a failure that set none.
// For the library's 1359 it is the cause behind it (GetErrorCause: 112
// disk full, 2 a missing part, ...) when the library knows one.
unsigned FailureCode(CKvMorvel& archive, unsigned holderBefore);

// An absolute form of `path` (joined to the current folder when relative;
// walk_posix.cc, walk_windows.cc).
std::string AbsolutePath(const std::string& path);
// Where the restore puts the entry `name` ("\" separated, confined) below
// the folder `target`: the UTF-8 path in the system's form.
std::string LocalPathOf(const std::u16string& target, const std::u16string& name);

#endif  // KVMORVEL_TOOL_COMMON_H
