// SPDX-License-Identifier: GPL-2.0-or-later
// Archives under faults: the layer's fault switch fails (or shortens)
// every counted call of an add, an append, a Close and a restore in turn,
// and kills a child process at random points of an append. After each,
// the archive opens and every entry stored before lists and restores byte
// for byte; a failing call says so with a code; a failing restore changes
// nothing outside the entry's own path.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "KvMorvel.h"
#include "posix/layer.h"
#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;
using kvposix::FaultMode;

struct Item {
  std::string name;
  std::string content;
};

// Files, relative path to bytes ("/" marks a folder), under `root`.
typedef std::map<std::string, std::string> Tree;

Tree ReadTree(const std::string& root) {
  Tree tree;
  std::error_code error;
  for (fs::recursive_directory_iterator it(root, error), end; it != end;
       it.increment(error)) {
    const std::string relative = fs::relative(it->path(), root).string();
    tree[relative] = it->is_directory() ? "/" : ReadBytes(it->path());
  }
  return tree;
}

void WriteTree(const std::string& root, const Tree& tree) {
  fs::remove_all(root);
  fs::create_directories(root);
  for (const auto& f : tree) {
    if (f.second == "/")
      fs::create_directories(root + "/" + f.first);
    else
      WriteBytes(root + "/" + f.first, f.second);
  }
}

std::vector<Item> Items(const std::string& prefix, int count, size_t size,
                        unsigned seed) {
  std::vector<Item> items;
  for (int i = 0; i < count; ++i)
    items.push_back({prefix + std::to_string(i) + ".bin",
                     PatternBytes(size * (i + 1) / count, seed + i)});
  return items;
}

const char kDoesNotOpen[] = "the archive does not open";

// Figures of one sweep, printed as one row of the table.
struct Row {
  unsigned long long points = 0, reported = 0, absorbed = 0, survived = 0;
  void Count(bool reportedFailure, bool nothingLost) {
    ++points;
    ++(reportedFailure ? reported : absorbed);
    survived += nothingLost ? 1 : 0;
  }
  void Print(DWORD version, const char* what) const {
    printf("| %u | %-20s | %5llu | %5llu | %5llu | %5llu |\n",
           static_cast<unsigned>(version), what, points, reported, absorbed,
           survived);
  }
};

// The code of the object's last failure. Version 1 leaves it as the last
// error, not in the object.
DWORD CodeOf(CKvMorvel& m) {
  return m.GetErrorCode() ? m.GetErrorCode() : GetLastError();
}

// What one run of the library did: whether some call reported a failure,
// and whether every failure carried a code.
struct Outcome {
  bool failed = false;
  bool codeless = false;
  std::string archive;  // what to check: the archive, or a copy of it
  void Note(BOOL ok, CKvMorvel& m) {
    if (ok) return;
    failed = true;
    codeless = codeless || CodeOf(m) == 0;
  }
};

// Where the calls of one run fall: the counted calls up to the end of
// Open, of the adds, and of Close. The add and append rows of the table
// count Open's calls and the adds', the Close rows those of Close.
struct Phases {
  unsigned long long open = 0, adds = 0, close = 0;
};

class Durability : public ::testing::TestWithParam<DWORD> {
 protected:
  void SetUp() override {
    version_ = GetParam();
    fs::create_directories(work_.path() + "/arc");
    fs::create_directories(work_.path() + "/src");
  }
  void TearDown() override { kvposix::KvFaultInjectAfter(FaultMode::kOff, 0); }

  std::string Archive() const { return work_.path() + "/arc/a.arc"; }
  std::string Source(const Item& item) const {
    return work_.path() + "/src/" + item.name;
  }

  // Opens the archive for writing (new or appended), adds `items` and
  // closes it, as a host does: after a failed add it still closes.
  Outcome Write(const std::vector<Item>& items, Phases* phases = nullptr) {
    Outcome outcome;
    CKvMorvel m;
    m.SetSplitSize(16 * 1024);  // version 5 rolls over to new parts
    const BOOL opened = m.Open(P(W(Archive())), FALSE, version_);
    outcome.Note(opened, m);
    if (phases) phases->open = kvposix::KvFaultCalls();
    if (!opened) return outcome;
    for (const Item& item : items) {
      if (access(Source(item).c_str(), F_OK) != 0)
        WriteBytes(Source(item), item.content);
      const BOOL added =
          m.AddFile(P(W(Source(item))), P(W(item.name)), nullptr, 0);
      outcome.Note(added, m);
      if (!added) break;
    }
    if (phases) phases->adds = kvposix::KvFaultCalls();
    outcome.Note(m.Close(), m);
    if (phases) phases->close = kvposix::KvFaultCalls();
    outcome.archive = LetGoAfterClose(m);
    return outcome;
  }

  // A version 1 archive whose Close failed stays open, so that Close can
  // be tried again; until then it is in use. Its files as that failure
  // left them are copied, then Close is tried again (the fault is over)
  // to let the archive go. Returns the archive to check.
  std::string LetGoAfterClose(CKvMorvel& m) {
    if (version_ != 1 || m.GetErrorCode() == ERROR_SUCCESS) return Archive();
    const std::string copy = work_.path() + "/copy";
    WriteTree(copy, ReadTree(ArchiveFolder()));
    kvposix::KvFaultInjectAfter(FaultMode::kOff, 0);
    m.Close();
    return copy + "/a.arc";
  }

  // Lists and restores the whole archive into a fresh folder; false when
  // it does not open. `restored` maps each listed name to its bytes.
  bool Restore(const std::string& archive,
               std::map<std::string, std::string>* restored) {
    const std::string out = work_.path() + "/out";
    fs::remove_all(out);
    fs::create_directories(out);
    CKvMorvel m;
    if (!m.Open(P(W(archive)), TRUE, 0)) {
      openCode_ = m.GetErrorCode();
      return false;
    }
    while (m.Info(FALSE)) {
      WCHAR name[260];
      if (!m.GetFile(name, 260)) break;
      const std::string entry = N(reinterpret_cast<const char16_t*>(name));
      (*restored)[entry] = m.ExtractFile(P(W(out)), 0)
                               ? ReadBytes(out + "/" + entry)
                               : "<not restored>";
      m.Info(TRUE);
    }
    m.Close();
    return true;
  }

  // Every one of `kept` lists and restores byte for byte; any other
  // listed entry is one of `added`, whole. Returns what is wrong.
  std::string Check(const std::vector<Item>& kept,
                    const std::vector<Item>& added,
                    const std::string& archive = "") {
    std::map<std::string, std::string> restored;
    if (!Restore(archive.empty() ? Archive() : archive, &restored))
      return kDoesNotOpen;
    for (const Item& item : kept) {
      auto it = restored.find(item.name);
      if (it == restored.end()) return item.name + " is lost";
      if (it->second != item.content) return item.name + " differs";
      restored.erase(it);
    }
    for (const Item& item : added) {
      auto it = restored.find(item.name);
      if (it == restored.end()) continue;
      if (it->second != item.content) return item.name + " differs";
      restored.erase(it);
    }
    if (!restored.empty()) return restored.begin()->first + " is unknown";
    return "";
  }

  // Writes `added` on top of the archive files `base` (empty: a new
  // archive) with a fault at each counted call in turn; counts each point
  // in the row of the phase it falls in.
  void SweepWrite(const Tree& base, const std::vector<Item>& kept,
                  const std::vector<Item>& added, FaultMode mode,
                  Row* writing, Row* closing) {
    WriteTree(ArchiveFolder(), base);
    Phases phases;
    kvposix::KvFaultInjectAfter(FaultMode::kCount, 0);
    ASSERT_FALSE(Write(added, &phases).failed);
    std::vector<Item> all = kept;
    all.insert(all.end(), added.begin(), added.end());
    for (unsigned long long at = 1; at <= phases.close; ++at) {
      WriteTree(ArchiveFolder(), base);
      kvposix::KvFaultInjectAfter(mode, at);
      const Outcome outcome = Write(added);
      kvposix::KvFaultInjectAfter(FaultMode::kOff, 0);
      Row* row = at <= phases.adds ? writing : closing;
      EXPECT_FALSE(outcome.codeless) << "point " << at;
      // A fault the library did not report must have done no harm.
      std::string problem = outcome.failed
                                ? Check(kept, added, outcome.archive)
                                : Check(all, {});
      // A new archive whose first writes failed is no archive yet.
      if (base.empty() && outcome.failed && problem == kDoesNotOpen)
        problem.clear();
      row->Count(outcome.failed, problem.empty());
      EXPECT_EQ("", problem) << "version " << version_ << " point " << at
                             << " open code " << openCode_
                             << (outcome.failed ? " (reported)" : " (absorbed)");
    }
  }

  // Restores entry by entry into a fresh folder until a call fails.
  // Checks that the failure has a code, that it changed nothing outside
  // the entry's own path, and that what was restored before is whole.
  // Returns whether a call failed.
  bool RestoreStepwise(const std::vector<Item>& items, unsigned long long at) {
    const std::string out = work_.path() + "/out";
    fs::remove_all(out);
    fs::create_directories(out);
    CKvMorvel m;
    if (!m.Open(P(W(Archive())), TRUE, 0)) {
      EXPECT_NE(0u, CodeOf(m)) << "point " << at;
      EXPECT_TRUE(ReadTree(out).empty()) << "point " << at;
      return true;
    }
    bool failed = false;
    for (size_t index = 0; !failed; ++index) {
      const Tree before = ReadTree(out);
      if (!m.Info(FALSE)) {
        failed = m.GetErrorCode() != ERROR_NO_MORE_ITEMS;
        EXPECT_EQ(before, ReadTree(out)) << "point " << at;
        EXPECT_TRUE(failed || index == items.size()) << "point " << at;
        break;
      }
      WCHAR wide[260];
      if (!m.GetFile(wide, 260) || index >= items.size()) {
        ADD_FAILURE() << "point " << at << ": entry " << index;
        break;
      }
      const std::string name = N(reinterpret_cast<const char16_t*>(wide));
      if (m.ExtractFile(P(W(out)), 0)) {
        EXPECT_EQ(items[index].content, ReadBytes(out + "/" + name))
            << "point " << at << " " << name;
      } else {
        failed = true;
        EXPECT_NE(0u, CodeOf(m)) << "point " << at;
        for (const auto& f : ReadTree(out)) {
          const auto old = before.find(f.first);
          if (f.first != name && (old == before.end() || old->second != f.second))
            ADD_FAILURE() << "point " << at << " changed " << f.first;
        }
        for (const auto& f : before)
          if (f.first != name && ReadTree(out).count(f.first) == 0)
            ADD_FAILURE() << "point " << at << " removed " << f.first;
      }
      m.Info(TRUE);
    }
    m.Close();
    return failed;
  }

  std::string ArchiveFolder() const { return work_.path() + "/arc"; }

  // The code the listing of the archive ends with (259 at a clean end,
  // 1392 at a damaged record), or the open's code.
  DWORD ListEndCode() {
    CKvMorvel m;
    if (!m.Open(P(W(Archive())), TRUE, 0)) return m.GetErrorCode();
    while (m.Info(TRUE)) {
    }
    const DWORD code = m.GetErrorCode();
    m.Close();
    return code;
  }

  DWORD version_ = 0;
  DWORD openCode_ = 0;  // why the archive did not open
  TempDir work_;
};


TEST_P(Durability, FaultAtEveryPointOfAnAddAnAppendAndACloseLosesNothing) {
  const std::vector<Item> first = Items("a", 3, 20000, 1);
  std::vector<Item> second = Items("b", 2, 30000, 7);
  // A file of three pieces: its pieces are compressed on the piece worker
  // while the next is read, and a fault may meet either thread's step.
  second.push_back({"c.bin", PatternBytes(2621440, 11)});
  ASSERT_FALSE(Write(first).failed);
  const Tree base = ReadTree(ArchiveFolder());
  for (FaultMode mode : {FaultMode::kFail, FaultMode::kShort}) {
    Row add, addClose, append, appendClose;
    SweepWrite(Tree(), {}, first, mode, &add, &addClose);
    SweepWrite(base, first, second, mode, &append, &appendClose);
    const bool fail = mode == FaultMode::kFail;
    add.Print(version_, fail ? "add, fail" : "add, short");
    addClose.Print(version_, fail ? "Close of add, fail" : "Close of add, short");
    append.Print(version_, fail ? "append, fail" : "append, short");
    appendClose.Print(version_, fail ? "Close of app, fail" : "Close of app, short");
    EXPECT_GT(append.points, 0u);
    EXPECT_GT(appendClose.points, 0u);
  }
}

TEST_P(Durability, FullDiskAtCloseOfAnAppendReportsItAndKeepsEveryEntry) {
  const std::vector<Item> first = Items("a", 3, 20000, 1);
  // Three records, so that half of them ends inside one.
  const std::vector<Item> second = Items("b", 3, 30000, 7);
  ASSERT_FALSE(Write(first).failed);
  const Tree base = ReadTree(ArchiveFolder());
  // A full disk shows in the writes; a flush that fails is swept above.
  const unsigned writes = kvposix::kFaultWrite;
  Phases phases;
  kvposix::KvFaultInjectAfter(FaultMode::kCount, 0, writes);
  ASSERT_FALSE(Write(second, &phases).failed);
  ASSERT_GT(phases.close, phases.adds) << "Close writes nothing";
  // A failed write stores nothing, a short one half of its bytes (a torn
  // record, when it writes the catalogue).
  for (FaultMode mode : {FaultMode::kFail, FaultMode::kShort})
  for (unsigned long long at = phases.adds + 1; at <= phases.close; ++at) {
    WriteTree(ArchiveFolder(), base);
    kvposix::KvFaultInjectAfter(mode, at, writes);
    CKvMorvel m;
    m.SetSplitSize(16 * 1024);  // as Write does, so the points line up
    ASSERT_TRUE(m.Open(P(W(Archive())), FALSE, version_));
    for (const Item& item : second)
      ASSERT_TRUE(m.AddFile(P(W(Source(item))), P(W(item.name)), nullptr, 0));
    PrimeStaleCodes(m);
    EXPECT_FALSE(m.Close()) << "point " << at;
    EXPECT_EQ(ERROR_DISK_FULL, m.GetErrorCode()) << "point " << at;
    EXPECT_EQ("", Check(first, second, LetGoAfterClose(m))) << "point " << at;
    if (version_ != 5) continue;
    // Version 5 cut what the failed append wrote off the main file: the
    // catalogue ends cleanly, and the next append (with room again) works.
    kvposix::KvFaultInjectAfter(FaultMode::kOff, 0);
    EXPECT_EQ(ERROR_NO_MORE_ITEMS, ListEndCode()) << "point " << at;
    const std::vector<Item> third = Items("c", 1, 10000, 9);
    EXPECT_FALSE(Write(third).failed) << "point " << at;
    std::vector<Item> kept = first;
    kept.insert(kept.end(), third.begin(), third.end());
    EXPECT_EQ("", Check(kept, second)) << "point " << at;
    EXPECT_EQ(ERROR_NO_MORE_ITEMS, ListEndCode()) << "point " << at;
  }
}

// The cause behind an add's 1359 reaches the host through GetErrorCause:
// a full disk under the data (112), a source that ends before the length
// it was added with (0x10000205: a read meets the end of the file early,
// as when the file shrank while it was read; a short read alone does not
// end a source, whose reader asks again for the rest). Other failures
// leave no cause.
TEST_P(Durability, AFailedAddGivesItsCause) {
  const Item item = {"a.bin", PatternBytes(300000, 5)};
  WriteBytes(Source(item), item.content);
  struct Case {
    FaultMode mode;
    unsigned calls;
    DWORD cause;
  } cases[] = {{FaultMode::kFail, kvposix::kFaultWrite, ERROR_DISK_FULL},
               {FaultMode::kEnd, kvposix::kFaultRead, 0x10000205u}};
  for (const Case& c : cases) {
    fs::remove_all(ArchiveFolder());
    fs::create_directories(ArchiveFolder());
    CKvMorvel m;
    m.SetSplitSize(16 * 1024);
    ASSERT_TRUE(m.Open(P(W(Archive())), FALSE, version_));
    kvposix::KvFaultInjectAfter(c.mode, 1, c.calls);
    EXPECT_FALSE(m.AddFile(P(W(Source(item))), P(W(item.name)), nullptr, 0));
    kvposix::KvFaultInjectAfter(FaultMode::kOff, 0);
    EXPECT_EQ(static_cast<DWORD>(ERROR_INTERNAL_ERROR), m.GetErrorCode());
    DWORD part = 99;
    EXPECT_EQ(c.cause, m.GetErrorCause(&part));
    EXPECT_EQ(0u, part);
    m.Close();
    // A failure of another code has no cause behind it.
    EXPECT_NE(static_cast<DWORD>(ERROR_INTERNAL_ERROR), m.GetErrorCode());
    EXPECT_EQ(0u, m.GetErrorCause(&part));
    EXPECT_EQ(0u, part);
  }
}

TEST_P(Durability, FaultAtEveryPointOfARestoreChangesNothingBeyondTheEntry) {
  const std::vector<Item> items = Items("a", 4, 40000, 3);
  ASSERT_FALSE(Write(items).failed);
  const Tree archive = ReadTree(ArchiveFolder());
  kvposix::KvFaultInjectAfter(FaultMode::kCount, 0);
  ASSERT_FALSE(RestoreStepwise(items, 0));
  const unsigned long long calls = kvposix::KvFaultCalls();
  for (FaultMode mode : {FaultMode::kFail, FaultMode::kShort}) {
    Row row;
    for (unsigned long long at = 1; at <= calls; ++at) {
      kvposix::KvFaultInjectAfter(mode, at);
      const bool failed = RestoreStepwise(items, at);
      kvposix::KvFaultInjectAfter(FaultMode::kOff, 0);
      const bool unchanged = archive == ReadTree(ArchiveFolder());
      EXPECT_TRUE(unchanged) << "point " << at;
      row.Count(failed, unchanged && !HasFailure());
    }
    row.Print(version_, mode == FaultMode::kFail ? "restore, fail"
                                                 : "restore, short");
  }
}

TEST_P(Durability, KilledAppendKeepsEveryEarlierEntry) {
  const std::vector<Item> first = Items("a", 3, 20000, 1);
  const std::vector<Item> second = Items("b", 12, 120000, 7);
  ASSERT_FALSE(Write(first).failed);
  const Tree base = ReadTree(ArchiveFolder());
  Phases phases;
  kvposix::KvFaultInjectAfter(FaultMode::kCount, 0);
  ASSERT_FALSE(Write(second, &phases).failed);
  kvposix::KvFaultInjectAfter(FaultMode::kOff, 0);
  // 50 different points, drawn with a fixed seed so a failure repeats;
  // every point when the append makes no more counted calls than that.
  ASSERT_GT(phases.close, 10u);
  const unsigned long long wanted = phases.close < 50 ? phases.close : 50;
  std::mt19937 random(20261208u + version_);
  std::uniform_int_distribution<unsigned long long> point(1, phases.close);
  std::set<unsigned long long> points;
  while (points.size() < wanted) points.insert(point(random));
  Row row;
  for (const unsigned long long at : points) {
    WriteTree(ArchiveFolder(), base);
    fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
      kvposix::KvFaultInjectAfter(FaultMode::kKill, at);
      Write(second);
      _exit(0);
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
        << "point " << at;
    const std::string problem = Check(first, second);
    EXPECT_EQ("", problem) << "version " << version_ << " killed at " << at;
    row.Count(true, problem.empty());
  }
  row.Print(version_, "killed append");
  printf("version %u: %llu counted calls in the append\n",
         static_cast<unsigned>(version_), phases.close);
}

INSTANTIATE_TEST_SUITE_P(Versions, Durability, ::testing::Values(1u, 2u, 5u));

}  // namespace
