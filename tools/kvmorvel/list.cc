// SPDX-License-Identifier: GPL-2.0-or-later
// kvmorvel list: one line per entry of an archive or image.
#include <cinttypes>
#include <cstdio>

#include "args.h"
#include "entry_walk.h"
#include "common.h"
#include "interrupt.h"
#include "json_line.h"
#include "owner.h"
#include "progress.h"
#include "reader.h"
#include "text.h"

namespace {

const char kHelp[] =
    "usage: kvmorvel list [-v] [--time=creation|access|write] [--json] ARCHIVE\n"
    "\n"
    "Shows every entry of ARCHIVE (any version, or a disk image), one line\n"
    "each: attributes, size, last write time (local) and name.\n"
    "Attribute letters, '-' when clear: d folder, l reparse point (link),\n"
    "r read-only, h hidden, s system, a archive, c compressed, e encrypted,\n"
    "p sparse, o offline.\n"
    "\n"
    "  -v, --verbose  as tar -tv: attributes, owner (from the entry's\n"
    "                 security descriptor, '-' where there is none), size,\n"
    "                 time to the second and name\n"
    "  --time=WHICH   the time shown: creation, access or write (default)\n"
    "  --json         one JSON object per line instead: type \"entry\",\n"
    "                 name, attributes, size, creation_time, last_access_time,\n"
    "                 last_write_time (FILETIME integers: 100 ns ticks since\n"
    "                 1601-01-01 UTC) and encrypted_name; a failure is a line\n"
    "                 of type \"error\", a missing part file one of type\n"
    "                 \"warning\", and the run ends with one of type\n"
    "                 \"summary\"\n"
    "\n"
    "A version 5 archive whose part file is missing is listed whole after a\n"
    "warning naming it; the exit status does not change.\n";

const DWORD kNameCapacity = 260;
const DWORD kDirectory = 0x10;

enum class TimeKind { kCreation, kAccess, kWrite };

struct ListOptions {
  bool json = false;
  bool verbose = false;
  TimeKind time = TimeKind::kWrite;
  std::string archive;
};

FILETIME ShownTime(CKvMorvel* archive, TimeKind kind) {
  switch (kind) {
    case TimeKind::kCreation: return archive->GetCreationTime();
    case TimeKind::kAccess: return archive->GetLastAccessTime();
    case TimeKind::kWrite: break;
  }
  return archive->GetLastWriteTime();
}

void PrintText(CKvMorvel* archive, const ListOptions& options) {
  const std::string attributes = AttributeLetters(archive->GetAttributes());
  const FILETIME time = ShownTime(archive, options.time);
  if (options.verbose)
    printf("%s %-16s %12" PRId64 " %s %s\n", attributes.c_str(),
           EntryOwner(archive).c_str(), static_cast<int64_t>(archive->GetLength64()),
           FormatLocalTime(time, true).c_str(), DisplayName(EntryName(archive)).c_str());
  else
    printf("%s %12" PRId64 " %s %s\n", attributes.c_str(),
           static_cast<int64_t>(archive->GetLength64()), FormatLocalTime(time).c_str(),
           DisplayName(EntryName(archive)).c_str());
}

void PrintJson(CKvMorvel* archive) {
  WCHAR encrypted[kNameCapacity] = {0};
  if (!archive->GetEncryptedFileName(encrypted, kNameCapacity))
    encrypted[0] = 0;
  encrypted[kNameCapacity - 1] = 0;
  JsonLine("entry")
      .Wide("name", EntryName(archive))
      .Number("attributes", archive->GetAttributes())
      .Signed("size", archive->GetLength64())
      .Number("creation_time", FileTimeValue(archive->GetCreationTime()))
      .Number("last_access_time", FileTimeValue(archive->GetLastAccessTime()))
      .Number("last_write_time", FileTimeValue(archive->GetLastWriteTime()))
      .Wide("encrypted_name", reinterpret_cast<const char16_t*>(encrypted))
      .Print();
}

// Returns -1 when the options are read, else the exit status to end with.
int ParseList(const Args& args, ListOptions* options) {
  ArgReader reader(args);
  std::vector<std::string> positional;
  while (reader.Next()) {
    std::string value;
    bool missing = false;
    if (reader.Is("--help") || reader.Is("-h")) {
      fputs(kHelp, stdout);
      return kExitOk;
    }
    if (reader.Is("--json")) {
      options->json = true;
    } else if (reader.Is("-v") || reader.Is("--verbose")) {
      options->verbose = true;
    } else if (reader.Take("--time", nullptr, &value, &missing)) {
      if (value == "creation") options->time = TimeKind::kCreation;
      else if (value == "access") options->time = TimeKind::kAccess;
      else if (value == "write") options->time = TimeKind::kWrite;
      else return UsageError("list", "--time takes creation, access or write");
    } else if (reader.IsOption()) {
      return UsageError("list", "unknown option '" + reader.Current() + "'");
    } else {
      positional.push_back(reader.Current());
    }
  }
  if (positional.size() != 1)
    return UsageError("list", "exactly one ARCHIVE is needed");
  options->archive = positional[0];
  return -1;
}

}  // namespace

int RunList(const Args& args) {
  ListOptions options;
  const int early = ParseList(args, &options);
  if (early >= 0) return early;
  SetJsonOutput(options.json);
  const std::string archivePath = AbsolutePath(options.archive);
  CKvMorvel archive;
  if (!OpenForReading(&archive, archivePath)) return kExitUsage;
  WarnOfMissingPart(&archive);
  Progress progress(false);
  RunTotals totals;
  bool failed = false;
  // Info(1) loads an entry and moves past it; the owner is read from the
  // entry at the index, so -v loads with Info(0) and moves on after.
  const bool stepTwice = options.verbose && !options.json;
  while (!Interrupted() && LoadEntry(&archive, !stepTwice, &failed, totals.entries)) {
    ++totals.entries;
    if (!(archive.GetAttributes() & kDirectory))
      totals.bytesOut += static_cast<uint64_t>(archive.GetLength64());
    if (options.json) PrintJson(&archive);
    else PrintText(&archive, options);
    if (stepTwice && !LoadEntry(&archive, true, &failed, totals.entries)) break;
  }
  fflush(stdout);
  if (!CloseAfterReading(&archive, options.archive, archivePath, &totals)) failed = true;
  totals.failed = failed ? 1 : 0;
  progress.Finish("list", totals);
  if (Interrupted()) return kExitInterrupted;
  return failed ? kExitFailed : kExitOk;
}
