// SPDX-License-Identifier: GPL-2.0-or-later
// kvmorvel diff: an archive against a folder, each difference named once,
// for every archive version, with and without the manifest.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <gtest/gtest.h>

#include <cstdio>

#include "KvMorvel.h"
#include "kvwin32.h"
#include "support/test_support.h"
#include "tool/sample_tree.h"
#include "tool/tool_runner.h"

namespace {

// A zone away from UTC: version 1 keeps local times, and its restore and
// diff must agree on them in any zone.
const Environment kZone = {{"TZ", "EST5"}};

// The FILETIME of a stat time (100 ns ticks since 1601).
unsigned long long FileTimeOf(const struct timespec& time) {
  return (static_cast<unsigned long long>(time.tv_sec) + 11644473600ULL) *
             10000000ULL +
         static_cast<unsigned long long>(time.tv_nsec) / 100;
}

struct timespec LastWrite(const std::string& path) {
  struct stat info;
  EXPECT_EQ(0, lstat(path.c_str(), &info)) << path;
  return info.st_mtim;
}

// Sets the last write (and access) time of `path` to `time`.
void SetLastWrite(const std::string& path, const struct timespec& time) {
  const struct timespec times[2] = {time, time};
  ASSERT_EQ(0, utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW))
      << path;
}

// Flips one byte in the middle of `path`; its size and last write time
// stay as they were.
void ChangeOneByte(const std::string& path) {
  const struct timespec written = LastWrite(path);
  std::string bytes = ReadBytes(path);
  ASSERT_FALSE(bytes.empty());
  bytes[bytes.size() / 2] ^= 0x5A;
  WriteBytes(path, bytes);
  SetLastWrite(path, written);
}

DWORD AttributesOf(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  EXPECT_TRUE(GetFileAttributesExW(P(W(path)), GetFileExInfoStandard, &data))
      << path;
  return data.dwFileAttributes;
}

class ToolDiff : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    BuildSampleTree(source_ / "tree");
    const std::string version = std::to_string(GetParam());
    const ToolResult created =
        RunTool({"create", "-V", version, archive_, "tree"}, kZone, source_.path());
    ASSERT_EQ(0, created.status) << created.err;
    const ToolResult restored = RunTool({"extract", archive_, restore_}, kZone);
    ASSERT_EQ(0, restored.status) << restored.err;
  }

  ToolResult Diff(const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args = {"diff"};
    args.insert(args.end(), extra.begin(), extra.end());
    if (extra.empty() || extra[0] == "--json") {
      args.push_back(archive_);
      args.push_back(restore_);
    }
    return RunTool(args, kZone);
  }

  // The only line of a run that found exactly one difference.
  std::string OnlyDifference(const std::vector<std::string>& extra = {}) {
    const ToolResult result = Diff(extra);
    EXPECT_EQ(1, result.status) << result.err;
    const std::vector<std::string> lines = Lines(result.out);
    EXPECT_EQ(1u, lines.size()) << result.out;
    return lines.empty() ? std::string() : lines[0];
  }

  // The difference lines of a --json run (the summary and errors left
  // out), after checking the summary counts them.
  std::vector<std::string> JsonDifferences() {
    const ToolResult result = Diff({"--json"});
    EXPECT_EQ(1, result.status) << result.err;
    std::vector<std::string> differences;
    std::string summary;
    for (const std::string& line : Lines(result.out)) {
      if (line.find("{\"type\":\"difference\",") == 0) differences.push_back(line);
      if (line.find("{\"type\":\"summary\",") == 0) summary = line;
    }
    EXPECT_NE(std::string::npos,
              summary.find("\"differences\":" + std::to_string(differences.size())))
        << summary;
    return differences;
  }

  std::string Local(const std::string& name) { return restore_ + "/tree/" + name; }

  TempDir source_;
  TempDir work_;
  std::string archive_ = work_ / "backup.kvm";
  std::string restore_ = work_ / "restore";
};

TEST_P(ToolDiff, FreshlyRestoredTreeShowsNoDifference) {
  const ToolResult withManifest = Diff();
  EXPECT_EQ(0, withManifest.status) << withManifest.out << withManifest.err;
  EXPECT_EQ("", withManifest.out);
  EXPECT_EQ("", withManifest.err);
  // Without the manifest every file's data is read and compared instead.
  ASSERT_EQ(0, unlink((archive_ + ".sha256").c_str()));
  const ToolResult streamed = Diff();
  EXPECT_EQ(0, streamed.status) << streamed.out << streamed.err;
  EXPECT_EQ("", streamed.out);
}

TEST_P(ToolDiff, SourceTreeShowsNoDifferenceWhereTheVersionKeepsEverything) {
  if (GetParam() == 1) GTEST_SKIP() << "version 1 keeps no links nor empty folders";
  const ToolResult result =
      RunTool({"diff", archive_, source_.path()}, kZone);
  EXPECT_EQ(0, result.status) << result.out << result.err;
  EXPECT_EQ("", result.out);
}

TEST_P(ToolDiff, ChangedByteIsFoundWithAndWithoutTheManifest) {
  ChangeOneByte(Local(kExactMiB));
  const std::string expected = std::string("tree\\") + kExactMiB + ": content differs";
  EXPECT_EQ(expected, OnlyDifference());
  ASSERT_EQ(0, unlink((archive_ + ".sha256").c_str()));
  EXPECT_EQ(expected, OnlyDifference());
  const std::vector<std::string> json = JsonDifferences();
  ASSERT_EQ(1u, json.size());
  EXPECT_EQ(std::string("{\"type\":\"difference\",\"name\":\"tree\\\\") + kExactMiB +
                "\",\"what\":\"content\"}",
            json[0]);
}

TEST_P(ToolDiff, ManifestDigestIsWhatTheContentIsComparedWith) {
  // The manifest's digest of small.txt replaced: the unchanged file now
  // differs from it, which only a comparison with the manifest can see.
  const std::string manifest = archive_ + ".sha256";
  std::string text = ReadBytes(manifest);
  const size_t line = text.find(" tree\\small.txt\n");
  ASSERT_NE(std::string::npos, line) << text;
  const size_t hex = line - 64;
  text.replace(hex, 64, std::string(64, text[hex] == '0' ? '1' : '0'));
  WriteBytes(manifest, text);
  EXPECT_EQ("tree\\small.txt: content differs", OnlyDifference());
}

TEST_P(ToolDiff, ChangedLastWriteTimeIsFoundToTheTick) {
  const std::string path = Local("small.txt");
  struct timespec written = LastWrite(path);
  const unsigned long long stored = FileTimeOf(written);
  written.tv_nsec = (written.tv_nsec + 100) % 1000000000;
  if (written.tv_nsec == 0) ++written.tv_sec;
  SetLastWrite(path, written);
  EXPECT_EQ(0u, OnlyDifference().find("tree\\small.txt: last-write time differs"));
  const std::vector<std::string> json = JsonDifferences();
  ASSERT_EQ(1u, json.size());
  EXPECT_EQ("{\"type\":\"difference\",\"name\":\"tree\\\\small.txt\",\"what\":"
            "\"time\",\"archive\":" + std::to_string(stored) +
                ",\"local\":" + std::to_string(stored + 1) + "}",
            json[0]);
}

TEST_P(ToolDiff, MissingFileIsNamed) {
  ASSERT_EQ(0, unlink(Local("sub/inner.txt").c_str()));
  EXPECT_EQ("tree\\sub\\inner.txt: missing", OnlyDifference());
  const std::vector<std::string> json = JsonDifferences();
  ASSERT_EQ(1u, json.size());
  EXPECT_EQ("{\"type\":\"difference\",\"name\":\"tree\\\\sub\\\\inner.txt\","
            "\"what\":\"missing\"}",
            json[0]);
}

TEST_P(ToolDiff, ExtraLocalFileIsNotInTheArchive) {
  WriteBytes(Local("sub/extra.txt"), "not archived\n");
  // The folder's own time moved with the new file: a folder's times are
  // not compared, so that is no difference of its own.
  EXPECT_EQ("tree\\sub\\extra.txt: not in the archive", OnlyDifference());
  const std::vector<std::string> json = JsonDifferences();
  ASSERT_EQ(1u, json.size());
  EXPECT_EQ("{\"type\":\"difference\",\"name\":\"tree\\\\sub\\\\extra.txt\","
            "\"what\":\"not-in-archive\"}",
            json[0]);
}

TEST_P(ToolDiff, ReadOnlyAttributeIsFoundButNotTheArchiveBit) {
  const std::string path = Local("small.txt");
  const DWORD before = AttributesOf(path);
  ASSERT_EQ(0u, before & FILE_ATTRIBUTE_READONLY);
  // The archive bit alone changes nothing.
  ASSERT_TRUE(SetFileAttributesW(P(W(path)), before ^ FILE_ATTRIBUTE_ARCHIVE));
  const ToolResult unchanged = Diff();
  EXPECT_EQ(0, unchanged.status) << unchanged.out;
  ASSERT_TRUE(SetFileAttributesW(P(W(path)), before | FILE_ATTRIBUTE_READONLY));
  EXPECT_EQ(0u, OnlyDifference().find("tree\\small.txt: attributes differ"));
  const std::vector<std::string> json = JsonDifferences();
  ASSERT_EQ(1u, json.size());
  const DWORD compared = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                         FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_DIRECTORY |
                         FILE_ATTRIBUTE_REPARSE_POINT;
  EXPECT_EQ("{\"type\":\"difference\",\"name\":\"tree\\\\small.txt\",\"what\":"
            "\"attributes\",\"archive\":" + std::to_string(before & compared) +
                ",\"local\":" +
                std::to_string((before & compared) | FILE_ATTRIBUTE_READONLY) + "}",
            json[0]);
}

TEST_P(ToolDiff, FolderInPlaceOfAFileDiffersInKindOnly) {
  // (No link leads to this file: a link's attributes say what it leads
  // to, so it would differ as well.)
  const std::string path = Local("empty.bin");
  ASSERT_EQ(0, unlink(path.c_str()));
  ASSERT_EQ(0, mkdir(path.c_str(), 0755));
  WriteBytes(path + "/inside.txt", "x");
  // Nothing below it is reported: the kind says it all.
  EXPECT_EQ("tree\\empty.bin: kind differs (archive file, local folder)",
            OnlyDifference());
}

TEST_P(ToolDiff, PatternsLimitTheComparison) {
  ChangeOneByte(Local("small.txt"));
  ChangeOneByte(Local("sub/inner.txt"));
  WriteBytes(Local("extra.txt"), "outside the pattern\n");
  EXPECT_EQ("tree\\sub\\inner.txt: content differs",
            OnlyDifference({archive_, restore_, "tree/sub"}));
  EXPECT_EQ("tree\\small.txt: content differs",
            OnlyDifference({archive_, restore_, "tree/s*.txt"}));
  // Nothing differs below the pattern, but it selected no entry.
  const ToolResult unused =
      RunTool({"diff", archive_, restore_, "tree/sub/inner.txt", "tree/nothing"}, kZone);
  EXPECT_EQ(1, unused.status);
  EXPECT_NE(std::string::npos, unused.err.find("'tree/nothing' selects no entry"))
      << unused.err;
  EXPECT_EQ("tree\\sub\\inner.txt: content differs", unused.out.substr(0, unused.out.find('\n')));
}

INSTANTIATE_TEST_SUITE_P(Versions, ToolDiff, ::testing::Values(1, 2, 5),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return "Version" + std::to_string(info.param);
                         });

TEST(ToolDiffRefusals, NameLeavingTheFolderIsAFailedEntryAndNeverLookedUp) {
  TempDir work;
  const std::string archive = work / "evil.kvm";
  WriteBytes(work / "payload.txt", "stored\n");
  {
    CKvMorvel writer;
    ASSERT_TRUE(writer.Open(P(W(archive)), FALSE, 2));
    ASSERT_TRUE(writer.AddFile(P(W(work / "payload.txt")), P(W("..\\outside.txt")),
                               static_cast<void*>(nullptr), 0));
    ASSERT_TRUE(writer.Close());
  }
  const std::string folder = work / "folder";
  ASSERT_EQ(0, mkdir(folder.c_str(), 0755));
  // What the name would reach differs from the entry in every way.
  WriteBytes(work / "outside.txt", "a different text of another size\n");
  const ToolResult result = RunTool({"diff", "--json", archive, folder});
  EXPECT_EQ(1, result.status) << result.out << result.err;
  EXPECT_EQ(std::string::npos, result.out.find("\"type\":\"difference\"")) << result.out;
  EXPECT_NE(std::string::npos,
            result.out.find("{\"type\":\"error\",\"name\":\"..\\\\outside.txt\","
                            "\"code\":123"))
      << result.out;
  EXPECT_NE(std::string::npos, result.err.find("would leave the folder")) << result.err;
}

TEST(ToolDiffRefusals, UsageErrorsAndAnArchiveThatDoesNotOpenAreTwo) {
  TempDir work;
  WriteBytes(work / "file.txt", "x");
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{
           {"diff"},
           {"diff", work / "missing.kvm"},
           {"diff", "--bogus", work / "missing.kvm", work.path()},
           {"diff", work / "missing.kvm", work.path()},
           {"diff", work / "file.txt", work / "file.txt"}}) {
    const ToolResult result = RunTool(args);
    EXPECT_EQ(2, result.status) << args.size();
    EXPECT_NE("", result.err);
    EXPECT_EQ("", result.out);
  }
  const ToolResult help = RunTool({"diff", "--help"});
  EXPECT_EQ(0, help.status);
  EXPECT_EQ(0u, help.out.find("usage: kvmorvel diff")) << help.out;
}

TEST(ToolDiffRefusals, DiskImageIsRefusedAsItCanOnlyBeReadByRestoring) {
  DosDevices drives;  // the mount takes a letter in a private folder
  TempDir work;
  ASSERT_EQ(0, mkdir((work / "tree").c_str(), 0755));
  WriteBytes(work / "tree/file.txt", "in the image\n");
  const std::string image = work / "tree.img";
  ASSERT_EQ(0, RunTool({"mkimage", work / "tree", image}).status);
  const ToolResult result = RunTool({"diff", "tree.img", "tree"}, {}, work.path());
  EXPECT_EQ(2, result.status) << result.err;
  EXPECT_EQ("", result.out);
  EXPECT_NE(std::string::npos, result.err.find("is a disk image")) << result.err;
}

TEST(ToolDiffArchiveFiles, ArchiveInsideTheFolderIsNoItemOfItsOwnEvenWithAPartMissing) {
  TempDir work;
  BuildSampleTree(work / "tree");
  const std::string archive = work / "backup.kvm";
  const ToolResult created = RunTool(
      {"create", "--split-size", "1M", archive, "tree"}, {}, work.path());
  ASSERT_EQ(0, created.status) << created.err;
  const ToolResult whole = RunTool({"diff", archive, work.path()});
  EXPECT_EQ(0, whole.status) << whole.out << whole.err;
  EXPECT_EQ("", whole.out);
  // With its first part gone, the entries stored there cannot be read
  // (failed, never "differs"), and the later parts are still its own.
  ASSERT_EQ(0, unlink((work / "backup_0001.kvm").c_str()));
  ASSERT_EQ(0, unlink((archive + ".sha256").c_str()));
  ASSERT_TRUE(Exists(work / "backup_0002.kvm"));
  const ToolResult gap = RunTool({"diff", archive, work.path()});
  EXPECT_EQ(1, gap.status);
  EXPECT_EQ("", gap.out);
  EXPECT_NE(std::string::npos, gap.err.find("a part file it needs is missing"))
      << gap.err;
}

}  // namespace
