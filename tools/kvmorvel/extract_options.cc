// SPDX-License-Identifier: GPL-2.0-or-later
#include "extract_options.h"

#include <cstdio>

#include "args.h"
#include "interrupt.h"
#include "json_line.h"
#include "manifest_check.h"
#include "common/sha256.h"
#include "entry_walk.h"
#include "reader.h"
#include "system.h"
#include "text.h"

namespace {

const char kHelp[] =
    "usage: kvmorvel extract [OPTIONS] ARCHIVE TARGET [PATTERN...]\n"
    "       kvmorvel extract -O [OPTIONS] ARCHIVE [PATTERN...]\n"
    "\n"
    "Restores the entries of ARCHIVE (any version, or a disk image) below\n"
    "the folder TARGET, which is made when missing, with their data, links,\n"
    "attributes, times, short names and security descriptors. A failed\n"
    "entry is reported on stderr and the run goes on with the next one.\n"
    "Folders get their stored times and attributes back once their\n"
    "contents are in. Entry names that would leave TARGET are refused.\n"
    "With the manifest beside ARCHIVE (ARCHIVE.sha256), each restored\n"
    "file is read back and its SHA-256 compared with the manifest's; a\n"
    "file that differs is reported as a failed entry (it stays restored).\n"
    "\n"
    "With PATTERNs (or --files-from) only the entries they choose are\n"
    "restored, and only their data is read. A PATTERN is an entry's name,\n"
    "'/' or '\\' between its folders, or a shell glob: '*' and '?' within\n"
    "one name, '[...]' one of a set, '**' across folders. A folder's name\n"
    "chooses everything below it; the folders above a chosen entry are\n"
    "made with their stored metadata. Matching is case-sensitive. A\n"
    "PATTERN that chooses nothing is reported, and the exit status is 1.\n"
    "\n"
    "  -O, --to-stdout    write the chosen files' data, in archive order, to\n"
    "                     standard output and nothing else (no TARGET;\n"
    "                     nothing is written to disk; messages on stderr)\n"
    "  --files-from FILE  more PATTERNs from FILE, one per line ('-' for\n"
    "                     standard input)\n"
    "  --null             the list's PATTERNs end with a NUL byte, not a\n"
    "                     newline (as find -print0 writes them)\n"
    "  --keep             never replace what is already at an entry's path\n"
    "  --keep-newer       replace what is at an entry's path only when the\n"
    "                     entry's last-write time is later than its own\n"
    "  --no-owner         restored items keep you as owner and your group;\n"
    "                     the stored descriptor's rights for its owner and\n"
    "                     group go to them (as tar --no-same-owner). Without\n"
    "                     root the stored owners cannot be given anyway\n"
    "  --dry-run          print what would be created, replaced or kept, as\n"
    "                     \"would create NAME\", and write nothing\n"
    "  --json             on stdout one JSON line per entry,\n"
    "                     {\"type\":\"entry\",...,\"status\":S} with S\n"
    "                     \"restored\", \"replaced\" or \"kept\" (with --dry-run\n"
    "                     \"would-create\", \"would-replace\", \"would-keep\"),\n"
    "                     {\"type\":\"error\",...} for a failure, then\n"
    "                     {\"type\":\"summary\",...} with the counts\n"
    "\n"
    "Examples:\n"
    "  kvmorvel extract home.kv /tmp/r ann/notes.txt     one file\n"
    "  kvmorvel extract home.kv /tmp/r 'ann/**/*.odt'    a pattern\n"
    "  kvmorvel extract -O home.kv ann/notes.txt | less  to a pipe\n"
    "  kvmorvel extract --keep-newer home.kv /home       never over newer work\n"
    "  find-names | kvmorvel extract --null --files-from - home.kv /tmp/r\n";

bool Conflicts(const ExtractOptions& o, std::string* problem) {
  if (o.keep && o.keepNewer) *problem = "--keep and --keep-newer exclude each other";
  else if (o.toStdout && JsonOutput()) *problem = "-O writes only data: --json cannot go with it";
  else if (o.toStdout && o.dryRun) *problem = "-O writes nothing to disk already: --dry-run cannot go with it";
  else return false;
  return true;
}

// Sorts the positional arguments: ARCHIVE, then TARGET unless -O, then
// the PATTERNs.
int TakePositional(const std::vector<std::string>& positional,
                   ExtractOptions* options) {
  const size_t needed = options->toStdout ? 1 : 2;
  if (positional.size() < needed)
    return UsageError("extract", options->toStdout ? "an ARCHIVE is needed"
                                                   : "an ARCHIVE and a TARGET are needed");
  options->archive = positional[0];
  if (!options->toStdout) options->target = positional[1];
  options->patterns.assign(positional.begin() + needed, positional.end());
  return -1;
}

}  // namespace

ManifestCheck::EntryFilter ManifestLinesFor(const PatternSet& chosen) {
  if (chosen.empty()) return nullptr;
  return [&chosen](const char* escaped, size_t size) {
    return chosen.MayChooseUtf8(escaped, size) &&
           chosen.WouldSelect(
               Utf8ToUtf16OrEmpty(UnescapeManifestName(std::string(escaped, size))));
  };
}

bool ReportUnusedPatterns(const PatternSet& chosen) {
  const std::vector<std::string> unused = chosen.Unused();
  for (const std::string& pattern : unused)
    ReportEntryFailure(Utf8ToUtf16OrEmpty(pattern),
                       DisplayText(pattern) + ": not found in the archive", 2,
                       "no entry has this name or matches this pattern");
  return unused.empty();
}

DWORD ExtractOptions::RestoreFlags() const {
  return (keep ? KV_RESTORE_KEEP_EXISTING : 0) |
         (keepNewer ? KV_RESTORE_KEEP_NEWER : 0) |
         (noOwner ? KV_RESTORE_NO_OWNER : 0);
}

bool ExtractOptions::ChoosePatterns(PatternSet* chosen, std::string* problem) const {
  std::vector<std::string> all = patterns;
  if (!filesFrom.empty() && !ReadNameList(filesFrom, nulSeparated, &all, problem))
    return false;
  for (const std::string& pattern : all)
    if (!chosen->Add(pattern, problem)) return false;
  return true;
}

int ParseExtractOptions(const Args& args, ExtractOptions* options) {
  ArgReader reader(args);
  std::vector<std::string> positional;
  while (reader.Next()) {
    std::string value;
    bool missing = false;
    if (!reader.IsOption()) {
      positional.push_back(reader.Current());
    } else if (reader.Is("--help") || reader.Is("-h")) {
      fputs(kHelp, stdout);
      return kExitOk;
    } else if (reader.Is("--json")) {
      SetJsonOutput(true);
    } else if (reader.Is("-O") || reader.Is("--to-stdout")) {
      options->toStdout = true;
    } else if (reader.Is("--keep")) {
      options->keep = true;
    } else if (reader.Is("--keep-newer")) {
      options->keepNewer = true;
    } else if (reader.Is("--no-owner")) {
      options->noOwner = true;
    } else if (reader.Is("--dry-run")) {
      options->dryRun = true;
    } else if (reader.Is("--null")) {
      options->nulSeparated = true;
    } else if (reader.Take("--files-from", nullptr, &value, &missing)) {
      if (missing || value.empty())
        return UsageError("extract", "--files-from needs a FILE ('-' for standard input)");
      options->filesFrom = value;
    } else {
      return UsageError("extract", "unknown option '" + DisplayText(reader.Current()) + "'");
    }
  }
  std::string problem;
  if (Conflicts(*options, &problem)) return UsageError("extract", problem);
  return TakePositional(positional, options);
}

namespace {

const DWORD kDataError = 23;  // ERROR_CRC: the bytes are not those stored
const DWORD kWriteFault = 29; // ERROR_WRITE_FAULT

// Where ReadEntryData's bytes go: standard output, and the digest the
// manifest is checked with.
struct StdoutSink {
  Sha256 digest;
  bool writeFailed = false;
};

DWORD WriteToStdout(void* context, const BYTE* bytes, DWORD size) {
  StdoutSink* sink = static_cast<StdoutSink*>(context);
  if (fwrite(bytes, 1, size, stdout) != size) {
    sink->writeFailed = true;
    return kWriteFault;
  }
  sink->digest.Update(bytes, size);
  return 0;
}

// Streams the entry at the cursor to standard output; false when it
// failed (reported).
bool StreamEntry(CKvMorvel* archive, const std::u16string& name,
                 ManifestCheck* manifest) {
  std::string recorded;
  const bool digested = manifest->HasEntries() && manifest->TakeEntryDigest(name, &recorded);
  StdoutSink sink;
  if (!archive->ReadEntryData(WriteToStdout, &sink)) {
    const DWORD code = archive->GetErrorCode();
    if (sink.writeFailed)
      ReportEntryFailure(name, "cannot write the data of " + DisplayName(name) +
                                   " to standard output", code);
    else if (!Interrupted())
      ReportEntryFailure(name, "cannot read the data of " + DisplayName(name) +
                                   ": " + DataFailureCause(code), code);
    return false;
  }
  if (!digested || sink.digest.FinishHex() == recorded) return true;
  ReportEntryFailure(name, DisplayName(name) +
                               ": the data written differs from the manifest "
                               "(the archive was changed or damaged since it "
                               "was made)",
                     kDataError);
  return false;
}

}  // namespace

int WriteChosenToStdout(CKvMorvel* archive, const ExtractOptions& options,
                        PatternSet* chosen) {
  kvsys::UseBinaryStandardStreams();
  ManifestCheck manifest;
  const std::string archivePath = AbsolutePath(options.archive);
  if (archive->GetVersion() == 3) {
    ReportNote("a disk image's files cannot be written to standard output; "
               "extract them to a folder");
    archive->Close();
    return kExitUsage;
  }
  manifest.Load(archivePath, ManifestLinesFor(*chosen));
  Progress progress(false);
  RunTotals totals;
  bool failed = false;
  const CancelOnInterrupt cancel(archive);
  WalkChosenEntries(archive, &progress, &totals, &failed,
                    [&](const std::u16string& name, DWORD attributes) {
                      if (!chosen->empty() && !chosen->Selects(name))
                        return Handled::Passed();
                      if (!EntryHasData(archive->GetVersion(), attributes))
                        return Handled::Done("skipped", false);
                      return StreamEntry(archive, name, &manifest)
                                 ? Handled::Done("written", true)
                                 : Handled::Failed();
                    });
  if (fflush(stdout) != 0) {
    ReportFailure("cannot write to standard output", kWriteFault);
    failed = true;
  }
  const bool closed = CloseAfterReading(archive, options.archive, archivePath, &totals);
  const bool patternsUsed = Interrupted() || ReportUnusedPatterns(*chosen);
  if (Interrupted()) return kExitInterrupted;
  return failed || totals.failed || !closed || !patternsUsed ? kExitFailed : kExitOk;
}
