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
// damaged descriptor or reparse record is found as well.
#include <sys/stat.h>

#include <cstdio>

#include "args.h"
#include "common.h"
#include "interrupt.h"
#include "json_line.h"
#include "progress.h"
#include "reader.h"
#include "scratch.h"
#include "text.h"
#include "win_layer.h"

namespace {

const char kHelp[] =
    "usage: kvmorvel verify [--json] ARCHIVE\n"
    "\n"
    "Checks that ARCHIVE (version 1, 2 or 5) can be restored: every record\n"
    "of its catalogue is read, every entry's stored data is read and\n"
    "decompressed and its length compared with the size its record gives\n"
    "(versions 1 and 2 also check zlib's checksum), and a version 5\n"
    "archive's part files are looked for. Each entry is restored into a\n"
    "scratch folder under $TMPDIR (else /tmp) and removed again at once, so\n"
    "the check needs room for the largest file; the folder is removed at\n"
    "the end. Each bad entry is reported on stderr with its name and code;\n"
    "a summary line ends the run on stdout.\n"
    "Exit status: 0 the archive is sound, 1 something is wrong, 2 usage\n"
    "error or the archive did not open, 130 interrupted.\n"
    "\n"
    "  --json   on stdout one JSON line per entry, {\"type\":\"entry\",...}\n"
    "           for a sound one and {\"type\":\"error\",...} for a bad one,\n"
    "           then {\"type\":\"summary\",...}\n";

const DWORD kDirectory = 0x10;
const DWORD kReparsePoint = 0x400;
const DWORD kInvalidName = 123;     // ERROR_INVALID_NAME
const DWORD kFileNotFound = 2;      // ERROR_FILE_NOT_FOUND
const int kRestoreEveryEntry = 1;   // version 1: no name is left out
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
  bool CheckCurrent(const std::u16string& name);
  void Bad(const std::u16string& name, const std::string& why, DWORD code);

  CKvMorvel& archive_;
  const ScratchFolder& scratch_;
  Progress& progress_;
  std::u16string target_;
  RunTotals totals_;
  bool catalogueFailed_ = false;
};

void Verifier::Bad(const std::u16string& name, const std::string& why, DWORD code) {
  ReportEntryFailure(name, DisplayName(name) + why, code);
  ++totals_.failed;
}

bool Verifier::CheckCurrent(const std::u16string& name) {
  if (!StaysBelowTarget(name)) {
    Bad(name, ": the name leads outside the target", kInvalidName);
    return false;
  }
  const DWORD before = archive_.GetErrorCode();
  kvwin::ClearLastError();
  const bool restored = archive_.ExtractFile(
      reinterpret_cast<LPCWSTR>(target_.c_str()), kRestoreEveryEntry);
  if (!restored) Bad(name, "", FailureCode(archive_, before));
  // What a failed restore left goes as well.
  const DWORD attributes = archive_.GetAttributes();
  if (!(attributes & kDirectory) || (attributes & kReparsePoint))
    scratch_.RemoveItem(name);
  return restored;
}

void Verifier::CheckEntries() {
  unsigned long long loaded = 0;
  while (!Interrupted() && LoadEntry(&archive_, false, &catalogueFailed_, loaded)) {
    ++loaded;
    const std::u16string name = EntryName(&archive_);
    const bool folder = (archive_.GetAttributes() & kDirectory) != 0;
    const uint64_t size = folder ? 0 : static_cast<uint64_t>(archive_.GetLength64());
    ++totals_.entries;
    if (CheckCurrent(name)) {
      totals_.bytesOut += size;
      if (JsonOutput())
        JsonLine("entry").Wide("name", name).Number("size", size).Text("status", "ok").Print();
    }
    progress_.Step(size, DisplayName(name));
    if (!LoadEntry(&archive_, true, &catalogueFailed_, loaded)) break;
  }
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
  uint64_t entries = 0, bytes = 0;
  if (progress.OnTerminal() && CountEntries(archivePath, &entries, &bytes))
    progress.SetTotal(entries, bytes);
  Verifier verifier(&archive, scratch, &progress);
  verifier.CheckEntries();
  const DWORD version = archive.GetVersion();
  if (version == 5 && !Interrupted()) verifier.CheckParts(archivePath);
  bool failed = verifier.failed();
  if (!archive.Close()) {
    ReportFailure("cannot close " + positional[0], archive.GetErrorCode());
    failed = true;
  }
  RunTotals totals = verifier.totals();
  totals.bytesIn = ArchiveBytes(archivePath, version);
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
