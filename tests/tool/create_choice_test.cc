// SPDX-License-Identifier: GPL-2.0-or-later
// What `kvmorvel create` puts in: --exclude and --exclude-from shaping the
// stored names, --files-from (with --null) adding PATHs, -C choosing the
// folder PATHs are read from, and the usage errors of each. Every case
// runs for versions 1, 2 and 5; version 1 stores no folder entries.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/test_support.h"
#include "tool/tool_runner.h"

namespace {

// An entry the test expects, and whether it is a folder (which version 1
// does not store).
struct Expected {
  std::string name;
  bool folder;
};

// The value of the JSON string that starts at `at` (just after its opening
// quote), its escapes undone: the names here are ASCII, so \\, \", \n and
// \t are all list --json writes for them.
std::string JsonString(const std::string& line, size_t at) {
  std::string value;
  for (; at < line.size() && line[at] != '"'; ++at) {
    if (line[at] != '\\' || at + 1 == line.size()) {
      value += line[at];
      continue;
    }
    const char escaped = line[++at];
    value += escaped == 'n' ? '\n' : escaped == 't' ? '\t' : escaped;
  }
  return value;
}

// The names `archive` stores, as list --json gives them, sorted.
std::vector<std::string> StoredNames(const std::string& archive) {
  const ToolResult listed = RunTool({"list", "--json", archive});
  EXPECT_EQ(0, listed.status) << listed.err;
  const std::string key = "{\"type\":\"entry\",\"name\":\"";
  std::vector<std::string> names;
  for (const std::string& line : Lines(listed.out))
    if (line.compare(0, key.size(), key) == 0)
      names.push_back(JsonString(line, key.size()));
  std::sort(names.begin(), names.end());
  return names;
}

// The names a `version` archive of `entries` stores, sorted.
std::vector<std::string> NamesFor(int version,
                                  const std::vector<Expected>& entries) {
  std::vector<std::string> names;
  for (const Expected& entry : entries)
    if (!entry.folder || version != 1) names.push_back(entry.name);
  std::sort(names.begin(), names.end());
  return names;
}

// The number after "excluded": in create --json's summary line, or -1
// when the line or the field is missing.
long ExcludedCount(const ToolResult& result) {
  for (const std::string& line : Lines(result.out)) {
    if (line.find("{\"type\":\"summary\",\"verb\":\"create\"") != 0) continue;
    const size_t at = line.find("\"excluded\":");
    if (at == std::string::npos) return -1;
    return std::stol(line.substr(at + 11));
  }
  return -1;
}

// Runs the command with standard input read from the file `input`.
ToolResult RunToolWithInput(const std::vector<std::string>& args,
                            const std::string& input, const std::string& cwd) {
  std::vector<std::string> shellArgs = {"-c", "exec \"$0\" \"$@\" < \"$INPUT\"",
                                        ToolPath()};
  shellArgs.insert(shellArgs.end(), args.begin(), args.end());
  return RunProgram("/bin/sh", shellArgs, {{"INPUT", input}}, cwd, 120);
}

void MakeFolder(const std::string& path) {
  ASSERT_EQ(0, mkdir(path.c_str(), 0755)) << path;
}

class CreateChoice : public ::testing::TestWithParam<int> {
 protected:
  // data/docs/{a.txt, b.o, x.o/inner.txt, sub/{c.txt, d.o}},
  // data/keep/{f.o, g.txt}: .o files and a folder named like one at
  // several depths, beside files that stay.
  void SetUp() override {
    for (const char* folder :
         {"data", "data/docs", "data/docs/x.o", "data/docs/sub", "data/keep"})
      MakeFolder(source_ / folder);
    for (const char* file :
         {"data/docs/a.txt", "data/docs/b.o", "data/docs/x.o/inner.txt",
          "data/docs/sub/c.txt", "data/docs/sub/d.o", "data/keep/f.o",
          "data/keep/g.txt"})
      WriteBytes(source_ / file, file);
  }

  std::string Version() const { return std::to_string(GetParam()); }
  // create -V N --json ARGS..., run from the source folder.
  ToolResult Create(const std::vector<std::string>& args) {
    std::vector<std::string> all = {"create", "-V", Version(), "--json"};
    all.insert(all.end(), args.begin(), args.end());
    return RunTool(all, {}, source_.path());
  }

  TempDir source_, work_;
  const std::string archive_ = work_ / "choice.kvm";
};

TEST_P(CreateChoice, ExcludeByGlobLeavesOutMatchesAtEveryDepth) {
  const ToolResult created =
      Create({archive_, "data/docs", "data/keep", "--exclude", "*.o"});
  ASSERT_EQ(0, created.status) << created.err;
  EXPECT_EQ("", created.err);
  EXPECT_EQ(NamesFor(GetParam(), {{"data\\docs", true},
                                  {"data\\docs\\a.txt", false},
                                  {"data\\docs\\sub", true},
                                  {"data\\docs\\sub\\c.txt", false},
                                  {"data\\keep", true},
                                  {"data\\keep\\g.txt", false}}),
            StoredNames(archive_));
  // b.o, the folder x.o (its file not looked at), d.o and f.o.
  EXPECT_EQ(4, ExcludedCount(created)) << created.out;
}

TEST_P(CreateChoice, SummaryCountsNothingExcludedWithoutPatterns) {
  const ToolResult created = Create({archive_, "data/keep"});
  ASSERT_EQ(0, created.status) << created.err;
  EXPECT_EQ(0, ExcludedCount(created)) << created.out;
  EXPECT_EQ(NamesFor(GetParam(), {{"data\\keep", true},
                                  {"data\\keep\\f.o", false},
                                  {"data\\keep\\g.txt", false}}),
            StoredNames(archive_));
}

// Below docs/sub lie a name with '\' (which no entry may hold) and, for an
// ordinary user, a folder that cannot be listed: storing docs/sub fails,
// and excluding it fails nothing, since it is never descended into.
TEST_P(CreateChoice, ExcludedFolderIsNotDescendedInto) {
  MakeFolder(source_ / "data/docs/sub/locked");
  WriteBytes(source_ / "data/docs/sub/locked/e.txt", "e");
  WriteBytes(source_ / "data/docs/sub/back\\slash.txt", "b");
  WriteBytes(source_ / "data/docs/subway.txt", "not below sub");
  ASSERT_EQ(0, chmod((source_ / "data/docs/sub/locked").c_str(), 0));

  const ToolResult whole = Create({work_ / "whole.kvm", "-C", "data", "docs"});
  EXPECT_EQ(1, whole.status) << whole.err;
  EXPECT_NE(std::string::npos, whole.err.find("back\\slash.txt")) << whole.err;

  const ToolResult created =
      Create({archive_, "-C", "data", "docs", "--exclude", "docs/sub"});
  chmod((source_ / "data/docs/sub/locked").c_str(), 0755);
  ASSERT_EQ(0, created.status) << created.err;
  EXPECT_EQ("", created.err);
  EXPECT_EQ(NamesFor(GetParam(), {{"docs", true},
                                  {"docs\\a.txt", false},
                                  {"docs\\b.o", false},
                                  {"docs\\subway.txt", false},
                                  {"docs\\x.o", true},
                                  {"docs\\x.o\\inner.txt", false}}),
            StoredNames(archive_));
  EXPECT_EQ(1, ExcludedCount(created)) << created.out;
}

// A PATH is left out when its name, or a folder above it, is excluded:
// what the walk from the top would have left out.
TEST_P(CreateChoice, ExcludedPathArgumentIsLeftOut) {
  const ToolResult created =
      Create({archive_, "-C", "data", "docs/sub/c.txt", "docs/a.txt",
              "keep/g.txt", "--exclude", "docs/sub", "--exclude", "keep"});
  ASSERT_EQ(0, created.status) << created.err;
  EXPECT_EQ(NamesFor(GetParam(), {{"docs\\a.txt", false}}),
            StoredNames(archive_));
  EXPECT_EQ(2, ExcludedCount(created)) << created.out;
}

TEST_P(CreateChoice, ExcludeFromReadsEveryPattern) {
  // Lines with a carriage return, an empty line and no final newline.
  WriteBytes(work_ / "patterns", "*.o\r\n\nsub\nkeep/g.txt");
  const ToolResult created = Create({archive_, "--exclude-from",
                                     work_ / "patterns", "-C", "data", "."});
  ASSERT_EQ(0, created.status) << created.err;
  EXPECT_EQ(NamesFor(GetParam(), {{"docs", true},
                                  {"docs\\a.txt", false},
                                  {"keep", true}}),
            StoredNames(archive_));
  // b.o, x.o, sub, f.o and g.txt.
  EXPECT_EQ(5, ExcludedCount(created)) << created.out;

  // The same patterns NUL-separated, from standard input.
  WriteBytes(work_ / "patterns0", std::string("*.o\0sub\0keep/g.txt\0", 19));
  const std::string again = work_ / "again.kvm";
  const ToolResult fromStdin = RunToolWithInput(
      {"create", "-V", Version(), "--null", "--exclude-from", "-", "-C",
       source_ / "data", again, "."},
      work_ / "patterns0", work_.path());
  ASSERT_EQ(0, fromStdin.status) << fromStdin.err;
  EXPECT_EQ(StoredNames(archive_), StoredNames(again));
}

TEST_P(CreateChoice, FilesFromWithNulKeepsNewlinesInNames) {
  WriteBytes(source_ / "data/odd\nname.txt", "odd");
  const std::string list("docs/a.txt\0odd\nname.txt\0keep\0", 29);
  WriteBytes(work_ / "list0", list);
  const ToolResult created =
      Create({archive_, "--null", "--files-from", work_ / "list0", "-C",
              "data", "docs/sub"});
  ASSERT_EQ(0, created.status) << created.err;
  EXPECT_EQ("", created.err);
  const std::vector<std::string> expected =
      NamesFor(GetParam(), {{"docs\\a.txt", false},
                            {"odd\nname.txt", false},
                            {"keep", true},
                            {"keep\\f.o", false},
                            {"keep\\g.txt", false},
                            {"docs\\sub", true},
                            {"docs\\sub\\c.txt", false},
                            {"docs\\sub\\d.o", false}});
  EXPECT_EQ(expected, StoredNames(archive_));

  // From standard input, the only PATHs there are.
  const std::string piped = work_ / "piped.kvm";
  WriteBytes(work_ / "list0b", std::string("docs/sub\0", 9) + list);
  const ToolResult fromStdin = RunToolWithInput(
      {"create", "-V", Version(), "-T", "-", "--null", "-C",
       source_ / "data", piped},
      work_ / "list0b", work_.path());
  ASSERT_EQ(0, fromStdin.status) << fromStdin.err;
  EXPECT_EQ(expected, StoredNames(piped));
}

// A listed PATH meets the refusals of a PATH on the command line, before
// anything is written.
TEST_P(CreateChoice, FilesFromNamesAreRefusedAsPathsAre) {
  WriteBytes(work_ / "up", "docs/../keep\n");
  WriteBytes(work_ / "twice", "docs\ndocs/a.txt\n");
  WriteBytes(work_ / "empty", "\n\n");
  const struct {
    std::string list;
    const char* words;
  } cases[] = {{work_ / "up", "'..'"},
               {work_ / "twice", "would both store the entry 'docs\\a.txt'"},
               {work_ / "empty", "none in the --files-from list"},
               {work_ / "missing", "cannot open the list"}};
  for (const auto& refused : cases) {
    SCOPED_TRACE(refused.list);
    const ToolResult result =
        Create({archive_, "-C", "data", "--files-from", refused.list});
    EXPECT_EQ(2, result.status) << result.err;
    EXPECT_NE(std::string::npos, result.err.find(refused.words)) << result.err;
    EXPECT_FALSE(Exists(archive_));
  }
}

// -C reads PATHs below DIR and names them from there; ARCHIVE and the
// lists stay relative to the current folder; an absolute PATH stays as
// it is.
TEST_P(CreateChoice, DirectoryShapesStoredNames) {
  WriteBytes(work_ / "list", "g.txt\n");
  const ToolResult created =
      RunTool({"create", "-V", Version(), "-C", source_ / "data/keep",
               "choice.kvm", "--files-from", "list", "f.o"},
              {}, work_.path());
  ASSERT_EQ(0, created.status) << created.err;
  EXPECT_EQ("", created.err);
  EXPECT_EQ(NamesFor(GetParam(), {{"f.o", false}, {"g.txt", false}}),
            StoredNames(archive_));
  EXPECT_FALSE(Exists(source_ / "data/keep/choice.kvm"));

  const std::string absolute = work_ / "absolute.kvm";
  const ToolResult once =
      Create({absolute, "--directory=data/docs", source_ / "data/keep/g.txt",
              "a.txt"});
  ASSERT_EQ(0, once.status) << once.err;
  EXPECT_EQ("kvmorvel: removing leading '/' from entry names\n", once.err);
  std::string top = source_.path().substr(1);
  std::replace(top.begin(), top.end(), '/', '\\');
  EXPECT_EQ(NamesFor(GetParam(),
                     {{"a.txt", false}, {top + "\\data\\keep\\g.txt", false}}),
            StoredNames(absolute));
}

TEST_P(CreateChoice, UsageErrorsNameTheirCause) {
  WriteBytes(work_ / "bad-patterns", "*.o\n\xff\n");
  const struct {
    std::vector<std::string> args;
    std::string words;
  } cases[] = {
      {{"--exclude-from", work_ / "bad-patterns", archive_, "data"},
       "--exclude-from " + work_ / "bad-patterns" + ": '\\377' is no pattern"},
      {{"-C", "no-such-folder", archive_, "docs"}, "'no-such-folder': no such folder"},
      {{"-C", "data/docs/a.txt", archive_, "docs"}, "'data/docs/a.txt': not a folder"},
      {{archive_, "-C"}, "-C takes a folder"},
      {{"-C", "data", "--directory", "data/docs", archive_, "docs"},
       "-C may be given once"},
      {{"--files-from", "-", "--exclude-from", "-", archive_, "data"},
       "standard input ('-') can feed only one"},
      {{"--files-from", "-", "--files-from", "-", archive_}, "can feed only one"},
      {{"--exclude", "", archive_, "data"}, "is no pattern"},
      {{archive_}, "an ARCHIVE and at least one PATH are needed"},
  };
  for (const auto& refused : cases) {
    SCOPED_TRACE(refused.words);
    const ToolResult result = Create(refused.args);
    EXPECT_EQ(2, result.status) << result.err;
    EXPECT_NE(std::string::npos, result.err.find(refused.words)) << result.err;
    EXPECT_FALSE(Exists(archive_));
  }
}

INSTANTIATE_TEST_SUITE_P(Versions, CreateChoice, ::testing::Values(1, 2, 5),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return "V" + std::to_string(info.param);
                         });

}  // namespace
