// SPDX-License-Identifier: GPL-2.0-or-later
// A tree with the kinds of items a backup meets, and a snapshot of
// everything the layer reports about each item, to compare a restored
// tree with its source.
#ifndef KVMORVEL_TESTS_TOOL_SAMPLE_TREE_H
#define KVMORVEL_TESTS_TOOL_SAMPLE_TREE_H

#include <map>
#include <string>
#include <vector>

#include "KvMorvelTypes.h"

// One item as the layer and POSIX see it.
struct ItemState {
  char kind = '?';  // 'f' file, 'd' folder, 'l' symbolic link
  DWORD attributes = 0;
  unsigned long long creation = 0, lastAccess = 0, lastWrite = 0;
  unsigned long long size = 0;
  std::string shortName;
  std::vector<unsigned char> descriptor;
  unsigned mode = 0;     // permission bits
  std::string payload;   // file content or link target
  std::string resolved;  // a link: where it leads, fully resolved
  std::string within;    // a link into the snapshot's tree: where, relative
                         // to its root ("." the root; empty when outside)
};

// Relative path ("" for the root, "sub/inner.txt") to state.
typedef std::map<std::string, ItemState> TreeState;

// Names of the sample tree that tests look at directly.
extern const char kHiddenFile[];
extern const char kReadOnlyFile[];
extern const char kExecutable[];
extern const char kShortNamedFile[];
extern const char kShortName[];
extern const char kNonAsciiFile[];   // UTF-8
extern const char kNonAsciiFolder[]; // UTF-8
extern const char kFolderLink[];
extern const char kFileLink[];
extern const char kExactMiB[];

// Makes `root` (which must not exist) with empty, small, 1 MiB, 1 MiB + 1
// and multi-MiB files, nested and empty folders, non-ASCII names, a link
// to a folder and one to a file, hidden, read-only and executable files
// and a file with a short name. Every file and folder gets its own three
// times (the last access in the future, so reading does not move it);
// folders get theirs last, once their contents are in.
void BuildSampleTree(const std::string& root);

// Snapshot of `root` and everything below it.
TreeState Snapshot(const std::string& root);

// The FILETIME given to the item of `index` (for each kind of time).
unsigned long long SampleTime(int kind, int index);

#endif  // KVMORVEL_TESTS_TOOL_SAMPLE_TREE_H
