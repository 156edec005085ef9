// SPDX-License-Identifier: GPL-2.0-or-later
// kvmorvel extract: restores the entries of an archive or image, all of
// them or those chosen by name, below a folder or to standard output.
#include <cstdio>
#include <cstring>
#include <unordered_set>

#include "KvMorvelHost.h"
#include "args.h"
#include "entry_walk.h"
#include "common.h"
#include "extract_options.h"
#include "interrupt.h"
#include "local_path.h"
#include "manifest_check.h"
#include "progress.h"
#include "reader.h"
#include "system.h"
#include "text.h"

namespace {

const DWORD kDirectory = 0x10;
const DWORD kReparsePoint = 0x400;
const DWORD kEncrypted = 0x4000;
const DWORD kDataError = 23;  // ERROR_CRC: the bytes are not those stored
const DWORD kAccessDenied = 5;

bool IsPlainFolder(DWORD attributes) {
  return (attributes & kDirectory) && !(attributes & kReparsePoint);
}

// The folders above `name` ("a\b\c" gives "a" and "a\b"), nearest last.
std::vector<std::u16string> FoldersAbove(const std::u16string& name) {
  std::vector<std::u16string> folders;
  for (size_t at = name.find(u'\\'); at != std::u16string::npos;
       at = name.find(u'\\', at + 1))
    if (at > 0) folders.push_back(name.substr(0, at));
  return folders;
}

class Restorer {
 public:
  Restorer(CKvMorvel* archive, const ExtractOptions& options,
           const std::u16string& target, ManifestCheck* manifest,
           Progress* progress)
      : archive_(*archive), options_(options), target_(target),
        manifest_(*manifest), progress_(*progress) {
    totals_.replaced = 0;
    totals_.kept = 0;
  }

  // The loop Info(0), ExtractFile, Info(1) over every entry, restoring
  // (or, for a dry run, looking at the path of) each chosen one.
  void RestoreChosen(PatternSet* chosen);
  // Restores the folders of the first round again, now that their
  // contents are in: adding a child changed a folder's times. Folders
  // above a chosen entry that were not chosen themselves take their
  // stored metadata in this round too.
  void ReapplyFolders(const std::string& archivePath);

  bool failed() const { return failed_; }
  bool hasFolders() const { return !folders_.empty(); }
  RunTotals& totals() { return totals_; }

 private:
  Handled RestoreOne(const std::u16string& name, DWORD attributes);
  Handled LookBeforeRestoring(const std::u16string& name, DWORD attributes);
  bool RestoreCurrent(const std::u16string& name);
  // Notes the folders above a chosen entry for the second round: each
  // that is not at the target yet (or, unless keeping what is there,
  // every one).
  void NoteFoldersAbove(const std::u16string& name);
  // Where the restore puts `name` below the target; empty for a name that
  // would leave it.
  std::string TargetPath(const std::u16string& name) const;
  // Whether the file just restored for `name` has the digest `recorded`.
  bool MatchesManifest(const std::u16string& name, const std::string& recorded);

  CKvMorvel& archive_;
  const ExtractOptions& options_;
  std::u16string target_;
  ManifestCheck& manifest_;
  Progress& progress_;
  std::unordered_set<std::u16string> folders_;
  std::unordered_set<std::u16string> foldersSeen_;
  RunTotals totals_;
  bool failed_ = false;
};

void Restorer::RestoreChosen(PatternSet* chosen) {
  WalkChosenEntries(&archive_, &progress_, &totals_, &failed_,
                    [&](const std::u16string& name, DWORD attributes) {
                      if (!chosen->empty() && !chosen->Selects(name))
                        return Handled::Passed();
                      if (!chosen->empty()) NoteFoldersAbove(name);
                      return options_.dryRun ? LookBeforeRestoring(name, attributes)
                                             : RestoreOne(name, attributes);
                    });
  if (totals_.failed) failed_ = true;
}

Handled Restorer::RestoreOne(const std::u16string& name, DWORD attributes) {
  // The entry takes its manifest line even when its restore fails, so
  // that a later entry of its name takes its own.
  std::string recorded;
  const bool digested = manifest_.HasEntries() &&
                        EntryHasData(archive_.GetVersion(), attributes) &&
                        manifest_.TakeEntryDigest(name, &recorded);
  if (!RestoreCurrent(name)) return Handled::Failed();
  const DWORD outcome = archive_.GetRestoreOutcome();
  if (outcome == KV_RESTORED_KEPT) {
    ++*totals_.kept;
    return Handled::Done("kept", false);
  }
  // An encrypted file may be restored under another name
  // (GetEncryptedFileName): it is not read back.
  if (digested && !(attributes & kEncrypted) && !MatchesManifest(name, recorded)) {
    failed_ = true;
    return Handled::Failed();
  }
  if (IsPlainFolder(attributes)) folders_.insert(name);
  if (outcome == KV_RESTORED_REPLACED) {
    ++*totals_.replaced;
    return Handled::Done("replaced", true);
  }
  return Handled::Done("restored", true);
}

// What a restore would do at the entry's path, by the same rules, looked
// at without touching anything: the line a dry run prints and the status
// of its JSON line.
struct Plan {
  const char* words;
  const char* status;
};
const Plan kCreate = {"create", "would-create"};
const Plan kReplace = {"replace", "would-replace"};
const Plan kKeep = {"keep", "would-keep"};
const Plan kBlocked = {"fail (a folder is in its place)", "would-fail"};

Handled Restorer::LookBeforeRestoring(const std::u16string& name,
                                      DWORD attributes) {
  if (RefuseNameLeavingTarget(name)) return Handled::Failed();
  kvsys::Item item;
  std::string message;
  const Plan* plan = &kCreate;
  if (kvsys::ReadItem(TargetPath(name), &item, &message)) {
    const uint64_t stored = FileTimeValue(StoredLastWriteUtc(&archive_));
    if (item.kind == kvsys::Kind::kFolder && !(attributes & kDirectory)) {
      plan = &kBlocked;
    } else if (options_.keep || (options_.keepNewer && stored <= item.lastWrite)) {
      plan = &kKeep;
      ++*totals_.kept;
    } else {
      plan = &kReplace;
      ++*totals_.replaced;
    }
  }
  printf("would %s %s\n", plan->words, DisplayName(name).c_str());
  return Handled::Done(plan->status, false);
}

std::string Restorer::TargetPath(const std::u16string& name) const {
  std::string path;
  return LocalPathBelow(Utf16ToUtf8(target_), name, &path) ? path : std::string();
}

bool Restorer::RestoreCurrent(const std::u16string& name) {
  if (RestoreEntryBelow(&archive_, target_, name)) return true;
  failed_ = true;
  return false;
}

void Restorer::NoteFoldersAbove(const std::u16string& name) {
  for (const std::u16string& folder : FoldersAbove(name)) {
    if (!foldersSeen_.insert(folder).second) continue;
    // Keeping what is there keeps a folder the user had as well.
    const bool keeping = options_.keep || options_.keepNewer;
    if (!options_.dryRun &&
        (!keeping || !kvsys::Exists(TargetPath(folder))))
      folders_.insert(folder);
  }
}

// The restored file is read back from the target, where the restore put
// it below the name it confined there.
bool Restorer::MatchesManifest(const std::u16string& name,
                               const std::string& recorded) {
  std::string hex;
  DWORD code = DigestFile(TargetPath(name), &hex);
  const bool readBack = code != kAccessDenied;
  if (!readBack) {
    // The restored file's own rights keep the restoring user from reading
    // it (its descriptor grants them nothing): the stored data is checked
    // against the manifest instead, and the user told so.
    code = DigestEntryData(&archive_, &hex);
  }
  if (code) {
    ReportEntryFailure(name, "cannot read back " + DisplayName(name) +
                                 " to check it against the manifest", code);
    return false;
  }
  if (hex == recorded) {
    if (!readBack)
      ReportNote(DisplayName(name) + ": its rights do not let you read it back; "
                 "the archive's data was checked against the manifest instead");
    return true;
  }
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
  // of this round does not matter. The folders of this round were made or
  // replaced by the first, so what is there now is no work of the user's
  // to keep.
  if (!archive_.Close() || !OpenForReading(&archive_, archivePath)) {
    failed_ = true;
    return;
  }
  archive_.SetRestoreOptions(archive_.GetRestoreOptions() &
                             ~(KV_RESTORE_KEEP_EXISTING | KV_RESTORE_KEEP_NEWER));
  unsigned long long loaded = 0;
  while (!folders_.empty() && !Interrupted() &&
         LoadEntry(&archive_, false, &failed_, loaded)) {
    ++loaded;
    // Only a folder's name is asked for: most entries are files.
    if (IsPlainFolder(archive_.GetAttributes())) {
      const std::u16string name = EntryName(&archive_);
      if (folders_.erase(name)) RestoreCurrent(name);
    }
    if (!LoadEntry(&archive_, true, &failed_, loaded)) break;
  }
}

int RestoreBelowTarget(CKvMorvel* archive, const ExtractOptions& options,
                       PatternSet* chosen) {
  const std::string target = AbsolutePath(options.target);
  std::u16string wideTarget;
  if (!Utf8ToUtf16(target, &wideTarget))
    return UsageError("extract", "the target name is not valid UTF-8");
  std::string message;
  if (!options.dryRun && !kvsys::MakeFolders(target, &message)) {
    ReportNote(target + ": cannot make the folder: " + message);
    archive->Close();
    return kExitFailed;
  }
  archive->SetRestoreOptions(options.RestoreFlags());
  ManifestCheck manifest;
  const std::string archivePath = AbsolutePath(options.archive);
  if (archive->GetVersion() != 3 &&
      manifest.Load(archivePath, ManifestLinesFor(*chosen)) ==
          ManifestCheck::kIncomplete)
    ReportNote(manifest.path() + " is marked incomplete: the run that wrote "
               "the archive did not finish, and entries it meant to add may "
               "be missing");
  Progress progress(!options.dryRun);
  // A bar for the whole archive would not fill when only some is chosen.
  if (chosen->empty()) ShowTotalsOf(&progress, archivePath);
  const CancelOnInterrupt cancel(archive);
  Restorer restorer(archive, options, wideTarget, &manifest, &progress);
  restorer.RestoreChosen(chosen);
  if (!Interrupted() && restorer.hasFolders())
    restorer.ReapplyFolders(archivePath);
  RunTotals& totals = restorer.totals();
  const bool closed = CloseAfterReading(archive, options.archive, archivePath, &totals);
  const bool patternsUsed = Interrupted() || ReportUnusedPatterns(*chosen);
  progress.Finish("extract", totals);
  if (*totals.kept && !progress.OnTerminal() && !JsonOutput() && !options.dryRun)
    ReportNote(std::to_string(*totals.kept) +
               " entries were kept as they were at their path");
  if (Interrupted()) return kExitInterrupted;
  return restorer.failed() || !closed || !patternsUsed ? kExitFailed : kExitOk;
}

}  // namespace

int RunExtract(const Args& args) {
  ExtractOptions options;
  const int early = ParseExtractOptions(args, &options);
  if (early >= 0) return early;
  PatternSet chosen;
  std::string problem;
  if (!options.ChoosePatterns(&chosen, &problem)) return UsageError("extract", problem);
  CKvMorvel archive;
  if (!OpenForReading(&archive, AbsolutePath(options.archive))) return kExitUsage;
  WarnOfMissingPart(&archive);
  if (options.toStdout) return WriteChosenToStdout(&archive, options, &chosen);
  return RestoreBelowTarget(&archive, options, &chosen);
}
