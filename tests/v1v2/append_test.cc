// SPDX-License-Identifier: GPL-2.0-or-later
// Appending to version 1 and 2 archives without risking what they hold:
// new data behind the old catalogue, the new catalogue behind the new
// data, the header last. Every case runs for both versions.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#if !defined(_WIN32)
#include <sys/resource.h>
#endif

#include <filesystem>
#include <map>

#include "v1v2/v1v2_util.h"

namespace {

// The header fields both versions keep at the same offsets.
uint64_t CatalogueOffset(const std::string& bytes) { return U64At(bytes, 20); }
uint32_t CatalogueLength(const std::string& bytes) { return U32At(bytes, 28); }

#if !defined(_WIN32)  // A per-process file size limit is POSIX's.
// While alive, writes may not make a file of this process longer than
// `limit` bytes: they fail as on a full disk (EFBIG, reported as
// ERROR_FILE_TOO_LARGE) instead of raising SIGXFSZ.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t limit) {
    getrlimit(RLIMIT_FSIZE, &saved_);
    oldHandler_ = signal(SIGXFSZ, SIG_IGN);
    rlimit capped = saved_;
    capped.rlim_cur = limit;
    setrlimit(RLIMIT_FSIZE, &capped);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &saved_);
    signal(SIGXFSZ, oldHandler_);
  }

 private:
  rlimit saved_;
  void (*oldHandler_)(int);
};
#endif

class AppendTest : public ArchiveTest,
                   public ::testing::WithParamInterface<int> {
 protected:
  int Version() const { return GetParam(); }
  size_t HeaderSize() const { return Version() == 1 ? 32 : 40; }

  void Create(const std::string& name, const std::string& content) {
    AppendFile(Version(), name, content);
  }

  // Opens the archive for writing and adds src/<name> as "d\<name>",
  // leaving it open.
  void StartAppend(CKvMorvel& m, const std::string& name,
                   const std::string& content) {
    WriteBytes(dir / ("src/" + name), content);
    ASSERT_TRUE(m.Open(P(Arc()), FALSE, Version()));
    ASSERT_TRUE(
        m.AddFile(P(dir.W("src/" + name)), P(W("d\\" + name)), nullptr, 0));
  }

  // Restores every entry of the archive `bytes` (written to a file of its
  // own) through the library; returns entry name -> restored content.
  // The listing must end with 259.
  std::map<std::string, std::string> Restored(const std::string& bytes) {
    static int round = 0;
    const std::string path = dir / ("copy" + std::to_string(++round));
    const std::string target = path + ".out";
    WriteBytes(path, bytes);
    mkdir(target.c_str(), 0755);
    std::map<std::string, std::string> out;
    CKvMorvel m;
    if (!m.Open(P(W(path)), TRUE, 0)) return out;
    // Primed before each Info: the code the listing ends with is Info's.
    while ((PrimeStaleCodes(m), m.Info(0))) {
      const std::string name = EntryName(m);
      EXPECT_TRUE(m.ExtractFile(P(W(target)), 1)) << name;
      std::string file = name;
      for (char& c : file)
        if (c == '\\') c = '/';
      out[name] = ReadBytes(target + "/" + file);
      m.Info(1);
    }
    EXPECT_EQ(259u, m.GetErrorCode());
    m.Close();
    return out;
  }

  const std::map<std::string, std::string> kOld = {{"d\\a", "alpha"}};
};

TEST_P(AppendTest, NewDataGoesBehindTheOldCatalogueWhichStaysAsAGap) {
  SKIP_ON_WINDOWS(kWindowsHeldArchive);
  Create("a", "alpha");
  const std::string before = ReadBytes(ArcPath());
  const uint64_t oldOffset = CatalogueOffset(before);
  const uint32_t oldLength = CatalogueLength(before);
  ASSERT_EQ(before.size(), oldOffset + oldLength);

  CKvMorvel m;
  StartAppend(m, "b", PatternBytes(70000));
  // As the file stands before Close, it is the old archive, whole.
  const std::string pending = ReadBytes(ArcPath());
  EXPECT_EQ(before, pending.substr(0, before.size()));
  EXPECT_GT(pending.size(), before.size());
  EXPECT_EQ(kOld, Restored(pending));
  ASSERT_TRUE(m.Close());

  const std::string after = ReadBytes(ArcPath());
  EXPECT_EQ(before.substr(oldOffset), after.substr(oldOffset, oldLength));
  EXPECT_EQ(pending.size(), CatalogueOffset(after));
  const std::map<std::string, std::string> both = {
      {"d\\a", "alpha"}, {"d\\b", PatternBytes(70000)}};
  EXPECT_EQ(both, Restored(after));
  // New catalogue written but header not yet rewritten: the old archive.
  EXPECT_EQ(kOld, Restored(before.substr(0, HeaderSize()) +
                           after.substr(HeaderSize())));
}

TEST_P(AppendTest, EachAppendKeepsEveryEarlierEntry) {
  Create("a", "alpha");
  AppendFile(Version(), "b", "beta");
  AppendFile(Version(), "c", PatternBytes(3000));
  const std::map<std::string, std::string> all = {
      {"d\\a", "alpha"}, {"d\\b", "beta"}, {"d\\c", PatternBytes(3000)}};
  EXPECT_EQ(all, Restored(ReadBytes(ArcPath())));
}

TEST_P(AppendTest, DataNamedBehindTheCatalogueIsNeverWrittenOver) {
  // An archive whose catalogue does not stand last: the entry's data lies
  // behind it. An append must go behind that data.
  Create("a", PatternBytes(5000));
  std::string bytes = ReadBytes(ArcPath());
  const uint64_t offset = CatalogueOffset(bytes);
  const std::string data = bytes.substr(HeaderSize(), offset - HeaderSize());
  std::string catalogue = bytes.substr(offset);
  const size_t dataOffsetField = Version() == 1 ? 44 : 48;
  const uint64_t moved = HeaderSize() + catalogue.size();
  for (int i = 0; i < 8; ++i)
    catalogue[dataOffsetField + i] = static_cast<char>(moved >> (8 * i));
  std::string header = bytes.substr(0, HeaderSize());
  for (int i = 0; i < 8; ++i)
    header[20 + i] = static_cast<char>(HeaderSize() >> (8 * i));
  WriteBytes(ArcPath(), header + catalogue + data);

  AppendFile(Version(), "b", "beta");
  const std::map<std::string, std::string> both = {
      {"d\\a", PatternBytes(5000)}, {"d\\b", "beta"}};
  EXPECT_EQ(both, Restored(ReadBytes(ArcPath())));
}

#if !defined(_WIN32)
TEST_P(AppendTest, FullDiskAtCloseKeepsEveryEarlierEntryAndReportsTheCode) {
  Create("a", "alpha");
  AppendFile(Version(), "b", "beta");
  const std::map<std::string, std::string> old = {{"d\\a", "alpha"},
                                                  {"d\\b", "beta"}};
  const std::string before = ReadBytes(ArcPath());
  {
    CKvMorvel m;
    StartAppend(m, "c", PatternBytes(20000));
    {
      // The disk is full from the end of the new data on: the catalogue
      // write of Close fails.
      FileSizeLimit full(ReadBytes(ArcPath()).size());
      PrimeStaleCodes(m);
      EXPECT_FALSE(m.Close());
      EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_TOO_LARGE), m.GetErrorCode());
    }
    const std::string after = ReadBytes(ArcPath());
    EXPECT_EQ(before.substr(0, HeaderSize()), after.substr(0, HeaderSize()));
    EXPECT_EQ(old, Restored(after));
    if (Version() == 1) {
      // Version 1 keeps the archive open after a failed Close: once there
      // is room again, Close completes the append.
      ASSERT_TRUE(m.Close());
      EXPECT_EQ(3u, Restored(ReadBytes(ArcPath())).size());
    }
  }
}
#endif

TEST_P(AppendTest, OpeningForWritingAsAnotherVersionIsRefusedUntouched) {
  Create("a", "alpha");
  const std::string before = ReadBytes(ArcPath());
  for (DWORD other : {1u, 2u, 5u}) {
    if (static_cast<int>(other) == Version()) continue;
    SCOPED_TRACE(other);
    CKvMorvel m;
    PrimeStaleCodes(m);
    EXPECT_FALSE(m.Open(P(Arc()), FALSE, other));
    EXPECT_EQ(static_cast<DWORD>(ERROR_BAD_FORMAT), m.GetErrorCode());
    EXPECT_FALSE(m.Close());
    EXPECT_EQ(before, ReadBytes(ArcPath()));
  }
  EXPECT_EQ(kOld, Restored(before));
}

// More records than the library keeps in memory (1 MiB) go to a spill file
// beside the archive until Close; listing while the archive is still
// open reads across that border, an append copies the stored records
// behind its data, and nothing of the spill file is left.
TEST_P(AppendTest, CataloguesBeyondWhatMemoryHoldsStayWhole) {
  const int kPerSession = 1100;  // records of ~1 KiB or more each
  const std::string pad(Version() == 1 ? 440 : 600, 'p');
  std::filesystem::create_directories(dir / "src");
  WriteBytes(dir / "src/x", "x");
  std::vector<std::string> names;
  for (int session = 0; session < 2; ++session) {
    CKvMorvel m;
    ASSERT_TRUE(m.Open(P(Arc()), FALSE, Version()));
    for (int i = 0; i < kPerSession; ++i) {
      // The last name is short enough to restore under the target.
      names.push_back(session == 1 && i + 1 == kPerSession
                          ? "d\\last"
                          : "d\\" + pad + std::to_string(names.size()));
      ASSERT_TRUE(m.AddFile(P(dir.W("src/x")), P(W(names.back())), nullptr, 0));
    }
    std::vector<std::string> listed;
    while (m.Info(TRUE)) listed.push_back(EntryName(m));
    EXPECT_EQ(names.size(), listed.size());
    EXPECT_EQ(names.back(), listed.back());  // whole, never cut
    ASSERT_TRUE(m.Close());
  }
  for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
    EXPECT_TRUE(entry.path().filename() == "a.arc" ||
                entry.path().filename() == "src")
        << entry.path();
  CKvMorvel m;
  ASSERT_TRUE(m.Open(P(Arc()), TRUE, 0));
  size_t at = 0;
  for (; (PrimeStaleCodes(m), m.Info(FALSE)); ++at) {
    ASSERT_LT(at, names.size());
    ASSERT_EQ(names[at], EntryName(m)) << at;
    if (at + 1 == names.size()) {
      ASSERT_TRUE(m.ExtractFile(P(dir.W("out")), 1));
      EXPECT_EQ("x", ReadBytes(dir / "out/d/last"));
    }
    m.Info(TRUE);
  }
  EXPECT_EQ(259u, m.GetErrorCode());
  EXPECT_EQ(names.size(), at);
  EXPECT_TRUE(m.Close());
}

INSTANTIATE_TEST_SUITE_P(Versions, AppendTest, ::testing::Values(1, 2),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return "V" + std::to_string(info.param);
                         });

}  // namespace
