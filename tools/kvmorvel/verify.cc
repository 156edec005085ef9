// SPDX-License-Identifier: GPL-2.0-or-later
// kvmorvel verify: reads every entry's stored data back and checks it.
//
// The data of an archive (versions 1, 2 and 5) is streamed through
// CKvMorvel::ReadEntryData, the restore's own reader held to the recorded
// size, into a SHA-256: nothing is written, no scratch space is needed and
// no stored name ever becomes a path. With the manifest the archive was
// made with, each entry's digest and each archive file's digest are
// compared with it, so any changed byte of any version is found. Without
// one, versions 1 and 2 still have zlib's checksum; version 5 data has
// none, and verify says that only structure and lengths were checked.
// A descriptor is read on its own (GetEntryDescriptor).
//
// A disk image (version 3) has no such reader: its items are still
// restored into a private scratch folder and removed again at once.
#include <sys/stat.h>

#include <cstdio>

#include "args.h"
#include "common.h"
#include "entry_walk.h"
#include "interrupt.h"
#include "manifest_check.h"
#include "owner.h"
#include "progress.h"
#include "reader.h"
#include "scratch.h"
#include "text.h"

namespace {

const char kHelp[] =
    "usage: kvmorvel verify [--json] ARCHIVE\n"
    "\n"
    "Checks ARCHIVE without writing anything: every record of its catalogue\n"
    "is read, every entry's stored data is read and decompressed in memory\n"
    "and its length compared with the size its record gives, and each\n"
    "entry's security descriptor is read whole. With the manifest beside\n"
    "the archive (ARCHIVE.sha256, written by create), the SHA-256 of each\n"
    "entry's data and of each archive file (main and parts) is compared\n"
    "with it, naming the entry or file that differs; a manifest marked\n"
    "incomplete (the run that wrote the archive did not finish) is\n"
    "reported. Without one, versions 1 and 2 are checked by zlib's\n"
    "checksum; version 5 data carries no checksum, so only its structure\n"
    "and lengths can be checked, and verify says so instead of \"sound\".\n"
    "A disk image is checked by restoring each item into a scratch folder\n"
    "under $TMPDIR (else /tmp), removed again at the end.\n"
    "Each bad entry is reported on stderr with its name, the cause and the\n"
    "code; a summary line ends the run on stdout.\n"
    "Exit status: 0 the archive is sound (or, version 5 without a\n"
    "manifest, its structure is), 1 something is wrong or the manifest is\n"
    "incomplete, 2 usage error or the archive did not open, 130\n"
    "interrupted.\n"
    "\n"
    "  --json   on stdout one JSON line per entry, {\"type\":\"entry\",...}\n"
    "           for a sound one and {\"type\":\"error\",...} for a bad one,\n"
    "           then {\"type\":\"summary\",...}\n";

const DWORD kDirectory = 0x10;
const DWORD kReparsePoint = 0x400;
const DWORD kFileNotFound = 2;      // ERROR_FILE_NOT_FOUND
const DWORD kPathNotFound = 3;      // ERROR_PATH_NOT_FOUND
const DWORD kDataError = 23;        // ERROR_CRC: the bytes are not those stored
const DWORD kNoDescriptor = 1168;   // ERROR_NOT_FOUND: the entry has none
const DWORD kFileCorrupt = 1392;    // ERROR_FILE_CORRUPT
// A version 5 archive's parts are numbered from 1; a gap is looked for up
// to this many numbers past the first missing one.
const DWORD kPartGapSearch = 64;

std::string LastComponent(const std::string& path) {
  return path.substr(FolderOf(path).size());
}

class Verifier {
 public:
  Verifier(CKvMorvel* archive, ManifestCheck* manifest, Progress* progress)
      : archive_(*archive), manifest_(*manifest), progress_(*progress) {}

  // Streams every entry's data (versions 1, 2 and 5).
  void CheckEntries();
  // Restores every item of an image below `scratch` and removes it again.
  void CheckImageItems(const ScratchFolder& scratch);
  // The part files: against the manifest's lines when it has some, else
  // each part from 1 up to the last one found must be there.
  void CheckArchiveFiles(const std::string& archivePath);
  // Entry lines of the manifest no entry of the archive took.
  void CheckUntakenEntries();

  const RunTotals& totals() const { return totals_; }
  bool failed() const { return totals_.failed > 0 || catalogueFailed_; }
  unsigned long long undigested() const { return undigested_; }

 private:
  bool CheckEntry(const std::u16string& name, DWORD attributes);
  bool MatchesManifest(const std::u16string& name, const std::string& hex,
                       const std::string& recorded);
  bool DescriptorReadable(const std::u16string& name);
  void CheckParts(const std::string& archivePath);
  void CheckListedFile(const std::string& archivePath, const ManifestLine& line,
                       size_t index);
  void FileFailure(const std::string& what, DWORD code) {
    ReportFailure(what, code);
    catalogueFailed_ = true;
  }

  CKvMorvel& archive_;
  ManifestCheck& manifest_;
  Progress& progress_;
  RunTotals totals_;
  bool catalogueFailed_ = false;
  unsigned long long undigested_ = 0;
};

void Verifier::CheckEntries() {
  WalkEntries(&archive_, &progress_, &totals_, &catalogueFailed_, "ok",
              [this](const std::u16string& name, DWORD attributes) {
                return CheckEntry(name, attributes);
              });
}

bool Verifier::CheckEntry(const std::u16string& name, DWORD attributes) {
  // The entry takes its manifest line whether or not its data reads, so
  // that a damaged entry is not reported missing as well.
  std::string recorded;
  const bool digested = manifest_.HasEntries() &&
                        EntryHasData(archive_.GetVersion(), attributes) &&
                        manifest_.TakeEntryDigest(name, &recorded);
  std::string hex;
  const DWORD code = DigestEntryData(&archive_, &hex);
  if (code) {
    // An interrupted read is no damage: the summary says "interrupted".
    if (!Interrupted())
      ReportEntryFailure(name, "cannot read the data of " + DisplayName(name) +
                                   ": " + DataFailureCause(code), code);
    return false;
  }
  if (!DescriptorReadable(name)) return false;
  if (!manifest_.HasEntries() || !EntryHasData(archive_.GetVersion(), attributes))
    return true;
  if (!digested) {
    ++undigested_;
    return true;
  }
  return MatchesManifest(name, hex, recorded);
}

bool Verifier::MatchesManifest(const std::u16string& name, const std::string& hex,
                               const std::string& recorded) {
  if (recorded == hex) return true;
  ReportEntryFailure(name, DisplayName(name) +
                               ": its data differs from the manifest (changed "
                               "or damaged since it was stored)",
                     kDataError);
  return false;
}

// The restore skips a stored descriptor cut short (the object itself is
// restored), so the descriptor is read once more on its own.
bool Verifier::DescriptorReadable(const std::u16string& name) {
  std::vector<BYTE> descriptor;
  const DWORD code = ReadEntryDescriptor(&archive_, &descriptor);
  if (code == 0 || code == kNoDescriptor) return true;
  ReportEntryFailure(name, DisplayName(name) + ": its security descriptor", code);
  return false;
}

void Verifier::CheckImageItems(const ScratchFolder& scratch) {
  std::u16string target;
  Utf8ToUtf16(scratch.path(), &target);
  WalkEntries(&archive_, &progress_, &totals_, &catalogueFailed_, "ok",
              [&](const std::u16string& name, DWORD attributes) {
                const bool restored = RestoreEntryBelow(&archive_, target, name);
                // What the restore wrote goes at once, what a failed one
                // left as well; folders stay for the items inside them.
                if (!(attributes & kDirectory) || (attributes & kReparsePoint))
                  scratch.RemoveItem(name);
                return restored;
              });
}

void Verifier::CheckArchiveFiles(const std::string& archivePath) {
  const std::vector<ManifestLine>& files = manifest_.files();
  if (files.empty()) {
    if (archive_.GetVersion() == 5) CheckParts(archivePath);
    return;
  }
  for (size_t index = 0; index < files.size() && !Interrupted(); ++index)
    CheckListedFile(archivePath, files[index], index);
}

// The file of line `index`: the main file, then part `index`. Only those
// names are read: a name the manifest holds never becomes a path itself.
void Verifier::CheckListedFile(const std::string& archivePath,
                               const ManifestLine& line, size_t index) {
  const std::string path =
      index == 0 ? archivePath : PartName(archivePath, static_cast<DWORD>(index));
  const std::string name = LastComponent(path);
  if (path.empty() || ManifestFileKey(name) != line.name) {
    FileFailure("the manifest's file line " + std::to_string(index + 1) +
                    " names no file of this archive (expected " + name + ")",
                kFileCorrupt);
    return;
  }
  std::string hex;
  const DWORD code = DigestFile(path, &hex);
  const std::string what = index == 0 ? "the main file " + name
                                      : "part file " + name;
  if (code == kFileNotFound || code == kPathNotFound)
    FileFailure(what + " is missing", code);
  else if (code)
    FileFailure("cannot read " + what, code);
  else if (hex != line.hex)
    FileFailure(what + " differs from the manifest (changed or damaged)", kDataError);
}

// Each part from 1 up to the last one found must be there. A part missing
// at the end holds data of some entry, whose check has failed already.
void Verifier::CheckParts(const std::string& archivePath) {
  struct stat info;
  DWORD missing = 1;
  while (stat(PartName(archivePath, missing).c_str(), &info) == 0) ++missing;
  DWORD last = 0;
  for (DWORD part = missing + 1; part <= missing + kPartGapSearch; ++part)
    if (stat(PartName(archivePath, part).c_str(), &info) == 0) last = part;
  for (DWORD part = missing; part < last; ++part) {
    const std::string name = PartName(archivePath, part);
    if (stat(name.c_str(), &info) == 0) continue;
    FileFailure("part " + std::to_string(part) + " is missing: part file " +
                    LastComponent(name), kFileNotFound);
  }
}

void Verifier::CheckUntakenEntries() {
  for (const std::string& name : manifest_.UntakenEntries())
    FileFailure("the manifest lists an entry the archive does not hold: " +
                    DisplayName(Utf8ToUtf16OrEmpty(name)),
                kFileCorrupt);
}

// The last word of the summary line.
std::string Verdict(bool failed, DWORD version, const ManifestCheck& manifest,
                    unsigned long long undigested) {
  if (Interrupted()) return "interrupted";
  if (failed) return "DAMAGED";
  if (manifest.state() == ManifestCheck::kIncomplete) return "INCOMPLETE";
  if (version != 5) return "sound";
  if (manifest.state() == ManifestCheck::kNone)
    return "structure and lengths only (no checksum)";
  if (undigested) return "structure and lengths only for " +
                         std::to_string(undigested) + " entries without a digest";
  return "sound";
}

// What the manifest (or its absence) means for the run, on stderr.
bool ReportManifestState(const ManifestCheck& manifest, DWORD version,
                         unsigned long long undigested) {
  switch (manifest.state()) {
    case ManifestCheck::kIncomplete:
      ReportNote(manifest.path() + " is marked incomplete: the run that wrote "
                 "the archive did not finish, and entries it meant to add may "
                 "be missing");
      return false;
    case ManifestCheck::kUnreadable:
      ReportFailure("cannot read the manifest " + manifest.path() +
                        " (not a KvMorvel manifest, or unreadable)", kFileCorrupt);
      return false;
    case ManifestCheck::kNone:
      if (version == 5)
        ReportNote("no manifest (" + manifest.path() + "): version 5 data carries "
                   "no checksum, so only its structure and lengths were checked");
      return true;
    case ManifestCheck::kComplete:
      if (undigested)
        ReportNote(std::to_string(undigested) + " entries have no digest in the "
                   "manifest (added without one): only their structure and "
                   "lengths were checked");
      return true;
  }
  return true;
}

}  // namespace

int RunVerify(const Args& args) {
  std::vector<std::string> positional;
  const int early = ReadArguments(args, "verify", kHelp, 1,
                                  "exactly one ARCHIVE is needed", true, &positional);
  if (early >= 0) return early;
  const std::string archivePath = AbsolutePath(positional[0]);

  CKvMorvel archive;
  if (!OpenForReading(&archive, archivePath)) return kExitUsage;
  const DWORD version = archive.GetVersion();
  ManifestCheck manifest;
  if (version != 3) manifest.Load(archivePath);
  Progress progress;
  ShowTotalsOf(&progress, archivePath);
  Verifier verifier(&archive, &manifest, &progress);
  if (version == 3) {
    ScratchFolder scratch;
    if (!scratch.ok()) {
      ReportNote("cannot make a scratch folder to restore the image's items into");
      archive.Close();
      return kExitFailed;
    }
    KeepEncryptedFilesInPlace();
    verifier.CheckImageItems(scratch);
  } else {
    verifier.CheckEntries();
    if (!Interrupted()) verifier.CheckArchiveFiles(archivePath);
    if (!Interrupted() && manifest.HasEntries()) verifier.CheckUntakenEntries();
  }
  RunTotals totals = verifier.totals();
  const bool closed = CloseAfterReading(&archive, positional[0], archivePath, &totals);
  const bool manifestOk =
      Interrupted() || ReportManifestState(manifest, version, verifier.undigested());
  const bool failed = verifier.failed() || !closed;
  progress.Clear();
  if (!JsonOutput())
    printf("%s: %llu entries checked, %llu bad: %s\n", positional[0].c_str(),
           static_cast<unsigned long long>(totals.entries),
           static_cast<unsigned long long>(totals.failed),
           Verdict(failed, version, manifest, verifier.undigested()).c_str());
  progress.Finish("verify", totals);
  fflush(stdout);
  if (Interrupted()) return kExitInterrupted;
  return failed || !manifestOk ? kExitFailed : kExitOk;
}
