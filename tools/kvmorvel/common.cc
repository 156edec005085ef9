#include "common.h"

#include <cstdio>

#include "progress.h"
#include "text.h"
#include "win_layer.h"

void ReportFailure(const std::string& what, unsigned code) {
  ClearProgressLine();
  fprintf(stderr, "kvmorvel: %s: error %u (0x%08X): %s\n", what.c_str(),
          code, code, ErrorMessage(code).c_str());
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
  const unsigned last = kvwin::LastError();
  return last != 0 ? last : holder;
}
