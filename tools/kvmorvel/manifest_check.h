// SPDX-License-Identifier: GPL-2.0-or-later
// The manifest beside an archive, as verify and extract check against it:
// the SHA-256 of each entry's data and of each archive file, written by
// the library when the archive was made (CKvMorvel::BeginManifest; the
// lines are those of common/manifest_text.h).
#ifndef KVMORVEL_TOOL_MANIFEST_CHECK_H
#define KVMORVEL_TOOL_MANIFEST_CHECK_H

#include <cstdio>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "KvMorvel.h"
#include "common/manifest_text.h"

// Entries are checked in archive order, which is the order the manifest
// lists them in: the manifest is read in step with the walk, a line at a
// time, so a manifest of a million entries costs no more memory than one
// of ten. Lines met before their entry asks (another order, an entry the
// archive lost) are kept aside until asked for.
class ManifestCheck {
 public:
  enum State { kNone, kIncomplete, kComplete, kUnreadable };

  // Whether the entry lines of a name (`size` bytes at `escapedName`,
  // escaped as the manifest holds it) are wanted.
  typedef std::function<bool(const char* escapedName, size_t size)> EntryFilter;

  ManifestCheck() = default;
  ~ManifestCheck();
  ManifestCheck(const ManifestCheck&) = delete;
  ManifestCheck& operator=(const ManifestCheck&) = delete;

  // Opens the manifest beside the archive whose main file is the absolute
  // `archivePath` and reads its first line; kNone when there is none.
  // With `wanted`, only the entry lines it wants are kept (a run that
  // restores a few entries of a large archive passes the others over).
  State Load(const std::string& archivePath, const EntryFilter& wanted = nullptr);
  // kUnreadable also once a later read failed.
  State state() const { return state_; }
  // Whether entry digests are to be checked (a manifest was read).
  bool HasEntries() const { return state_ == kComplete || state_ == kIncomplete; }
  const std::string& path() const { return path_; }

  // The digest the manifest holds for the next entry named `name` (the
  // k-th entry of a name takes the k-th line of that name); false when
  // none is left for it.
  bool TakeEntryDigest(const std::u16string& name, std::string* hex);
  // The names (escaped as the manifest holds them) of the entry lines no
  // entry took: entries the manifest knows and the archive no longer has.
  std::vector<std::string> UntakenEntries();
  // The file lines, main file first (they follow the entry lines).
  const std::vector<ManifestLine>& files();

 private:
  // The next line, without its newline, in *text (valid until the next
  // call); false at the end or on a failed read (which makes the state
  // kUnreadable).
  bool NextLine(const char** text, size_t* size);
  // Reads on to the next entry line wanted, keeping file lines; false
  // when none is left.
  bool NextEntry(ManifestLine* entry);
  void ReadToEnd();

  State state_ = kNone;
  std::string path_;
  FILE* file_ = nullptr;
  EntryFilter wanted_;
  std::string buffer_;
  size_t at_ = 0;
  // Entry lines read before their entry asked for them, by name.
  std::map<std::string, std::deque<std::string>> aside_;
  std::vector<ManifestLine> files_;
};

// The manifest's name beside the archive at the UTF-8 `archivePath`, as
// the library names it; empty when it would not fit.
std::string ManifestPathOf(const std::string& archivePath);

// The SHA-256 (hex) of the data of the entry at the cursor, streamed
// through CKvMorvel::ReadEntryData; nothing is written. Returns 0 or the
// code it failed with (1223 when the run was interrupted in it).
DWORD DigestEntryData(CKvMorvel* archive, std::string* hex);

// Words for a code ReadEntryData gave, for a message that names the
// cause: "a part file it needs is missing", ...
std::string DataFailureCause(DWORD code);

// The folder part of an absolute path, separator included.
std::string FolderOf(const std::string& path);

// The SHA-256 (hex) of the file at the UTF-8 `path`, read by the library;
// returns 0 or the code (2 missing).
DWORD DigestFile(const std::string& path, std::string* hex);

#endif  // KVMORVEL_TOOL_MANIFEST_CHECK_H
