// SPDX-License-Identifier: GPL-2.0-or-later
#include "common.h"

#include <cstdio>

#include "KvMorvelHost.h"
#include "json_line.h"
#include "progress.h"
#include "reader.h"
#include "system.h"
#include "text.h"

namespace {
bool g_json = false;

// `what` is already escaped (Shown).
void PrintFailure(const std::string& what, unsigned code,
                  const std::string& words) {
  ClearProgressLine();
  fprintf(stderr, "kvmorvel: %s: error %u (0x%08X): %s\n", what.c_str(),
          code, code, words.c_str());
}

// A message as printed: the names in it escaped. Escaping text that was
// escaped already changes nothing, so a caller may escape its names
// itself first.
std::string Shown(const std::string& message) { return DisplayText(message); }

const unsigned kDataFailure = 1359;  // the library's "data not restored"
const unsigned kFileNotFound = 2;
const unsigned kPathNotFound = 3;

}  // namespace

std::string PartFailureWords(const std::string& part, unsigned code) {
  if (code == kFileNotFound || code == kPathNotFound)
    return "Part file " + part + " is missing.";
  std::string words = ErrorMessage(code);
  words.insert(words.size() - 1, " (part file " + part + ")");
  return words;
}

std::string FailureWordsOf(CKvMorvel& archive, unsigned code,
                           const std::string& archivePath) {
  DWORD part = 0;
  if (archive.GetErrorCause(&part) != code || part == 0)
    return ErrorMessage(code);
  std::string name = PartName(archivePath, part);
  if (name.empty()) name = "number " + std::to_string(part);
  return PartFailureWords(name, code);
}

void SetJsonOutput(bool on) { g_json = on; }
bool JsonOutput() { return g_json; }

void ReportFailure(const std::string& what, unsigned code) {
  ReportFailure(what, code, ErrorMessage(code));
}

void ReportFailure(const std::string& what, unsigned code,
                   const std::string& words) {
  const std::string shown = Shown(what);
  PrintFailure(shown, code, words);
  if (g_json)
    JsonLine("error")
        .Number("code", code)
        .Text("message", shown + ": " + words)
        .Print();
}

void ReportEntryFailure(const std::u16string& name, const std::string& what,
                        unsigned code) {
  ReportEntryFailure(name, what, code, ErrorMessage(code));
}

void ReportEntryFailure(const std::u16string& name, const std::string& what,
                        unsigned code, const std::string& words) {
  const std::string shown = Shown(what);
  PrintFailure(shown, code, words);
  if (g_json)
    JsonLine("error")
        .Wide("name", name)
        .Number("code", code)
        .Text("message", shown + ": " + words)
        .Print();
}

void ReportOpenFailure(const std::string& archive, unsigned code) {
  // A folder opened as a file gives "access denied", which would send
  // the administrator after permissions.
  kvsys::Item item;
  std::string ignored;
  if (kvsys::ReadItem(archive, &item, &ignored) &&
      item.kind == kvsys::Kind::kFolder) {
    ReportFailure("cannot open " + archive, code,
                  "The archive path is a folder, not an archive file.");
    return;
  }
  ReportFailure("cannot open " + archive +
                    (code == 32 ? ": archive in use" : ""),
                code);
}

void ReportNote(const std::string& message) {
  ClearProgressLine();
  fprintf(stderr, "kvmorvel: %s\n", Shown(message).c_str());
}

int UsageError(const std::string& verb, const std::string& message) {
  fprintf(stderr, "kvmorvel %s: %s\nTry 'kvmorvel %s --help'.\n",
          verb.c_str(), Shown(message).c_str(), verb.c_str());
  return kExitUsage;
}

unsigned FailureCode(CKvMorvel& archive, unsigned holderBefore) {
  const unsigned holder = archive.GetErrorCode();
  const unsigned cause = archive.GetErrorCause(nullptr);
  if (holder == kDataFailure && cause != 0) return cause;
  if (holder != holderBefore || archive.GetVersion() != 1) return holder;
  const unsigned last = CKvMorvelHost::GetSystemError();
  return last != 0 ? last : holder;
}
