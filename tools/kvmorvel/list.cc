// kvmorvel list: one line per entry of an archive or image.
#include <cinttypes>
#include <cstdio>

#include "args.h"
#include "common.h"
#include "interrupt.h"
#include "reader.h"
#include "text.h"

namespace {

const char kHelp[] =
    "usage: kvmorvel list [--json] ARCHIVE\n"
    "\n"
    "Shows every entry of ARCHIVE (any version, or a disk image), one line\n"
    "each: attributes, size, last write time (local) and name.\n"
    "Attribute letters, '-' when clear: d folder, l reparse point (link),\n"
    "r read-only, h hidden, s system, a archive, c compressed, e encrypted,\n"
    "p sparse, o offline.\n"
    "\n"
    "  --json   one JSON object per line instead: name, attributes, size,\n"
    "           creation_time, last_access_time, last_write_time (FILETIME\n"
    "           integers: 100 ns ticks since 1601-01-01 UTC) and\n"
    "           encrypted_name\n";

const DWORD kNameCapacity = 260;

void PrintText(CKvMorvel* archive) {
  printf("%s %12" PRId64 " %s %s\n",
         AttributeLetters(archive->GetAttributes()).c_str(),
         static_cast<int64_t>(archive->GetLength64()),
         FormatLocalTime(archive->GetLastWriteTime()).c_str(),
         DisplayName(EntryName(archive)).c_str());
}

void PrintJson(CKvMorvel* archive) {
  WCHAR encrypted[kNameCapacity] = {0};
  if (!archive->GetEncryptedFileName(encrypted, kNameCapacity))
    encrypted[0] = 0;
  encrypted[kNameCapacity - 1] = 0;
  printf("{\"name\":%s,\"attributes\":%u,\"size\":%" PRId64
         ",\"creation_time\":%" PRIu64 ",\"last_access_time\":%" PRIu64
         ",\"last_write_time\":%" PRIu64 ",\"encrypted_name\":%s}\n",
         JsonString(EntryName(archive)).c_str(),
         static_cast<unsigned>(archive->GetAttributes()),
         static_cast<int64_t>(archive->GetLength64()),
         static_cast<uint64_t>(FileTimeValue(archive->GetCreationTime())),
         static_cast<uint64_t>(FileTimeValue(archive->GetLastAccessTime())),
         static_cast<uint64_t>(FileTimeValue(archive->GetLastWriteTime())),
         JsonString(reinterpret_cast<const char16_t*>(encrypted)).c_str());
}

}  // namespace

int RunList(const Args& args) {
  ArgReader reader(args);
  bool json = false;
  std::vector<std::string> positional;
  while (reader.Next()) {
    if (reader.Is("--help") || reader.Is("-h")) {
      fputs(kHelp, stdout);
      return kExitOk;
    }
    if (reader.Is("--json")) json = true;
    else if (reader.IsOption())
      return UsageError("list", "unknown option '" + reader.Current() + "'");
    else positional.push_back(reader.Current());
  }
  if (positional.size() != 1)
    return UsageError("list", "exactly one ARCHIVE is needed");

  CKvMorvel archive;
  if (!OpenForReading(&archive, AbsolutePath(positional[0]))) return kExitUsage;
  bool failed = false;
  unsigned long long listed = 0;
  while (!Interrupted() && LoadEntry(&archive, true, &failed, listed)) {
    ++listed;
    if (json) PrintJson(&archive);
    else PrintText(&archive);
  }
  fflush(stdout);
  if (!archive.Close()) {
    ReportFailure("cannot close " + positional[0], archive.GetErrorCode());
    failed = true;
  }
  if (Interrupted()) return kExitInterrupted;
  return failed ? kExitFailed : kExitOk;
}
