// SPDX-License-Identifier: GPL-2.0-or-later
// Sparse sources and cancelled pieces, for every version.
#include "support/piece_cases.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

#include "KvMorvel.h"
#include "support/test_support.h"
#if !defined(_WIN32)
#include "posix/layer.h"
#endif

namespace {

const unsigned long long kMiB = 1ull << 20;
const DWORD kCancelled = 1223;  // ERROR_CANCELLED

// 64 bits on both systems (a Windows stat holds 32); 0 when missing.
unsigned long long SizeOf(const std::string& path) {
  std::error_code error;
  const auto size = std::filesystem::file_size(path, error);
  return error ? 0 : static_cast<unsigned long long>(size);
}

// The archive "x.arc" of a folder, and its first part for version 5.
unsigned long long ArchiveSize(const TempDir& dir) {
  return SizeOf(dir / "x.arc") + SizeOf(dir / "x_0001.arc");
}

// Runs `work` on another thread and calls Cancel on `archive` once
// `progressed` says so. False when the work ended first (it could not be
// cancelled within the file), or after two minutes.
bool CancelWhile(CKvMorvel& archive, const std::function<void()>& work,
                 const std::function<bool()>& progressed) {
  std::atomic<bool> done{false};
  std::thread worker([&] {
    work();
    done = true;
  });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
  while (!done && !progressed() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  const bool cancelledInside = !done;
  archive.Cancel();
  worker.join();
  return cancelledInside;
}

// The archive's entries, each restored below `out`; their names in order.
std::string RestoreAll(const std::string& archive, const std::string& out) {
  mkdir(out.c_str(), 0755);
  CKvMorvel reader;
  EXPECT_TRUE(reader.Open(P(W(archive)), TRUE, 0)) << reader.GetErrorCode();
  std::string names;
  while (reader.Info(FALSE)) {
    WCHAR name[600];
    EXPECT_TRUE(reader.GetFile(name, 600));
    names += N(Text16(name)) + ";";
    EXPECT_TRUE(reader.ExtractFile(P(W(out)), 1)) << names << reader.GetErrorCode();
    reader.Info(TRUE);
  }
  EXPECT_EQ(259u, reader.GetErrorCode());
  reader.Close();
  return names;
}

}  // namespace

void ExpectSparseRoundTrip(DWORD version) {
  SCOPED_TRACE("version " + std::to_string(version));
  TempDir dir;
  // Data in the first, fourth and last pieces; the rest are holes.
  const unsigned long long size = 6 * kMiB + 4321;
  WriteSparse(dir / "sparse", size,
              {{0, PatternBytes(5000, 1)},
               {3 * kMiB + 100, PatternBytes(10000, 2)},
               {size - 321, PatternBytes(321, 3)}});
  const std::string bytes = ReadBytes(dir / "sparse");
  WriteBytes(dir / "dense", bytes);

  CKvMorvel arc;
  ASSERT_TRUE(arc.Open(P(W(dir / "x.arc")), FALSE, version));
#if !defined(_WIN32)
  kvposix::KvFaultInjectAfter(kvposix::FaultMode::kCount, 0, kvposix::kFaultRead);
#endif
  EXPECT_TRUE(arc.AddFile(P(W(dir / "sparse")), P(u"sparse"), nullptr, 0));
#if !defined(_WIN32)
  // One read per piece that holds data; the four holes are not read.
  EXPECT_EQ(3u, kvposix::KvFaultCalls());
  kvposix::KvFaultInjectAfter(kvposix::FaultMode::kOff, 0);
#endif
  EXPECT_TRUE(arc.AddFile(P(W(dir / "dense")), P(u"dense"), nullptr, 0));
  ASSERT_TRUE(arc.Close());

  EXPECT_EQ("sparse;dense;", RestoreAll(dir / "x.arc", dir / "out"));
  for (const char* name : {"sparse", "dense"}) {
    SCOPED_TRACE(name);
    const std::string restored = dir / "out" + "/" + name;
    EXPECT_TRUE(ReadBytes(restored) == bytes);
#if !defined(_WIN32)
    // Zero runs became holes: three pieces of data, far below 6 MiB.
    EXPECT_LT(DiskBytes(restored), 2 * kMiB);
#endif
  }
}

void ExpectAddCancelledBetweenPieces(DWORD version, unsigned long long size,
                                     unsigned long long grown) {
  SCOPED_TRACE("version " + std::to_string(version));
  TempDir dir;
  WriteBytes(dir / "a.txt", PatternBytes(3000, 4));
  WriteSparse(dir / "big", size, {{kMiB, "data"}});
  CKvMorvel arc;
  ASSERT_TRUE(arc.Open(P(W(dir / "x.arc")), FALSE, version));
  ASSERT_TRUE(arc.AddFile(P(W(dir / "a.txt")), P(u"a.txt"), nullptr, 0));
  const unsigned long long before = ArchiveSize(dir);
  BOOL added = TRUE;
  DWORD code = 0;
  const bool inside = CancelWhile(
      arc,
      [&] {
        added = arc.AddFile(P(W(dir / "big")), P(u"big"), nullptr, 0);
        code = arc.GetErrorCode();
      },
      [&] { return ArchiveSize(dir) >= before + grown; });
  ASSERT_TRUE(inside) << "the add ended before the cancel";
  EXPECT_FALSE(added);
  EXPECT_EQ(kCancelled, code);
  // The request stays: the next add is refused before it begins.
  EXPECT_FALSE(arc.AddFile(P(W(dir / "a.txt")), P(u"again"), nullptr, 0));
  EXPECT_EQ(kCancelled, arc.GetErrorCode());
  ASSERT_TRUE(arc.Close()) << arc.GetErrorCode();
  // Whole: what was added before is there, the cancelled file is not.
  EXPECT_EQ("a.txt;", RestoreAll(dir / "x.arc", dir / "out"));
  EXPECT_EQ(PatternBytes(3000, 4), ReadBytes(dir / "out/a.txt"));
}

void ExpectRestoreCancelledBetweenPieces(DWORD version,
                                         unsigned long long size,
                                         unsigned long long reached) {
  // Windows tells holes only of files marked sparse, which WriteSparse
  // does not make there: storing the large source would read it all.
  SKIP_ON_WINDOWS("a source made here is read whole");
  SCOPED_TRACE("version " + std::to_string(version));
  TempDir dir;
  WriteSparse(dir / "big", size, {{kMiB, "data"}});
  {
    CKvMorvel arc;
    ASSERT_TRUE(arc.Open(P(W(dir / "x.arc")), FALSE, version));
    ASSERT_TRUE(arc.AddFile(P(W(dir / "big")), P(u"big"), nullptr, 0));
    ASSERT_TRUE(arc.Close());
  }
  const std::string out = dir / "out";
  mkdir(out.c_str(), 0755);
  CKvMorvel reader;
  ASSERT_TRUE(reader.Open(P(W(dir / "x.arc")), TRUE, 0));
  ASSERT_TRUE(reader.Info(FALSE));
  BOOL restored = TRUE;
  DWORD code = 0;
  const bool inside = CancelWhile(
      reader,
      [&] {
        restored = reader.ExtractFile(P(W(out)), 1);
        code = reader.GetErrorCode();
      },
      [&] { return SizeOf(out + "/big") >= reached; });
  ASSERT_TRUE(inside) << "the restore ended before the cancel";
  EXPECT_FALSE(restored);
  EXPECT_EQ(kCancelled, code);
  EXPECT_LT(SizeOf(out + "/big"), size);  // given up within the file
  EXPECT_FALSE(reader.ExtractFile(P(W(out)), 1));
  EXPECT_EQ(kCancelled, reader.GetErrorCode());
  // Listing still works, and Close lets the archive go.
  EXPECT_TRUE(reader.Info(FALSE));
  EXPECT_TRUE(reader.Close());
}
