// SPDX-License-Identifier: GPL-2.0-or-later
// Replays the committed corpus as an ordinary test, without libFuzzer.
//
//   fuzz_replay [corpus folder]        every file of every target's folder
//                                      through every target
//   fuzz_replay <target> <file>...     the files through one target
//
// A crash, a sanitizer report or an escape from a scratch target ends
// the program, and so fails the test. Files named in <corpus>/OPEN (one
// "target/file" a line) found faults that are not mended yet: they are
// skipped, and the skips are counted.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"

namespace {

std::vector<std::string> Names(const std::string& folder) {
  std::vector<std::string> names;
  DIR* dir = opendir(folder.c_str());
  if (!dir) return names;
  while (dirent* e = readdir(dir))
    if (e->d_name[0] != '.') names.push_back(e->d_name);
  closedir(dir);
  return names;
}

std::set<std::string> OpenFaults(const std::string& corpus) {
  std::set<std::string> open;
  std::ifstream f(corpus + "/OPEN");
  std::string line;
  while (std::getline(f, line))
    if (!line.empty() && line[0] != '#') open.insert(line);
  return open;
}

// Runs `escape` on a fresh scratch folder in a child process and tells
// whether the escape check stopped the child with an abort.
bool CheckCatches(void (*escape)(const FuzzScratch&)) {
  const pid_t child = fork();
  if (child == 0) {
    const int null = open("/dev/null", O_WRONLY);
    if (null >= 0) dup2(null, 2);
    FuzzScratch scratch;
    escape(scratch);
    scratch.CheckNothingEscaped();
    _exit(0);
  }
  int status = 0;
  return child > 0 && waitpid(child, &status, 0) == child && WIFSIGNALED(status) &&
         WTERMSIG(status) == SIGABRT;
}

void WriteThroughLink(const FuzzScratch& s) {
  FILE* f = fopen(s.Path("target/link/escaped").c_str(), "w");
  if (f) fclose(f);
}
void ChmodThroughJunction(const FuzzScratch& s) {
  chmod(s.Path("target/junction/sentinel").c_str(), 0600);
}
void ReplaceTarget(const FuzzScratch& s) {
  rename(s.Path("target").c_str(), s.Path("moved").c_str());
  mkdir(s.Path("target").c_str(), 0755);
}
void WriteToDriveC(const FuzzScratch& s) {
  FILE* f = fopen(s.Path("../../../drive_c/x").c_str(), "w");
  if (f) fclose(f);
}

// The check the targets rely on must see each kind of escape, and must
// not see writes inside the target.
bool EscapeCheckWorks() {
  FuzzProcessSetUp();  // once, in this process: the children share it
  for (auto escape : {WriteThroughLink, ChmodThroughJunction, ReplaceTarget, WriteToDriveC}) {
    if (!CheckCatches(escape)) {
      fprintf(stderr, "the escape check missed an escape\n");
      return false;
    }
  }
  if (CheckCatches([](const FuzzScratch& s) {
        mkdir(s.Path("target/inside").c_str(), 0755);
        unlink(s.Path("target/link").c_str());
      })) {
    fprintf(stderr, "the escape check stopped a change inside the target\n");
    return false;
  }
  return true;
}

int ReplayFiles(const FuzzTarget& target, int count, char** files) {
  for (int i = 0; i < count; ++i) {
    const FuzzBytes in = ReadFileBytes(files[i]);
    target.run(in.data(), in.size());
  }
  printf("replayed %d inputs through %s\n", count, target.name);
  return 0;
}

int ReplayCorpus(const std::string& corpus) {
  const std::set<std::string> open = OpenFaults(corpus);
  std::vector<FuzzBytes> inputs;
  size_t skipped = 0;
  for (const FuzzTarget* t = kFuzzTargets; t->name; ++t) {
    for (const std::string& name : Names(corpus + "/" + t->name)) {
      if (open.count(std::string(t->name) + "/" + name)) {
        ++skipped;
        continue;
      }
      inputs.push_back(ReadFileBytes(corpus + "/" + t->name + "/" + name));
    }
  }
  if (inputs.empty()) {
    fprintf(stderr, "no corpus in %s\n", corpus.c_str());
    return 1;
  }
  const auto start = std::chrono::steady_clock::now();
  for (const FuzzTarget* t = kFuzzTargets; t->name; ++t)
    for (const FuzzBytes& in : inputs) t->run(in.data(), in.size());
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  printf("replayed %zu corpus files through each of the targets in %.1f s; %zu open "
         "faults skipped\n",
         inputs.size(), seconds, skipped);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 2) {
    const FuzzTarget* target = FindFuzzTarget(argv[1]);
    if (!target) {
      fprintf(stderr, "no fuzz target named %s\n", argv[1]);
      return 2;
    }
    return ReplayFiles(*target, argc - 2, argv + 2);
  }
  if (!EscapeCheckWorks()) return 1;
  return ReplayCorpus(argc == 2 ? argv[1] : KVMORVEL_FUZZ_CORPUS);
}
