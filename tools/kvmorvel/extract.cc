// SPDX-License-Identifier: GPL-2.0-or-later
// kvmorvel extract: restores every entry of an archive or image.
#include <cstdio>
#include <cstring>
#include <unordered_set>

#include "args.h"
#include "entry_walk.h"
#include "common.h"
#include "interrupt.h"
#include "manifest_check.h"
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
    "With the manifest beside ARCHIVE (ARCHIVE.sha256), each restored\n"
    "file is read back and its SHA-256 compared with the manifest's; a\n"
    "file that differs is reported as a failed entry (it stays restored).\n"
    "\n"
    "  --json   on stdout one JSON line per entry: {\"type\":\"entry\",...}\n"
    "           when restored, {\"type\":\"error\",...} when not, then\n"
    "           {\"type\":\"summary\",...}\n";

const DWORD kDirectory = 0x10;
const DWORD kReparsePoint = 0x400;
const DWORD kEncrypted = 0x4000;
const DWORD kDataError = 23;  // ERROR_CRC: the bytes are not those stored

bool IsPlainFolder(DWORD attributes) {
  return (attributes & kDirectory) && !(attributes & kReparsePoint);
}

class Restorer {
 public:
  Restorer(CKvMorvel* archive, const std::u16string& target,
           ManifestCheck* manifest, Progress* progress)
      : archive_(*archive), target_(target), manifest_(*manifest),
        progress_(*progress) {}

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
  // Whether the file just restored for `name` has the digest `recorded`.
  bool MatchesManifest(const std::u16string& name, const std::string& recorded);

  CKvMorvel& archive_;
  std::u16string target_;
  ManifestCheck& manifest_;
  Progress& progress_;
  std::unordered_set<std::u16string> folders_;
  RunTotals totals_;
  bool failed_ = false;
};

void Restorer::RestoreAll() {
  WalkEntries(&archive_, &progress_, &totals_, &failed_, "restored",
              [this](const std::u16string& name, DWORD attributes) {
                // The entry takes its manifest line even when its restore
                // fails, so that a later entry of its name takes its own.
                std::string recorded;
                const bool digested =
                    manifest_.HasEntries() &&
                    EntryHasData(archive_.GetVersion(), attributes) &&
                    manifest_.TakeEntryDigest(name, &recorded);
                if (!RestoreCurrent(name)) return false;
                // An encrypted file may be restored under another name
                // (GetEncryptedFileName): it is not read back.
                if (digested && !(attributes & kEncrypted) &&
                    !MatchesManifest(name, recorded)) {
                  failed_ = true;
                  return false;
                }
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

// The restored file is read back from the target, where the restore put
// it below the name it confined there.
bool Restorer::MatchesManifest(const std::u16string& name,
                               const std::string& recorded) {
  std::string path = Utf16ToUtf8(target_) + kvsys::kSeparator;
  for (const char c : Utf16ToUtf8(name)) path += c == '\\' ? kvsys::kSeparator : c;
  std::string hex;
  const DWORD code = DigestFile(path, &hex);
  if (code) {
    ReportEntryFailure(name, "cannot read back " + DisplayName(name) +
                                 " to check it against the manifest", code);
    return false;
  }
  if (hex == recorded) return true;
  ReportEntryFailure(name, DisplayName(name) +
                               ": the restored data differs from the manifest "
                               "(the archive was changed or damaged since it "
                               "was made)",
                     kDataError);
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
    ReportNote(target + ": cannot make the folder: " + message);
    archive.Close();
    return kExitFailed;
  }
  ManifestCheck manifest;
  if (archive.GetVersion() != 3 &&
      manifest.Load(archivePath) == ManifestCheck::kIncomplete)
    ReportNote(manifest.path() + " is marked incomplete: the run that wrote "
               "the archive did not finish, and entries it meant to add may "
               "be missing");
  Progress progress;
  ShowTotalsOf(&progress, archivePath);
  const CancelOnInterrupt cancel(&archive);
  Restorer restorer(&archive, wideTarget, &manifest, &progress);
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
