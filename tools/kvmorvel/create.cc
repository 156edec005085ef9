// SPDX-License-Identifier: GPL-2.0-or-later
// kvmorvel create: adds each PATH and everything below it to an archive.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "KvMorvelHost.h"
#include "args.h"
#include "common.h"
#include "interrupt.h"
#include "manifest_check.h"
#include "pattern.h"
#include "progress.h"
#include "reader.h"
#include "system.h"
#include "text.h"
#include "win_layer.h"

namespace {

const DWORD kCancelled = 1223;  // ERROR_CANCELLED: CKvMorvel::Cancel

const char kHelp[] =
    "usage: kvmorvel create [-V 1|2|5] [--level -1|0|1|2]\n"
    "                       [--split-size BYTES] [--append] [--json]\n"
    "                       [-C DIR] [--exclude PATTERN]... [--exclude-from FILE]\n"
    "                       [--files-from FILE] [--null] ARCHIVE [PATH...]\n"
    "\n"
    "Adds each PATH and everything below it to ARCHIVE, a folder before its\n"
    "contents. Entries are named by the PATH as given, made relative as tar\n"
    "does, joined with '\\' (PATH docs gives docs, docs\\a.txt, ...; PATH\n"
    "/data/docs gives data\\docs, ... with a notice that the leading '/' is\n"
    "removed; a leading './' is removed too). A PATH with a '..' component,\n"
    "and PATHs that would store the same entry name twice (x and ./x, or a\n"
    "folder and a PATH inside it), are refused before anything is written.\n"
    "Each entry carries its attributes, times, short name and security\n"
    "descriptor; symbolic links are stored as links, never followed.\n"
    "\n"
    "  -V, --version N   archive version: 5 (default), 2 or 1. Version 1\n"
    "                    holds file contents only: folders are made again\n"
    "                    on restore, links are left out.\n"
    "  --level N         deflate level of versions 1 and 2: -1 store,\n"
    "                    0 fastest (default), 1 zlib's default, 2 best\n"
    "  --split-size N    version 5: begin a new part file once a part has\n"
    "                    grown past N bytes (suffix K, M or G allowed)\n"
    "  --append          add to an existing ARCHIVE of the same version\n"
    "                    (without it an existing ARCHIVE is refused)\n"
    "  --json            write the failures and the closing summary as JSON\n"
    "                    lines on stdout ({\"type\":\"summary\",...,\n"
    "                    \"excluded\":N,...})\n"
    "\n"
    "Choosing what goes in:\n"
    "  -C, --directory DIR\n"
    "                    read each relative PATH below DIR, so that names\n"
    "                    start where you want: -C /srv/data docs stores\n"
    "                    docs, docs\\a.txt, ... An absolute PATH stays as\n"
    "                    it is. ARCHIVE and the list FILEs stay relative to\n"
    "                    the current folder.\n"
    "  --exclude PATTERN leave out each item whose stored name, or whose\n"
    "                    last component, matches PATTERN; a folder left\n"
    "                    out is not descended into. Repeatable.\n"
    "                    --exclude '*.o' leaves out every .o at any depth;\n"
    "                    --exclude docs/sub leaves out that folder and all\n"
    "                    below it. '*' '?' '[...]' match within a name,\n"
    "                    '**' across folders; matching is case-sensitive.\n"
    "                    A PATH inside an excluded name is left out too.\n"
    "  --exclude-from FILE\n"
    "                    the PATTERNs of FILE, one a line ('-': stdin)\n"
    "  -T, --files-from FILE\n"
    "                    take PATHs from FILE too, one a line ('-': stdin),\n"
    "                    each handled as a PATH on the command line:\n"
    "                    find docs -name '*.txt' -print0 |\n"
    "                      kvmorvel create --null --files-from - A.kvm\n"
    "  --null            the lists of --files-from and --exclude-from are\n"
    "                    separated by NUL bytes (as find -print0 writes),\n"
    "                    so a name may hold a newline\n"
    "Only one list may be read from standard input.\n"
    "\n"
    "Sockets, pipes and devices are skipped with a note.\n"
    "\n"
    "Beside ARCHIVE goes its manifest, ARCHIVE.sha256: the SHA-256 of each\n"
    "file's data as it was read, and of the main file and each part file\n"
    "('sha256sum -c ARCHIVE.sha256' checks those from ARCHIVE's folder).\n"
    "It is marked complete only when the run finished; verify and extract\n"
    "check against it. --append keeps its entries and renews the files'.\n";

struct CreateOptions {
  DWORD version = 5;
  bool json = false;
  long level = 0;
  bool levelGiven = false;
  uint64_t splitSize = 0;
  bool splitGiven = false;
  bool append = false;
  std::string archive;
  std::vector<std::string> paths;
  // -C: the folder relative PATHs are read from, absolute; empty when
  // they are read from the current folder.
  std::string directory;
  // --exclude and --exclude-from: what is left out, by stored name.
  PatternSet excludes;
};

// The lists named on the command line, read once all options are known
// (--null may come after them).
struct ListFiles {
  std::vector<std::string> filesFrom;
  std::vector<std::string> excludeFrom;
  std::vector<std::string> excludes;
  bool nulSeparated = false;
};

// Reads one --files-from or --exclude-from list (`option` names it in the
// error) and appends its names to *names.
int ReadList(const char* option, const std::string& file, bool nulSeparated,
             std::vector<std::string>* names) {
  std::string error;
  if (ReadNameList(file, nulSeparated, names, &error)) return kExitOk;
  return UsageError("create", std::string(option) + ": " + error);
}

// Adds `patterns` to *excludes; `source` names where a bad one came from.
int AddPatterns(const std::string& source,
                const std::vector<std::string>& patterns,
                PatternSet* excludes) {
  for (const std::string& pattern : patterns) {
    std::string error;
    if (!excludes->Add(pattern, &error))
      return UsageError("create", source + ": " + error);
  }
  return kExitOk;
}

// Adds the PATHs of --files-from after those of the command line, and the
// patterns of --exclude and --exclude-from. Standard input can feed one
// list only: two lists on it would split one stream between them.
int ReadLists(const ListFiles& lists, CreateOptions* options) {
  const auto fromStdin = [](const std::vector<std::string>& files) {
    return std::count(files.begin(), files.end(), std::string("-"));
  };
  if (fromStdin(lists.filesFrom) + fromStdin(lists.excludeFrom) > 1)
    return UsageError("create", "standard input ('-') can feed only one "
                      "--files-from or --exclude-from list");
  for (const std::string& file : lists.filesFrom) {
    const int read = ReadList("--files-from", file, lists.nulSeparated,
                              &options->paths);
    if (read != kExitOk) return read;
  }
  const int added =
      AddPatterns("--exclude", lists.excludes, &options->excludes);
  if (added != kExitOk) return added;
  for (const std::string& file : lists.excludeFrom) {
    std::vector<std::string> patterns;
    int read = ReadList("--exclude-from", file, lists.nulSeparated, &patterns);
    if (read == kExitOk)
      read = AddPatterns("--exclude-from " + file, patterns,
                         &options->excludes);
    if (read != kExitOk) return read;
  }
  return kExitOk;
}

// Takes -C's folder, made absolute against the current folder: a folder
// that is not there is refused before anything is written.
int TakeDirectory(const std::string& given, CreateOptions* options) {
  if (!options->directory.empty())
    return UsageError("create", "-C may be given once");
  if (given.empty()) return UsageError("create", "-C takes a folder");
  const std::string absolute = AbsolutePath(given);
  if (!kvsys::IsFolder(absolute))
    return UsageError("create", "-C '" + given + "': " +
                                    (kvsys::Exists(absolute)
                                         ? "not a folder"
                                         : "no such folder"));
  options->directory = absolute;
  return kExitOk;
}

// Where a PATH argument is read from: below -C's folder when one was
// given, else below the current folder. An absolute PATH stays as it is,
// as tar keeps it.
std::string LocationOf(const CreateOptions& options,
                       const std::string& argument) {
  if (options.directory.empty() || kvsys::RootPrefixLength(argument) > 0)
    return argument;
  return kvsys::Join(options.directory, argument);
}

int ParseCreate(const Args& args, CreateOptions* options, bool* help) {
  ArgReader reader(args);
  std::vector<std::string> positional;
  ListFiles lists;
  while (reader.Next()) {
    std::string value;
    bool missing = false;
    if (reader.Is("--help") || reader.Is("-h")) {
      *help = true;
      return kExitOk;
    }
    if (reader.Is("--append")) {
      options->append = true;
    } else if (reader.Is("--json")) {
      options->json = true;
    } else if (reader.Is("--null")) {
      lists.nulSeparated = true;
    } else if (reader.Take("--exclude", nullptr, &value, &missing)) {
      if (missing) return UsageError("create", "--exclude takes a PATTERN");
      lists.excludes.push_back(value);
    } else if (reader.Take("--exclude-from", nullptr, &value, &missing)) {
      if (missing) return UsageError("create", "--exclude-from takes a FILE");
      lists.excludeFrom.push_back(value);
    } else if (reader.Take("--files-from", "-T", &value, &missing)) {
      if (missing) return UsageError("create", "--files-from takes a FILE");
      lists.filesFrom.push_back(value);
    } else if (reader.Take("--directory", "-C", &value, &missing)) {
      const int taken = TakeDirectory(missing ? "" : value, options);
      if (taken != kExitOk) return taken;
    } else if (reader.Take("--version", "-V", &value, &missing)) {
      long version = 0;
      if (missing || !ParseInteger(value, &version) ||
          (version != 1 && version != 2 && version != 5))
        return UsageError("create", "-V takes 1, 2 or 5");
      options->version = static_cast<DWORD>(version);
    } else if (reader.Take("--level", nullptr, &value, &missing)) {
      if (missing || !ParseInteger(value, &options->level) ||
          options->level < -1 || options->level > 2)
        return UsageError("create", "--level takes -1, 0, 1 or 2");
      options->levelGiven = true;
    } else if (reader.Take("--split-size", nullptr, &value, &missing)) {
      if (missing || !ParseByteCount(value, &options->splitSize))
        return UsageError("create", "--split-size takes a byte count");
      options->splitGiven = true;
    } else if (reader.IsOption()) {
      return UsageError("create", "unknown option '" + reader.Current() + "'");
    } else {
      positional.push_back(reader.Current());
    }
  }
  const char* const kNeed = "an ARCHIVE and at least one PATH are needed";
  if (positional.empty()) return UsageError("create", kNeed);
  options->archive = positional[0];
  options->paths.assign(positional.begin() + 1, positional.end());
  const int read = ReadLists(lists, options);
  if (read != kExitOk) return read;
  if (options->paths.empty())
    return UsageError("create", lists.filesFrom.empty()
                                    ? kNeed
                                    : "no PATH on the command line and none "
                                      "in the --files-from list");
  return kExitOk;
}

// The identity of the file at the UTF-8 `path` (123 when the name is not
// valid UTF-8).
bool IdentityOf(const std::string& path, kvwin::FileIdentity* identity,
                DWORD* error) {
  std::u16string wide;
  if (Utf8ToUtf16(path, &wide))
    return kvwin::GetFileIdentity(wide, identity, error);
  *error = 123;
  return false;
}

// The archive's own files, known by identity rather than by name, so that
// no spelling of the archive path ("./", "..", "//", a link on the way)
// lets the archive take in its main file or a part.
class ArchiveFiles {
 public:
  ArchiveFiles(const std::string& archivePath, DWORD version)
      : archivePath_(archivePath), hasParts_(version == 5) {
    Learn(archivePath_);
    Learn(ManifestPathOf(archivePath_));  // made by BeginManifest before
    FindNewParts();
  }

  // Part files appear while the archive grows. The walk lists a folder
  // before it visits the folder's files, so looking for new parts right
  // after each listing (and before each PATH) knows every part the walk
  // can meet: one failed open per folder once all are known.
  void FindNewParts() {
    while (hasParts_ && Learn(PartName(archivePath_, nextPart_))) ++nextPart_;
  }

  // The cheap first test: a file whose index is no archive file's index
  // is not the archive, and only the rare one that matches (or whose
  // index the walk did not read) is opened to compare identities.
  bool MayHold(uint64_t fileIndex) const {
    if (fileIndex == kvsys::kUnknownIndex) return true;
    for (const kvwin::FileIdentity& own : known_)
      if (own.Index() == fileIndex) return true;
    return false;
  }

  bool Holds(const kvwin::FileIdentity& identity) const {
    for (const kvwin::FileIdentity& own : known_)
      if (own == identity) return true;
    return false;
  }

 private:
  bool Learn(const std::string& path) {
    kvwin::FileIdentity identity;
    DWORD error = 0;
    if (!IdentityOf(path, &identity, &error)) return false;
    known_.push_back(identity);
    return true;
  }

  std::string archivePath_;
  bool hasParts_;
  DWORD nextPart_ = 1;
  std::vector<kvwin::FileIdentity> known_;
};

// A PATH argument and the entry name its tree is stored under: the
// argument as given, made relative as tar does.
struct Source {
  std::string argument;
  std::string location;  // where it is read from (LocationOf)
  // The name's components ("." ones left out); none for a PATH that is
  // a root ("/") or the current folder ("."), whose contents are then
  // named from the top.
  std::vector<std::string> components;

  std::string Name() const {
    std::string name;
    for (const std::string& component : components)
      name += (name.empty() ? "" : "\\") + component;
    return name;
  }
};

// Splits `argument` into the components of its entry name. The root is
// dropped, and "." components and empty ones ("a//b", "a/"); a leading
// part dropped is added to *dropped (once each: "/" or the drive, and
// "./"), for the notice. Returns "" or why the PATH cannot be stored.
std::string NameSource(const std::string& argument, Source* source,
                       std::vector<std::string>* dropped) {
  source->argument = argument;
  if (argument.empty()) return "an empty PATH names no file or folder";
  const size_t root = kvsys::RootPrefixLength(argument);
  auto note = [dropped](const std::string& prefix) {
    if (std::find(dropped->begin(), dropped->end(), prefix) == dropped->end())
      dropped->push_back(prefix);
  };
  // Linux shows its root as one '/', however many were typed.
  if (root > 0)
    note(kvsys::kSeparator == '/' ? "/" : argument.substr(0, root));
  std::string component;
  for (size_t at = root; at <= argument.size(); ++at) {
    if (at < argument.size() && !kvsys::IsArgumentSeparator(argument[at])) {
      component += argument[at];
      continue;
    }
    if (component == "..")
      return "'" + argument + "' goes up through '..', which no entry name "
             "may hold; run create from a folder above it";
    // On Linux '\\' is a character of a name; the archive separates
    // folders with it, so it would split the name into folders.
    if (component.find('\\') != std::string::npos)
      return "'" + argument + "': a name with '\\' cannot be stored";
    if (component == "." && source->components.empty()) note("./");
    if (!component.empty() && component != ".")
      source->components.push_back(component);
    component.clear();
  }
  return "";
}

// Whether the entry names of `inner` are among those `outer` stores: the
// same name, or a name below `outer`'s (a root's contents are named from
// the top, below every name).
bool StoresNamesOf(const Source& outer, const Source& inner) {
  return outer.components.size() <= inner.components.size() &&
         std::equal(outer.components.begin(), outer.components.end(),
                    inner.components.begin());
}

// Names every PATH and refuses, before anything is written, a PATH that
// cannot be named and two PATHs that would store one entry name twice
// (restored, the second would replace the first). Prints one notice for
// the leading parts dropped. Returns kExitOk or the usage error's status.
int NameSources(const std::vector<std::string>& paths,
                std::vector<Source>* sources) {
  std::vector<std::string> dropped;
  sources->resize(paths.size());
  for (size_t i = 0; i < paths.size(); ++i) {
    const std::string problem = NameSource(paths[i], &(*sources)[i], &dropped);
    if (!problem.empty()) return UsageError("create", problem);
  }
  // Sorted by components, a source that stores another's names comes
  // right before one of the sources it overlaps, so neighbours tell.
  std::vector<size_t> order(sources->size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(), [sources](size_t a, size_t b) {
    return (*sources)[a].components < (*sources)[b].components;
  });
  for (size_t k = 1; k < order.size(); ++k) {
    const size_t a = std::min(order[k - 1], order[k]);
    const size_t b = std::max(order[k - 1], order[k]);
    const Source& outer = (*sources)[order[k - 1]];
    const Source& inner = (*sources)[order[k]];
    if (!StoresNamesOf(outer, inner)) continue;
    const std::string name = inner.Name();
    return UsageError(
        "create", "'" + paths[a] + "' and '" + paths[b] +
                      "' would both store " +
                      (name.empty() ? std::string("the same entries")
                                    : "the entry '" + name + "'") +
                      "; give each file or folder once");
  }
  if (!dropped.empty()) {
    std::string list;
    for (const std::string& prefix : dropped)
      list += (list.empty() ? "'" : " and '") + prefix + "'";
    ReportNote("removing leading " + list + " from entry names");
  }
  return kExitOk;
}

// A folder given as ARCHIVE: most often the arguments are swapped
// ("create SOURCE ARCHIVE", the archive not made yet). Either way nothing
// is created, and nothing suggests removing the folder.
int RefuseFolderArchive(const CreateOptions& options) {
  for (const std::string& path : options.paths)
    if (!kvsys::Exists(LocationOf(options, path)))
      return UsageError(
          "create", "ARCHIVE '" + options.archive + "' is a folder and PATH '" +
                        path + "' does not exist: the arguments look swapped "
                        "(usage: kvmorvel create ARCHIVE PATH...)");
  return UsageError("create", "ARCHIVE '" + options.archive +
                                  "' is a folder; name the archive file "
                                  "first (usage: kvmorvel create ARCHIVE "
                                  "PATH...)");
}

// The code the library gives a source that changed while it was read.
const DWORD kSourceChanged = 0x10000205u;

// What OpenSource read of the item it opened.
struct OpenedItem {
  WIN32_FILE_ATTRIBUTE_DATA data;
  DWORD volume = 0;
  ULONGLONG index = 0;
};

// Whether the opened item is the one the walk listed: the same volume and
// file index where the walk knows them, and the same kind.
bool IsListedItem(const kvsys::Item& item, const OpenedItem& opened) {
  if (item.fileIndex != kvsys::kUnknownIndex && item.fileIndex != opened.index)
    return false;
  if (item.volume != kvsys::kUnknownVolume && item.volume != opened.volume)
    return false;
  const DWORD attributes = opened.data.dwFileAttributes;
  const bool link = (attributes & 0x400) != 0;  // a reparse point
  const bool folder = (attributes & 0x10) != 0;
  switch (item.kind) {
    case kvsys::Kind::kLink: return link;
    case kvsys::Kind::kFolder: return folder && !link;
    case kvsys::Kind::kFile: return !folder && !link;
    default: return false;
  }
}

class TreeAdder {
 public:
  TreeAdder(CKvMorvel* archive, const CreateOptions& options,
            const std::string& archivePath)
      : archive_(*archive),
        options_(options),
        archiveFiles_(archivePath, options.version) {}

  // Adds the tree of one PATH argument.
  void AddRoot(const Source& source);

  bool failed() const { return failures_ > 0; }
  unsigned long long linksSkipped() const { return linksSkipped_; }
  // The closing summary, once the archive of `archiveBytes` is written.
  void Finish(uint64_t archiveBytes) {
    totals_.excluded = excluded_;
    totals_.failed = failures_;
    totals_.bytesOut = archiveBytes;
    progress_.Finish("create", totals_);
  }

 private:
  // Where an item is: `leaf` in the folder `parent` holds open, at
  // `path`; a PATH argument has no parent.
  struct Place {
    const kvsys::Folder* parent;
    std::string leaf;
    std::string path;
  };
  void Visit(const Place& place, const std::string& name,
             const kvsys::Listed* listed = nullptr);
  void VisitFolder(const Place& place, const std::string& name,
                   const kvsys::Item& item);
  void AddEntry(const Place& place, const std::string& name,
                const kvsys::Item& item);
  HANDLE OpenListedItem(const Place& place, const kvsys::Item& item,
                        OpenedItem* opened);
  bool ReadSourceDescriptor(HANDLE source, const std::string& path,
                            std::vector<BYTE>* descriptor);
  bool IsArchiveItself(const std::string& path, const kvsys::Item& item);
  bool Excluded(const std::string& name);
  bool ExcludedRoot(const Source& source);
  void Fail(const std::string& path, const char* action,
            const std::string& message);

  CKvMorvel& archive_;
  const CreateOptions& options_;
  ArchiveFiles archiveFiles_;
  Progress progress_;
  RunTotals totals_;
  unsigned long long failures_ = 0;
  unsigned long long linksSkipped_ = 0;
  uint64_t excluded_ = 0;
};

void TreeAdder::Fail(const std::string& path, const char* action,
                     const std::string& message) {
  ReportNote(path + ": " + action + ": " + message);
  ++failures_;
}

// Whether --exclude leaves out the entry stored as `name`: a pattern
// matches the whole name or its last component. Counted for the summary.
// (A name that is not UTF-8 is matched by nothing; it is refused when
// stored.)
bool TreeAdder::Excluded(const std::string& name) {
  std::u16string wide;
  if (options_.excludes.empty() || !Utf8ToUtf16(name, &wide) ||
      !options_.excludes.Excludes(wide))
    return false;
  ++excluded_;
  return true;
}

// Whether a PATH argument is left out: when its name or a folder above it
// is excluded, that is when the walk from its top folder would have left
// it out (--exclude docs/sub leaves out PATH docs/sub/a.txt too).
bool TreeAdder::ExcludedRoot(const Source& source) {
  std::string name;
  for (const std::string& component : source.components) {
    name += (name.empty() ? "" : "\\") + component;
    if (Excluded(name)) return true;
  }
  return false;
}

void TreeAdder::AddRoot(const Source& source) {
  if (ExcludedRoot(source)) return;
  archiveFiles_.FindNewParts();
  // Read where the PATH's folder resolves to (kvsys::ResolveRoot), its
  // last component kept so that a link is stored as a link; named as the
  // PATH was given.
  std::string path, base, message;
  kvsys::Item item;
  if (!kvsys::ResolveRoot(source.location, &path, &base, &message) ||
      !kvsys::ReadItem(path, &item, &message)) {
    Fail(source.location, "cannot read", message);
    return;
  }
  const std::string name = source.Name();
  if (name.empty()) {
    // PATH "/" or ".": its contents are named from the top; the folder
    // itself has no name to be stored under.
    VisitFolder(Place{nullptr, "", path}, "", item);
    return;
  }
  Visit(Place{nullptr, "", path}, name);
}

// True, with a note, for the archive's main file or a part of it. A
// source whose identity cannot be read is reported as a failure and left
// out too: it cannot be shown not to be the archive.
bool TreeAdder::IsArchiveItself(const std::string& path,
                                const kvsys::Item& item) {
  if (!archiveFiles_.MayHold(item.fileIndex)) return false;
  kvwin::FileIdentity identity;
  DWORD error = 0;
  if (!IdentityOf(path, &identity, &error)) {
    ReportFailure(path + ": cannot tell it from the archive", error);
    ++failures_;
    return true;
  }
  if (!archiveFiles_.Holds(identity)) return false;
  ReportNote(path + ": the archive itself is not added");
  return true;
}

// The listing's type and file index spare a look at each child; a child
// the listing does not type, a folder (a listing gives a mount point's
// index in the folder holding it, not the mounted folder's) and a PATH
// argument are looked at.
void TreeAdder::Visit(const Place& place, const std::string& name,
                      const kvsys::Listed* listed) {
  if (Interrupted()) return;
  kvsys::Item item;
  std::string message;
  const bool look = !listed || !listed->typed ||
                    listed->item.kind == kvsys::Kind::kFolder;
  if (!look) {
    item = listed->item;
  } else if (!(place.parent
                   ? place.parent->ReadChild(place.leaf, &item, &message)
                   : kvsys::ReadItem(place.path, &item, &message))) {
    Fail(place.path, "cannot read", message);
    return;
  }
  if (item.kind == kvsys::Kind::kFolder) {
    if (options_.version != 1) AddEntry(place, name, item);
    VisitFolder(place, name, item);
  } else if (item.kind == kvsys::Kind::kLink) {
    if (options_.version == 1) ++linksSkipped_;
    else AddEntry(place, name, item);
  } else if (item.kind == kvsys::Kind::kFile) {
    if (!IsArchiveItself(place.path, item)) AddEntry(place, name, item);
  } else {
    ReportNote(place.path + ": not a file, folder or link; skipped");
  }
}

void TreeAdder::VisitFolder(const Place& place, const std::string& name,
                            const kvsys::Item& item) {
  kvsys::Folder folder;
  std::vector<kvsys::Listed> children;
  std::string message;
  if (!folder.Open(place.parent, place.leaf, place.path, item, &message)) {
    Fail(place.path, "cannot list", message);
    return;
  }
  const bool listed = folder.List(&children, &message);
  if (!listed && children.empty()) {
    Fail(place.path, "cannot list", message);
    return;
  }
  archiveFiles_.FindNewParts();
  if (!listed) Fail(place.path, "cannot list", message);
  // A stable order makes two archives of one tree alike.
  std::sort(children.begin(), children.end(),
            [](const kvsys::Listed& a, const kvsys::Listed& b) {
              return a.name < b.name;
            });
  // An excluded child is not looked at: an excluded folder is not
  // descended into, so nothing below it can fail the run.
  for (const kvsys::Listed& child : children) {
    if (Interrupted()) return;
    const std::string childName =
        name.empty() ? child.name : name + "\\" + child.name;
    if (Excluded(childName)) continue;
    Visit(Place{&folder, child.name, kvsys::Join(place.path, child.name)},
          childName, &child);
  }
}

// The descriptor of the opened item, read through its handle. A failed
// read still lets the entry be kept; the run reports the loss.
bool TreeAdder::ReadSourceDescriptor(HANDLE source, const std::string& path,
                                     std::vector<BYTE>* descriptor) {
  DWORD error = 0;
  const bool read = kvwin::ReadDescriptor(
      [source](BYTE* buffer, DWORD capacity, DWORD* needed) {
        CKvMorvelHost::ClearSystemError();
        const BOOL ok =
            CKvMorvelHost::GetSourceDescriptor(source, buffer, capacity, needed);
        return ok ? DWORD(0) : CKvMorvelHost::GetSystemError();
      },
      descriptor, &error);
  if (!read) {
    ReportFailure(path + ": stored without its security descriptor", error);
    ++failures_;
  }
  return read;
}

// The item opened once, a link as itself, when it is the one the walk
// listed: something put in its place since (a link to another user's
// file, say, or a folder above it swapped for a link) is never read. A
// file the listing names by another index (a file mounted over) is taken
// when it is what its folder holds now. Null, reported, otherwise.
HANDLE TreeAdder::OpenListedItem(const Place& place, const kvsys::Item& item,
                                 OpenedItem* opened) {
  std::u16string widePath;
  Utf8ToUtf16(place.path, &widePath);
  CKvMorvelHost::ClearSystemError();
  HANDLE source = CKvMorvelHost::OpenSource(
      reinterpret_cast<LPCWSTR>(widePath.c_str()), &opened->data,
      &opened->volume, &opened->index);
  if (!source) {
    ReportFailure(place.path, CKvMorvelHost::GetSystemError());
    ++failures_;
    return nullptr;
  }
  kvsys::Item now;
  std::string ignored;
  if (IsListedItem(item, *opened) ||
      (place.parent && place.parent->ReadChild(place.leaf, &now, &ignored) &&
       now.kind == item.kind && IsListedItem(now, *opened)))
    return source;
  CKvMorvelHost::CloseSource(source);
  ReportFailure(place.path, kSourceChanged);
  ++failures_;
  return nullptr;
}

void TreeAdder::AddEntry(const Place& place, const std::string& name,
                         const kvsys::Item& item) {
  const std::string& path = place.path;
  std::u16string widePath, wideName;
  if (!Utf8ToUtf16(path, &widePath) || !Utf8ToUtf16(name, &wideName)) {
    ReportFailure(path + ": the name is not valid UTF-8", 123);
    ++failures_;
    return;
  }
  // The archive separates folders with '\': a '\' inside a Linux name
  // would split it into folders that do not exist. (On Windows it is the
  // separator, and no name holds one.)
  const size_t lastSlash = path.rfind(kvsys::kSeparator);
  if (path.find('\\', lastSlash + 1) != std::string::npos) {
    ReportFailure(path + ": a name with '\\' cannot be stored", 123);
    ++failures_;
    return;
  }
  OpenedItem opened;
  HANDLE source = OpenListedItem(place, item, &opened);
  if (!source) return;
  WIN32_FILE_ATTRIBUTE_DATA& data = opened.data;
  std::vector<BYTE> descriptor;
  if (options_.version != 1) ReadSourceDescriptor(source, path, &descriptor);
  const DWORD before = archive_.GetErrorCode();
  CKvMorvelHost::ClearSystemError();
  const BOOL added = archive_.AddOpenedFile(
      source, reinterpret_cast<LPCWSTR>(wideName.c_str()), &data,
      descriptor.empty() ? nullptr : descriptor.data(),
      static_cast<DWORD>(descriptor.size()));
  if (!added) {
    const DWORD code = FailureCode(archive_, before);
    CKvMorvelHost::CloseSource(source);
    if (code == kCancelled) {
      ReportNote(path + ": interrupted; not stored");
      return;
    }
    ReportFailure(path, code);
    ++failures_;
    return;
  }
  CKvMorvelHost::CloseSource(source);
  const bool folder = (data.dwFileAttributes & 0x10) != 0;
  const uint64_t size = folder ? 0
                               : (static_cast<uint64_t>(data.nFileSizeHigh)
                                  << 32) | data.nFileSizeLow;
  ++totals_.entries;
  totals_.bytesIn += size;
  progress_.Step(size, DisplayName(wideName));
}

// Refuses to overwrite an archive, or the first part file of a version 5
// archive, that is already there, unless asked to append.
bool MayWrite(const CreateOptions& options, const std::string& archive) {
  if (options.append) return true;
  if (kvsys::Exists(archive)) {
    ReportNote(options.archive + " exists; remove it or use --append");
    return false;
  }
  if (options.version == 5) {
    const std::string part1 = PartName(archive, 1);
    if (kvsys::Exists(part1)) {
      ReportNote(part1 + " exists and would be overwritten; remove it first");
      return false;
    }
  }
  return true;
}

// The folder part of `path`, its last separator included.
std::string FolderOf(const std::string& path) {
  const char* separators = kvsys::kSeparator == '/' ? "/" : "\\/";
  const size_t last = path.find_last_of(separators);
  return last == std::string::npos ? std::string() : path.substr(0, last + 1);
}

// A version 5 part file is named by putting its number before the last
// "." of the whole path, as the library does; for an archive name without
// an extension whose folder holds a ".", that lands in another folder
// ("/x.y/arc" makes "/x_0001.y/arc"). Such a name is refused before
// anything is created.
bool PartsStayBeside(const CreateOptions& options, const std::string& archive) {
  if (options.version != 5) return true;
  const std::string part1 = PartName(archive, 1);
  if (part1.empty() || FolderOf(part1) == FolderOf(archive)) return true;
  ReportNote(options.archive + ": its part files would be made in another "
             "folder (" + part1 + "); give the archive a name with an "
             "extension, such as " + options.archive + ".kvm");
  return false;
}

}  // namespace

int RunCreate(const Args& args) {
  CreateOptions options;
  bool help = false;
  const int parsed = ParseCreate(args, &options, &help);
  if (help) {
    fputs(kHelp, stdout);
    return kExitOk;
  }
  if (parsed != kExitOk) return parsed;
  SetJsonOutput(options.json);

  const std::string archivePath = AbsolutePath(options.archive);
  if (kvsys::IsFolder(archivePath)) return RefuseFolderArchive(options);
  std::vector<Source> sources;
  const int named = NameSources(options.paths, &sources);
  if (named != kExitOk) return named;
  for (Source& source : sources)
    source.location = LocationOf(options, source.argument);
  std::u16string wideArchive;
  if (!Utf8ToUtf16(archivePath, &wideArchive))
    return UsageError("create", "the archive name is not valid UTF-8");
  if (!PartsStayBeside(options, archivePath) ||
      !MayWrite(options, archivePath))
    return kExitUsage;

  CKvMorvel archive;
  if (options.levelGiven) archive.SetCompressionLevel(options.level);
  if (options.splitGiven) archive.SetSplitSize(options.splitSize);
  if (!archive.Open(reinterpret_cast<LPCWSTR>(wideArchive.c_str()), FALSE,
                    options.version)) {
    ReportOpenFailure(options.archive, archive.GetErrorCode());
    return kExitUsage;
  }
  const CancelOnInterrupt cancel(&archive);
  // The manifest beside the archive: each file's SHA-256 as it is read,
  // and the archive files' at Close. A run that does not finish leaves it
  // marked incomplete.
  bool failed = false;
  if (!archive.BeginManifest()) {
    ReportFailure("cannot write the manifest beside " + options.archive,
                  archive.GetErrorCode());
    failed = true;
  }
  TreeAdder adder(&archive, options, archivePath);
  for (const Source& source : sources) {
    if (Interrupted()) break;
    adder.AddRoot(source);
  }
  failed = failed || adder.failed();
  if (Interrupted()) archive.LeaveManifestIncomplete();
  if (!archive.Close()) {
    ReportFailure("cannot finish " + options.archive, archive.GetErrorCode());
    failed = true;
  }
  if (adder.linksSkipped() > 0)
    ReportNote("version 1 holds no links: " +
               std::to_string(adder.linksSkipped()) + " left out");
  adder.Finish(ArchiveBytes(archivePath, options.version));
  if (Interrupted()) return kExitInterrupted;
  return failed ? kExitFailed : kExitOk;
}
