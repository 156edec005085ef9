// SPDX-License-Identifier: GPL-2.0-or-later
// kvmorvel diff: compares the entries of an archive with the items of a
// folder and names each difference; nothing is written anywhere.
//
// Each entry is looked up at FOLDER + its name through GetFileAttributesExW
// (the Win32 layer on Linux), the call whose attributes and times create
// stores, so both sides are read alike to the archive's 100 ns. A file's
// content is compared only when the sizes agree: against the manifest's
// digest when it has one for the entry, else by streaming the entry's
// data (CKvMorvel::ReadEntryData) beside the local file's bytes, stopping
// at the first byte that differs. Then FOLDER is walked for items no entry
// names.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>
#include <unordered_map>

#include "args.h"
#include "common.h"
#include "entry_walk.h"
#include "interrupt.h"
#include "json_line.h"
#include "local_path.h"
#include "manifest_check.h"
#include "pattern.h"
#include "reader.h"
#include "system.h"
#include "text.h"
#include "win_layer.h"

namespace {

const char kHelp[] =
    "usage: kvmorvel diff [--json] ARCHIVE FOLDER [PATTERN...]\n"
    "\n"
    "Compares ARCHIVE (version 1, 2 or 5) with the items below FOLDER and\n"
    "writes one line per difference on stdout, \"NAME: WHAT\": missing (no\n"
    "item at FOLDER/NAME), kind differs (folder, file or link), size\n"
    "differs, content differs, last-write time differs (files, to 100 ns),\n"
    "attributes differ (read-only, hidden, system, folder and link bits;\n"
    "the archive bit is left out, as the system sets it on its own), and\n"
    "not in the archive (an item below FOLDER that no entry names; a folder\n"
    "whose contents are in a version 1 archive counts as in it). Contents\n"
    "are compared when the sizes agree: with the manifest beside ARCHIVE\n"
    "(ARCHIVE.sha256) by the SHA-256 it holds, else by reading the entry's\n"
    "data beside the local file. Links are compared by kind and attributes,\n"
    "not by target. Nothing is written, and an entry name that would leave\n"
    "FOLDER is never looked up: it is reported as a failed entry. A disk\n"
    "image is refused (its items can only be read by restoring them).\n"
    "With PATTERNs (whole names or globs, as extract takes them) only the\n"
    "entries they select are compared, and only the local items they\n"
    "select are looked for in the archive; a PATTERN that selects no entry\n"
    "is reported.\n"
    "Exit status: 0 no difference, 1 a difference, a failed entry or a\n"
    "PATTERN that selected nothing, 2 usage error or the archive did not\n"
    "open, 130 interrupted.\n"
    "\n"
    "  --json   on stdout one JSON line per difference, {\"type\":\n"
    "           \"difference\",\"name\":...,\"what\":\"missing\"|\"kind\"|\"size\"|\n"
    "           \"content\"|\"time\"|\"attributes\"|\"not-in-archive\"} with\n"
    "           \"archive\" and \"local\" values for kind, size, time\n"
    "           (FILETIME) and attributes; {\"type\":\"error\",...} for a\n"
    "           failed entry; then {\"type\":\"summary\",...}\n"
    "\n"
    "Example: kvmorvel diff backup.kvm /srv 'www/**/*.html'\n";

const DWORD kReadOnly = 0x1;
const DWORD kHidden = 0x2;
const DWORD kSystem = 0x4;
const DWORD kDirectory = 0x10;
const DWORD kReparsePoint = 0x400;
// The bits compared: the archive bit, and those the file system keeps on
// its own (compressed, sparse, not indexed, ...), are left out.
const DWORD kComparedAttributes =
    kReadOnly | kHidden | kSystem | kDirectory | kReparsePoint;

const DWORD kFileNotFound = 2;   // ERROR_FILE_NOT_FOUND
const DWORD kPathNotFound = 3;   // ERROR_PATH_NOT_FOUND
const DWORD kOpenFailed = 110;   // ERROR_OPEN_FAILED
const DWORD kReadFault = 30;     // ERROR_READ_FAULT
const DWORD kInvalidName = 123;  // ERROR_INVALID_NAME
const DWORD kCancelled = 1223;   // ERROR_CANCELLED
// What the comparing sink returns to stop the read at the first byte that
// differs (bit 29: a code of the application's own).
const DWORD kContentDiffers = 0x20000001;
// The archive's part files past a missing one are looked for up to this
// many numbers on.
const DWORD kPartGapSearch = 64;

enum class Kind { kFile, kFolder, kLink };

Kind KindOf(DWORD attributes) {
  if (attributes & kReparsePoint) return Kind::kLink;
  return attributes & kDirectory ? Kind::kFolder : Kind::kFile;
}

const char* KindName(Kind kind) {
  switch (kind) {
    case Kind::kFolder: return "folder";
    case Kind::kLink: return "link";
    case Kind::kFile: break;
  }
  return "file";
}

uint64_t SizeOf(const WIN32_FILE_ATTRIBUTE_DATA& data) {
  return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// The two sides of a difference: shown in its text line as "(archive A,
// local B)", and given to --json as numbers when they are numbers.
struct Sides {
  bool shown = false;
  bool numbers = false;
  uint64_t archive = 0;
  uint64_t local = 0;
  std::string archiveText;
  std::string localText;
};

Sides TextSides(const std::string& archive, const std::string& local) {
  Sides sides;
  sides.shown = true;
  sides.archiveText = archive;
  sides.localText = local;
  return sides;
}

// `archiveText` and `localText` are the values as the text line shows
// them.
Sides NumberSides(uint64_t archive, uint64_t local, const std::string& archiveText,
                  const std::string& localText) {
  Sides sides = TextSides(archiveText, localText);
  sides.numbers = true;
  sides.archive = archive;
  sides.local = local;
  return sides;
}

Sides NumberSides(uint64_t archive, uint64_t local) {
  return NumberSides(archive, local, std::to_string(archive), std::to_string(local));
}

struct DiffOptions {
  std::string archive;
  std::string folder;
  PatternSet patterns;
};

// What a local file is compared with while the entry's data streams by.
struct StreamComparison {
  FILE* file = nullptr;
  std::vector<char> buffer;
  bool differs = false;
  bool readFailed = false;
};

DWORD CompareSink(void* context, const BYTE* bytes, DWORD size) {
  if (Interrupted()) return kCancelled;
  StreamComparison& compared = *static_cast<StreamComparison*>(context);
  compared.buffer.resize(size);
  const size_t got = fread(compared.buffer.data(), 1, size, compared.file);
  if (got != size && ferror(compared.file)) {
    compared.readFailed = true;
    return kContentDiffers;
  }
  if (got != size || memcmp(compared.buffer.data(), bytes, size) != 0) {
    compared.differs = true;
    return kContentDiffers;
  }
  return 0;
}

class Comparer {
 public:
  Comparer(CKvMorvel* archive, const std::string& folder,
           ManifestCheck* manifest, PatternSet* patterns)
      : archive_(*archive), folder_(folder), manifest_(*manifest),
        patterns_(*patterns) {}

  // Every entry the patterns select, against its local item.
  void CompareEntries();
  // The items below FOLDER that no entry names; `ownFiles` (the archive's
  // main file, manifest and parts) are not looked for.
  void FindUnarchived(const std::set<std::string>& ownFiles);

  uint64_t compared() const { return compared_; }
  uint64_t differences() const { return differences_; }
  uint64_t failed() const { return failed_; }
  bool catalogueFailed() const { return catalogueFailed_; }

 private:
  void CompareEntry(const std::u16string& name, DWORD attributes);
  bool ReachableBelowFolder(const std::u16string& name);
  bool IsPlainLocalFolder(const std::u16string& name);
  void CompareItem(const std::u16string& name, DWORD attributes,
                   const std::string& path, const WIN32_FILE_ATTRIBUTE_DATA& local,
                   const std::string* digest);
  void CompareContent(const std::u16string& name, const std::string& path,
                      const std::string* digest);
  bool StreamedContentDiffers(const std::u16string& name, const std::string& path,
                              bool* differs);
  void NoteEntryName(const std::u16string& name, DWORD attributes);
  void WalkFolder(const kvsys::Folder& folder, const std::u16string& stored,
                  const std::set<std::string>& ownFiles);
  void VisitChild(const kvsys::Folder& folder, const kvsys::Listed& child,
                  const std::string& path, const std::u16string& name,
                  const std::set<std::string>& ownFiles);
  void CompareLastWrite(const std::u16string& name, const FILETIME& local);
  void Difference(const std::u16string& name, const char* what,
                  const std::string& words, const Sides& sides = Sides());
  void Failure(const std::u16string& name, const std::string& what, DWORD code);

  CKvMorvel& archive_;
  std::string folder_;
  ManifestCheck& manifest_;
  PatternSet& patterns_;
  // Every stored name, and whether it is a folder (an entry's own, or one
  // a version 1 name implies).
  std::unordered_map<std::u16string, bool> entryNames_;
  // Whether the local item at a stored folder name is a plain folder.
  std::unordered_map<std::u16string, bool> localFolders_;
  uint64_t compared_ = 0;
  uint64_t differences_ = 0;
  uint64_t failed_ = 0;
  bool catalogueFailed_ = false;
};

void Comparer::Difference(const std::u16string& name, const char* what,
                          const std::string& words, const Sides& sides) {
  ++differences_;
  if (!JsonOutput()) {
    const std::string values = sides.shown ? " (archive " + sides.archiveText +
                                                 ", local " + sides.localText + ")"
                                           : "";
    printf("%s: %s%s\n", DisplayName(name).c_str(), words.c_str(), values.c_str());
    return;
  }
  JsonLine line("difference");
  line.Wide("name", name).Text("what", what);
  if (sides.numbers)
    line.Number("archive", sides.archive).Number("local", sides.local);
  else if (sides.shown)
    line.Text("archive", sides.archiveText).Text("local", sides.localText);
  line.Print();
}

void Comparer::Failure(const std::u16string& name, const std::string& what,
                       DWORD code) {
  ++failed_;
  ReportEntryFailure(name, what, code);
}

void Comparer::CompareEntries() {
  // Info(0) loads the entry at the cursor, which ReadEntryData reads;
  // Info(1) then moves past it.
  uint64_t loaded = 0;
  while (!Interrupted() && LoadEntry(&archive_, false, &catalogueFailed_, loaded)) {
    ++loaded;
    CompareEntry(EntryName(&archive_), archive_.GetAttributes());
    if (!LoadEntry(&archive_, true, &catalogueFailed_, loaded)) break;
  }
}

void Comparer::NoteEntryName(const std::u16string& name, DWORD attributes) {
  const bool folder = KindOf(attributes) == Kind::kFolder;
  bool& known = entryNames_[name];
  known = known || folder;
  if (archive_.GetVersion() != 1) return;
  // Version 1 stores files only: their folders are in it all the same.
  for (size_t cut = name.find(u'\\'); cut != std::u16string::npos;
       cut = name.find(u'\\', cut + 1))
    entryNames_[name.substr(0, cut)] = true;
}

void Comparer::CompareEntry(const std::u16string& name, DWORD attributes) {
  NoteEntryName(name, attributes);
  // An entry takes its manifest line whether or not it is compared, so
  // that the k-th entry of a name keeps the k-th line.
  std::string digest;
  const bool digested = manifest_.HasEntries() &&
                        EntryHasData(archive_.GetVersion(), attributes) &&
                        manifest_.TakeEntryDigest(name, &digest);
  if (!patterns_.empty() && !patterns_.Selects(name)) return;
  ++compared_;
  std::string path;
  if (!LocalPathBelow(folder_, name, &path)) {
    Failure(name, DisplayName(name) + ": the name would leave the folder; "
                  "not looked up", kInvalidName);
    return;
  }
  WIN32_FILE_ATTRIBUTE_DATA local;
  DWORD error = 0;
  std::u16string widePath;
  Utf8ToUtf16(path, &widePath);
  if (!ReachableBelowFolder(name) ||
      !kvwin::ReadItemData(widePath, &local, &error)) {
    if (error == 0 || error == kFileNotFound || error == kPathNotFound)
      Difference(name, "missing", "missing");
    else
      Failure(name, "cannot read " + DisplayText(path), error);
    return;
  }
  CompareItem(name, attributes, path, local, digested ? &digest : nullptr);
}

// Whether every folder above the entry is a plain folder locally: a link
// on the way is never followed (the entry counts as missing), as the
// restore never writes through one.
bool Comparer::ReachableBelowFolder(const std::u16string& name) {
  for (size_t cut = name.find(u'\\'); cut != std::u16string::npos;
       cut = name.find(u'\\', cut + 1))
    if (!IsPlainLocalFolder(name.substr(0, cut))) return false;
  return true;
}

bool Comparer::IsPlainLocalFolder(const std::u16string& name) {
  const auto known = localFolders_.find(name);
  if (known != localFolders_.end()) return known->second;
  std::string path;
  std::u16string widePath;
  WIN32_FILE_ATTRIBUTE_DATA data;
  DWORD error = 0;
  const bool plain = LocalPathBelow(folder_, name, &path) &&
                     Utf8ToUtf16(path, &widePath) &&
                     kvwin::ReadItemData(widePath, &data, &error) &&
                     KindOf(data.dwFileAttributes) == Kind::kFolder;
  localFolders_[name] = plain;
  return plain;
}

void Comparer::CompareItem(const std::u16string& name, DWORD attributes,
                           const std::string& path,
                           const WIN32_FILE_ATTRIBUTE_DATA& local,
                           const std::string* digest) {
  const Kind stored = KindOf(attributes);
  const Kind found = KindOf(local.dwFileAttributes);
  if (stored != found) {
    Difference(name, "kind", "kind differs", TextSides(KindName(stored), KindName(found)));
    return;
  }
  if (stored == Kind::kFile) {
    const uint64_t size = static_cast<uint64_t>(archive_.GetLength64());
    if (size != SizeOf(local))
      Difference(name, "size", "size differs", NumberSides(size, SizeOf(local)));
    else
      CompareContent(name, path, digest);
    CompareLastWrite(name, local.ftLastWriteTime);
  }
  const DWORD kept = attributes & kComparedAttributes;
  const DWORD seen = local.dwFileAttributes & kComparedAttributes;
  if (kept != seen)
    Difference(name, "attributes", "attributes differ",
               NumberSides(kept, seen, AttributeLetters(kept), AttributeLetters(seen)));
}

void Comparer::CompareLastWrite(const std::u16string& name, const FILETIME& local) {
  const FILETIME written = StoredLastWriteUtc(&archive_);
  if (FileTimeValue(written) == FileTimeValue(local)) return;
  std::string shownArchive = FormatLocalTime(written, true);
  std::string shownLocal = FormatLocalTime(local, true);
  // Within one second the ticks are what tell them apart.
  if (shownArchive == shownLocal) {
    shownArchive = std::to_string(FileTimeValue(written)) + " ticks";
    shownLocal = std::to_string(FileTimeValue(local)) + " ticks";
  }
  Difference(name, "time", "last-write time differs",
             NumberSides(FileTimeValue(written), FileTimeValue(local),
                         shownArchive, shownLocal));
}

void Comparer::CompareContent(const std::u16string& name, const std::string& path,
                              const std::string* digest) {
  bool differs = false;
  if (digest) {
    std::string hex;
    const DWORD code = DigestFile(path, &hex);
    if (code) {
      Failure(name, "cannot read " + DisplayText(path) + " to compare it", code);
      return;
    }
    differs = hex != *digest;
  } else if (!StreamedContentDiffers(name, path, &differs)) {
    return;
  }
  if (differs) Difference(name, "content", "content differs");
}

// Reads the entry's data beside the local file's bytes; false, reported,
// when either cannot be read to the end.
bool Comparer::StreamedContentDiffers(const std::u16string& name,
                                      const std::string& path, bool* differs) {
  StreamComparison compared;
  compared.file = kvsys::OpenFileForReading(path);
  if (!compared.file) {
    Failure(name, "cannot open " + DisplayText(path) + " to compare it", kOpenFailed);
    return false;
  }
  const bool streamed = archive_.ReadEntryData(CompareSink, &compared) != 0;
  // Data that ends with the local file still open: the file is longer.
  if (streamed && fgetc(compared.file) != EOF) compared.differs = true;
  fclose(compared.file);
  const DWORD code = streamed ? 0 : archive_.GetErrorCode();
  if (compared.readFailed) {
    Failure(name, "cannot read " + DisplayText(path) + " to compare it", kReadFault);
    return false;
  }
  if (code && code != kContentDiffers) {
    if (!Interrupted())
      Failure(name, "cannot read the data of " + DisplayName(name) + ": " +
                        DataFailureCause(code), code);
    return false;
  }
  *differs = compared.differs;
  return true;
}

void Comparer::FindUnarchived(const std::set<std::string>& ownFiles) {
  kvsys::Item item;
  kvsys::Folder root;
  std::string message;
  if (!kvsys::ReadItem(folder_, &item, &message) ||
      !root.Open(nullptr, "", folder_, item, &message)) {
    ReportFailure(DisplayText(folder_) + ": cannot list", kOpenFailed, message);
    ++failed_;
    return;
  }
  WalkFolder(root, u"", ownFiles);
}

void Comparer::WalkFolder(const kvsys::Folder& folder, const std::u16string& stored,
                          const std::set<std::string>& ownFiles) {
  std::vector<kvsys::Listed> children;
  std::string message;
  if (!folder.List(&children, &message)) {
    ReportFailure(DisplayText(folder.path()) + ": cannot list", kOpenFailed, message);
    ++failed_;
  }
  std::sort(children.begin(), children.end(),
            [](const kvsys::Listed& a, const kvsys::Listed& b) { return a.name < b.name; });
  for (const kvsys::Listed& child : children) {
    if (Interrupted()) return;
    const std::string path = kvsys::Join(folder.path(), child.name);
    if (ownFiles.count(path)) continue;
    std::u16string leaf;
    if (!Utf8ToUtf16(child.name, &leaf)) {
      ReportNote(DisplayText(path) + ": the name is not valid UTF-8, so no "
                 "archive can hold it; not compared");
      continue;
    }
    VisitChild(folder, child, path, stored.empty() ? leaf : stored + u"\\" + leaf,
               ownFiles);
  }
}

// A local item no entry names is reported when selected; a folder is
// gone into when the archive holds it as a folder, or when it is not
// selected itself (the patterns may select items inside it).
void Comparer::VisitChild(const kvsys::Folder& folder, const kvsys::Listed& child,
                          const std::string& path, const std::u16string& name,
                          const std::set<std::string>& ownFiles) {
  const auto entry = entryNames_.find(name);
  if (entry == entryNames_.end() && (patterns_.empty() || patterns_.Selects(name))) {
    Difference(name, "not-in-archive", "not in the archive");
    return;
  }
  // One the archive holds as a file or a link differs in kind, reported
  // already.
  if (entry != entryNames_.end() && !entry->second) return;
  kvsys::Item item = child.item;
  std::string message;
  if ((!child.typed && !folder.ReadChild(child.name, &item, &message)) ||
      item.kind != kvsys::Kind::kFolder)
    return;
  kvsys::Folder inner;
  if (!inner.Open(&folder, child.name, path, item, &message)) {
    ReportFailure(DisplayText(path) + ": cannot list", kOpenFailed, message);
    ++failed_;
    return;
  }
  WalkFolder(inner, name, ownFiles);
}

// Returns -1 when the arguments are read, else the exit status.
int ParseDiff(const Args& args, DiffOptions* options) {
  ArgReader reader(args);
  std::vector<std::string> positional;
  while (reader.Next()) {
    if (reader.IsOption() && (reader.Is("--help") || reader.Is("-h"))) {
      fputs(kHelp, stdout);
      return kExitOk;
    }
    if (reader.IsOption() && reader.Is("--json")) {
      SetJsonOutput(true);
    } else if (reader.IsOption()) {
      return UsageError("diff", "unknown option '" + reader.Current() + "'");
    } else {
      positional.push_back(reader.Current());
    }
  }
  if (positional.size() < 2)
    return UsageError("diff", "an ARCHIVE and a FOLDER are needed");
  options->archive = positional[0];
  options->folder = positional[1];
  for (size_t i = 2; i < positional.size(); ++i) {
    std::string error;
    if (!options->patterns.Add(positional[i], &error)) return UsageError("diff", error);
  }
  return -1;
}

// The folder to compare with, resolved; false, reported, when it is not
// one (a link to one is named as such).
bool ResolveFolder(const std::string& argument, std::string* folder) {
  std::string name;
  std::string message;
  kvsys::Item item;
  if (!kvsys::ResolveRoot(argument, folder, &name, &message) ||
      !kvsys::ReadItem(*folder, &item, &message)) {
    ReportNote(DisplayText(argument) + ": cannot read the folder: " + message);
    return false;
  }
  if (item.kind == kvsys::Kind::kFolder) return true;
  ReportNote(DisplayText(argument) +
             (item.kind == kvsys::Kind::kLink
                  ? ": is a link; name the folder it leads to"
                  : ": not a folder"));
  return false;
}

// The archive's own files, so that an archive kept inside FOLDER is not
// reported as an item missing from itself.
std::set<std::string> OwnFiles(const std::string& archivePath, DWORD version) {
  std::set<std::string> own = {archivePath, ManifestPathOf(archivePath)};
  if (version != 5) return own;
  // A missing part leaves a gap: the parts past it are the archive's too.
  for (DWORD part = 1, missing = 0; missing < kPartGapSearch; ++part) {
    const std::string name = PartName(archivePath, part);
    if (name.empty()) break;
    missing = kvsys::Exists(name) ? 0 : missing + 1;
    own.insert(name);
  }
  return own;
}

// A manifest that is there but cannot serve: the contents are then read
// from the archive instead, and the user is told why.
void NoteManifestState(ManifestCheck::State state, const std::string& path) {
  if (state == ManifestCheck::kUnreadable)
    ReportNote(DisplayText(path) + " cannot be read as a manifest; each file's "
               "content is compared with the archive's data instead");
  if (state == ManifestCheck::kIncomplete)
    ReportNote(DisplayText(path) + " is marked incomplete: the run that wrote "
               "the archive did not finish; its digests are used where present");
}

// PATTERNs that selected no entry: reported, and they fail the run.
bool ReportUnusedPatterns(const PatternSet& patterns) {
  const std::vector<std::string> unused = patterns.Unused();
  for (const std::string& pattern : unused) {
    ReportNote("'" + DisplayText(pattern) + "' selects no entry of the archive");
    if (JsonOutput())
      JsonLine("error").Text("pattern", pattern)
          .Text("message", "the pattern selects no entry of the archive").Print();
  }
  return unused.empty();
}

void PrintSummary(const std::string& shown, const Comparer& comparer) {
  if (JsonOutput()) {
    JsonLine("summary")
        .Text("verb", "diff")
        .Number("entries", comparer.compared())
        .Number("differences", comparer.differences())
        .Number("failed", comparer.failed())
        .Boolean("interrupted", Interrupted())
        .Print();
    return;
  }
  // As the other verbs, a closing line only for a person at a terminal:
  // stdout holds the differences alone.
  if (!kvsys::ErrorIsConsole()) return;
  fprintf(stderr, "kvmorvel diff: %s: %llu entries compared, %llu differences, "
          "%llu failed%s\n", DisplayText(shown).c_str(),
          static_cast<unsigned long long>(comparer.compared()),
          static_cast<unsigned long long>(comparer.differences()),
          static_cast<unsigned long long>(comparer.failed()),
          Interrupted() ? ", interrupted" : "");
}

}  // namespace

int RunDiff(const Args& args) {
  DiffOptions options;
  const int early = ParseDiff(args, &options);
  if (early >= 0) return early;
  const std::string archivePath = AbsolutePath(options.archive);
  std::string folder;
  if (!ResolveFolder(options.folder, &folder)) return kExitUsage;

  CKvMorvel archive;
  if (!OpenForReading(&archive, archivePath)) return kExitUsage;
  const DWORD version = archive.GetVersion();
  if (version == 3) {
    ReportNote(DisplayText(options.archive) + " is a disk image: diff compares "
               "archives (versions 1, 2 and 5) only");
    archive.Close();
    return kExitUsage;
  }
  WarnOfMissingPart(&archive);
  ManifestCheck manifest;
  NoteManifestState(manifest.Load(archivePath), manifest.path());
  Comparer comparer(&archive, folder, &manifest, &options.patterns);
  comparer.CompareEntries();
  // The walk asks the same patterns: a copy, so that a local item does
  // not count as an entry a pattern selected.
  PatternSet entryPatterns = options.patterns;
  if (!Interrupted()) comparer.FindUnarchived(OwnFiles(archivePath, version));
  RunTotals totals;
  const bool closed = CloseAfterReading(&archive, options.archive, archivePath, &totals);
  const bool patternsUsed = Interrupted() || ReportUnusedPatterns(entryPatterns);
  fflush(stdout);
  PrintSummary(options.archive, comparer);
  fflush(stdout);
  if (Interrupted()) return kExitInterrupted;
  const bool failed = comparer.failed() || comparer.catalogueFailed() || !closed;
  return failed || comparer.differences() || !patternsUsed ? kExitFailed : kExitOk;
}
