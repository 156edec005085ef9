// SPDX-License-Identifier: GPL-2.0-or-later
// The command line of kvmorvel: listing formats, exit statuses, refusals,
// the progress line and interruption.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pwd.h>
#include <pty.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <ctime>

#include "KvMorvel.h"
#include "support/bytes.h"
#include "support/test_support.h"
#include "tool/sample_tree.h"
#include "tool/tool_runner.h"

namespace {

const Environment kUtc = {{"TZ", "UTC0"}};

// The line of `lines` that ends with " NAME".
std::string LineFor(const std::vector<std::string>& lines,
                    const std::string& name) {
  const std::string tail = " " + name;
  for (const std::string& line : lines)
    if (line.size() >= tail.size() &&
        line.compare(line.size() - tail.size(), tail.size(), tail) == 0)
      return line;
  return "";
}

// "YYYY-MM-DD HH:MM:SS" of a FILETIME in UTC.
std::string UtcSecond(unsigned long long filetime) {
  const time_t seconds =
      static_cast<time_t>((filetime - 116444736000000000ULL) / 10000000ULL);
  struct tm utc;
  gmtime_r(&seconds, &utc);
  char text[32];
  strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &utc);
  return text;
}

// "YYYY-MM-DD HH:MM" of a FILETIME in UTC.
std::string UtcMinute(unsigned long long filetime) {
  return UtcSecond(filetime).substr(0, 16);
}

// Makes SOURCE/t holding `files` (name, content); returns its path.
std::string MakeTree(
    const TempDir& source,
    const std::vector<std::pair<std::string, std::string>>& files) {
  const std::string tree = source / "t";
  EXPECT_EQ(0, mkdir(tree.c_str(), 0755));
  for (const auto& file : files)
    WriteBytes(tree + "/" + file.first, file.second);
  return tree;
}

class ToolListing : public ::testing::Test {
 protected:
  void SetUp() override {
    BuildSampleTree(tree_);
    before_ = Snapshot(tree_);
    const ToolResult created = RunTool({"create", archive_, tree_});
    ASSERT_EQ(0, created.status) << created.err;
  }

  TempDir source_;
  TempDir work_;
  std::string tree_ = source_ / "tree";
  std::string archive_ = work_ / "list.kvm";
  TreeState before_;
};

TEST_F(ToolListing, TextShowsEachEntryOnceLikeTar) {
  const ToolResult listed = RunTool({"list", archive_}, kUtc);
  ASSERT_EQ(0, listed.status) << listed.err;
  const std::vector<std::string> lines = Lines(listed.out);
  EXPECT_EQ(before_.size(), lines.size());
  // Entries are named from the tree's parent on, joined with '\', a
  // folder before its contents.
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ('d', lines[0][0]);
  EXPECT_EQ(" tree", lines[0].substr(lines[0].size() - 5));

  const ItemState& hidden = before_.at(kHiddenFile);
  char size[16];
  snprintf(size, sizeof size, "%12llu", hidden.size);
  const std::string hiddenLine = LineFor(lines, std::string("tree\\") + kHiddenFile);
  EXPECT_EQ(std::string("---h-a---- ") + size + " " +
                UtcMinute(hidden.lastWrite) + " tree\\" + kHiddenFile,
            hiddenLine);
  EXPECT_EQ('r', LineFor(lines, std::string("tree\\") + kReadOnlyFile)[2]);
  EXPECT_EQ("dl", LineFor(lines, std::string("tree\\") + kFolderLink).substr(0, 2));
  EXPECT_EQ("-l", LineFor(lines, std::string("tree\\") + kFileLink).substr(0, 2));
  EXPECT_NE("", LineFor(lines, std::string("tree\\") + kNonAsciiFolder +
                                   "\\nested\\deeper\\leaf.txt"));
}

TEST_F(ToolListing, VerboseShowsTheChosenTimeToTheSecond) {
  const ItemState& hidden = before_.at(kHiddenFile);
  const std::string name = std::string(" tree\\") + kHiddenFile;
  // The owner comes from the entry's descriptor: the file's owner, whose
  // Unix SID the layer put there.
  struct stat info;
  ASSERT_EQ(0, lstat((tree_ + "/" + kHiddenFile).c_str(), &info));
  const struct passwd* user = getpwuid(info.st_uid);
  ASSERT_NE(nullptr, user);
  const std::string owner = user->pw_name;
  char size[16];
  snprintf(size, sizeof size, "%12llu", hidden.size);
  const struct {
    const char* option;  // null: the default, the last write
    unsigned long long time;
  } cases[] = {{nullptr, hidden.lastWrite},
               {"--time=write", hidden.lastWrite},
               {"--time=creation", hidden.creation},
               {"--time=access", hidden.lastAccess}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.option ? c.option : "default");
    std::vector<std::string> args = {"list", "-v", archive_};
    if (c.option) args.insert(args.begin() + 1, c.option);
    const ToolResult listed = RunTool(args, kUtc);
    ASSERT_EQ(0, listed.status) << listed.err;
    const std::string line = LineFor(Lines(listed.out), name.substr(1));
    EXPECT_EQ(0u, line.find("---h-a---- " + owner + " ")) << line;
    EXPECT_NE(std::string::npos,
              line.find(std::string(size) + " " + UtcSecond(c.time) + name))
        << line;
  }
  // Version 1 keeps no descriptors: no owner.
  const std::string v1 = work_ / "v1.kvm";
  ASSERT_EQ(0, RunTool({"create", "-V", "1", v1, tree_}).status);
  EXPECT_EQ(0u, LineFor(Lines(RunTool({"list", "-v", v1}).out), name.substr(1))
                    .find("---h-a---- - "));
  // The short listing takes --time as well.
  const ToolResult created = RunTool({"list", "--time=creation", archive_}, kUtc);
  EXPECT_NE(std::string::npos,
            LineFor(Lines(created.out), name.substr(1))
                .find(UtcMinute(hidden.creation) + name));
}

TEST_F(ToolListing, JsonGivesExactFieldsAndEscapesNonAscii) {
  const ToolResult listed = RunTool({"list", "--json", archive_});
  ASSERT_EQ(0, listed.status) << listed.err;
  const std::vector<std::string> lines = Lines(listed.out);
  // One line per entry, then the summary.
  ASSERT_EQ(before_.size() + 1, lines.size());
  EXPECT_EQ(0u, lines.back().find("{\"type\":\"summary\",\"verb\":\"list\",\"entries\":" +
                                  std::to_string(before_.size()) + ",\"failed\":0,"))
      << lines.back();
  const ItemState& file = before_.at(kNonAsciiFile);
  const std::string expected =
      "{\"type\":\"entry\",\"name\":\"tree\\\\Gr\\u00fc\\u00dfe \\u6570\\u636e.txt\","
      "\"attributes\":" + std::to_string(file.attributes) +
      ",\"size\":" + std::to_string(file.size) +
      ",\"creation_time\":" + std::to_string(file.creation) +
      ",\"last_access_time\":" + std::to_string(file.lastAccess) +
      ",\"last_write_time\":" + std::to_string(file.lastWrite) +
      ",\"encrypted_name\":\"\"}";
  bool found = false;
  for (const std::string& line : lines) found = found || line == expected;
  EXPECT_TRUE(found) << "missing: " << expected << "\nin:\n" << listed.out;
  for (const std::string& line : lines)
    for (unsigned char c : line) ASSERT_LT(c, 0x80) << line;
}

TEST(ToolJson, ControlCharactersAndQuotesAreEscaped) {
  TempDir source, work;
  const std::string folder = source / "odd";
  ASSERT_EQ(0, mkdir(folder.c_str(), 0755));
  WriteBytes(folder + "/tab\there \"q\"\x01", "x");
  const std::string archive = work / "odd.kvm";
  ASSERT_EQ(0, RunTool({"create", archive, folder}).status);
  const ToolResult listed = RunTool({"list", "--json", archive});
  ASSERT_EQ(0, listed.status) << listed.err;
  EXPECT_NE(std::string::npos,
            listed.out.find("\"name\":\"odd\\\\tab\\there \\\"q\\\"\\u0001\""))
      << listed.out;
  // The text listing writes the control characters visibly.
  const ToolResult text = RunTool({"list", archive});
  EXPECT_NE(std::string::npos, text.out.find("odd\\tab\\there \"q\"\\001"))
      << text.out;
}

TEST(ToolExitStatus, UsageErrorsAreTwo) {
  TempDir work;
  const std::string archive = work / "a.kvm";
  const std::vector<std::vector<std::string>> bad = {
      {},
      {"frobnicate"},
      {"create", "--bogus", archive, work.path()},
      {"create", "-V", "3", archive, work.path()},
      {"create", "-V", "5"},
      {"create", "--level", "3", archive, work.path()},
      {"create", "--split-size", "12Q", archive, work.path()},
      {"create", archive},
      {"list", "-x", archive},
      {"list", "--time=birth", archive},
      {"list"},
      {"verify"},
      {"verify", "--bogus", archive},
      {"extract", archive},
      {"mkimage", work.path()}};
  for (const auto& args : bad) {
    const ToolResult result = RunTool(args);
    EXPECT_EQ(2, result.status) << (args.empty() ? "" : args[0]) << " "
                                << (args.size() > 1 ? args[1] : "");
    EXPECT_NE("", result.err);
  }
  EXPECT_FALSE(Exists(archive));
}

TEST(ToolExitStatus, HelpOnEveryVerbIsZero) {
  for (const char* verb : {"create", "list", "extract", "mkimage", "verify"}) {
    const ToolResult result = RunTool({verb, "--help"});
    EXPECT_EQ(0, result.status) << verb;
    EXPECT_EQ(0u, result.out.find(std::string("usage: kvmorvel ") + verb))
        << result.out;
  }
  EXPECT_EQ(0, RunTool({"--help"}).status);
  const ToolResult version = RunTool({"--version"});
  EXPECT_EQ(0, version.status);
  EXPECT_EQ(0u, version.out.find("kvmorvel 1.")) << version.out;
}

TEST(ToolExitStatus, MissingArchiveIsTwoWithTheWindowsCode) {
  TempDir work;
  for (const char* verb : {"list", "extract", "verify"}) {
    std::vector<std::string> args = {verb, work / "missing.kvm"};
    if (std::string(verb) == "extract") args.push_back(work / "out");
    const ToolResult result = RunTool(args);
    EXPECT_EQ(2, result.status) << verb;
    EXPECT_NE(std::string::npos, result.err.find("error 2 (0x00000002)"))
        << result.err;
    EXPECT_NE(std::string::npos, result.err.find("missing.kvm"));
  }
}

TEST(ToolExitStatus, FileThatIsNoArchiveIsTwo) {
  TempDir work;
  const std::string path = work / "text.kvm";
  WriteBytes(path, "This is a plain text file, no archive at all.\n");
  const ToolResult result = RunTool({"list", path});
  EXPECT_EQ(2, result.status) << result.out;
  EXPECT_NE(std::string::npos, result.err.find("cannot open")) << result.err;
}

// Reading a pipe waits for a writer: the command must refuse a pipe,
// socket or device at once. The run is killed after a while, so a
// regression fails here instead of hanging.
TEST(ToolExitStatus, PipesSocketsAndDevicesAreRefusedAtOnce) {
  TempDir work;
  const std::string fifo = work / "fifo.kvm";
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0644));
  const std::string socketPath = work / "socket.kvm";
  const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(listener, 0);
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  ASSERT_LT(socketPath.size(), sizeof address.sun_path);
  memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
  ASSERT_EQ(0, bind(listener, reinterpret_cast<sockaddr*>(&address),
                    sizeof address));
  for (const std::string& path : {fifo, socketPath, std::string("/dev/zero")}) {
    for (const char* verb : {"list", "extract"}) {
      SCOPED_TRACE(path + " " + verb);
      std::vector<std::string> args = {verb, path};
      if (std::string(verb) == "extract") args.push_back(work / "out");
      const ToolResult result = RunProgram(ToolPath(), args, {}, "", 30);
      EXPECT_EQ(2, result.status);
      EXPECT_NE(std::string::npos, result.err.find("error 222")) << result.err;
    }
  }
  close(listener);
}

TEST(ToolExitStatus, DamagedPartFailsItsEntriesAndTheRestIsRestored) {
  TempDir source, work;
  const std::string tree = source / "t";
  ASSERT_EQ(0, mkdir(tree.c_str(), 0755));
  ASSERT_EQ(0, mkdir((tree + "/folder").c_str(), 0755));
  WriteBytes(tree + "/a.bin", PatternBytes(300000, 7));
  WriteBytes(tree + "/b.bin", PatternBytes(5000, 8));
  const std::string archive = work / "d.kvm";
  ASSERT_EQ(0, RunTool({"create", archive, tree}).status);
  // Part 1 holds every block and descriptor; cut it inside the first one.
  ASSERT_EQ(0, truncate((work / "d_0001.kvm").c_str(), 6));
  const ToolResult result = RunTool({"extract", archive, work / "out"});
  EXPECT_EQ(1, result.status);
  // The two files lose their data, the folder its descriptor; each is
  // reported with its name, the part file at fault and the code, and the
  // run goes on to the end.
  const std::vector<std::string> errors = Lines(result.err);
  ASSERT_EQ(3u, errors.size()) << result.err;
  const std::string cut = ": part file " + (work / "d_0001.kvm") + " is cut short: error 38";
  EXPECT_NE(std::string::npos, errors[0].find("t\\a.bin" + cut)) << errors[0];
  EXPECT_NE(std::string::npos, errors[1].find("t\\b.bin" + cut)) << errors[1];
  EXPECT_NE(std::string::npos, errors[2].find("t\\folder" + cut)) << errors[2];
  struct stat info;
  EXPECT_EQ(0, stat((work / "out/t/folder").c_str(), &info));
  EXPECT_TRUE(S_ISDIR(info.st_mode));
  // The files whose data could not be read are not left behind empty.
  EXPECT_NE(0, stat((work / "out/t/a.bin").c_str(), &info));
  EXPECT_NE(0, stat((work / "out/t/b.bin").c_str(), &info));

  // With --json each entry is one line of type entry or error, then the
  // summary counts the failures.
  const ToolResult json = RunTool({"extract", "--json", archive, work / "out2"});
  EXPECT_EQ(1, json.status);
  const std::vector<std::string> lines = Lines(json.out);
  ASSERT_EQ(5u, lines.size()) << json.out;
  EXPECT_EQ("{\"type\":\"entry\",\"name\":\"t\",\"size\":0,\"status\":\"restored\"}", lines[0]);
  EXPECT_EQ(0u, lines[1].find("{\"type\":\"error\",\"name\":\"t\\\\a.bin\",\"code\":38,"))
      << lines[1];
  EXPECT_EQ(0u, lines[2].find("{\"type\":\"error\",\"name\":\"t\\\\b.bin\",")) << lines[2];
  EXPECT_EQ(0u, lines[3].find("{\"type\":\"error\",\"name\":\"t\\\\folder\",")) << lines[3];
  EXPECT_EQ(0u, lines[4].find("{\"type\":\"summary\",\"verb\":\"extract\",\"entries\":4,"
                              "\"failed\":3,")) << lines[4];
}

// A missing part file is named: list warns of it and exits as it would
// without, extract names it for each entry stored there, makes no empty
// file for them and leaves a file already at their path as it was.
TEST(ToolExitStatus, MissingPartIsNamedAndLeavesNoEmptyFile) {
  TempDir source, work;
  const std::string tree = source / "t";
  ASSERT_EQ(0, mkdir(tree.c_str(), 0755));
  WriteBytes(tree + "/a.txt", "alpha");
  WriteBytes(tree + "/b.txt", "beta");
  const std::string archive = work / "m.kvm";
  ASSERT_EQ(0, RunTool({"create", archive, tree}).status);
  const std::string part = work / "m_0001.kvm";
  ASSERT_EQ(0, unlink(part.c_str()));
  const std::string missing = "part file " + part + " is missing";

  const ToolResult listed = RunTool({"list", archive});
  EXPECT_EQ(0, listed.status) << listed.err;
  EXPECT_EQ(3u, Lines(listed.out).size()) << listed.out;
  EXPECT_NE(std::string::npos, listed.err.find("warning: " + missing)) << listed.err;
  const ToolResult json = RunTool({"list", "--json", archive});
  EXPECT_EQ(0, json.status) << json.err;
  EXPECT_EQ(0u, json.out.find("{\"type\":\"warning\",\"message\":\"warning: " + missing))
      << json.out;

  ASSERT_EQ(0, mkdir((work / "out").c_str(), 0755));
  ASSERT_EQ(0, mkdir((work / "out/t").c_str(), 0755));
  WriteBytes(work / "out/t/b.txt", "the user's b");
  const ToolResult result = RunTool({"extract", archive, work / "out"});
  EXPECT_EQ(1, result.status);
  EXPECT_NE(std::string::npos, result.err.find("warning: " + missing)) << result.err;
  for (const char* name : {"t: ", "t\\a.txt: ", "t\\b.txt: "})
    EXPECT_NE(std::string::npos,
              result.err.find(std::string("cannot restore ") + name + missing + ": error 2"))
        << name << "\n" << result.err;
  struct stat info;
  EXPECT_NE(0, stat((work / "out/t/a.txt").c_str(), &info));  // no empty file
  EXPECT_EQ("the user's b", ReadBytes(work / "out/t/b.txt"));  // not replaced
}

// A catalogue whose last record is cut short (version 2: its size in the
// header one byte short; version 5: the main file one byte short): list
// and extract show every entry before it, say where the catalogue is
// damaged and exit 1.
TEST(ToolExitStatus, DamagedCatalogueIsReportedAfterTheLastGoodEntry) {
  for (const char* version : {"2", "5"}) {
    SCOPED_TRACE(version);
    TempDir source, work;
    const std::string tree =
        MakeTree(source, {{"a.bin", "alpha"}, {"b.bin", "beta"}});
    const std::string archive = work / "c.kvm";
    ASSERT_EQ(0, RunTool({"create", "-V", version, archive, tree}).status);
    const ToolResult whole = RunTool({"list", archive});
    ASSERT_EQ(0, whole.status) << whole.err;
    const std::vector<std::string> all = Lines(whole.out);
    ASSERT_EQ(3u, all.size());

    std::string bytes = ReadBytes(archive);
    if (version[0] == '2') {
      const uint32_t size = U32At(bytes, 28);
      for (int i = 0; i < 4; ++i)
        bytes[28 + i] = static_cast<char>((size - 1) >> (8 * i));
      WriteBytes(archive, bytes);
    } else {
      WriteBytes(archive, bytes.substr(0, bytes.size() - 1));
    }
    const std::string said =
        "the catalogue is damaged after entry 2: error 1392";
    const ToolResult listed = RunTool({"list", archive});
    EXPECT_EQ(1, listed.status);
    EXPECT_EQ(std::vector<std::string>(all.begin(), all.begin() + 2),
              Lines(listed.out));
    EXPECT_NE(std::string::npos, listed.err.find(said)) << listed.err;
    const ToolResult extracted = RunTool({"extract", archive, work / "out"});
    EXPECT_EQ(1, extracted.status);
    EXPECT_NE(std::string::npos, extracted.err.find(said)) << extracted.err;
    EXPECT_EQ(1u, Lines(extracted.err).size()) << extracted.err;
    EXPECT_EQ("alpha", ReadBytes(work / "out/t/a.bin"));
  }
}

// kvmorvel verify: every entry's data read back through a scratch restore.
class ToolVerify : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(0, mkdir(tree_.c_str(), 0755));
    ASSERT_EQ(0, mkdir((tree_ + "/folder").c_str(), 0755));
    WriteBytes(tree_ + "/folder/a.bin", PatternBytes(5u << 20, 5));
    WriteBytes(tree_ + "/b.txt", "small");
  }
  // Creates the archive of version `version`, split at 1 MiB.
  std::string Create(const char* version) {
    const std::string archive = work_ / (std::string("v") + version + ".kvm");
    const ToolResult created =
        RunTool({"create", "-V", version, "--split-size", "1M", archive, tree_});
    EXPECT_EQ(0, created.status) << created.err;
    return archive;
  }
  ToolResult Verify(const std::vector<std::string>& args) {
    std::vector<std::string> all = {"verify"};
    all.insert(all.end(), args.begin(), args.end());
    return RunTool(all, {{"TMPDIR", scratch_.path()}});
  }
  // Flips one byte in the middle of the main file: inside the stored data
  // of a.bin, which is nearly the whole of a version 1 or 2 archive.
  static void FlipMiddleByte(const std::string& path) {
    std::string bytes = ReadBytes(path);
    bytes[bytes.size() / 2] ^= 0x5A;
    WriteBytes(path, bytes);
  }

  TempDir source_, work_, scratch_;
  std::string tree_ = source_ / "t";
};

TEST_F(ToolVerify, SoundArchiveOfEveryVersionPassesAndLeavesNothingBehind) {
  for (const char* version : {"1", "2", "5"}) {
    SCOPED_TRACE(version);
    const std::string archive = Create(version);
    const size_t entries = version[0] == '1' ? 2 : 4;
    const ToolResult text = Verify({archive});
    EXPECT_EQ(0, text.status) << text.err;
    EXPECT_EQ("", text.err);
    EXPECT_NE(std::string::npos,
              text.out.find(std::to_string(entries) + " entries checked, 0 bad: sound"))
        << text.out;
    const ToolResult json = Verify({"--json", archive});
    EXPECT_EQ(0, json.status) << json.err;
    const std::vector<std::string> lines = Lines(json.out);
    ASSERT_EQ(entries + 1, lines.size()) << json.out;
    for (size_t i = 0; i < entries; ++i)
      EXPECT_EQ(0u, lines[i].find("{\"type\":\"entry\",\"name\":\"t")) << lines[i];
    EXPECT_NE(std::string::npos, json.out.find(
        "{\"type\":\"entry\",\"name\":\"t\\\\folder\\\\a.bin\",\"size\":5242880,"
        "\"status\":\"ok\"}")) << json.out;
    EXPECT_EQ(0u, lines.back().find("{\"type\":\"summary\",\"verb\":\"verify\",\"entries\":" +
                                    std::to_string(entries) + ",\"failed\":0,"))
        << lines.back();
    // The scratch folder is gone again.
    EXPECT_TRUE(Lines(RunTool({"list", archive}).out).size() == entries);
    DIR* left = opendir(scratch_.path().c_str());
    ASSERT_NE(nullptr, left);
    int items = 0;
    while (struct dirent* item = readdir(left))
      if (item->d_name[0] != '.') ++items;
    closedir(left);
    EXPECT_EQ(0, items);
  }
}

TEST_F(ToolVerify, FlippedDataByteOfVersion1And2IsFoundByZlibsChecksum) {
  for (const char* version : {"1", "2"}) {
    SCOPED_TRACE(version);
    const std::string archive = Create(version);
    FlipMiddleByte(archive);
    const ToolResult text = Verify({archive});
    EXPECT_EQ(1, text.status);
    EXPECT_NE(std::string::npos, text.err.find("t\\folder\\a.bin: error 1359")) << text.err;
    EXPECT_EQ(1u, Lines(text.err).size()) << text.err;
    EXPECT_NE(std::string::npos, text.out.find("1 bad: DAMAGED")) << text.out;
    const ToolResult json = Verify({"--json", archive});
    EXPECT_EQ(1, json.status);
    EXPECT_NE(std::string::npos,
              json.out.find("{\"type\":\"error\",\"name\":\"t\\\\folder\\\\a.bin\",\"code\":1359,"))
        << json.out;
    EXPECT_NE(std::string::npos, json.out.find("\"failed\":1,")) << json.out;
  }
}

TEST_F(ToolVerify, TruncatedBlockAndMissingPartOfVersion5AreFound) {
  const std::string archive = Create("5");
  const std::string part2 = work_ / "v5_0002.kvm";
  const std::string whole = ReadBytes(part2);
  ASSERT_GT(whole.size(), 1000u);
  // Parts 1 to 3 hold blocks of a.bin: cut inside one of part 2.
  ASSERT_EQ(0, truncate(part2.c_str(), static_cast<off_t>(whole.size() / 2)));
  ToolResult result = Verify({archive});
  EXPECT_EQ(1, result.status);
  EXPECT_NE(std::string::npos,
            result.err.find("t\\folder\\a.bin: part file " + part2 + " is cut short: error 38"))
      << result.err;
  EXPECT_NE(std::string::npos, result.out.find("1 bad: DAMAGED")) << result.out;

  ASSERT_EQ(0, unlink(part2.c_str()));
  result = Verify({archive});
  EXPECT_EQ(1, result.status);
  EXPECT_NE(std::string::npos,
            result.err.find("t\\folder\\a.bin: part file " + part2 + " is missing: error 2"))
      << result.err;
  EXPECT_NE(std::string::npos, result.err.find("part 2 is missing")) << result.err;

  WriteBytes(part2, whole);
  result = Verify({archive});
  EXPECT_EQ(0, result.status) << result.err;

  // The last part ends with a.bin's descriptor, the last item written; a
  // restore skips a descriptor cut short, verify reads it on its own.
  const std::string part3 = work_ / "v5_0003.kvm";
  const std::string last = ReadBytes(part3);
  ASSERT_GT(last.size(), 10u);
  WriteBytes(part3, last.substr(0, last.size() - 10));
  result = Verify({archive});
  EXPECT_EQ(1, result.status);
  EXPECT_NE(std::string::npos,
            result.err.find("t\\folder\\a.bin: its security descriptor: error 38"))
      << result.err;
  EXPECT_EQ(1u, Lines(result.err).size()) << result.err;
}

// The command lists `archive` as exactly the entries `names`.
void ExpectListsExactly(const std::string& archive,
                        const std::vector<std::string>& names) {
  const ToolResult listed = RunTool({"list", archive});
  ASSERT_EQ(0, listed.status) << listed.err;
  const std::vector<std::string> lines = Lines(listed.out);
  EXPECT_EQ(names.size(), lines.size()) << listed.out;
  for (const std::string& name : names)
    EXPECT_NE("", LineFor(lines, name)) << name;
}

TEST(ToolCreate, ExistingArchiveIsRefusedUnlessAppending) {
  TempDir source, work;
  WriteBytes(source / "one.txt", "1");
  WriteBytes(source / "two.txt", "22");
  const std::string archive = work / "a.kvm";
  ASSERT_EQ(0, RunTool({"create", archive, source / "one.txt"}).status);
  const std::string before = ReadBytes(archive);
  EXPECT_EQ(2, RunTool({"create", archive, source / "two.txt"}).status);
  EXPECT_EQ(before, ReadBytes(archive));
  ASSERT_EQ(0, RunTool({"create", "--append", archive, source / "two.txt"})
                   .status);
  ExpectListsExactly(archive, {"one.txt", "two.txt"});
}

TEST(ToolCreate, SecondAppenderIsRefusedAsInUseAndTheArchiveStaysWhole) {
  for (const char* version : {"1", "2", "5"}) {
    TempDir source, work;
    WriteBytes(source / "one.txt", "1");
    WriteBytes(source / "two.txt", "22");
    WriteBytes(source / "three.txt", "333");
    const std::string archive = work / "a.kvm";
    ASSERT_EQ(0, RunTool({"create", "-V", version, archive,
                          source / "one.txt"}).status);
    CKvMorvel appender;  // this process appends while the command tries
    ASSERT_TRUE(appender.Open(P(W(archive)), FALSE, atoi(version)));
    ASSERT_TRUE(appender.AddFile(P(W(source / "two.txt")), u"two.txt",
                                 nullptr, 0));
    const ToolResult second = RunTool({"create", "-V", version, "--append",
                                       archive, source / "three.txt"});
    EXPECT_EQ(2, second.status) << version;
    EXPECT_NE(std::string::npos, second.err.find("archive in use: error 32"))
        << second.err;
    // A reader is refused too: the writer shares nothing.
    const ToolResult reader = RunTool({"list", archive});
    EXPECT_EQ(2, reader.status) << version;
    EXPECT_NE(std::string::npos, reader.err.find("error 32")) << reader.err;
    ASSERT_TRUE(appender.Close());
    ExpectListsExactly(archive, {"one.txt", "two.txt"});
  }
}

TEST(ToolCreate, NameWithBackslashIsRefusedAndTheOthersStored) {
  TempDir source, work;
  const std::string tree =
      MakeTree(source, {{"a\\b.txt", "ambiguous"}, {"c.txt", "fine"}});
  const std::string archive = work / "b.kvm";
  const ToolResult created = RunTool({"create", archive, tree});
  EXPECT_EQ(1, created.status);
  EXPECT_NE(std::string::npos, created.err.find("a\\b.txt")) << created.err;
  const ToolResult listed = RunTool({"list", archive});
  ASSERT_EQ(0, listed.status) << listed.err;
  const std::vector<std::string> lines = Lines(listed.out);
  EXPECT_EQ(2u, lines.size()) << listed.out;
  EXPECT_NE("", LineFor(lines, "t\\c.txt")) << listed.out;
}

// The archive lies inside the tree it stores and is named in ways that
// differ from the paths the walk meets. Neither the main file nor a part
// file is ever stored: its folder "out" sorts after the data files, so
// the walk lists it after the parts were made during the run.
TEST(ToolCreate, TheArchiveNeverStoresItselfOrItsPartsHoweverSpelled) {
  TempDir top;
  const std::string tree = top / "tree";
  const std::string out = tree + "/out";
  ASSERT_EQ(0, mkdir(tree.c_str(), 0755));
  ASSERT_EQ(0, mkdir((tree + "/sub").c_str(), 0755));
  ASSERT_EQ(0, mkdir(out.c_str(), 0755));
  ASSERT_EQ(0, symlink(tree.c_str(), (top / "link").c_str()));
  for (unsigned i = 1; i <= 3; ++i)
    WriteBytes(tree + "/a" + std::to_string(i) + ".bin",
               PatternBytes(40000, i));
  WriteBytes(tree + "/z.txt", "last");
  const std::vector<std::vector<std::string>> spellings = {
      {"./tree/out/self.kvm", "tree"},
      {"tree/sub/../out/self.kvm", "tree"},
      {"tree//out//self.kvm", "tree/"},
      {"/" + out + "//self.kvm", "tree"},
      {"link/out/self.kvm", "tree"},
      {"tree/out/self.kvm", "link/."},
      {"link/sub/../out/./self.kvm", "./link/."}};
  for (const auto& spelling : spellings) {
    SCOPED_TRACE(spelling[0] + " " + spelling[1]);
    const ToolResult created =
        RunTool({"create", "--split-size", "8K", spelling[0], spelling[1]}, {},
                top.path());
    EXPECT_EQ(0, created.status) << created.err;
    ASSERT_TRUE(Exists(out + "/self_0003.kvm"));  // parts made on the way
    EXPECT_NE(std::string::npos,
              created.err.find("self_0002.kvm: the archive itself"))
        << created.err;
    const ToolResult listed = RunTool({"list", out + "/self.kvm"});
    ASSERT_EQ(0, listed.status) << listed.err;
    EXPECT_EQ(std::string::npos, listed.out.find("self")) << listed.out;
    for (const char* name : {"a1.bin", "a2.bin", "a3.bin", "z.txt"})
      EXPECT_NE(std::string::npos, listed.out.find(name)) << listed.out;
    for (unsigned part = 0; part < 100; ++part) {
      char name[32];
      snprintf(name, sizeof name, part ? "/self_%04u.kvm" : "/self.kvm", part);
      unlink((out + name).c_str());
    }
  }
  // A hard link is the archive under another name in another folder.
  const std::string v2 = top / "v2.kvm";
  ASSERT_EQ(0, RunTool({"create", "-V", "2", v2, tree + "/z.txt"}).status);
  ASSERT_EQ(0, link(v2.c_str(), (out + "/hard.kvm").c_str()));
  const ToolResult appended =
      RunTool({"create", "-V", "2", "--append", v2, tree});
  EXPECT_EQ(0, appended.status) << appended.err;
  const ToolResult listed = RunTool({"list", v2});
  ASSERT_EQ(0, listed.status) << listed.err;
  EXPECT_EQ(std::string::npos, listed.out.find("hard.kvm")) << listed.out;
  EXPECT_NE(std::string::npos, listed.out.find("a3.bin")) << listed.out;
}

TEST(ToolCreate, LevelReachesTheDeflateStream) {
  TempDir source, work;
  WriteBytes(source / "text.txt", std::string(1 << 20, 'k') + "end");
  const std::string stored = work / "stored.kvm";
  const std::string best = work / "best.kvm";
  ASSERT_EQ(0, RunTool({"create", "-V", "2", "--level", "-1", stored,
                        source / "text.txt"}).status);
  ASSERT_EQ(0, RunTool({"create", "-V2", "--level=2", best,
                        source / "text.txt"}).status);
  // Stored: at least the whole megabyte; best: a small fraction of it.
  EXPECT_GT(ReadBytes(stored).size(), 1u << 20);
  EXPECT_LT(ReadBytes(best).size(), 64u << 10);
}

TEST(ToolExtract, Version1RestoresEveryEntryWhateverItsName) {
  // Version 1 leaves one special name out unless asked; the command asks.
  TempDir source, work;
  const std::string tree = source / "t";
  ASSERT_EQ(0, mkdir(tree.c_str(), 0755));
  WriteBytes(tree + "/teph.dav", "special");
  WriteBytes(tree + "/plain.txt", "plain");
  const std::string archive = work / "v1.kvm";
  ASSERT_EQ(0, RunTool({"create", "-V", "1", archive, tree}).status);
  const ToolResult result = RunTool({"extract", archive, work / "out"});
  ASSERT_EQ(0, result.status) << result.err;
  EXPECT_EQ("special", ReadBytes(work / "out/t/teph.dav"));
  EXPECT_EQ("plain", ReadBytes(work / "out/t/plain.txt"));
}

TEST(ToolExtract, NamesLeadingOutsideTheTargetAreRefused) {
  TempDir source, work;
  WriteBytes(source / "f.txt", "payload");
  const std::string archive = work / "evil.kvm";
  {
    CKvMorvel writer;
    ASSERT_TRUE(writer.Open(P(W(archive)), FALSE, 5));
    ASSERT_TRUE(writer.AddFile(P(W(source / "f.txt")), P(W("..\\escaped.txt")),
                               nullptr, 0));
    ASSERT_TRUE(writer.AddFile(P(W(source / "f.txt")), P(W("inside.txt")),
                               nullptr, 0));
    ASSERT_TRUE(writer.Close());
  }
  const std::string target = work / "deep/target";
  const ToolResult result = RunTool({"extract", archive, target});
  EXPECT_EQ(1, result.status);
  EXPECT_NE(std::string::npos, result.err.find("..\\escaped.txt")) << result.err;
  EXPECT_FALSE(Exists(work / "deep/escaped.txt"));
  EXPECT_EQ("payload", ReadBytes(target + "/inside.txt"));
}

// Runs kvmorvel on a pseudo terminal; returns the child's pid and the
// terminal's controlling side.
pid_t StartOnTerminal(const std::vector<std::string>& args, int* terminal) {
  const std::string tool = ToolPath();
  std::vector<char*> argv = {const_cast<char*>(tool.c_str())};
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  const pid_t pid = forkpty(terminal, nullptr, nullptr, nullptr);
  if (pid == 0) {
    execv(tool.c_str(), argv.data());
    _exit(127);
  }
  return pid;
}

// Reads the terminal until `text` shows up, the child closes it or
// nothing arrives for `seconds` (a command that hangs fails the test
// instead of stalling the suite).
std::string ReadUntil(int terminal, const std::string& text,
                      int seconds = 60) {
  std::string seen;
  char buffer[4096];
  while (seen.find(text) == std::string::npos) {
    pollfd ready = {terminal, POLLIN, 0};
    if (poll(&ready, 1, seconds * 1000) <= 0) break;
    const ssize_t n = read(terminal, buffer, sizeof buffer);
    if (n <= 0) break;
    seen.append(buffer, static_cast<size_t>(n));
  }
  return seen;
}

// Waits up to `seconds` for the child to end; kills it if it does not.
bool WaitFor(pid_t pid, int seconds, int* status) {
  for (int tenth = 0; tenth < seconds * 10; ++tenth) {
    if (waitpid(pid, status, WNOHANG) == pid) return true;
    usleep(100000);
  }
  kill(pid, SIGKILL);
  waitpid(pid, status, 0);
  return false;
}

// A copy of the command and the archive library in `prefix`, laid out as
// installed (bin/kvmorvel, lib/libKvMorvelM64.so.1 under its SONAME, the
// mount library in the private lib/kvmorvel) or, with `flat`, all side by
// side in bin; the mount library is copied only `withMount`. Returns the
// environment that lets the copy find the archive library.
Environment CopyCommand(const std::string& prefix, bool flat,
                        bool withMount) {
  const std::string bin = prefix + "/bin";
  const std::string lib = flat ? bin : prefix + "/lib";
  const std::string modules = flat ? bin : lib + "/kvmorvel";
  for (const std::string& folder : {bin, lib, modules})
    mkdir(folder.c_str(), 0755);
  WriteBytes(bin + "/kvmorvel", ReadBytes(ToolPath()));
  chmod((bin + "/kvmorvel").c_str(), 0755);
  WriteBytes(lib + "/libKvMorvelM64.so.1",
             ReadBytes(BuildDir() + "/libKvMorvelM64.so.1"));
  if (withMount)
    WriteBytes(modules + "/virtdisk.dll",
               ReadBytes(BuildDir() + "/virtdisk.dll"));
  return {{"LD_LIBRARY_PATH", lib}};
}

class ToolMountLibrary : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string tree = source_ / "tree";
    ASSERT_EQ(0, mkdir(tree.c_str(), 0755));
    WriteBytes(tree + "/a.txt", "alpha");
    ASSERT_EQ(0, RunTool({"mkimage", tree, image_}).status);
    mountsEnv_ = {{"TMPDIR", mounts_.path()},
                  {"KVMORVEL_DOSDEVICES", devices_.path()}};
  }

  // Lists the image with `program` from the folder `here`.
  ToolResult List(const std::string& program, Environment env) {
    env.insert(env.end(), mountsEnv_.begin(), mountsEnv_.end());
    return RunProgram(program, {"list", image_}, env, here_.path(), 60);
  }

  TempDir source_, here_, prefix_, mounts_, devices_;
  std::string image_ = source_ / "tree.img";
  Environment mountsEnv_;
};

TEST_F(ToolMountLibrary, APlantInTheCurrentFolderIsNotRunBesideAnInstalledOne) {
  PlantLibrary(here_.path());
  // Beside the command (the build folder).
  ToolResult listed = List(ToolPath(), {});
  EXPECT_EQ(0, listed.status) << listed.err;
  EXPECT_NE(std::string::npos, listed.out.find("a.txt")) << listed.out;
  // Installed: the command in bin, the libraries in lib.
  const Environment env = CopyCommand(prefix_.path(), false, true);
  listed = List(prefix_ / "bin/kvmorvel", env);
  EXPECT_EQ(0, listed.status) << listed.err;
  EXPECT_NE(std::string::npos, listed.out.find("a.txt")) << listed.out;
  EXPECT_FALSE(Exists(here_ / kPlantedMarker));
}

TEST_F(ToolMountLibrary, WithNoneInstalledTheImageFailsWith13) {
  const Environment env = CopyCommand(prefix_.path(), true, false);
  ToolResult listed = List(prefix_ / "bin/kvmorvel", env);
  EXPECT_EQ(2, listed.status);
  EXPECT_NE(std::string::npos, listed.err.find("error 13 ")) << listed.err;
  // Only then is the current folder searched, last: the plant is loaded
  // (this is what the test above would see if the order were wrong).
  PlantLibrary(here_.path());
  listed = List(prefix_ / "bin/kvmorvel", env);
  EXPECT_EQ(2, listed.status);
  EXPECT_TRUE(Exists(here_ / kPlantedMarker));
}

TEST(ToolTerminal, ProgressShowsAndInterruptClosesTheArchive) {
  TempDir source, work;
  const std::string tree = source / "t";
  ASSERT_EQ(0, mkdir(tree.c_str(), 0755));
  // After the first entries a large file keeps the command busy while the
  // interrupt arrives.
  WriteBytes(tree + "/a.txt", "first");
  WriteBytes(tree + "/b_large.bin", PatternBytes(24u << 20, 3));
  for (int i = 0; i < 50; ++i)
    WriteBytes(tree + "/c" + std::to_string(i) + ".txt", "more");
  const std::string archive = work / "i.kvm";
  int terminal = -1;
  const pid_t pid = StartOnTerminal({"create", archive, tree}, &terminal);
  ASSERT_GT(pid, 0);
  const std::string seen = ReadUntil(terminal, "entries, ");
  kill(pid, SIGINT);
  int status = 0;
  ReadUntil(terminal, "\x01never\x01");  // drain until the child ends
  ASSERT_TRUE(WaitFor(pid, 60, &status)) << "the command did not stop";
  close(terminal);
  EXPECT_NE(std::string::npos, seen.find("entries, ")) << seen;
  EXPECT_NE(std::string::npos, seen.find("\r")) << seen;
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(130, WEXITSTATUS(status));
  // Closed cleanly: it lists, and holds what was added before the stop.
  const ToolResult listed = RunTool({"list", archive});
  EXPECT_EQ(0, listed.status) << listed.err;
  const size_t entries = Lines(listed.out).size();
  EXPECT_GE(entries, 1u);
  EXPECT_LT(entries, 53u);
}

TEST(ToolTerminal, KnownTotalsShowABarAndEveryVerbEndsWithASummary) {
  TempDir source, work;
  const std::string tree = source / "t";
  ASSERT_EQ(0, mkdir(tree.c_str(), 0755));
  WriteBytes(tree + "/a.bin", PatternBytes(2u << 20, 4));
  WriteBytes(tree + "/b.txt", "bee");
  const std::string archive = work / "s.kvm";
  const struct {
    std::vector<std::string> args;
    const char* summary;
    bool bar;  // the totals are known beforehand
  } runs[] = {
      {{"create", archive, tree}, "kvmorvel create: 3 entries, 0 failed, 2.0 MiB in, ", false},
      {{"list", archive}, "kvmorvel list: 3 entries, 0 failed, ", false},
      {{"extract", archive, work / "out"}, "kvmorvel extract: 3 entries, 0 failed, ", true},
      {{"verify", archive}, "kvmorvel verify: 3 entries, 0 failed, ", true}};
  for (const auto& run : runs) {
    SCOPED_TRACE(run.args[0]);
    int terminal = -1;
    const pid_t pid = StartOnTerminal(run.args, &terminal);
    ASSERT_GT(pid, 0);
    const std::string seen = ReadUntil(terminal, "\x01never\x01");
    int status = 0;
    ASSERT_TRUE(WaitFor(pid, 60, &status));
    close(terminal);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status)) << seen;
    const size_t at = seen.find(run.summary);
    ASSERT_NE(std::string::npos, at) << seen;
    // The summary's line, with the ratio and the time, ends the output.
    EXPECT_NE(std::string::npos, seen.find(" out, ratio ", at)) << seen;
    EXPECT_EQ(seen.size(), seen.find(" s\r\n", at) + 4) << seen;
    if (run.bar) {
      EXPECT_NE(std::string::npos, seen.find("] ")) << seen;
      EXPECT_NE(std::string::npos, seen.find("%  ")) << seen;
    } else {
      EXPECT_EQ(std::string::npos, seen.find("%  ")) << seen;
    }
  }
}

}  // namespace
