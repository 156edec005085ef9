// SPDX-License-Identifier: GPL-2.0-or-later
// Two archive objects used at once on two threads. The privilege
// bookkeeping, the logger and the layer's handle table are shared by the
// whole process; `make check-tsan` runs these tests under ThreadSanitizer,
// which fails them on any unguarded use of that state.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <thread>
#include <vector>

#include "KvMorvel.h"
#include "kvwin32.h"
#include "support/test_support.h"

namespace {

typedef std::vector<std::pair<std::string, std::string>> Files;

const SECURITY_INFORMATION kOwnerGroupDacl = OWNER_SECURITY_INFORMATION |
                                             GROUP_SECURITY_INFORMATION |
                                             DACL_SECURITY_INFORMATION;

// The descriptor the layer reports for `path`, as a host would store it.
std::vector<BYTE> DescriptorOf(const std::string& path) {
  DWORD needed = 0;
  GetFileSecurityW(P(W(path)), kOwnerGroupDacl, nullptr, 0, &needed);
  std::vector<BYTE> descriptor(needed);
  EXPECT_TRUE(GetFileSecurityW(P(W(path)), kOwnerGroupDacl, descriptor.data(),
                               needed, &needed));
  return descriptor;
}

// An archive of `version` holding the folder "sub" and `files` (each in
// "sub"), every entry with its descriptor, so restoring applies them.
void WriteArchive(const std::string& archive, DWORD version,
                  const Files& files) {
  TempDir src;
  mkdir((src / "sub").c_str(), 0755);
  CKvMorvel writer;
  ASSERT_TRUE(writer.Open(P(W(archive)), FALSE, version));
  std::vector<BYTE> d = DescriptorOf(src / "sub");
  ASSERT_TRUE(writer.AddFile(P(W(src / "sub")), P(u"sub"), d.data(),
                             static_cast<DWORD>(d.size())));
  for (const auto& f : files) {
    WriteBytes(src / ("sub/" + f.first), f.second);
    d = DescriptorOf(src / ("sub/" + f.first));
    ASSERT_TRUE(writer.AddFile(P(W(src / ("sub/" + f.first))),
                               P(W("sub\\" + f.first)), d.data(),
                               static_cast<DWORD>(d.size())))
        << f.first << " code " << writer.GetErrorCode();
  }
  ASSERT_TRUE(writer.Close());
}

// What one thread saw: entries restored and the code that ended the loop.
struct Outcome {
  int restored = 0;
  int failed = 0;
  DWORD endCode = 0;
};

// The host's loop, `rounds` times, each round into its own folder.
void RestoreRounds(const std::string& archive, const std::string& target,
                   int rounds, Outcome* outcome) {
  for (int round = 0; round < rounds; ++round) {
    CKvMorvel reader;
    if (!reader.Open(P(W(archive)), TRUE, 0)) {
      ++outcome->failed;
      continue;
    }
    const std::u16string out = W(target + "/" + std::to_string(round));
    while (reader.Info(0)) {
      if (reader.ExtractFile(P(out), 0))
        ++outcome->restored;
      else
        ++outcome->failed;
      reader.Info(1);
    }
    outcome->endCode = reader.GetErrorCode();
    reader.Close();
  }
}

TEST(Threads, TwoObjectsRestoreTheirOwnArchivesAtOnce) {
  TempDir dir;
  const Files five = {{"a.txt", "alpha"},
                      {"big.bin", PatternBytes(3 * 1048576 + 17, 5)},
                      {"empty", ""}};
  const Files two = {{"b.txt", "bravo"},
                     {"mid.bin", PatternBytes(1048577, 2)},
                     {"c.bin", PatternBytes(4097, 3)}};
  WriteArchive(dir / "five.arc", 5, five);
  WriteArchive(dir / "two.arc", 2, two);
  const int kRounds = 3;

  LogCapture log;  // every line of both threads goes through one sink
  Outcome outcome5, outcome2;
  std::thread first(RestoreRounds, dir / "five.arc", dir / "out5", kRounds,
                    &outcome5);
  std::thread second(RestoreRounds, dir / "two.arc", dir / "out2", kRounds,
                     &outcome2);
  first.join();
  second.join();

  for (const Outcome* o : {&outcome5, &outcome2}) {
    EXPECT_EQ(0, o->failed);
    EXPECT_EQ(kRounds * 4, o->restored);  // the folder and three files
    EXPECT_EQ(259u, o->endCode);          // ERROR_NO_MORE_ITEMS
  }
  for (int round = 0; round < kRounds; ++round) {
    const std::string r = "/" + std::to_string(round) + "/sub/";
    for (const auto& f : five)
      EXPECT_EQ(f.second, ReadBytes(dir / "out5" + r + f.first)) << f.first;
    for (const auto& f : two)
      EXPECT_EQ(f.second, ReadBytes(dir / "out2" + r + f.first)) << f.first;
  }
  for (const auto& line : log.lines())
    EXPECT_NE(CKvLog::kError, line.first) << line.second;
}

}  // namespace
