// SPDX-License-Identifier: GPL-2.0-or-later
#include "common.h"

#include <cstdio>

#include "KvMorvelHost.h"
#include "json_line.h"
#include "progress.h"
#include "text.h"

namespace {
bool g_json = false;

// `what` is already escaped (Shown).
void PrintFailure(const std::string& what, unsigned code) {
  ClearProgressLine();
  fprintf(stderr, "kvmorvel: %s: error %u (0x%08X): %s\n", what.c_str(),
          code, code, ErrorMessage(code).c_str());
}

// A message as printed: the names in it escaped. Escaping text that was
// escaped already changes nothing, so a caller may escape its names
// itself first.
std::string Shown(const std::string& message) { return DisplayText(message); }
}  // namespace

void SetJsonOutput(bool on) { g_json = on; }
bool JsonOutput() { return g_json; }

void ReportFailure(const std::string& what, unsigned code) {
  const std::string shown = Shown(what);
  PrintFailure(shown, code);
  if (g_json)
    JsonLine("error")
        .Number("code", code)
        .Text("message", shown + ": " + ErrorMessage(code))
        .Print();
}

void ReportEntryFailure(const std::u16string& name, const std::string& what,
                        unsigned code) {
  const std::string shown = Shown(what);
  PrintFailure(shown, code);
  if (g_json)
    JsonLine("error")
        .Wide("name", name)
        .Number("code", code)
        .Text("message", shown + ": " + ErrorMessage(code))
        .Print();
}

void ReportOpenFailure(const std::string& archive, unsigned code) {
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
  if (holder != holderBefore || archive.GetVersion() != 1) return holder;
  const unsigned last = CKvMorvelHost::GetSystemError();
  return last != 0 ? last : holder;
}
