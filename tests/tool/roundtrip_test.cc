// SPDX-License-Identifier: GPL-2.0-or-later
// A tree through `kvmorvel create` and `kvmorvel extract` (and through
// `mkimage`) comes back as it was.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>
#include <gtest/gtest.h>

#include "support/test_support.h"
#include "tool/sample_tree.h"
#include "tool/tool_runner.h"

namespace {

enum Depth {
  kEverything,   // versions 2 and 5: every item and all metadata
  kFilesOnly,    // version 1: file contents, attributes, times, short names
};

void ExpectSameFileOrFolder(const ItemState& want, const ItemState& got,
                            Depth depth) {
  EXPECT_EQ(want.attributes, got.attributes);
  EXPECT_EQ(want.creation, got.creation);
  EXPECT_EQ(want.lastAccess, got.lastAccess);
  EXPECT_EQ(want.lastWrite, got.lastWrite);
  EXPECT_EQ(want.shortName, got.shortName);
  if (want.kind == 'f') {
    EXPECT_EQ(want.size, got.size);
    EXPECT_TRUE(want.payload == got.payload) << "content differs";
  }
  if (depth != kFilesOnly) {
    EXPECT_EQ(want.mode, got.mode) << std::oct << want.mode << " " << got.mode;
    EXPECT_EQ(want.descriptor, got.descriptor);
  }
}

// Compares every item of `want` with `got`; `skipRoot` leaves the top
// folder out (an image's root is not an entry of its own).
void ExpectSameTree(const TreeState& want, const TreeState& got, Depth depth,
                    bool skipRoot = false) {
  for (const auto& item : want) {
    if (skipRoot && item.first.empty()) continue;
    const ItemState& source = item.second;
    if (depth == kFilesOnly && source.kind != 'f') continue;
    SCOPED_TRACE("item '" + item.first + "'");
    auto found = got.find(item.first);
    ASSERT_TRUE(found != got.end()) << "not restored";
    const ItemState& restored = found->second;
    ASSERT_EQ(source.kind, restored.kind);
    if (source.kind == 'l') {
      // A link keeps its target text, relative or not, and a relative one
      // leads to the same item of the restored tree, never back into the
      // source (nor, from an image, into the mount's folder).
      EXPECT_EQ(source.payload, restored.payload) << "link target";
      EXPECT_NE("", restored.resolved) << "dangling link";
      EXPECT_EQ(source.within, restored.within) << "link leads elsewhere";
      EXPECT_EQ(source.attributes, restored.attributes);
    } else {
      ExpectSameFileOrFolder(source, restored, depth);
    }
  }
  if (depth == kFilesOnly) return;
  for (const auto& item : got) {
    if (skipRoot && item.first.empty()) continue;
    EXPECT_TRUE(want.count(item.first)) << "extra item " << item.first;
  }
}

int CountParts(const std::string& folder, const std::string& stem) {
  int parts = 0;
  DIR* dir = opendir(folder.c_str());
  while (struct dirent* entry = dir ? readdir(dir) : nullptr)
    if (std::string(entry->d_name).compare(0, stem.size() + 1, stem + "_") == 0)
      ++parts;
  if (dir) closedir(dir);
  return parts;
}

class ToolRoundTrip : public ::testing::Test {
 protected:
  void SetUp() override {
    BuildSampleTree(tree_);
    before_ = Snapshot(tree_);
  }

  // create then extract with `createFlags`; both must succeed, and say
  // nothing but `createNote`.
  void RoundTrip(const std::vector<std::string>& createFlags,
                 const Environment& env = {},
                 const std::string& createNote = "") {
    std::vector<std::string> args = {"create"};
    args.insert(args.end(), createFlags.begin(), createFlags.end());
    args.push_back(archive_);
    args.push_back("tree");  // entries named tree\..., as given
    const ToolResult created = RunTool(args, env, source_.path());
    ASSERT_EQ(0, created.status) << created.err;
    EXPECT_EQ(createNote, created.err);  // no progress line off a terminal
    const ToolResult restored = RunTool({"extract", archive_, restore_}, env);
    ASSERT_EQ(0, restored.status) << restored.err;
    EXPECT_EQ("", restored.err);
  }

  TempDir source_;
  TempDir work_;
  std::string tree_ = source_ / "tree";
  std::string archive_ = work_ / "backup.kvm";
  std::string restore_ = work_ / "restore";
  TreeState before_;
};

TEST_F(ToolRoundTrip, Version5SplitOverPartsRestoresEverything) {
  RoundTrip({"--split-size", "1M"});
  // About 6.5 MiB of data, partly incompressible, over 1 MiB parts.
  EXPECT_GE(CountParts(work_.path(), "backup"), 3);
  ExpectSameTree(before_, Snapshot(restore_ + "/tree"), kEverything);
}

TEST_F(ToolRoundTrip, Version2RestoresEverything) {
  RoundTrip({"-V", "2", "--level", "2"});
  ExpectSameTree(before_, Snapshot(restore_ + "/tree"), kEverything);
}

TEST_F(ToolRoundTrip, Version1RestoresFilesWithoutLinksOrEmptyFolders) {
  // Version 1 keeps local times: a fixed zone makes them comparable.
  RoundTrip({"-V", "1", "--level", "-1"}, {{"TZ", "UTC0"}},
            "kvmorvel: version 1 holds no links: 2 left out\n");
  const TreeState after = Snapshot(restore_ + "/tree");
  ExpectSameTree(before_, after, kFilesOnly);
  EXPECT_EQ(0u, after.count(kFolderLink));
  EXPECT_EQ(0u, after.count(kFileLink));
  EXPECT_EQ(0u, after.count("sub/empty"));
}

TEST_F(ToolRoundTrip, ImageMadeByMkimageRestoresEverything) {
  DosDevices drives;  // the mount takes a letter in a private folder
  const std::string image = work_ / "tree.img";
  const ToolResult made = RunTool({"mkimage", tree_, image});
  ASSERT_EQ(0, made.status) << made.err;
  // The library loads the mount library from the current folder; from a
  // folder without one, the command uses the one beside it.
  const ToolResult listed =
      RunTool({"list", image}, {}, work_.path());
  ASSERT_EQ(0, listed.status) << listed.err;
  // Every item but the root is an entry.
  EXPECT_EQ(before_.size() - 1, Lines(listed.out).size()) << listed.out;
  const ToolResult restored =
      RunTool({"extract", "tree.img", "restore"}, {}, work_.path());
  ASSERT_EQ(0, restored.status) << restored.err;
  ExpectSameTree(before_, Snapshot(restore_), kEverything, true);
}

}  // namespace

namespace {

// A relative link leaving the restored tree comes back as that same link,
// and a later restore over it never writes where it leads.
TEST(ToolLinks, LinkLeavingTheTreeIsRestoredButNeverWrittenThrough) {
  TempDir work;
  const std::string victim = work / "victim";
  ASSERT_EQ(0, mkdir(victim.c_str(), 0755));
  ASSERT_EQ(0, mkdir((work / "a").c_str(), 0755));
  ASSERT_EQ(0, mkdir((work / "a/tree").c_str(), 0755));
  ASSERT_EQ(0, mkdir((work / "a/tree/esc").c_str(), 0755));
  WriteBytes(work / "a/tree/esc/f", "written");
  ASSERT_EQ(0, mkdir((work / "b").c_str(), 0755));
  ASSERT_EQ(0, mkdir((work / "b/tree").c_str(), 0755));
  ASSERT_EQ(0, symlink("../../victim", (work / "b/tree/esc").c_str()));
  for (const char* name : {"a", "b"}) {
    const ToolResult made = RunTool(
        {"create", work / (std::string(name) + ".kvm"), "tree"}, {}, work / name);
    ASSERT_EQ(0, made.status) << made.err;
  }
  const std::string restore = work / "restore";
  ASSERT_EQ(0, RunTool({"extract", work / "b.kvm", restore}).status);
  char text[256];
  const ssize_t n = readlink((restore + "/tree/esc").c_str(), text, sizeof text);
  ASSERT_GT(n, 0);
  EXPECT_EQ("../../victim", std::string(text, static_cast<size_t>(n)));
  // The folder and its file of the other archive land on the link's path.
  RunTool({"extract", work / "a.kvm", restore});
  DIR* dir = opendir(victim.c_str());
  ASSERT_NE(nullptr, dir);
  int entries = 0;
  while (struct dirent* entry = readdir(dir))
    if (std::string(entry->d_name) != "." && std::string(entry->d_name) != "..")
      ++entries;
  closedir(dir);
  EXPECT_EQ(0, entries) << "written through the link";
}

}  // namespace
