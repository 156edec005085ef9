// Peak resident memory of a version 5 archive with many entries: adding
// 100,000 empty files, then listing them. Each phase runs in its own
// process so that its peak (VmHWM) is its own.
//
//   bench_v5_memory [COUNT]        make COUNT (100000) empty files in a temporary
//                            folder and run the phases
//   bench_v5_memory add DIR COUNT  add DIR/src/f000000 ... to DIR/b.arc
//   bench_v5_memory list DIR       list DIR/b.arc
//   bench_v5_memory base           the process without any archive work
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

int Add(const std::string& dir, unsigned count) {
  const auto start = std::chrono::steady_clock::now();
  CKvMorvel arc;
  if (!arc.Open(P(Wide(dir + "/b.arc")), FALSE, 5)) {
    fprintf(stderr, "Open failed: %u\n", arc.GetErrorCode());
    return 1;
  }
  for (unsigned i = 0; i < count; ++i) {
    const std::string source = FileName(dir, i);
    if (!arc.AddFile(P(Wide(source)), P(Wide(source.substr(dir.size() + 1))),
                     nullptr, 0)) {
      fprintf(stderr, "AddFile %s failed: %u\n", source.c_str(),
              arc.GetErrorCode());
      return 1;
    }
  }
  if (!arc.Close()) return 1;
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

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 4 && !strcmp(argv[1], "add"))
    return Add(argv[2], static_cast<unsigned>(atol(argv[3])));
  if (argc >= 3 && !strcmp(argv[1], "list")) return List(argv[2]);
  if (argc >= 2 && !strcmp(argv[1], "base")) {
    printf("base process: peak resident %ld KiB\n", PeakKiB());
    return 0;
  }
  const unsigned count = argc >= 2 ? static_cast<unsigned>(atol(argv[1]))
                                   : 100000u;
  char pattern[] = "/tmp/kvbench.XXXXXX";
  if (!mkdtemp(pattern)) return 1;
  const std::string dir = pattern;
  mkdir((dir + "/src").c_str(), 0755);
  for (unsigned i = 0; i < count; ++i) {
    const int fd = open(FileName(dir, i).c_str(), O_CREAT | O_WRONLY, 0644);
    if (fd < 0) return 1;
    close(fd);
  }
  const std::string number = std::to_string(count);
  int rc = Run(argv[0], "base", "", "");
  rc |= Run(argv[0], "add", dir.c_str(), number.c_str());
  rc |= Run(argv[0], "list", dir.c_str(), "");
  struct stat st;
  if (stat((dir + "/b.arc").c_str(), &st) == 0)
    printf("main file: %lld bytes\n", static_cast<long long>(st.st_size));
  const std::string cleanup = "rm -rf '" + dir + "'";
  if (system(cleanup.c_str()) != 0) rc = 1;
  return rc;
}
