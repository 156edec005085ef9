// SPDX-License-Identifier: GPL-2.0-or-later
// Peak resident memory of a version 5 archive with many entries: adding
// 100,000 empty files, then listing them. Each phase runs in its own
// process so that its peak (VmHWM) is its own.
//
//   bench_v5_memory [COUNT]        make COUNT (100000) empty files in a temporary
//                            folder and run the phases
//   bench_v5_memory add DIR COUNT  add DIR/src/f000000 ... to DIR/b.arc
//   bench_v5_memory list DIR       list DIR/b.arc
//   bench_v5_memory base           the process without any archive work
//   bench_v5_memory flush [COUNT] [SIZE]
//                            the cost of the periodic catalogue flush:
//                            creates an archive of COUNT (20000) files of
//                            SIZE (0) bytes with and without it, best of
//                            three rounds each, and prints the ratio
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "KvMorvel.h"
#include "bench/bench_support.h"
#include "kvwin32.h"

extern char** environ;

namespace {

std::string FileName(const std::string& dir, unsigned i) {
  char name[32];
  snprintf(name, sizeof(name), "/src/f%06u", i);
  return dir + name;
}

// Opens the protected flush policy to the benchmark.
class TunedArchive : public CKvMorvel {
 public:
  using CKvMorvel::SetBatchFlushPolicy;
};

// Creates `archive` from DIR/src/f000000 ... (`count` files); without
// `periodic`, the batch reaches the main file only past 10000 entries and
// at Close.
bool Create(const std::string& dir, const std::string& archive,
            unsigned count, bool periodic) {
  TunedArchive arc;
  if (!arc.Open(P(Wide(archive)), FALSE, 5)) {
    fprintf(stderr, "Open failed: %u\n", arc.GetErrorCode());
    return false;
  }
  if (!periodic) arc.SetBatchFlushPolicy(0, 0);
  for (unsigned i = 0; i < count; ++i) {
    const std::string source = FileName(dir, i);
    if (!arc.AddFile(P(Wide(source)), P(Wide(source.substr(dir.size() + 1))),
                     nullptr, 0)) {
      fprintf(stderr, "AddFile %s failed: %u\n", source.c_str(),
              arc.GetErrorCode());
      return false;
    }
  }
  return arc.Close() != FALSE;
}

int Add(const std::string& dir, unsigned count) {
  const auto start = std::chrono::steady_clock::now();
  if (!Create(dir, dir + "/b.arc", count, true)) return 1;
  printf("add  %u empty files: peak resident %ld KiB, %.2f s\n", count,
         PeakKiB(), SecondsSince(start));
  return 0;
}

int List(const std::string& dir) {
  const auto start = std::chrono::steady_clock::now();
  CKvMorvel arc;
  if (!arc.Open(P(Wide(dir + "/b.arc")), TRUE, 0)) return 1;
  unsigned listed = 0;
  while (arc.Info(1)) ++listed;
  arc.Close();
  printf("list %u entries: peak resident %ld KiB, %.2f s\n", listed,
         PeakKiB(), SecondsSince(start));
  return 0;
}

// Best of three creations of a fresh archive, in seconds.
double BestCreate(const std::string& dir, unsigned count, bool periodic) {
  double best = 1e30;
  for (int round = 0; round < 3; ++round) {
    unlink((dir + "/f.arc").c_str());
    unlink((dir + "/f_0001.arc").c_str());
    const auto start = std::chrono::steady_clock::now();
    if (!Create(dir, dir + "/f.arc", count, periodic)) return -1;
    const double seconds = SecondsSince(start);
    if (seconds < best) best = seconds;
  }
  return best;
}

int FlushCost(const std::string& dir, unsigned count, unsigned size) {
  const double without = BestCreate(dir, count, false);
  const double with = BestCreate(dir, count, true);
  if (without <= 0 || with <= 0) return 1;
  printf("create %u files of %u bytes: periodic flush %.3f s, without "
         "%.3f s, ratio %.2f\n",
         count, size, with, without, with / without);
  return 0;
}

int Run(const char* self, const char* a, const char* b, const char* c) {
  const char* argv[] = {self, a, b, c, nullptr};
  pid_t pid;
  if (posix_spawn(&pid, "/proc/self/exe", nullptr, nullptr,
                  const_cast<char**>(argv), environ) != 0)
    return 1;
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

// Makes DIR/src/f000000 ... (`count` files of `size` bytes) in a new
// temporary folder DIR; empty on failure.
std::string MakeSources(unsigned count, unsigned size) {
  char pattern[] = "/tmp/kvbench.XXXXXX";
  if (!mkdtemp(pattern)) return std::string();
  const std::string dir = pattern;
  mkdir((dir + "/src").c_str(), 0755);
  const std::string bytes(size, 'k');
  for (unsigned i = 0; i < count; ++i) {
    const int fd = open(FileName(dir, i).c_str(), O_CREAT | O_WRONLY, 0644);
    if (fd < 0) return std::string();
    const bool written =
        write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(size);
    close(fd);
    if (!written) return std::string();
  }
  return dir;
}

int RemoveFolder(const std::string& dir) {
  const std::string cleanup = "rm -rf '" + dir + "'";
  return system(cleanup.c_str()) != 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 4 && !strcmp(argv[1], "add"))
    return Add(argv[2], static_cast<unsigned>(atol(argv[3])));
  if (argc >= 3 && !strcmp(argv[1], "list")) return List(argv[2]);
  if (argc >= 2 && !strcmp(argv[1], "base")) {
    printf("base process: peak resident %ld KiB\n", PeakKiB());
    return 0;
  }
  if (argc >= 2 && !strcmp(argv[1], "flush")) {
    const unsigned count =
        argc >= 3 ? static_cast<unsigned>(atol(argv[2])) : 20000u;
    const unsigned size =
        argc >= 4 ? static_cast<unsigned>(atol(argv[3])) : 0u;
    const std::string dir = MakeSources(count, size);
    if (dir.empty()) return 1;
    return FlushCost(dir, count, size) | RemoveFolder(dir);
  }
  const unsigned count = argc >= 2 ? static_cast<unsigned>(atol(argv[1]))
                                   : 100000u;
  const std::string dir = MakeSources(count, 0);
  if (dir.empty()) return 1;
  const std::string number = std::to_string(count);
  int rc = Run(argv[0], "base", "", "");
  rc |= Run(argv[0], "add", dir.c_str(), number.c_str());
  rc |= Run(argv[0], "list", dir.c_str(), "");
  struct stat st;
  if (stat((dir + "/b.arc").c_str(), &st) == 0)
    printf("main file: %lld bytes\n", static_cast<long long>(st.st_size));
  return rc | RemoveFolder(dir);
}
