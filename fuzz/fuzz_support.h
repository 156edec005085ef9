// SPDX-License-Identifier: GPL-2.0-or-later
// What every fuzz target shares: the table of targets, a scratch folder
// per input with a restore target and a watched neighbourhood, and the
// check that nothing outside the target changed.
#ifndef KVMORVEL_FUZZ_SUPPORT_H
#define KVMORVEL_FUZZ_SUPPORT_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "KvMorvelTypes.h"

// One fuzz target: its name (also its corpus folder) and its entry.
struct FuzzTarget {
  const char* name;
  int (*run)(const uint8_t* data, size_t size);
};
// Every target, ended by {nullptr, nullptr}.
extern const FuzzTarget kFuzzTargets[];
const FuzzTarget* FindFuzzTarget(const std::string& name);

// Sets up the process once: a private folder for the drive letters
// (KVMORVEL_DOSDEVICES, with C: mapped to a watched folder), a folder for
// the mount library's unpacked images (the image target's TMPDIR while it
// mounts: libFuzzer keeps its own files in the process's TMPDIR), and a
// folder holding virtdisk.dll (the one beside the running program) for
// the image target to make current while it mounts.
void FuzzProcessSetUp();
std::string FuzzWorkFolder();
std::string FuzzMountFolder();

// The per-input scratch folder, three levels below the process's watched
// base so that names climbing a few levels out of the target still land
// where the check sees them:
//   base/drive_c/              what C:\ names (kept empty)
//   base/up/up/run/            the input's files (Write)
//   base/up/up/run/outside/    a sentinel file beside the target
//   base/up/up/run/target/     the restore target: a file, a relative
//                              link and an absolute link (a junction)
//                              both leading to outside/
// The constructor snapshots everything under base except the target and
// the mount library's folders; Check compares against it.
class FuzzScratch {
 public:
  FuzzScratch();
  ~FuzzScratch();
  // Writes `name` beside the target and adds it to the snapshot.
  void Write(const std::string& name, const uint8_t* data, size_t size);
  std::string Path(const std::string& name) const;  // below run/
  std::u16string Wide(const std::string& name) const;
  // Aborts, naming the difference, when anything outside the target was
  // created, removed or changed: the code under test escaped its target.
  void CheckNothingEscaped() const;

 private:
  struct Seen {
    unsigned long long inode = 0;
    unsigned mode = 0;
    long long size = 0;
    long long stamp = 0;  // change time in nanoseconds
    long long owner = 0;
    std::string link;
    bool operator==(const Seen& o) const {
      return inode == o.inode && mode == o.mode && size == o.size &&
             stamp == o.stamp && owner == o.owner && link == o.link;
    }
  };
  typedef std::map<std::string, Seen> Snapshot;
  Snapshot Take() const;

  std::string run_;
  Snapshot before_;
};

// Input helpers: the bytes as a vector, and a split of an input into a
// u32 length-prefixed first part and the rest.
typedef std::vector<uint8_t> FuzzBytes;
void SplitInput(const uint8_t* data, size_t size, FuzzBytes* first,
                FuzzBytes* rest);
FuzzBytes JoinInput(const FuzzBytes& first, const FuzzBytes& rest);
FuzzBytes ReadFileBytes(const std::string& path);

// A UTF-16 string as the layer's wide-character argument.
inline const WCHAR* AsWideChars(const std::u16string& s) {
  return reinterpret_cast<const WCHAR*>(s.c_str());
}

#endif  // KVMORVEL_FUZZ_SUPPORT_H
