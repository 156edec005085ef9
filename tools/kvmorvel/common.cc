// SPDX-License-Identifier: GPL-2.0-or-later
#include "common.h"

#include <cstdio>

#include "KvMorvelHost.h"
#include "json_line.h"
#include "progress.h"
#include "text.h"

namespace {
bool g_json = false;

void PrintFailure(const std::string& what, unsigned code) {
  ClearProgressLine();
  fprintf(stderr, "kvmorvel: %s: error %u (0x%08X): %s\n", what.c_str(),
          code, code, ErrorMessage(code).c_str());
}
}  // namespace

void SetJsonOutput(bool on) { g_json = on; }
bool JsonOutput() { return g_json; }

void ReportFailure(const std::string& what, unsigned code) {
  PrintFailure(what, code);
  if (g_json)
    JsonLine("error")
        .Number("code", code)
        .Text("message", what + ": " + ErrorMessage(code))
        .Print();
}

void ReportEntryFailure(const std::u16string& name, const std::string& what,
                        unsigned code) {
  PrintFailure(what, code);
  if (g_json)
    JsonLine("error")
        .Wide("name", name)
        .Number("code", code)
        .Text("message", what + ": " + ErrorMessage(code))
        .Print();
}

void ReportOpenFailure(const std::string& archive, unsigned code) {
  ReportFailure("cannot open " + archive +
                    (code == 32 ? ": archive in use" : ""),
                code);
}

void ReportNote(const std::string& message) {
  ClearProgressLine();
  fprintf(stderr, "kvmorvel: %s\n", message.c_str());
}

int UsageError(const std::string& verb, const std::string& message) {
  fprintf(stderr, "kvmorvel %s: %s\nTry 'kvmorvel %s --help'.\n",
          verb.c_str(), message.c_str(), verb.c_str());
  return kExitUsage;
}

unsigned FailureCode(CKvMorvel& archive, unsigned holderBefore) {
  const unsigned holder = archive.GetErrorCode();
  if (holder != holderBefore || archive.GetVersion() != 1) return holder;
  const unsigned last = CKvMorvelHost::GetSystemError();
  return last != 0 ? last : holder;
}
