// SPDX-License-Identifier: GPL-2.0-or-later
// kvmorvel extract: restores every entry of an archive or image.
#include <cstdio>
#include <cstring>
#include <unordered_set>

#include "args.h"
#include "entry_walk.h"
#include "common.h"
#include "interrupt.h"
#include "progress.h"
#include "reader.h"
#include "system.h"
#include "text.h"

namespace {

const char kHelp[] =
    "usage: kvmorvel extract [--json] ARCHIVE TARGET\n"
    "\n"
    "Restores every entry of ARCHIVE (any version, or a disk image) below\n"
    "the folder TARGET, which is made when missing, with its data, links,\n"
    "attributes, times, short name and security descriptor. A failed entry\n"
    "is reported on stderr and the run goes on with the next one.\n"
    "Folders get their stored times and attributes back once their\n"
    "contents are in. Entry names that would leave TARGET are refused.\n"
    "\n"
    "  --json   on stdout one JSON line per entry: {\"type\":\"entry\",...}\n"
    "           when restored, {\"type\":\"error\",...} when not, then\n"
    "           {\"type\":\"summary\",...}\n";

const DWORD kDirectory = 0x10;
const DWORD kReparsePoint = 0x400;

bool IsPlainFolder(DWORD attributes) {
  return (attributes & kDirectory) && !(attributes & kReparsePoint);
}

class Restorer {
 public:
  Restorer(CKvMorvel* archive, const std::u16string& target, Progress* progress)
      : archive_(*archive), target_(target), progress_(*progress) {}

  // The loop Info(0), ExtractFile, Info(1) over every entry.
  void RestoreAll();
  // Restores the folders of the first round again, now that their
  // contents are in: adding a child changed a folder's times.
  void ReapplyFolders(const std::string& archivePath);

  bool failed() const { return failed_; }
  bool hasFolders() const { return !folders_.empty(); }
  RunTotals& totals() { return totals_; }

 private:
  bool RestoreCurrent(const std::u16string& name);

  CKvMorvel& archive_;
  std::u16string target_;
  Progress& progress_;
  std::unordered_set<std::u16string> folders_;
  RunTotals totals_;
  bool failed_ = false;
};

void Restorer::RestoreAll() {
  WalkEntries(&archive_, &progress_, &totals_, &failed_, "restored",
              [this](const std::u16string& name, DWORD attributes) {
                if (!RestoreCurrent(name)) return false;
                if (IsPlainFolder(attributes)) folders_.insert(name);
                return true;
              });
  if (totals_.failed) failed_ = true;
}

bool Restorer::RestoreCurrent(const std::u16string& name) {
  if (RestoreEntryBelow(&archive_, target_, name)) return true;
  failed_ = true;
  return false;
}

void Restorer::ReapplyFolders(const std::string& archivePath) {
  // The public class walks forward only, so the archive is read once more
  // from the start. Restoring a folder that exists only applies its
  // metadata again, and changes nothing in its parent folder, so the order
  // of this round does not matter.
  if (!archive_.Close() || !OpenForReading(&archive_, archivePath)) {
    failed_ = true;
    return;
  }
  unsigned long long loaded = 0;
  while (!folders_.empty() && !Interrupted() &&
         LoadEntry(&archive_, false, &failed_, loaded)) {
    ++loaded;
    const std::u16string name = EntryName(&archive_);
    if (IsPlainFolder(archive_.GetAttributes()) && folders_.erase(name))
      RestoreCurrent(name);
    if (!LoadEntry(&archive_, true, &failed_, loaded)) break;
  }
}

}  // namespace

int RunExtract(const Args& args) {
  std::vector<std::string> positional;
  const int early = ReadArguments(args, "extract", kHelp, 2,
                                  "an ARCHIVE and a TARGET are needed", true, &positional);
  if (early >= 0) return early;
  const std::string archivePath = AbsolutePath(positional[0]);
  const std::string target = AbsolutePath(positional[1]);
  std::u16string wideTarget;
  if (!Utf8ToUtf16(target, &wideTarget))
    return UsageError("extract", "the target name is not valid UTF-8");

  CKvMorvel archive;
  if (!OpenForReading(&archive, archivePath)) return kExitUsage;
  WarnOfMissingPart(&archive);
  std::string message;
  if (!kvsys::MakeFolders(target, &message)) {
    ClearProgressLine();
    fprintf(stderr, "kvmorvel: %s: cannot make the folder: %s\n",
            target.c_str(), message.c_str());
    archive.Close();
    return kExitFailed;
  }
  Progress progress;
  ShowTotalsOf(&progress, archivePath);
  Restorer restorer(&archive, wideTarget, &progress);
  restorer.RestoreAll();
  if (!Interrupted() && restorer.hasFolders())
    restorer.ReapplyFolders(archivePath);
  RunTotals& totals = restorer.totals();
  const bool closed = CloseAfterReading(&archive, positional[0], archivePath, &totals);
  const bool failed = restorer.failed() || !closed;
  progress.Finish("extract", totals);
  if (Interrupted()) return kExitInterrupted;
  return failed ? kExitFailed : kExitOk;
}
