// SPDX-License-Identifier: GPL-2.0-or-later
// kvmorvel extract restores what the user chooses, where the user wants
// it, and never over newer work: patterns, --files-from, -O, --keep,
// --keep-newer, --no-owner and --dry-run, against archives of every
// version.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "KvMorvel.h"
#include "common/sha256.h"
#include "support/test_support.h"
#include "tool/sample_tree.h"
#include "tool/tool_runner.h"

namespace {

std::string Sha256Of(const std::string& bytes) {
  Sha256 digest;
  digest.Update(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  return digest.FinishHex();
}

// Sets the last-write (and access) time of `path` to `seconds` since 1970.
void SetWriteTime(const std::string& path, time_t seconds) {
  const struct timespec times[2] = {{seconds, 0}, {seconds, 0}};
  ASSERT_EQ(0, utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW));
}

// The relative paths of every item below `root`, sorted.
std::vector<std::string> ItemsBelow(const std::string& root) {
  std::vector<std::string> items;
  for (const auto& item : Snapshot(root))
    if (!item.first.empty()) items.push_back(item.first);
  return items;
}

// An archive of every version over one small tree:
//   tree/docs/a.txt, tree/docs/b.md, tree/docs/deep/c.txt,
//   tree/logs/d.log, "tree/odd name\nwith newline.txt"
class ExtractChoice : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    for (const char* folder : {"tree", "tree/docs", "tree/docs/deep", "tree/logs"})
      ASSERT_EQ(0, mkdir((source_ / folder).c_str(), 0755));
    WriteBytes(source_ / "tree/docs/a.txt", "alpha\n");
    WriteBytes(source_ / "tree/docs/b.md", PatternBytes(300000, 7));
    WriteBytes(source_ / "tree/docs/deep/c.txt", "gamma\n");
    WriteBytes(source_ / "tree/logs/d.log", "delta\n");
    WriteBytes(source_ / kOddName, "odd\n");
    // Folder times set last, apart from the files', so a restore that
    // gives a folder above a chosen file no stored metadata is seen.
    SetWriteTime(source_ / "tree/docs/deep", 1000000000);
    SetWriteTime(source_ / "tree/docs", 1100000000);
    const ToolResult made =
        RunTool({"create", "-V", std::to_string(GetParam()), archive_, "tree"},
                kUtc, source_.path());
    ASSERT_EQ(0, made.status) << made.err;
  }

  ToolResult Extract(std::vector<std::string> args) {
    args.insert(args.begin(), "extract");
    return RunTool(args, kUtc, work_.path());
  }

  bool HasFolderEntries() const { return GetParam() != 1; }

  static const char kOddName[];
  const Environment kUtc = {{"TZ", "UTC0"}};  // version 1 keeps local times
  TempDir source_;
  TempDir work_;
  std::string archive_ = work_ / "backup.kvm";
  std::string target_ = work_ / "restore";
};

const char ExtractChoice::kOddName[] = "tree/odd name\nwith newline.txt";

TEST_P(ExtractChoice, OneFileByNameByGlobAndByFolder) {
  // One file by its whole name, either separator.
  ToolResult run = Extract({archive_, target_, "tree\\docs/deep\\c.txt"});
  ASSERT_EQ(0, run.status) << run.err;
  EXPECT_EQ("", run.err);
  std::vector<std::string> want = {"tree", "tree/docs", "tree/docs/deep",
                                   "tree/docs/deep/c.txt"};
  EXPECT_EQ(want, ItemsBelow(target_));
  EXPECT_EQ("gamma\n", ReadBytes(target_ + "/tree/docs/deep/c.txt"));
  if (HasFolderEntries()) {
    // The folders above it were made with their own stored metadata.
    const TreeState restored = Snapshot(target_);
    const TreeState source = Snapshot(source_.path());
    EXPECT_EQ(source.at("tree/docs/deep").lastWrite,
              restored.at("tree/docs/deep").lastWrite);
    EXPECT_EQ(source.at("tree/docs").lastWrite, restored.at("tree/docs").lastWrite);
  }

  // A glob: '*' stays within one folder, '**' crosses them, '?' is one
  // character and '[...]' one of a set.
  const std::string globbed = work_ / "globbed";
  run = Extract({archive_, globbed, "tree/*/*.txt", "tree/**/deep/*", "./tree\\logs/[!a-c].l?g"});
  ASSERT_EQ(0, run.status) << run.err;
  std::vector<std::string> files;
  for (const auto& item : Snapshot(globbed))
    if (item.second.kind == 'f') files.push_back(item.first);
  EXPECT_EQ((std::vector<std::string>{"tree/docs/a.txt", "tree/docs/deep/c.txt",
                                      "tree/logs/d.log"}),
            files);

  // A folder chooses its whole subtree and nothing beside it.
  const std::string folder = work_ / "folder";
  run = Extract({archive_, folder, "tree/docs/"});
  ASSERT_EQ(0, run.status) << run.err;
  want = {"tree", "tree/docs", "tree/docs/a.txt", "tree/docs/b.md",
          "tree/docs/deep", "tree/docs/deep/c.txt"};
  EXPECT_EQ(want, ItemsBelow(folder));
  EXPECT_EQ(ReadBytes(source_ / "tree/docs/b.md"), ReadBytes(folder + "/tree/docs/b.md"));
}

TEST_P(ExtractChoice, PatternThatChoosesNothingIsNamedAndGivesOne) {
  const ToolResult run =
      Extract({"--json", archive_, target_, "tree/logs/d.log", "tree/nothing*"});
  EXPECT_EQ(1, run.status);
  EXPECT_NE(std::string::npos, run.err.find("tree/nothing*: not found in the archive"))
      << run.err;
  EXPECT_NE(std::string::npos, run.out.find("\"type\":\"error\",\"name\":\"tree/nothing*\""))
      << run.out;
  // What the other pattern chose is restored all the same.
  EXPECT_EQ("delta\n", ReadBytes(target_ + "/tree/logs/d.log"));
}

TEST_P(ExtractChoice, FilesFromReadsNulSeparatedNamesFromAFileOrStandardInput) {
  // A name holding a newline only survives a NUL-separated list.
  const std::string list = work_ / "list";
  WriteBytes(list, std::string(kOddName) + '\0' + "tree/logs" + '\0');
  ToolResult run = Extract({"--null", "--files-from", list, archive_, target_});
  ASSERT_EQ(0, run.status) << run.err;
  std::vector<std::string> files;
  for (const auto& item : Snapshot(target_))
    if (item.second.kind == 'f') files.push_back(item.first);
  std::vector<std::string> want = {kOddName, "tree/logs/d.log"};
  std::sort(want.begin(), want.end());
  EXPECT_EQ(want, files);

  // The same list on standard input.
  const std::string piped = work_ / "piped";
  run = RunProgram("/bin/sh",
                   {"-c", "\"$0\" extract --null --files-from - \"$1\" \"$2\" < \"$3\"",
                    ToolPath(), archive_, piped, list},
                   kUtc, "", 60);
  ASSERT_EQ(0, run.status) << run.err;
  EXPECT_EQ("odd\n", ReadBytes(piped + "/" + kOddName));
}

TEST_P(ExtractChoice, ToStdoutWritesOnlyTheChosenDataInArchiveOrder) {
  const std::vector<std::string> itemsBefore = ItemsBelow(work_.path());
  const ToolResult run = Extract({"-O", archive_, "tree/docs"});
  ASSERT_EQ(0, run.status) << run.err;
  EXPECT_EQ("", run.err);
  EXPECT_EQ(itemsBefore, ItemsBelow(work_.path())) << "-O wrote a file";
  // In archive order, which list shows.
  std::string want;
  const ToolResult listed = RunTool({"list", "--json", archive_}, kUtc);
  for (const std::string& line : Lines(listed.out))
    for (const char* file : {"a.txt", "b.md", "deep\\\\c.txt"})
      if (line.find(std::string("docs\\\\") + file + "\"") != std::string::npos)
        want += ReadBytes(source_ / "tree/docs/" +
                          (file[0] == 'd' ? std::string("deep/c.txt") : std::string(file)));
  ASSERT_EQ(6u + 300000u + 6u, want.size()) << listed.out;
  EXPECT_EQ(Sha256Of(want), Sha256Of(run.out));

  // Piped into sha256sum, one file gives the source's digest.
  const ToolResult piped = RunProgram(
      "/bin/sh", {"-c", "\"$0\" extract -O \"$1\" tree/docs/b.md | sha256sum", ToolPath(),
                  archive_},
      kUtc, "", 60);
  ASSERT_EQ(0, piped.status) << piped.err;
  EXPECT_EQ(Sha256Of(ReadBytes(source_ / "tree/docs/b.md")) + "  -\n", piped.out);
}

TEST_P(ExtractChoice, KeepAndKeepNewerLeaveNewerLocalWorkByteForByte) {
  ASSERT_EQ(0, Extract({archive_, target_}).status);
  const std::string mine = target_ + "/tree/docs/a.txt";
  const std::string older = target_ + "/tree/logs/d.log";
  WriteBytes(mine, "my newer work\n");
  SetWriteTime(mine, 4000000000);  // later than anything stored
  WriteBytes(older, "an old copy\n");
  SetWriteTime(older, 100000000);   // earlier than anything stored

  ToolResult run = Extract({"--keep", "--json", archive_, target_});
  ASSERT_EQ(0, run.status) << run.err;
  EXPECT_EQ("my newer work\n", ReadBytes(mine));
  EXPECT_EQ("an old copy\n", ReadBytes(older));
  EXPECT_NE(std::string::npos, run.out.find("\"name\":\"tree\\\\docs\\\\a.txt\",\"size\":6,"
                                            "\"status\":\"kept\""))
      << run.out;
  EXPECT_NE(std::string::npos, run.out.find("\"replaced\":0,\"kept\":")) << run.out;

  run = Extract({"--keep-newer", "--json", archive_, target_});
  ASSERT_EQ(0, run.status) << run.err;
  EXPECT_EQ("my newer work\n", ReadBytes(mine));
  EXPECT_EQ("delta\n", ReadBytes(older));  // the stored one is newer
  EXPECT_NE(std::string::npos, run.out.find("\"name\":\"tree\\\\logs\\\\d.log\",\"size\":6,"
                                            "\"status\":\"replaced\""))
      << run.out;

  // By default an existing file is replaced, as tar and restic do.
  run = Extract({"--json", archive_, target_});
  ASSERT_EQ(0, run.status) << run.err;
  EXPECT_EQ("alpha\n", ReadBytes(mine));
  EXPECT_NE(std::string::npos, run.out.find("\"kept\":0")) << run.out;

  EXPECT_EQ(2, Extract({"--keep", "--keep-newer", archive_, target_}).status);

  // A link at an entry's path is judged and kept as itself, and replaced
  // as itself: what it leads to is never written.
  const std::string outside = work_ / "outside.txt";
  WriteBytes(outside, "not the restore's to write");
  const std::string linked = target_ + "/tree/docs/deep/c.txt";
  ASSERT_EQ(0, unlink(linked.c_str()));
  ASSERT_EQ(0, symlink(outside.c_str(), linked.c_str()));
  const struct timespec later[2] = {{4000000000, 0}, {4000000000, 0}};
  ASSERT_EQ(0, utimensat(AT_FDCWD, linked.c_str(), later, AT_SYMLINK_NOFOLLOW));
  for (const char* keep : {"--keep", "--keep-newer"}) {
    ASSERT_EQ(0, Extract({keep, archive_, target_, "tree/docs/deep"}).status);
    struct stat st;
    ASSERT_EQ(0, lstat(linked.c_str(), &st));
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << keep;
  }
  ASSERT_EQ(0, Extract({archive_, target_, "tree/docs/deep"}).status);
  EXPECT_EQ("gamma\n", ReadBytes(linked));
  EXPECT_EQ("not the restore's to write", ReadBytes(outside));
}

TEST_P(ExtractChoice, DryRunSaysWhatWouldHappenAndWritesNothing) {
  ASSERT_EQ(0, Extract({archive_, target_, "tree/docs"}).status);
  WriteBytes(target_ + "/tree/docs/a.txt", "mine\n");
  SetWriteTime(target_ + "/tree/docs/a.txt", 4000000000);
  const TreeState before = Snapshot(target_);

  const ToolResult run = Extract({"--dry-run", "--keep-newer", archive_, target_});
  ASSERT_EQ(0, run.status) << run.err;
  const std::vector<std::string> lines = Lines(run.out);
  auto says = [&](const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  };
  EXPECT_TRUE(says("would keep tree\\docs\\a.txt")) << run.out;
  EXPECT_TRUE(says("would create tree\\logs\\d.log")) << run.out;
  if (HasFolderEntries()) {
    // Restored with its stored time, the folder is not older than the entry.
    EXPECT_TRUE(says("would keep tree\\docs\\deep")) << run.out;
  }

  // (Last-access times are not compared: the snapshot reads each file.)
  const TreeState after = Snapshot(target_);
  ASSERT_EQ(before.size(), after.size());
  for (const auto& item : before) {
    SCOPED_TRACE(item.first);
    ASSERT_TRUE(after.count(item.first));
    EXPECT_EQ(item.second.lastWrite, after.at(item.first).lastWrite);
    EXPECT_EQ(item.second.creation, after.at(item.first).creation);
    EXPECT_EQ(item.second.mode, after.at(item.first).mode);
    EXPECT_EQ(item.second.payload, after.at(item.first).payload);
    EXPECT_EQ(item.second.attributes, after.at(item.first).attributes);
  }
  // A dry run into a folder that does not exist makes none.
  EXPECT_EQ(0, Extract({"--dry-run", archive_, work_ / "none"}).status);
  EXPECT_FALSE(Exists(work_ / "none"));
}

TEST_P(ExtractChoice, NoOwnerLeavesTheRestoringUserOwnerWithTheStoredRights) {
  if (!HasFolderEntries()) GTEST_SKIP() << "version 1 stores no descriptors";
  // The file belongs to someone else in the archive: as root, its owner
  // is set to another user first; otherwise the archive keeps ours.
  const std::string file = source_ / "tree/logs/d.log";
  ASSERT_EQ(0, chmod(file.c_str(), 0640));
  const bool root = geteuid() == 0;
  if (root) {
    ASSERT_EQ(0, chown(file.c_str(), 4321, 4322));
  }
  const std::string other = work_ / "other.kvm";
  ASSERT_EQ(0, RunTool({"create", "-V", std::to_string(GetParam()), other, "tree"},
                       kUtc, source_.path()).status);

  const ToolResult run = Extract({"--no-owner", other, target_, "tree/logs"});
  ASSERT_EQ(0, run.status) << run.err;
  struct stat st;
  ASSERT_EQ(0, stat((target_ + "/tree/logs/d.log").c_str(), &st));
  EXPECT_EQ(geteuid(), st.st_uid);
  EXPECT_EQ(0640u, st.st_mode & 07777);  // the owner's rights went to us
  // The descriptor says so too: its owner is the restoring user.
  const TreeState restored = Snapshot(target_);
  const std::vector<unsigned char>& d = restored.at("tree/logs/d.log").descriptor;
  ASSERT_GE(d.size(), 20u);
  const size_t owner = d[4] | d[5] << 8 | d[6] << 16 | static_cast<size_t>(d[7]) << 24;
  ASSERT_LE(owner + 16, d.size());
  const uint32_t uid = d[owner + 12] | d[owner + 13] << 8 | d[owner + 14] << 16 |
                       static_cast<uint32_t>(d[owner + 15]) << 24;
  EXPECT_EQ(geteuid(), uid);

  if (root) {
    // Without it, root gives the file its stored owner back.
    const std::string kept = work_ / "kept";
    ASSERT_EQ(0, Extract({other, kept, "tree/logs"}).status);
    ASSERT_EQ(0, stat((kept + "/tree/logs/d.log").c_str(), &st));
    EXPECT_EQ(4321u, st.st_uid);
  }
}

// A file whose stored descriptor grants the restoring user nothing is
// restored all the same; the manifest check then reads the archive's data,
// since the file cannot be read back.
TEST(ExtractRights, AFileTheRestoringUserMayNotReadIsCheckedFromTheArchive) {
  TempDir source, work;
  WriteBytes(source / "secret.txt", "for root's eyes");
  // Owner and group the restoring user's, one entry granting another
  // user (4242) everything: the owner is granted nothing.
  auto unixSid = [](unsigned char kind, uint32_t id) {
    return std::vector<unsigned char>{1, 2, 0, 0, 0, 0, 0, 22, kind, 0, 0, 0,
                                      static_cast<unsigned char>(id), static_cast<unsigned char>(id >> 8),
                                      static_cast<unsigned char>(id >> 16), static_cast<unsigned char>(id >> 24)};
  };
  const std::vector<unsigned char> owner = unixSid(1, geteuid());
  const std::vector<unsigned char> group = unixSid(2, getegid());
  const std::vector<unsigned char> other = unixSid(1, 4242);
  std::vector<unsigned char> sd = {1, 0, 0x04, 0x80, 20, 0, 0, 0, 36, 0, 0, 0,
                                   0, 0, 0, 0, 52, 0, 0, 0};
  sd.insert(sd.end(), owner.begin(), owner.end());
  sd.insert(sd.end(), group.begin(), group.end());
  const unsigned char acl[] = {2, 0, 32, 0, 1, 0, 0, 0,  // one entry, 32 bytes
                               0, 0, 24, 0, 0xFF, 0x01, 0x1F, 0x00};
  sd.insert(sd.end(), acl, acl + sizeof(acl));
  sd.insert(sd.end(), other.begin(), other.end());
  const std::string archive = work / "rights.kvm";
  {
    CKvMorvel writer;
    ASSERT_TRUE(writer.Open(P(W(archive)), FALSE, 5));
    ASSERT_TRUE(writer.BeginManifest());
    ASSERT_TRUE(writer.AddFile(P(W(source / "secret.txt")), P(W("secret.txt")),
                               sd.data(), static_cast<DWORD>(sd.size())));
    ASSERT_TRUE(writer.Close());
  }
  const std::string target = work / "restore";
  ToolResult run = RunTool({"extract", archive, target});
  EXPECT_EQ(0, run.status) << run.err;
  if (geteuid() != 0) {
    struct stat st;
    ASSERT_EQ(0, stat((target + "/secret.txt").c_str(), &st));
    EXPECT_EQ(0u, st.st_mode & 0700);
    EXPECT_NE(std::string::npos, run.err.find("checked against the manifest instead"))
        << run.err;
    // A manifest that disagrees is still found.
    std::string manifest = ReadBytes(archive + ".sha256");
    const size_t digest = manifest.find("# entry ") + 8;
    manifest[digest] = manifest[digest] == '0' ? '1' : '0';
    WriteBytes(archive + ".sha256", manifest);
    run = RunTool({"extract", archive, work / "again"});
    EXPECT_EQ(1, run.status);
    EXPECT_NE(std::string::npos, run.err.find("differs from the manifest")) << run.err;
  } else {
    EXPECT_EQ("for root's eyes", ReadBytes(target + "/secret.txt"));
  }
}

INSTANTIATE_TEST_SUITE_P(Versions, ExtractChoice, ::testing::Values(1, 2, 5),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return "V" + std::to_string(info.param);
                         });

}  // namespace
