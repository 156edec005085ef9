// SPDX-License-Identifier: GPL-2.0-or-later
// What the command needs of the system it runs on. Each system has its
// own small files: walk_posix.cc, console_posix.cc and entry_posix.cc on
// Linux; walk_windows.cc, console_windows.cc and entry_windows.cc on
// Windows. Paths are UTF-8 in the system's own form ("/a/b" or "C:\a\b").
#ifndef KVMORVEL_TOOL_SYSTEM_H
#define KVMORVEL_TOOL_SYSTEM_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace kvsys {

// The separator of the system's paths.
extern const char kSeparator;

// What an item is, its final link not followed.
enum class Kind { kFolder, kLink, kFile, kOther };
struct Item {
  Kind kind = Kind::kOther;
  // The file index GetFileInformationByHandle would report (the inode on
  // Linux), or kUnknownIndex where reading it would cost an open.
  uint64_t fileIndex = 0;
  // The volume serial number GetFileInformationByHandle would report, or
  // kUnknownVolume where the walk does not know it.
  uint64_t volume = ~0ull;
  // The last-write time as a FILETIME value (100 ns units since 1601,
  // UTC), as an archive keeps it; 0 where the walk does not know it
  // (ReadItem always does).
  uint64_t lastWrite = 0;
};
const uint64_t kUnknownIndex = ~0ull;
const uint64_t kUnknownVolume = ~0ull;

// false with the system's message when the item cannot be read.
bool ReadItem(const std::string& path, Item* item, std::string* message);
// What a folder listing tells of a child: its name and, when `typed`, what
// it is, so the walk need not look at it again.
struct Listed {
  std::string name;
  bool typed = false;
  Item item;
};

// A folder held open while the walk is in it. On Linux its children are
// looked at, listed and opened relative to its descriptor, so a folder
// above it that is moved or swapped for a link meanwhile changes nothing
// the walk reads; on Windows the folder is listed through its handle.
class Folder {
 public:
  Folder() = default;
  ~Folder();
  Folder(const Folder&) = delete;
  Folder& operator=(const Folder&) = delete;

  // Opens the folder `item` describes: `leaf` in `parent`, or the PATH
  // argument at `path` when `parent` is null. Never through a link at its
  // end, and only the folder the walk saw (its volume and file index
  // where known); false with a message otherwise.
  bool Open(const Folder* parent, const std::string& leaf,
            const std::string& path, const Item& item, std::string* message);
  // The children, "." and ".." left out; false with a message when the
  // listing fails (the children read before stay in `children`).
  bool List(std::vector<Listed>* children, std::string* message) const;
  // What the child `leaf` is now, its final link not followed, with its
  // volume and file index.
  bool ReadChild(const std::string& leaf, Item* item,
                 std::string* message) const;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  // Linux: the folder's descriptor; Windows: its HANDLE. -1 when closed.
  intptr_t handle_ = -1;
  uint64_t volume_ = ~0ull;  // the volume serial number of the folder
};

// `folder` joined with a name in it.
std::string Join(const std::string& folder, const std::string& name);
// Whether anything, a dangling link too, is at `path`.
bool Exists(const std::string& path);
// The file at `path` opened for reading in binary mode (fopen "rb",
// whatever characters the name holds); null when it cannot be.
FILE* OpenFileForReading(const std::string& path);
// Makes the folder and its missing parents (mkdir -p); false with a
// message when it cannot, or when `path` is not a folder.
bool MakeFolders(const std::string& path, std::string* message);
// Whether a folder is at `path`, a final link followed.
bool IsFolder(const std::string& path);
// The characters that root a PATH argument, left out of its entry names:
// its leading '/'s on Linux; on Windows a drive ("C:\", "C:"), a share
// ("\\server\share\") or leading separators. 0 for a relative path.
size_t RootPrefixLength(const std::string& argument);
// Whether `c` separates the folders of a PATH argument: '/' on Linux,
// '\' and '/' on Windows.
bool IsArgumentSeparator(char c);
// Where a PATH argument is: `path`, absolute, with its folder resolved
// ("." and ".." and links on the way settled) and its last component kept
// (a PATH that is a link is stored as a link); `name`, that last
// component, empty for the root of a file system. false with a message
// when the folder cannot be resolved.
bool ResolveRoot(const std::string& argument, std::string* path,
                 std::string* name, std::string* message);

// Standard input and output carry bytes as they are (Windows would
// otherwise turn "\n" into "\r\n" and stop reading at Ctrl-Z).
void UseBinaryStandardStreams();

// The console: whether standard error is one, and its width in columns.
bool ErrorIsConsole();
unsigned ConsoleWidth(unsigned fallback);
// Seconds of a monotonic clock.
double MonotonicSeconds();

}  // namespace kvsys

// The command line, UTF-8 arguments after the program's name (main.cc).
int RunCommand(const std::vector<std::string>& arguments);

#endif  // KVMORVEL_TOOL_SYSTEM_H
