// SPDX-License-Identifier: GPL-2.0-or-later
// A second user racing a restore or an image copy: a child that swaps a
// folder in the target with a link to a folder outside it, and the count
// of what reached that outside folder. POSIX only (fork and setuid).
#ifndef KVMORVEL_TESTS_SUPPORT_LINK_RACE_H
#define KVMORVEL_TESTS_SUPPORT_LINK_RACE_H

#if !defined(_WIN32)
#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <new>
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

// The race set around a target folder `out` (made the racer's): its
// folder "d", and beside it "l", a link to a folder outside the target
// that only root may write ("canary"). Start forks the racer swapping
// "d" and "l"; Finish stops it and counts what reached the outside.
class FolderLinkRace {
 public:
  struct Result {
    unsigned long long swaps = 0;
    int escapes = 0;  // names found outside
    int owned = 0;    // of them, the racer's
    bool racerExited = false;
  };

  ~FolderLinkRace() {
    if (child_ > 0) Finish();
    if (!outside_.empty()) RemoveTree(outside_);
  }

  // Empty, or what could not be set up.
  std::string Start(const std::string& out) {
    char pattern[] = "/tmp/kvrace-XXXXXX";
    if (!mkdtemp(pattern)) return "no folder for the outside";
    outside_ = pattern;
    canary_ = outside_ + "/canary";
    const std::string real = out + "/d", link = out + "/l";
    if (chmod(outside_.c_str(), 0755) != 0 || mkdir(canary_.c_str(), 0755) != 0 ||
        chown(out.c_str(), kRacer, kRacer) != 0 || mkdir(real.c_str(), 0755) != 0 ||
        chown(real.c_str(), kRacer, kRacer) != 0 ||
        symlink(canary_.c_str(), link.c_str()) != 0 ||
        lchown(link.c_str(), kRacer, kRacer) != 0)
      return "the race could not be set up";
    void* shared = mmap(nullptr, sizeof(RaceBoard), PROT_READ | PROT_WRITE,
                        MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (shared == MAP_FAILED) return "no shared memory";
    board_ = new (shared) RaceBoard();
    child_ = fork();
    if (child_ < 0) return "no fork";
    if (child_ == 0) RaceSwaps(board_, real, link);
    while (!board_->ready.load()) {
      int status = 0;
      if (waitpid(child_, &status, WNOHANG) == child_) {
        child_ = -1;
        return "the racer could not start";
      }
    }
    return std::string();
  }

  Result Finish() {
    Result result;
    if (child_ <= 0) return result;
    board_->stop.store(1);
    int status = 0;
    waitpid(child_, &status, 0);
    child_ = -1;
    result.racerExited = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    result.swaps = board_->swaps.load();
    CountOutside(canary_, kRacer, &result.escapes, &result.owned);
    munmap(board_, sizeof(RaceBoard));
    board_ = nullptr;
    return result;
  }

 private:
  static void RemoveTree(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return;
    if (S_ISDIR(st.st_mode)) {
      if (DIR* d = opendir(path.c_str())) {
        while (const dirent* e = readdir(d)) {
          const std::string name = e->d_name;
          if (name != "." && name != "..") RemoveTree(path + "/" + name);
        }
        closedir(d);
      }
      rmdir(path.c_str());
    } else {
      unlink(path.c_str());
    }
  }

  std::string outside_, canary_;
  RaceBoard* board_ = nullptr;
  pid_t child_ = -1;
};

// How long the race runs: KVMORVEL_RACE_SECONDS for a long run, else a
// short one that keeps the suite quick.
inline double RaceSeconds() {
  const char* value = getenv("KVMORVEL_RACE_SECONDS");
  const double seconds = value ? atof(value) : 0;
  return seconds > 0 ? seconds : 1.5;
}

#endif  // !_WIN32

#endif  // KVMORVEL_TESTS_SUPPORT_LINK_RACE_H
