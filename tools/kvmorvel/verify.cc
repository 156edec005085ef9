// SPDX-License-Identifier: GPL-2.0-or-later
// kvmorvel verify: reads every entry's stored data back and checks that
// the archive can be restored.
//
// The data is checked through the public class, by restoring each entry:
// the class has no member that decompresses without writing, so each entry
// is restored into a private scratch folder and what it wrote is removed
// again at once (folders stay until the end, for the entries inside them).
// A restore reads every block or chunk of the entry, checks zlib's
// checksum (versions 1 and 2), fails when the data holds more or less than
// the record's size, and fails when a part file it needs is missing; it
// also applies the short name, times, descriptor and attributes, so a
// damaged reparse record is found as well. A descriptor cut short is
// skipped by the restore, so each entry's descriptor is also read on its
// own (GetEntryDescriptor).
#include <sys/stat.h>

#include <cstdio>

#include "args.h"
#include "common.h"
#include "entry_walk.h"
#include "interrupt.h"
#include "owner.h"
#include "progress.h"
#include "reader.h"
#include "scratch.h"
#include "text.h"

namespace {

const char kHelp[] =
    "usage: kvmorvel verify [--json] ARCHIVE\n"
    "\n"
    "Checks that ARCHIVE (version 1, 2 or 5) can be restored: every record\n"
    "of its catalogue is read, every entry's stored data is read and\n"
    "decompressed and its length compared with the size its record gives\n"
    "(versions 1 and 2 also check zlib's checksum), each entry's security\n"
    "descriptor is read whole, and a version 5 archive's part files are\n"
    "looked for. Each entry is restored into a scratch folder under\n"
    "$TMPDIR (else /tmp) and removed again at once, so the check needs\n"
    "room for the largest file; the folder is removed at the end. Each bad\n"
    "entry is reported on stderr with its name and code; a summary line\n"
    "ends the run on stdout.\n"
    "Exit status: 0 the archive is sound, 1 something is wrong, 2 usage\n"
    "error or the archive did not open, 130 interrupted.\n"
    "\n"
    "  --json   on stdout one JSON line per entry, {\"type\":\"entry\",...}\n"
    "           for a sound one and {\"type\":\"error\",...} for a bad one,\n"
    "           then {\"type\":\"summary\",...}\n";

const DWORD kDirectory = 0x10;
const DWORD kReparsePoint = 0x400;
const DWORD kFileNotFound = 2;      // ERROR_FILE_NOT_FOUND
const DWORD kNoDescriptor = 1168;   // ERROR_NOT_FOUND: the entry has none
// A version 5 archive's parts are numbered from 1; a gap is looked for up
// to this many numbers past the first missing one.
const DWORD kPartGapSearch = 64;

class Verifier {
 public:
  Verifier(CKvMorvel* archive, const ScratchFolder& scratch, Progress* progress)
      : archive_(*archive), scratch_(scratch), progress_(*progress) {
    Utf8ToUtf16(scratch.path(), &target_);
  }

  void CheckEntries();
  void CheckParts(const std::string& archivePath);

  const RunTotals& totals() const { return totals_; }
  bool failed() const { return totals_.failed > 0 || catalogueFailed_; }

 private:
  bool DescriptorReadable(const std::u16string& name);

  CKvMorvel& archive_;
  const ScratchFolder& scratch_;
  Progress& progress_;
  std::u16string target_;
  RunTotals totals_;
  bool catalogueFailed_ = false;
};

void Verifier::CheckEntries() {
  WalkEntries(&archive_, &progress_, &totals_, &catalogueFailed_, "ok",
              [this](const std::u16string& name, DWORD attributes) {
                const bool restored = RestoreEntryBelow(&archive_, target_, name);
                // What the restore wrote goes at once, what a failed one
                // left as well; folders stay for the entries inside them.
                if (!(attributes & kDirectory) || (attributes & kReparsePoint))
                  scratch_.RemoveItem(name);
                return restored && DescriptorReadable(name);
              });
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
    ReportFailure("part " + std::to_string(part) + " is missing: " + name, kFileNotFound);
    catalogueFailed_ = true;
  }
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
  ScratchFolder scratch;
  if (!scratch.ok()) {
    ReportNote("cannot make a scratch folder to restore into");
    archive.Close();
    return kExitFailed;
  }
  KeepEncryptedFilesInPlace();
  Progress progress;
  ShowTotalsOf(&progress, archivePath);
  Verifier verifier(&archive, scratch, &progress);
  verifier.CheckEntries();
  if (archive.GetVersion() == 5 && !Interrupted()) verifier.CheckParts(archivePath);
  RunTotals totals = verifier.totals();
  const bool closed = CloseAfterReading(&archive, positional[0], archivePath, &totals);
  const bool failed = verifier.failed() || !closed;
  progress.Clear();
  if (!JsonOutput())
    printf("%s: %llu entries checked, %llu bad: %s\n", positional[0].c_str(),
           static_cast<unsigned long long>(totals.entries),
           static_cast<unsigned long long>(totals.failed),
           Interrupted() ? "interrupted" : failed ? "DAMAGED" : "sound");
  progress.Finish("verify", totals);
  fflush(stdout);
  if (Interrupted()) return kExitInterrupted;
  return failed ? kExitFailed : kExitOk;
}
