// kvmorvel extract: restores every entry of an archive or image.
#include <cstdio>
#include <cstring>
#include <unordered_set>

#include "args.h"
#include "common.h"
#include "interrupt.h"
#include "progress.h"
#include "reader.h"
#include "system.h"
#include "text.h"
#include "win_layer.h"

namespace {

const char kHelp[] =
    "usage: kvmorvel extract ARCHIVE TARGET\n"
    "\n"
    "Restores every entry of ARCHIVE (any version, or a disk image) below\n"
    "the folder TARGET, which is made when missing, with its data, links,\n"
    "attributes, times, short name and security descriptor. A failed entry\n"
    "is reported on stderr and the run goes on with the next one.\n"
    "Folders get their stored times and attributes back once their\n"
    "contents are in. Entry names that would leave TARGET are refused.\n";

const DWORD kDirectory = 0x10;
const DWORD kReparsePoint = 0x400;
const DWORD kInvalidName = 123;  // ERROR_INVALID_NAME
// Version 1 leaves one special file name out unless the flag asks for it;
// the command restores every entry.
const int kRestoreEveryEntry = 1;

// A name that stays below the target: not empty, not rooted, no "..".
bool StaysBelowTarget(const std::u16string& name) {
  if (name.empty() || name[0] == u'\\' || name[0] == u'/') return false;
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = name.find_first_of(u"\\/", start);
    if (end == std::u16string::npos) end = name.size();
    if (name.compare(start, end - start, u"..") == 0) return false;
    start = end + 1;
  }
  return true;
}

bool IsPlainFolder(DWORD attributes) {
  return (attributes & kDirectory) && !(attributes & kReparsePoint);
}

class Restorer {
 public:
  Restorer(CKvMorvel* archive, const std::u16string& target)
      : archive_(*archive), target_(target) {}

  // The loop Info(0), ExtractFile, Info(1) over every entry.
  void RestoreAll();
  // Restores the folders of the first round again, now that their
  // contents are in: adding a child changed a folder's times.
  void ReapplyFolders(const std::string& archivePath);

  bool failed() const { return failed_; }
  bool hasFolders() const { return !folders_.empty(); }

 private:
  bool RestoreCurrent(const std::u16string& name);

  CKvMorvel& archive_;
  std::u16string target_;
  std::unordered_set<std::u16string> folders_;
  bool failed_ = false;
};

bool Restorer::RestoreCurrent(const std::u16string& name) {
  if (!StaysBelowTarget(name)) {
    ReportFailure("cannot restore " + DisplayName(name) +
                      ": the name leads outside the target",
                  kInvalidName);
    failed_ = true;
    return false;
  }
  const DWORD before = archive_.GetErrorCode();
  kvwin::ClearLastError();
  if (!archive_.ExtractFile(reinterpret_cast<LPCWSTR>(target_.c_str()),
                            kRestoreEveryEntry)) {
    ReportFailure("cannot restore " + DisplayName(name),
                  FailureCode(archive_, before));
    failed_ = true;
    return false;
  }
  return true;
}

void Restorer::RestoreAll() {
  Progress progress;
  unsigned long long loaded = 0;
  while (!Interrupted() && LoadEntry(&archive_, false, &failed_, loaded)) {
    ++loaded;
    const std::u16string name = EntryName(&archive_);
    const DWORD attributes = archive_.GetAttributes();
    const bool folder = (attributes & kDirectory) != 0;
    const uint64_t size =
        folder ? 0 : static_cast<uint64_t>(archive_.GetLength64());
    if (RestoreCurrent(name) && IsPlainFolder(attributes))
      folders_.insert(name);
    progress.Step(size, DisplayName(name));
    if (!LoadEntry(&archive_, true, &failed_, loaded)) break;
  }
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
  const int early = ReadPlainArguments(args, "extract", kHelp, 2,
                                       "an ARCHIVE and a TARGET are needed", &positional);
  if (early >= 0) return early;
  const std::string archivePath = AbsolutePath(positional[0]);
  const std::string target = AbsolutePath(positional[1]);
  std::u16string wideTarget;
  if (!Utf8ToUtf16(target, &wideTarget))
    return UsageError("extract", "the target name is not valid UTF-8");

  CKvMorvel archive;
  if (!OpenForReading(&archive, archivePath)) return kExitUsage;
  std::string message;
  if (!kvsys::MakeFolders(target, &message)) {
    ClearProgressLine();
    fprintf(stderr, "kvmorvel: %s: cannot make the folder: %s\n",
            target.c_str(), message.c_str());
    archive.Close();
    return kExitFailed;
  }
  Restorer restorer(&archive, wideTarget);
  restorer.RestoreAll();
  if (!Interrupted() && restorer.hasFolders())
    restorer.ReapplyFolders(archivePath);
  bool failed = restorer.failed();
  if (!archive.Close()) {
    ReportFailure("cannot close " + positional[0], archive.GetErrorCode());
    failed = true;
  }
  if (Interrupted()) return kExitInterrupted;
  return failed ? kExitFailed : kExitOk;
}
