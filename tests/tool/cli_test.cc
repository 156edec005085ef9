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
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
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
    const ToolResult created = RunTool({"create", archive_, "tree"}, {}, source_.path());
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
  ASSERT_EQ(0, RunTool({"create", "-V", "1", v1, "tree"}, {}, source_.path()).status);
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
  ASSERT_EQ(0, RunTool({"create", archive, "odd"}, {}, source.path()).status);
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

// A name of 400 characters (two folders of 150, Linux's limit being 255
// bytes a component, and a file of 98) is shown whole by list, list
// --json and extract's messages, as GetEntryName gives it.
TEST(ToolNames, LongNameIsShownWhole) {
  TempDir source, work;
  const std::string d(150, 'd'), e(150, 'e'), f(98, 'f');
  ASSERT_EQ(0, mkdir((source / d).c_str(), 0755));
  ASSERT_EQ(0, mkdir((source / (d + "/" + e)).c_str(), 0755));
  WriteBytes(source / (d + "/" + e + "/" + f), "long");
  const std::string archive = work / "long.kvm";
  ASSERT_EQ(0, RunTool({"create", archive, d}, {}, source.path()).status);
  const std::string whole = d + "\\" + e + "\\" + f;
  ASSERT_EQ(400u, whole.size());
  const ToolResult listed = RunTool({"list", archive});
  ASSERT_EQ(0, listed.status) << listed.err;
  EXPECT_NE("", LineFor(Lines(listed.out), whole)) << listed.out;
  const ToolResult json = RunTool({"list", "--json", archive});
  ASSERT_EQ(0, json.status) << json.err;
  EXPECT_NE(std::string::npos,
            json.out.find("{\"type\":\"entry\",\"name\":\"" + d + "\\\\" + e + "\\\\" + f +
                          "\","))
      << json.out;
  // A folder where the file goes fails the file's restore, named whole.
  const std::string out = work / "out";
  ASSERT_EQ(0, mkdir(out.c_str(), 0755));
  ASSERT_EQ(0, mkdir((out + "/" + d).c_str(), 0755));
  ASSERT_EQ(0, mkdir((out + "/" + d + "/" + e).c_str(), 0755));
  ASSERT_EQ(0, mkdir((out + "/" + d + "/" + e + "/" + f).c_str(), 0755));
  const ToolResult extracted = RunTool({"extract", archive, out});
  EXPECT_EQ(1, extracted.status);
  EXPECT_NE(std::string::npos, extracted.err.find("cannot restore " + whole + ": error "))
      << extracted.err;
}

// Names holding ESC, U+009B (the one-character CSI), a newline, DEL or
// bytes that are not UTF-8 are printed escaped by every verb: create's
// notes and failures, list, list --json (valid JSON, plain ASCII) and
// extract's messages.
TEST(ToolNames, ControlCharactersAndInvalidSequencesAreEscapedEverywhere) {
  TempDir source, work;
  const std::string odd = source / "odd";
  ASSERT_EQ(0, mkdir(odd.c_str(), 0755));
  WriteBytes(odd + "/esc\x1b[2J", "1");
  WriteBytes(odd + "/csi\xc2\x9b" "1m", "2");
  WriteBytes(odd + "/new\nline\x7f", "3");
  WriteBytes(odd + "/bad\xff", "4");  // not UTF-8: cannot be stored
  ASSERT_EQ(0, mkfifo((odd + "/fifo\x1b]0;title\x07").c_str(), 0644));
  const std::string archive = work / "odd.kvm";
  const ToolResult created = RunTool({"create", archive, "odd"}, {}, source.path());
  EXPECT_EQ(1, created.status);
  EXPECT_NE(std::string::npos,
            created.err.find("odd/bad\\377: the name is not valid UTF-8: error 123"))
      << created.err;
  EXPECT_NE(std::string::npos,
            created.err.find("odd/fifo\\033]0;title\\007: not a file, folder or link"))
      << created.err;
  // Nothing raw reaches the terminal: only the line ends are newlines.
  const auto expectNoRawControl = [](const std::string& text) {
    for (const std::string& line : Lines(text)) {
      for (unsigned char c : line) EXPECT_TRUE(c >= 0x20 && c != 0x7F) << line;
      EXPECT_EQ(std::string::npos, line.find("\xc2\x9b")) << line;
      EXPECT_EQ(std::string::npos, line.find("\xff")) << line;
    }
  };
  expectNoRawControl(created.err);
  EXPECT_EQ(2u, Lines(created.err).size()) << created.err;

  const ToolResult listed = RunTool({"list", archive});
  ASSERT_EQ(0, listed.status) << listed.err;
  const std::vector<std::string> lines = Lines(listed.out);
  EXPECT_EQ(4u, lines.size()) << listed.out;
  for (const char* shown : {"odd\\esc\\033[2J", "odd\\csi\\302\\2331m",
                            "odd\\new\\nline\\177"})
    EXPECT_NE("", LineFor(lines, shown)) << shown << "\n" << listed.out;
  expectNoRawControl(listed.out);

  const ToolResult json = RunTool({"list", "--json", archive});
  ASSERT_EQ(0, json.status) << json.err;
  for (const char* shown : {"\"name\":\"odd\\\\esc\\u001b[2J\"",
                            "\"name\":\"odd\\\\csi\\u009b1m\"",
                            "\"name\":\"odd\\\\new\\nline\\u007f\""})
    EXPECT_NE(std::string::npos, json.out.find(shown)) << shown << "\n" << json.out;
  for (const std::string& line : Lines(json.out)) {
    EXPECT_EQ(0u, line.find("{\"type\":\"")) << line;
    EXPECT_EQ('}', line.back()) << line;
    for (unsigned char c : line) EXPECT_TRUE(c >= 0x20 && c < 0x7F) << line;
  }

  // A restore that fails names its entry escaped too.
  const std::string out = work / "out";
  ASSERT_EQ(0, mkdir(out.c_str(), 0755));
  ASSERT_EQ(0, mkdir((out + "/odd").c_str(), 0755));
  ASSERT_EQ(0, mkdir((out + "/odd/csi\xc2\x9b" "1m").c_str(), 0755));
  const ToolResult extracted = RunTool({"extract", archive, out});
  EXPECT_EQ(1, extracted.status);
  EXPECT_NE(std::string::npos,
            extracted.err.find("cannot restore odd\\csi\\302\\2331m: error "))
      << extracted.err;
  expectNoRawControl(extracted.err);
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

// Each failure says what happened in an administrator's words, then the
// code: an empty or foreign archive, a folder given as the archive, a
// missing part file named by its path, and permission denied on the
// target; never the system's "incorrect format" or "internal error".
TEST(ToolMessages, FailuresNameTheirCause) {
  TempDir source, work;
  const std::string tree = source / "t";
  ASSERT_EQ(0, mkdir(tree.c_str(), 0755));
  WriteBytes(tree + "/a.bin", PatternBytes(300000, 1));
  WriteBytes(tree + "/b.bin", PatternBytes(300000, 2));
  // Empty and foreign files.
  WriteBytes(work / "empty.kvm", "");
  WriteBytes(work / "foreign.kvm", "PK\x03\x04 not ours, not ours at all");
  for (const char* name : {"empty.kvm", "foreign.kvm"}) {
    const ToolResult listed = RunTool({"list", work / name});
    EXPECT_EQ(2, listed.status);
    EXPECT_NE(std::string::npos,
              listed.err.find("error 11 (0x0000000B): Not an archive of a "
                              "known format"))
        << listed.err;
    EXPECT_EQ(std::string::npos, listed.err.find("incorrect format"));
  }
  // A folder as the archive.
  const ToolResult folder = RunTool({"list", tree});
  EXPECT_EQ(2, folder.status);
  EXPECT_NE(std::string::npos, folder.err.find("The archive path is a folder"))
      << folder.err;
  // A missing part: its entries fail naming the part file.
  const std::string archive = work / "p.kvm";
  ASSERT_EQ(0,
            RunTool({"create", "--split-size", "1", archive, "t"}, {}, source.path()).status);
  const std::string part2 = work / "p_0002.kvm";
  ASSERT_TRUE(Exists(part2));
  ASSERT_EQ(0, unlink(part2.c_str()));
  const ToolResult extracted = RunTool({"extract", archive, work / "out"});
  EXPECT_EQ(1, extracted.status);
  EXPECT_NE(std::string::npos,
            extracted.err.find("Part file " + part2 + " is missing."))
      << extracted.err;
  EXPECT_EQ(std::string::npos, extracted.err.find("internal error occurred"))
      << extracted.err;
  // Permission denied on the target (root passes every permission).
  if (geteuid() != 0) {
    const std::string locked = work / "locked";
    ASSERT_EQ(0, mkdir(locked.c_str(), 0555));
    ASSERT_EQ(0, RunTool({"create", work / "whole.kvm", "t"}, {}, source.path()).status);
    const ToolResult refused = RunTool({"extract", work / "whole.kvm", locked});
    EXPECT_NE(0, refused.status);
    EXPECT_NE(std::string::npos,
              refused.err.find("error 5 (0x00000005): Permission denied."))
        << refused.err;
  }
}

// The command refuses an archive name whose version 5 part files would
// land in another folder ("/x.y/arc" makes "/x_0001.y/arc"), before it
// creates anything, and suggests an extension.
TEST(ToolCreate, PartsThatWouldLandInAnotherFolderAreRefusedFirst) {
  TempDir source, work;
  WriteBytes(source / "a.txt", "alpha");
  const std::string dotted = work / "x.y";
  const std::string other = work / "x_0001.y";
  ASSERT_EQ(0, mkdir(dotted.c_str(), 0755));
  ASSERT_EQ(0, mkdir(other.c_str(), 0755));
  const ToolResult refused =
      RunTool({"create", dotted + "/arc", source / "a.txt"});
  EXPECT_EQ(2, refused.status);
  EXPECT_NE(std::string::npos, refused.err.find("another folder"))
      << refused.err;
  EXPECT_NE(std::string::npos, refused.err.find(dotted + "/arc.kvm"))
      << refused.err;
  EXPECT_FALSE(Exists(dotted + "/arc"));
  EXPECT_FALSE(Exists(other + "/arc"));
  // With an extension the parts stay beside the main file.
  EXPECT_EQ(0, RunTool({"create", dotted + "/arc.kvm", source / "a.txt"})
                   .status);
  EXPECT_TRUE(Exists(dotted + "/arc_0001.kvm"));
}

// The fault switch is a test build's: the shipped command never obeys
// KVMORVEL_FAULT, even set to fail its very first counted call.
TEST(ToolCreate, TheShippedCommandIgnoresTheFaultSwitch) {
  TempDir source, work;
  WriteBytes(source / "a.txt", "alpha");
  int run = 0;
  for (const char* fault : {"fail:1", "short:1", "kill:1", "fail:3"}) {
    SCOPED_TRACE(fault);
    const std::string archive = work / ("f" + std::to_string(++run) + ".kvm");
    const ToolResult created = RunTool({"create", archive, source / "a.txt"},
                                       {{"KVMORVEL_FAULT", fault}});
    EXPECT_EQ(0, created.status) << created.err;
    const ToolResult listed =
        RunTool({"list", archive}, {{"KVMORVEL_FAULT", fault}});
    EXPECT_EQ(0, listed.status) << listed.err;
    EXPECT_NE(std::string::npos, listed.out.find("a.txt")) << listed.out;
  }
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
  ASSERT_EQ(0, RunTool({"create", archive, "t"}, {}, source.path()).status);
  // Part 1 holds every block and descriptor; cut it inside the first one.
  ASSERT_EQ(0, truncate((work / "d_0001.kvm").c_str(), 6));
  const ToolResult result = RunTool({"extract", archive, work / "out"});
  EXPECT_EQ(1, result.status);
  // The two files lose their data, the folder its descriptor; each is
  // reported with its name, the part file at fault and the code, and the
  // run goes on to the end.
  const std::vector<std::string> errors = Lines(result.err);
  ASSERT_EQ(3u, errors.size()) << result.err;
  const std::string cut = ": error 38 (0x00000026): The data ends before its recorded size "
                          "(part file " + (work / "d_0001.kvm") + ").";
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
  ASSERT_EQ(0, RunTool({"create", archive, "t"}, {}, source.path()).status);
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
              result.err.find(std::string("cannot restore ") + name +
                              "error 2 (0x00000002): Part file " + part + " is missing."))
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
    ASSERT_EQ(0, RunTool({"create", "-V", version, archive, "t"}, {}, source.path()).status);
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
    const ToolResult created = RunTool(
        {"create", "-V", version, "--split-size", "1M", archive, "t"}, {}, source_.path());
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
    EXPECT_NE(std::string::npos,
              text.err.find("cannot read the data of t\\folder\\a.bin: its stored data is "
                            "damaged or does not hold the recorded size: error 13"))
        << text.err;
    // The manifest names the main file too, whose bytes changed.
    EXPECT_NE(std::string::npos,
              text.err.find("the main file v" + std::string(version) +
                            ".kvm differs from the manifest"))
        << text.err;
    EXPECT_EQ(2u, Lines(text.err).size()) << text.err;
    EXPECT_NE(std::string::npos, text.out.find("1 bad: DAMAGED")) << text.out;
    const ToolResult json = Verify({"--json", archive});
    EXPECT_EQ(1, json.status);
    EXPECT_NE(std::string::npos,
              json.out.find("{\"type\":\"error\",\"name\":\"t\\\\folder\\\\a.bin\",\"code\":13,"))
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
            result.err.find("cannot read the data of t\\folder\\a.bin: the archive or a "
                            "part file ends inside its data: error 38"))
      << result.err;
  EXPECT_NE(std::string::npos,
            result.err.find("part file v5_0002.kvm differs from the manifest"))
      << result.err;
  EXPECT_NE(std::string::npos, result.out.find("1 bad: DAMAGED")) << result.out;

  ASSERT_EQ(0, unlink(part2.c_str()));
  result = Verify({archive});
  EXPECT_EQ(1, result.status);
  EXPECT_NE(std::string::npos,
            result.err.find("cannot read the data of t\\folder\\a.bin: a part file it "
                            "needs is missing: error 2"))
      << result.err;
  EXPECT_NE(std::string::npos, result.err.find("part file v5_0002.kvm is missing: error 2"))
      << result.err;
  // Without the manifest, the gap between the parts found names it.
  const std::string manifest = ReadBytes(archive + ".sha256");
  ASSERT_EQ(0, unlink((archive + ".sha256").c_str()));
  result = Verify({archive});
  EXPECT_EQ(1, result.status);
  EXPECT_NE(std::string::npos, result.err.find("part 2 is missing: part file v5_0002.kvm"))
      << result.err;
  WriteBytes(archive + ".sha256", manifest);

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
  EXPECT_NE(std::string::npos,
            result.err.find("part file v5_0003.kvm differs from the manifest"))
      << result.err;
  EXPECT_EQ(2u, Lines(result.err).size()) << result.err;
}

// Version 5 blocks carry no checksum: one changed data byte decompresses
// to other bytes of the right length. The manifest finds it, and names
// the entry, in verify and in extract.
TEST_F(ToolVerify, FlippedDataByteOfVersion5IsNamedByVerifyAndExtract) {
  const std::string archive = Create("5");
  const std::string part2 = work_ / "v5_0002.kvm";
  std::string bytes = ReadBytes(part2);
  bytes[bytes.size() / 2] ^= 0x01;  // inside a block of a.bin's data
  WriteBytes(part2, bytes);
  const ToolResult verified = Verify({archive});
  EXPECT_EQ(1, verified.status);
  EXPECT_NE(std::string::npos,
            verified.err.find("t\\folder\\a.bin: its data differs from the manifest"))
      << verified.err;
  EXPECT_NE(std::string::npos,
            verified.err.find("part file v5_0002.kvm differs from the manifest"))
      << verified.err;
  EXPECT_NE(std::string::npos, verified.out.find("1 bad: DAMAGED")) << verified.out;
  const ToolResult extracted = RunTool({"extract", archive, work_ / "out"});
  EXPECT_EQ(1, extracted.status);
  EXPECT_NE(std::string::npos,
            extracted.err.find("t\\folder\\a.bin: the restored data differs from the manifest"))
      << extracted.err;
  EXPECT_EQ(1u, Lines(extracted.err).size()) << extracted.err;
  EXPECT_EQ("small", ReadBytes(work_ / "out/t/b.txt"));
}

// Verify reads in memory: with no room for a scratch folder at all (TMPDIR
// below a plain file) a sound archive passes, and nothing is written.
TEST_F(ToolVerify, SoundArchiveNeedsNoScratchSpaceAndWritesNothing) {
  const std::string blocker = scratch_ / "file";
  WriteBytes(blocker, "x");
  auto snapshot = [this] {
    std::string listing;
    DIR* folder = opendir(work_.path().c_str());
    while (struct dirent* item = folder ? readdir(folder) : nullptr) {
      struct stat info;
      if (item->d_name[0] != '.' && lstat((work_ / item->d_name).c_str(), &info) == 0)
        listing += std::string(item->d_name) + " " + std::to_string(info.st_size) + " " +
                   std::to_string(info.st_mtime) + "\n";
    }
    if (folder) closedir(folder);
    return listing;
  };
  for (const char* version : {"1", "2", "5"}) {
    SCOPED_TRACE(version);
    const std::string archive = Create(version);
    const std::string before = snapshot();
    const ToolResult result =
        RunTool({"verify", archive}, {{"TMPDIR", blocker + "/tmp"}}, work_.path());
    EXPECT_EQ(0, result.status) << result.err;
    EXPECT_NE(std::string::npos, result.out.find("0 bad: sound")) << result.out;
    EXPECT_EQ(before, snapshot());
    EXPECT_EQ("x", ReadBytes(blocker));
  }
}

// The manifest's file lines are compared with the names of the archive's
// own files; a name in it never becomes a path that is read.
// The manifest is read in step with the entries; lines in another order
// are still found, and a line whose entry the archive no longer has is
// named once the entries are done.
TEST_F(ToolVerify, ManifestLinesInAnotherOrderOrForALostEntryAreHandled) {
  WriteBytes(tree_ + "/c.txt", "third");
  const std::string archive = Create("2");
  const std::string path = archive + ".sha256";
  std::vector<std::string> lines = Lines(ReadBytes(path));
  std::vector<std::string> entries, rest;
  for (size_t i = 1; i < lines.size(); ++i)
    (lines[i].compare(0, 8, "# entry ") == 0 ? entries : rest).push_back(lines[i]);
  ASSERT_EQ(3u, entries.size());
  std::reverse(entries.begin(), entries.end());
  std::string reordered = lines[0] + "\n";
  for (const std::string& line : entries) reordered += line + "\n";
  for (const std::string& line : rest) reordered += line + "\n";
  WriteBytes(path, reordered);
  ToolResult result = Verify({archive});
  EXPECT_EQ(0, result.status) << result.err;
  EXPECT_NE(std::string::npos, result.out.find("5 entries checked, 0 bad: sound")) << result.out;

  // A changed digest is still found out of order.
  std::string changed = reordered;
  const size_t digest = changed.find("# entry ") + 8;
  changed[digest] = changed[digest] == '0' ? '1' : '0';
  WriteBytes(path, changed);
  EXPECT_EQ(1, Verify({archive}).status);

  // A line for an entry the archive does not have.
  std::string lost = lines[0] + "\n# entry " + std::string(64, 'a') + " t\\gone.txt\n";
  for (size_t i = 1; i < lines.size(); ++i) lost += lines[i] + "\n";
  WriteBytes(path, lost);
  result = Verify({archive});
  EXPECT_EQ(1, result.status);
  EXPECT_NE(std::string::npos, result.err.find("gone.txt")) << result.err;
}

TEST_F(ToolVerify, ManifestNamesOnlyTheArchivesOwnFiles) {
  const std::string archive = Create("5");
  const std::string manifest = ReadBytes(archive + ".sha256");
  const std::string zeros(64, '0');
  for (const std::string& name :
       {std::string("../v5_0001.kvm"), std::string("/etc/passwd"), std::string(5000, 'n'),
        std::string("v5.kvm")}) {
    SCOPED_TRACE(name.substr(0, 20));
    std::string changed = manifest;
    const size_t part1 = changed.find("  v5_0001.kvm\n");
    ASSERT_NE(std::string::npos, part1);
    changed.replace(part1 - 64, 64 + 2 + 11, zeros + "  " + name);
    WriteBytes(archive + ".sha256", changed);
    const ToolResult result = Verify({archive});
    EXPECT_EQ(1, result.status);
    EXPECT_NE(std::string::npos,
              result.err.find("the manifest's file line 2 names no file of this archive "
                              "(expected v5_0001.kvm): error 1392"))
        << result.err;
    EXPECT_EQ(1u, Lines(result.err).size()) << result.err;
  }
}

// Without a manifest, version 5 data has nothing to be checked against:
// verify says so and never calls it sound; zlib still checks versions 1
// and 2. A manifest marked incomplete (the run that wrote the archive
// did not finish) fails the check.
TEST_F(ToolVerify, WhatCouldNotBeCheckedIsNeverCalledSound) {
  for (const char* version : {"1", "5"}) {
    SCOPED_TRACE(version);
    const std::string archive = Create(version);
    const std::string manifest = ReadBytes(archive + ".sha256");
    ASSERT_EQ(0, unlink((archive + ".sha256").c_str()));
    ToolResult result = Verify({archive});
    EXPECT_EQ(0, result.status) << result.err;
    if (version[0] == '5') {
      EXPECT_EQ(std::string::npos, result.out.find("sound")) << result.out;
      EXPECT_NE(std::string::npos, result.out.find("structure and lengths only")) << result.out;
      EXPECT_NE(std::string::npos, result.err.find("version 5 data carries no checksum"))
          << result.err;
    } else {
      EXPECT_NE(std::string::npos, result.out.find("0 bad: sound")) << result.out;
    }
    std::string incomplete = manifest;
    incomplete.replace(0, manifest.find('\n') + 1, "# KvMorvel manifest 1: incomplete\n");
    WriteBytes(archive + ".sha256", incomplete);
    result = Verify({archive});
    EXPECT_EQ(1, result.status);
    EXPECT_NE(std::string::npos, result.out.find("0 bad: INCOMPLETE")) << result.out;
    EXPECT_NE(std::string::npos, result.err.find(".sha256 is marked incomplete")) << result.err;
  }
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
  ASSERT_EQ(0, RunTool({"create", archive, "one.txt"}, {}, source.path()).status);
  const std::string before = ReadBytes(archive);
  EXPECT_EQ(2, RunTool({"create", archive, "two.txt"}, {}, source.path()).status);
  EXPECT_EQ(before, ReadBytes(archive));
  ASSERT_EQ(0, RunTool({"create", "--append", archive, "two.txt"}, {}, source.path())
                   .status);
  ExpectListsExactly(archive, {"one.txt", "two.txt"});
}

// A link planted where the manifest goes is never written through: the
// archive is made, the manifest refused by name, the link's target kept.
TEST(ToolCreate, ManifestIsNeverWrittenThroughALink) {
  TempDir source, work;
  WriteBytes(source / "one.txt", "1");
  WriteBytes(work / "precious", "keep me");
  const std::string archive = work / "a.kvm";
  ASSERT_EQ(0, symlink((work / "precious").c_str(), (archive + ".sha256").c_str()));
  const ToolResult created = RunTool({"create", archive, "one.txt"}, {}, source.path());
  EXPECT_EQ(1, created.status);
  EXPECT_NE(std::string::npos,
            created.err.find("cannot write the manifest beside " + archive + ": error 1921"))
      << created.err;
  EXPECT_EQ("keep me", ReadBytes(work / "precious"));
  struct stat info;
  ASSERT_EQ(0, lstat((archive + ".sha256").c_str(), &info));
  EXPECT_TRUE(S_ISLNK(info.st_mode));
  ExpectListsExactly(archive, {"one.txt"});
}

// extract reads a restored file back by its entry's name only after the
// restore confined that name below the target: an entry whose stored name
// leads out (..) or is rooted is refused, and nothing is read for it,
// even with a manifest line of that name; a link planted at a folder's
// path is replaced by the folder, and the file read back is the one
// restored inside the target.
TEST(ToolExtract, ManifestCheckReadsNothingForARefusedName) {
  TempDir source, work;
  const std::string tree = MakeTree(source, {});
  ASSERT_EQ(0, mkdir((tree + "/zz").c_str(), 0755));
  WriteBytes(tree + "/zz/x.bin", "data");
  const std::string archive = work / "h.kvm";
  ASSERT_EQ(0, RunTool({"create", archive, "t"}, {}, source.path()).status);
  const std::string bytes = ReadBytes(archive);
  const std::string manifest = ReadBytes(archive + ".sha256");
  const std::string wideName = std::string("t\0\\\0z\0z\0", 8);
  ASSERT_NE(std::string::npos, bytes.find(wideName));
  struct Hostile {
    std::string stored;  // the first four UTF-16 units of "t\zz..."
    std::string name;    // the same, as the manifest writes it
  };
  for (const Hostile& hostile :
       {Hostile{std::string("t\0\\\0.\0.\0", 8), "t\\.."},
        Hostile{std::string("\\\0\\\0z\0z\0", 8), "\\\\zz"},
        Hostile{wideName, "t\\zz"}}) {
    SCOPED_TRACE(hostile.name);
    std::string changed = bytes;
    for (size_t at = changed.find(wideName); at != std::string::npos;
         at = changed.find(wideName, at + 1))
      changed.replace(at, wideName.size(), hostile.stored);
    WriteBytes(archive, changed);
    std::string lines = manifest;
    for (size_t at = lines.find(" t\\zz"); at != std::string::npos;
         at = lines.find(" t\\zz", at + 1))
      lines.replace(at + 1, 4, hostile.name);
    WriteBytes(archive + ".sha256", lines);
    const std::string out = work / "out";
    mkdir(out.c_str(), 0755);
    mkdir((work / "elsewhere").c_str(), 0755);
    WriteBytes(work / "elsewhere/x.bin", "other");
    // The third one meets a link to a folder outside the target.
    unlink((out + "/t").c_str());
    if (hostile.name == "t\\zz") {
      mkdir((out + "/t").c_str(), 0755);
      ASSERT_EQ(0, symlink((work / "elsewhere").c_str(), (out + "/t/zz").c_str()));
    }
    const ToolResult extracted = RunTool({"extract", archive, out});
    EXPECT_EQ(std::string::npos, extracted.err.find("manifest")) << extracted.err;
    EXPECT_EQ("other", ReadBytes(work / "elsewhere/x.bin"));
    if (hostile.name == "t\\zz") {
      // The link at the folder's own path is removed, never followed: the
      // file is restored and read back inside the target.
      EXPECT_EQ(0, extracted.status) << extracted.err;
      EXPECT_EQ("data", ReadBytes(out + "/t/zz/x.bin"));
    } else {
      EXPECT_EQ(1, extracted.status);
    }
    unlink((out + "/t/zz").c_str());
  }
}

TEST(ToolCreate, SecondAppenderIsRefusedAsInUseAndTheArchiveStaysWhole) {
  for (const char* version : {"1", "2", "5"}) {
    TempDir source, work;
    WriteBytes(source / "one.txt", "1");
    WriteBytes(source / "two.txt", "22");
    WriteBytes(source / "three.txt", "333");
    const std::string archive = work / "a.kvm";
    ASSERT_EQ(0, RunTool({"create", "-V", version, archive, "one.txt"}, {},
                         source.path()).status);
    CKvMorvel appender;  // this process appends while the command tries
    ASSERT_TRUE(appender.Open(P(W(archive)), FALSE, atoi(version)));
    ASSERT_TRUE(appender.AddFile(P(W(source / "two.txt")), u"two.txt",
                                 nullptr, 0));
    const ToolResult second = RunTool({"create", "-V", version, "--append",
                                       archive, "three.txt"}, {}, source.path());
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
  const ToolResult created = RunTool({"create", archive, "t"}, {}, source.path());
  EXPECT_EQ(1, created.status);
  EXPECT_NE(std::string::npos, created.err.find("a\\b.txt")) << created.err;
  const ToolResult listed = RunTool({"list", archive});
  ASSERT_EQ(0, listed.status) << listed.err;
  const std::vector<std::string> lines = Lines(listed.out);
  EXPECT_EQ(2u, lines.size()) << listed.out;
  EXPECT_NE("", LineFor(lines, "t\\c.txt")) << listed.out;
}

// Whether `folder` holds nothing.
bool IsEmptyFolder(const std::string& folder) {
  DIR* dir = opendir(folder.c_str());
  if (!dir) return false;
  int items = 0;
  while (struct dirent* item = readdir(dir))
    if (strcmp(item->d_name, ".") != 0 && strcmp(item->d_name, "..") != 0) ++items;
  closedir(dir);
  return items == 0;
}

// Each PATH is stored by the path as given, made relative as tar does:
// two files of one last name stay apart, a leading '/' or './' is
// dropped with one notice, and PATHs that would store one name twice, or
// go up through '..', are refused before anything is written.
TEST(ToolCreate, NamesAsGivenAreNeverMerged) {
  TempDir source, work;
  for (const char* folder : {"dup", "dup/a", "dup/b"})
    ASSERT_EQ(0, mkdir((source / folder).c_str(), 0755));
  WriteBytes(source / "dup/a/conf", "first");
  WriteBytes(source / "dup/b/conf", "second");
  WriteBytes(source / "dup/c.txt", "third");
  const std::string archive = work / "a.kvm";
  const ToolResult created =
      RunTool({"create", archive, "dup/a/conf", "dup/b/conf"}, {}, source.path());
  ASSERT_EQ(0, created.status) << created.err;
  EXPECT_EQ("", created.err);
  ExpectListsExactly(archive, {"dup\\a\\conf", "dup\\b\\conf"});
  ASSERT_EQ(0, RunTool({"extract", archive, work / "out"}).status);
  EXPECT_EQ("first", ReadBytes(work / "out/dup/a/conf"));
  EXPECT_EQ("second", ReadBytes(work / "out/dup/b/conf"));

  // --append names the same way: "./" dropped, with the notice.
  const ToolResult appended =
      RunTool({"create", "--append", archive, "./dup/c.txt"}, {}, source.path());
  ASSERT_EQ(0, appended.status) << appended.err;
  EXPECT_EQ("kvmorvel: removing leading './' from entry names\n", appended.err);
  ExpectListsExactly(archive, {"dup\\a\\conf", "dup\\b\\conf", "dup\\c.txt"});

  // A rooted PATH loses its '/', and one notice says so for every PATH.
  const std::string rooted = work / "rooted.kvm";
  const ToolResult fromRoot = RunTool(
      {"create", rooted, source / "dup/a", "./dup/b/conf", "/" + source / "dup/c.txt"},
      {}, source.path());
  ASSERT_EQ(0, fromRoot.status) << fromRoot.err;
  EXPECT_EQ("kvmorvel: removing leading '/' and './' from entry names\n", fromRoot.err);
  std::string top = source.path().substr(1);
  for (char& c : top)
    if (c == '/') c = '\\';
  ExpectListsExactly(rooted, {top + "\\dup\\a", top + "\\dup\\a\\conf", "dup\\b\\conf",
                              top + "\\dup\\c.txt"});

  // Refused, exit 2, nothing written: the same name twice, a PATH inside
  // another, and '..'.
  const struct {
    std::vector<std::string> paths;
    const char* said;
  } refused[] = {
      {{"dup/c.txt", "./dup/c.txt"}, "would both store the entry 'dup\\c.txt'"},
      {{"dup/a/conf", "dup/b/conf", "dup/a/conf"}, "would both store the entry 'dup\\a\\conf'"},
      {{"dup", "dup/b/conf"}, "'dup' and 'dup/b/conf' would both store the entry 'dup\\b\\conf'"},
      {{"dup/b/conf", "."}, "'dup/b/conf' and '.' would both store"},
      {{"dup/a/../b"}, "'dup/a/../b' goes up through '..'"},
      {{source / "../x"}, "goes up through '..'"}};
  for (const auto& r : refused) {
    SCOPED_TRACE(r.paths[0]);
    std::vector<std::string> args = {"create", work / "r.kvm"};
    args.insert(args.end(), r.paths.begin(), r.paths.end());
    const ToolResult result = RunTool(args, {}, source.path());
    EXPECT_EQ(2, result.status);
    EXPECT_NE(std::string::npos, result.err.find(r.said)) << result.err;
    EXPECT_FALSE(Exists(work / "r.kvm"));
    EXPECT_FALSE(Exists(work / "r_0001.kvm"));
    // Appending is refused the same way, the archive left as it was.
    const std::string before = ReadBytes(archive);
    args[1] = "--append";
    args.insert(args.begin() + 2, archive);
    EXPECT_EQ(2, RunTool(args, {}, source.path()).status);
    EXPECT_EQ(before, ReadBytes(archive));
  }
}

// "create SOURCE ARCHIVE": the first argument is a folder and the second
// does not exist. The message says the arguments look swapped, never to
// remove the folder, and nothing is created, in the folder or beside it.
TEST(ToolCreate, SwappedArgumentsAreNamedAndNothingIsCreated) {
  TempDir top;
  ASSERT_EQ(0, mkdir((top / "src").c_str(), 0755));
  WriteBytes(top / "src/f.txt", "keep");
  const ToolResult swapped = RunTool({"create", "src", "backup.kvm"}, {}, top.path());
  EXPECT_EQ(2, swapped.status);
  EXPECT_NE(std::string::npos, swapped.err.find("the arguments look swapped"))
      << swapped.err;
  EXPECT_NE(std::string::npos,
            swapped.err.find("usage: kvmorvel create ARCHIVE PATH..."))
      << swapped.err;
  EXPECT_EQ(std::string::npos, swapped.err.find("remove")) << swapped.err;
  // A folder as ARCHIVE with a PATH that exists is refused as a folder.
  const ToolResult folder = RunTool({"create", "--append", "src", "src/f.txt"}, {}, top.path());
  EXPECT_EQ(2, folder.status);
  EXPECT_NE(std::string::npos, folder.err.find("ARCHIVE 'src' is a folder")) << folder.err;
  EXPECT_EQ(std::string::npos, folder.err.find("remove")) << folder.err;
  // Only the folder and its one file are there.
  EXPECT_FALSE(Exists(top / "backup.kvm"));
  EXPECT_FALSE(Exists(top / "src_0001"));
  ASSERT_EQ(0, unlink((top / "src/f.txt").c_str()));
  EXPECT_TRUE(IsEmptyFolder(top / "src"));
  ASSERT_EQ(0, rmdir((top / "src").c_str()));
  EXPECT_TRUE(IsEmptyFolder(top.path()));
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
  ASSERT_EQ(0, RunTool({"create", "-V", "1", archive, "t"}, {}, source.path()).status);
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
  // Chosen by a pattern, in a dry run, it is refused the same way and
  // its path is never looked at.
  const ToolResult dry = RunTool({"extract", "--dry-run", archive, target, "**"});
  EXPECT_EQ(1, dry.status);
  EXPECT_NE(std::string::npos, dry.err.find("..\\escaped.txt")) << dry.err;
  EXPECT_EQ(std::string::npos, dry.out.find("escaped")) << dry.out;
  EXPECT_NE(std::string::npos, dry.out.find("would replace inside.txt")) << dry.out;
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
  // Even then the current folder is never searched: a plant there is
  // not loaded, and the image still fails with 13.
  PlantLibrary(here_.path());
  listed = List(prefix_ / "bin/kvmorvel", env);
  EXPECT_EQ(2, listed.status);
  EXPECT_NE(std::string::npos, listed.err.find("error 13 ")) << listed.err;
  EXPECT_FALSE(Exists(here_ / kPlantedMarker));
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

// The names a folder holds, sorted.
std::vector<std::string> FolderNames(const std::string& folder) {
  std::vector<std::string> names;
  if (DIR* d = opendir(folder.c_str())) {
    while (dirent* e = readdir(d))
      if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
        names.push_back(e->d_name);
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

// mkimage never opens what is at IMAGE: a link planted there is replaced
// by the new image, its target left as it was, and no file of the
// writing is left beside it.
TEST(ToolMkimage, ALinkAtTheImageIsReplacedAndItsTargetKept) {
  TempDir source, work;
  WriteBytes(source / "a.txt", "alpha");
  WriteBytes(work / "precious", "keep me");
  const std::string image = work / "t.img";
  ASSERT_EQ(0, symlink((work / "precious").c_str(), image.c_str()));
  const ToolResult made = RunTool({"mkimage", source.path(), image});
  EXPECT_EQ(0, made.status) << made.err;
  EXPECT_EQ("keep me", ReadBytes(work / "precious"));
  struct stat info;
  ASSERT_EQ(0, lstat(image.c_str(), &info));
  EXPECT_TRUE(S_ISREG(info.st_mode));
  EXPECT_EQ(info.st_uid, geteuid());
  EXPECT_EQ("!XSSXSS!", ReadBytes(image).substr(0, 8));
  const ToolResult listed = RunTool({"list", image});
  EXPECT_EQ(0, listed.status) << listed.err;
  EXPECT_NE(std::string::npos, listed.out.find("a.txt")) << listed.out;
  EXPECT_EQ(2u, FolderNames(work.path()).size());
}

// A sparse file through the command, every version: created and
// extracted with its holes kept (the restored file uses no more disk
// than its data), its bytes unchanged.
TEST(ToolSparse, SparseFileRoundTripsWithItsHoles) {
  TempDir work;
  const std::string sparse = work / "disk.img";
  WriteSparse(sparse, 64ull << 20, {{5 << 20, "middle"}, {(64 << 20) - 3, "end"}});
  for (const char* version : {"1", "2", "5"}) {
    SCOPED_TRACE(version);
    const std::string archive = work / (std::string("v") + version + ".kvm");
    const std::string out = work / (std::string("out") + version);
    ToolResult result =
        RunTool({"create", "-V", version, archive, "disk.img"}, {}, work.path());
    ASSERT_EQ(0, result.status) << result.err;
    result = RunTool({"extract", archive, out});
    ASSERT_EQ(0, result.status) << result.err;
    EXPECT_TRUE(ReadBytes(out + "/disk.img") == ReadBytes(sparse));
    EXPECT_LT(DiskBytes(out + "/disk.img"), 1u << 20);
  }
}

// SIGTERM and SIGHUP stop a create inside a 1 TiB sparse file as Ctrl-C
// does: the file in hand is given up between pieces, the archive is
// closed whole, nothing is left beside it, and the status is 128 + the
// signal.
TEST(ToolTerminal, TermAndHangUpStopWithinAFileAndCloseTheArchive) {
  const struct {
    int signal;
    int status;
  } cases[] = {{SIGTERM, 143}, {SIGHUP, 129}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.signal);
    TempDir source, work;
    const std::string tree = source / "t";
    ASSERT_EQ(0, mkdir(tree.c_str(), 0755));
    WriteBytes(tree + "/a.txt", "first");
    WriteSparse(tree + "/b_sparse.img", 1ull << 40, {{0, "head"}});
    const std::string archive = work / "s.kvm";
    int terminal = -1;
    const pid_t pid = StartOnTerminal({"create", "-V", "5", archive, tree}, &terminal);
    ASSERT_GT(pid, 0);
    // The signal comes once the large file's blocks reach the part: the
    // part is written in gathered pieces of about 1 MiB, and a.txt holds
    // 5 bytes, so half a MiB there is the large file's. (Each of its
    // pieces is also digested for the manifest, which is slow under the
    // sanitizers: the first gathered write is waited for, not more.)
    struct stat st = {};
    for (int tick = 0; tick < 60000; ++tick) {
      if (stat((work / "s_0001.kvm").c_str(), &st) == 0 && st.st_size > (512 << 10))
        break;
      ReadUntil(terminal, "\x01never\x01", 0);  // keep the terminal drained
      usleep(1000);
    }
    EXPECT_GT(st.st_size, 512 << 10) << "the large file was never reached";
    kill(pid, c.signal);
    ReadUntil(terminal, "\x01never\x01");  // drain until the child ends
    int status = 0;
    ASSERT_TRUE(WaitFor(pid, 60, &status)) << "the command did not stop";
    close(terminal);
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(c.status, WEXITSTATUS(status));
    // Closed cleanly: it lists what came before the signal, not the file
    // given up, and the folder holds the archive and its part alone.
    const ToolResult listed = RunTool({"list", archive});
    EXPECT_EQ(0, listed.status) << listed.err;
    EXPECT_NE(std::string::npos, listed.out.find("a.txt")) << listed.out;
    EXPECT_EQ(std::string::npos, listed.out.find("b_sparse")) << listed.out;
    EXPECT_EQ((std::vector<std::string>{"s.kvm", "s.kvm.sha256", "s_0001.kvm"}),
              FolderNames(work.path()));
    // The manifest says the run did not finish.
    EXPECT_EQ(0u, ReadBytes(work / "s.kvm.sha256").find("# KvMorvel manifest 1: incomplete\n"));
  }
}

// SIGTERM stops an extract within a large entry too: the entry is named
// as incomplete, the run ends with 143 instead of being killed.
TEST(ToolTerminal, TermStopsAnExtractWithinAnEntry) {
  TempDir work;
  const std::string tree = work / "t";
  ASSERT_EQ(0, mkdir(tree.c_str(), 0755));
  WriteSparse(tree + "/big.img", 32ull << 30, {{0, "head"}});
  const std::string archive = work / "x.kvm";
  // Written through the library: the command would also digest the 32 GiB
  // of zeros for its manifest, which this test does not need.
  {
    CKvMorvel writer;
    ASSERT_TRUE(writer.Open(P(W(archive)), FALSE, 5));
    ASSERT_TRUE(writer.AddFile(P(W(tree + "/big.img")), P(W("big.img")), nullptr, 0));
    ASSERT_TRUE(writer.Close());
  }
  const std::string out = work / "out";
  int terminal = -1;
  const pid_t pid = StartOnTerminal({"extract", archive, out}, &terminal);
  ASSERT_GT(pid, 0);
  struct stat st = {};
  for (int tick = 0; tick < 60000; ++tick) {
    if (stat((out + "/big.img").c_str(), &st) == 0 && st.st_size > (1ll << 30)) break;
    ReadUntil(terminal, "\x01never\x01", 0);
    usleep(1000);
  }
  EXPECT_GT(st.st_size, 1ll << 30) << "the entry was never reached";
  kill(pid, SIGTERM);
  const std::string seen = ReadUntil(terminal, "\x01never\x01");
  int status = 0;
  ASSERT_TRUE(WaitFor(pid, 60, &status)) << "the command did not stop";
  close(terminal);
  ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
  EXPECT_EQ(143, WEXITSTATUS(status));
  EXPECT_NE(std::string::npos, seen.find("big.img: interrupted; the file is incomplete"))
      << seen;
  ASSERT_EQ(0, stat((out + "/big.img").c_str(), &st));
  EXPECT_LT(st.st_size, 32ll << 30);
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

// --- A tree whose owner swaps its items while root archives it ---------

// The uid the swapping child runs as: an ordinary user with no rights on
// root's files.
const uid_t kSwapperId = 65534;
const char kRootSecret[] = "root-only bytes 5f1c9e: never in a user's archive";

// Collects every entry's data through the library's own read path.
DWORD CollectEntryData(void* context, const BYTE* bytes, DWORD size) {
  static_cast<std::string*>(context)->append(
      reinterpret_cast<const char*>(bytes), size);
  return 0;
}

// All the data the archive's entries hold, run together, an entry that
// cannot be read left out; false when any could not be.
bool AllEntryData(const std::string& archive, std::string* data) {
  CKvMorvel arc;
  if (!arc.Open(P(W(archive)), TRUE, 0)) return false;
  bool whole = true;
  while (arc.Info(FALSE)) {
    std::string entry;
    whole = arc.ReadEntryData(&CollectEntryData, &entry) && whole;
    data->append(entry);
    arc.Info(TRUE);
  }
  return arc.Close() != 0 && whole;
}

// A child, as the ordinary user, swapping each pair of names with
// RENAME_EXCHANGE as fast as it can; killed when the test ends, however
// it ends. It counts the swaps done in memory shared with the test.
class Swapper {
 public:
  explicit Swapper(const std::vector<std::pair<std::string, std::string>>& pairs) {
    void* shared = mmap(nullptr, sizeof(*swaps_), PROT_READ | PROT_WRITE,
                        MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (shared == MAP_FAILED) return;
    swaps_ = static_cast<volatile unsigned long*>(shared);
    *swaps_ = 0;
    child_ = fork();
    if (child_ != 0) return;
    if (setgid(kSwapperId) != 0 || setuid(kSwapperId) != 0) _exit(3);
    for (;;) {
      for (const auto& pair : pairs)
        if (renameat2(AT_FDCWD, pair.first.c_str(), AT_FDCWD,
                      pair.second.c_str(), RENAME_EXCHANGE) == 0)
          ++*swaps_;
    }
  }
  ~Swapper() {
    Stop();
    if (swaps_) munmap(const_cast<unsigned long*>(swaps_), sizeof(*swaps_));
  }
  bool started() const { return child_ > 0; }
  // Stops the child; false when it had stopped on its own (it could not
  // become the ordinary user).
  bool Stop() {
    if (child_ <= 0) return false;
    kill(child_, SIGKILL);
    int status = 0;
    waitpid(child_, &status, 0);
    child_ = -1;
    return WIFSIGNALED(status);
  }
  unsigned long swaps() const { return swaps_ ? *swaps_ : 0; }

 private:
  pid_t child_ = -1;
  volatile unsigned long* swaps_ = nullptr;
};

// How long each version races: KVMORVEL_RACE_SECONDS for a long run
// (the restore's race test reads it too; the run's figures are printed),
// else about half a second, 100 runs at most.
double LongRaceSeconds() {
  const char* value = getenv("KVMORVEL_RACE_SECONDS");
  return value ? atof(value) : 0;
}

// Root archives a user's folder ("home") while the user swaps `files`
// of its files each for a link to a root-only file, and, with `folder`,
// a folder of it for a link to a root-only folder, again and again, for
// about half a second of runs per version that stores links (bounded,
// not timed: a slow machine makes fewer runs). The command opens each
// item once, as itself, and checks it is the item it listed: no run may
// store the root-only bytes, however the swaps fall.
void ArchiveWhileTheOwnerSwaps(int files, bool folder) {
  TempDir base;
  ASSERT_EQ(0, chmod(base.path().c_str(), 0755));
  const std::string home = base / "home", secretDir = base / "secrets";
  ASSERT_EQ(0, mkdir(secretDir.c_str(), 0700));
  WriteBytes(secretDir + "/secret", kRootSecret);
  WriteBytes(secretDir + "/inner", kRootSecret);
  ASSERT_EQ(0, chmod((secretDir + "/secret").c_str(), 0600));
  ASSERT_EQ(0, mkdir(home.c_str(), 0755));
  std::vector<std::pair<std::string, std::string>> pairs;
  for (int i = 0; i < files; ++i) {
    const std::string file = home + "/file" + std::to_string(i);
    const std::string link = home + "/link" + std::to_string(i);
    WriteBytes(file, "the user's own data");
    ASSERT_EQ(0, symlink((secretDir + "/secret").c_str(), link.c_str()));
    pairs.push_back({file, link});
  }
  if (folder) {
    ASSERT_EQ(0, mkdir((home + "/dir").c_str(), 0755));
    WriteBytes(home + "/dir/inner", "the user's own data");
    ASSERT_EQ(0, lchown((home + "/dir/inner").c_str(), kSwapperId, kSwapperId));
    ASSERT_EQ(0, symlink(secretDir.c_str(), (home + "/dirlink").c_str()));
    pairs.push_back({home + "/dir", home + "/dirlink"});
  }
  ASSERT_EQ(0, lchown(home.c_str(), kSwapperId, kSwapperId));
  for (const auto& pair : pairs)
    ASSERT_EQ(0, lchown(pair.first.c_str(), kSwapperId, kSwapperId) |
                     lchown(pair.second.c_str(), kSwapperId, kSwapperId));

  Swapper swapper(pairs);
  ASSERT_TRUE(swapper.started());
  int runs = 0;
  const double longRace = LongRaceSeconds();
  const auto perVersion = std::chrono::milliseconds(
      longRace > 0 ? static_cast<long>(longRace * 1000) : 500);
  const int cap = longRace > 0 ? 1 << 30 : 100;
  for (const char* version : {"5", "2"}) {
    const auto end = std::chrono::steady_clock::now() + perVersion;
    for (int i = 0; i < cap && std::chrono::steady_clock::now() < end; ++i, ++runs) {
      const std::string archive = base / ("run" + std::to_string(runs) + ".kvm");
      const ToolResult created =
          RunTool({"create", "-V", version, archive, "home"}, {}, base.path());
      ASSERT_LE(created.status, 1) << created.err;
      std::string data;
      const bool whole = AllEntryData(archive, &data);
      // Any piece of it: a file swapped after it was looked at may be
      // cut to the size first seen.
      ASSERT_EQ(std::string::npos, data.find(std::string(kRootSecret, 12)))
          << "run " << runs << " (version " << version << ") stored root's file\n"
          << created.err;
      ASSERT_TRUE(whole) << archive << " cannot be read back whole";
    }
  }
  EXPECT_TRUE(swapper.Stop()) << "the swapping child did not run";
  if (longRace > 0)
    printf("%d creates, %lu swaps, 0 stored root's file\n", runs, swapper.swaps());
  EXPECT_GT(runs, 2);
  // The runs raced real swaps, not a tree left alone.
  EXPECT_GT(swapper.swaps(), 1000u);
}

TEST(ToolCreate, FilesSwappedForLinksWhileRootArchivesNeverStoreRootsFiles) {
  if (geteuid() != 0)
    GTEST_SKIP() << "needs root to archive another user's folder";
  ArchiveWhileTheOwnerSwaps(4, false);
}

TEST(ToolCreate, AFolderSwappedForALinkWhileRootArchivesNeverStoresRootsFiles) {
  if (geteuid() != 0)
    GTEST_SKIP() << "needs root to archive another user's folder";
  ArchiveWhileTheOwnerSwaps(0, true);
}

}  // namespace
