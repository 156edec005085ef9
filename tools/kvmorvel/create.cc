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
#include "progress.h"
#include "reader.h"
#include "system.h"
#include "text.h"
#include "win_layer.h"

namespace {

const char kHelp[] =
    "usage: kvmorvel create [-V 1|2|5] [--level -1|0|1|2]\n"
    "                       [--split-size BYTES] [--append] ARCHIVE PATH...\n"
    "\n"
    "Adds each PATH and everything below it to ARCHIVE, a folder before its\n"
    "contents. Entries are named from the PATH's parent folder on, joined\n"
    "with '\\' (PATH /data/docs gives docs, docs\\a.txt, docs\\sub, ...).\n"
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
  long level = 0;
  bool levelGiven = false;
  uint64_t splitSize = 0;
  bool splitGiven = false;
  bool append = false;
  std::string archive;
  std::vector<std::string> paths;
};

int ParseCreate(const Args& args, CreateOptions* options, bool* help) {
  ArgReader reader(args);
  std::vector<std::string> positional;
  while (reader.Next()) {
    std::string value;
    bool missing = false;
    if (reader.Is("--help") || reader.Is("-h")) {
      *help = true;
      return kExitOk;
    }
    if (reader.Is("--append")) {
      options->append = true;
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
  if (positional.size() < 2)
    return UsageError("create", "an ARCHIVE and at least one PATH are needed");
  options->archive = positional[0];
  options->paths.assign(positional.begin() + 1, positional.end());
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

// Where a PATH argument is and what its entries are named after.
struct Root {
  std::string path;  // absolute, not resolved at its last component
  std::string base;  // its last component; empty for "/"
};

// The PATH's folder is resolved, its last component kept
// (kvsys::ResolveRoot).
bool ResolveRoot(const std::string& argument, Root* root,
                 std::string* message) {
  return kvsys::ResolveRoot(argument, &root->path, &root->base, message);
}

class TreeAdder {
 public:
  TreeAdder(CKvMorvel* archive, const CreateOptions& options,
            const std::string& archivePath)
      : archive_(*archive),
        options_(options),
        archiveFiles_(archivePath, options.version) {}

  // Adds the tree of one PATH argument.
  void AddRoot(const std::string& argument);

  bool failed() const { return failures_ > 0; }
  unsigned long long linksSkipped() const { return linksSkipped_; }
  // The closing summary, once the archive of `archiveBytes` is written.
  void Finish(uint64_t archiveBytes) {
    totals_.failed = failures_;
    totals_.bytesOut = archiveBytes;
    progress_.Finish("create", totals_);
  }

 private:
  void Visit(const std::string& path, const std::string& name,
             const kvsys::Listed* listed = nullptr);
  void VisitFolder(const std::string& path, const std::string& name);
  void AddEntry(const std::string& path, const std::string& name);
  bool IsArchiveItself(const std::string& path, const kvsys::Item& item);
  void Fail(const std::string& path, const char* action,
            const std::string& message);

  CKvMorvel& archive_;
  const CreateOptions& options_;
  ArchiveFiles archiveFiles_;
  Progress progress_;
  RunTotals totals_;
  unsigned long long failures_ = 0;
  unsigned long long linksSkipped_ = 0;
};

void TreeAdder::Fail(const std::string& path, const char* action,
                     const std::string& message) {
  ClearProgressLine();
  fprintf(stderr, "kvmorvel: %s: %s: %s\n", path.c_str(), action,
          message.c_str());
  ++failures_;
}

void TreeAdder::AddRoot(const std::string& argument) {
  archiveFiles_.FindNewParts();
  Root root;
  kvsys::Item item;
  std::string message;
  if (!ResolveRoot(argument, &root, &message) ||
      !kvsys::ReadItem(root.path, &item, &message)) {
    Fail(argument, "cannot read", message);
    return;
  }
  if (root.base.empty()) {
    // PATH "/" (or "C:"): its contents are named from the root on; the
    // root itself has no name to be stored under.
    VisitFolder(root.path, "");
    return;
  }
  Visit(root.path, root.base);
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
// the listing does not type, and a PATH argument, are looked at.
void TreeAdder::Visit(const std::string& path, const std::string& name,
                      const kvsys::Listed* listed) {
  if (Interrupted()) return;
  kvsys::Item item;
  std::string message;
  if (listed && listed->typed) {
    item = listed->item;
  } else if (!kvsys::ReadItem(path, &item, &message)) {
    Fail(path, "cannot read", message);
    return;
  }
  if (item.kind == kvsys::Kind::kFolder) {
    if (options_.version != 1) AddEntry(path, name);
    VisitFolder(path, name);
  } else if (item.kind == kvsys::Kind::kLink) {
    if (options_.version == 1) ++linksSkipped_;
    else AddEntry(path, name);
  } else if (item.kind == kvsys::Kind::kFile) {
    if (!IsArchiveItself(path, item)) AddEntry(path, name);
  } else {
    ReportNote(path + ": not a file, folder or link; skipped");
  }
}

void TreeAdder::VisitFolder(const std::string& path, const std::string& name) {
  std::vector<kvsys::Listed> children;
  std::string message;
  const bool listed = kvsys::ListFolder(path, &children, &message);
  if (!listed && children.empty()) {
    Fail(path, "cannot list", message);
    return;
  }
  archiveFiles_.FindNewParts();
  if (!listed) Fail(path, "cannot list", message);
  // A stable order makes two archives of one tree alike.
  std::sort(children.begin(), children.end(),
            [](const kvsys::Listed& a, const kvsys::Listed& b) {
              return a.name < b.name;
            });
  for (const kvsys::Listed& child : children) {
    if (Interrupted()) return;
    Visit(kvsys::Join(path, child.name),
          name.empty() ? child.name : name + "\\" + child.name, &child);
  }
}

void TreeAdder::AddEntry(const std::string& path, const std::string& name) {
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
  WIN32_FILE_ATTRIBUTE_DATA data;
  DWORD error = 0;
  if (!kvwin::GetAttributeData(widePath, &data, &error)) {
    ReportFailure(path, error);
    ++failures_;
    return;
  }
  std::vector<BYTE> descriptor;
  if (options_.version != 1 &&
      !kvwin::GetSecurityDescriptor(widePath, &descriptor, &error)) {
    // The entry is still worth keeping; the run reports the loss.
    ReportFailure(path + ": stored without its security descriptor", error);
    ++failures_;
  }
  const DWORD before = archive_.GetErrorCode();
  CKvMorvelHost::ClearSystemError();
  if (!archive_.AddFile(reinterpret_cast<LPCWSTR>(widePath.c_str()),
                        reinterpret_cast<LPCWSTR>(wideName.c_str()), &data,
                        descriptor.empty() ? nullptr : descriptor.data(),
                        static_cast<DWORD>(descriptor.size()))) {
    ReportFailure(path, FailureCode(archive_, before));
    ++failures_;
    return;
  }
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

  const std::string archivePath = AbsolutePath(options.archive);
  std::u16string wideArchive;
  if (!Utf8ToUtf16(archivePath, &wideArchive))
    return UsageError("create", "the archive name is not valid UTF-8");
  if (!MayWrite(options, archivePath)) return kExitUsage;

  CKvMorvel archive;
  if (options.levelGiven) archive.SetCompressionLevel(options.level);
  if (options.splitGiven) archive.SetSplitSize(options.splitSize);
  if (!archive.Open(reinterpret_cast<LPCWSTR>(wideArchive.c_str()), FALSE,
                    options.version)) {
    ReportOpenFailure(options.archive, archive.GetErrorCode());
    return kExitUsage;
  }
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
  for (const std::string& path : options.paths) {
    if (Interrupted()) break;
    adder.AddRoot(path);
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
