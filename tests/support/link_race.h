// SPDX-License-Identifier: GPL-2.0-or-later
// A second user racing a restore or an image copy: a child that swaps a
// folder in the target with a link to a folder outside it, and the count
// of what reached that outside folder. POSIX only (fork and setuid).
#ifndef KVMORVEL_TESTS_SUPPORT_LINK_RACE_H
#define KVMORVEL_TESTS_SUPPORT_LINK_RACE_H

#if !defined(_WIN32)
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <string>

// The ordinary user the racing child becomes.
const uid_t kRacer = 65534;  // nobody

// What the racing child and the restoring parent share.
struct RaceBoard {
  std::atomic<int> ready;
  std::atomic<int> stop;
  std::atomic<unsigned long long> swaps;
};

// As `kRacer`, swaps the folder `a` and the link `b` (both names in one
// folder) with renameat2(RENAME_EXCHANGE) until told to stop.
inline void RaceSwaps(RaceBoard* board, const std::string& a, const std::string& b) {
  if (setgid(kRacer) != 0 || setuid(kRacer) != 0) _exit(2);
  board->ready.store(1);
  const unsigned kExchange = 1u << 1;  // RENAME_EXCHANGE
  while (!board->stop.load()) {
    if (syscall(SYS_renameat2, AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), kExchange) == 0)
      board->swaps.fetch_add(1);
  }
  _exit(0);
}

// Names in `folder` (recursively): how many, and how many `uid` owns.
inline void CountOutside(const std::string& folder, uid_t uid, int* names, int* owned) {
  DIR* d = opendir(folder.c_str());
  if (!d) return;
  while (const dirent* e = readdir(d)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    const std::string path = folder + "/" + name;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) continue;
    ++*names;
    if (st.st_uid == uid) ++*owned;
    if (S_ISDIR(st.st_mode)) CountOutside(path, uid, names, owned);
  }
  closedir(d);
}

// How long the race runs: KVMORVEL_RACE_SECONDS for a long run, else a
// short one that keeps the suite quick.
inline double RaceSeconds() {
  const char* value = getenv("KVMORVEL_RACE_SECONDS");
  const double seconds = value ? atof(value) : 0;
  return seconds > 0 ? seconds : 1.5;
}

#endif  // !_WIN32

#endif  // KVMORVEL_TESTS_SUPPORT_LINK_RACE_H
