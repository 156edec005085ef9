// SPDX-License-Identifier: GPL-2.0-or-later
// Writes the benchmark's source trees, the same bytes, names and times on
// every run (a fixed seed and our own generator, so no library's
// distributions change them):
//
//   bench_make_trees [--quick] a|b|c DIR
//
//   a  about 400 MB of mixed content in nested folders: text-like files
//      (prose, source code, CSV, logs) that compress, random files that
//      do not (as already-compressed data), three large files of tens of
//      MB and symbolic links to files and folders
//   b  100,000 small text files in 100 folders
//   c  1,000,000 empty files in 1,000 folders
//
// --quick writes small trees of the same shapes (about 8 MB, 1,000 and
// 10,000 files) for a smoke test of the benchmark. DIR must not exist.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

// splitmix64: small, fast, and the same on every compiler.
class Random {
 public:
  explicit Random(uint64_t seed) : m_state(seed) {}
  uint64_t Next() {
    uint64_t z = (m_state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  uint64_t Below(uint64_t n) { return Next() % n; }
  // A size spread evenly over the octaves between lo and hi (hi / lo a
  // power of two), as file sizes are on real disks: many small, a few
  // large. Integers only, so every machine draws the same sizes.
  uint64_t LogSize(uint64_t lo, uint64_t hi) {
    unsigned octaves = 0;
    while ((lo << octaves) < hi) ++octaves;
    const uint64_t base = lo << Below(octaves);
    return base + Below(base);
  }

 private:
  uint64_t m_state;
};

const char* const kWords[] = {
    "the", "of", "and", "to", "in", "a", "is", "that", "for", "it", "as",
    "was", "with", "be", "by", "on", "not", "he", "this", "are", "or", "his",
    "from", "at", "which", "but", "have", "an", "had", "they", "you", "were",
    "their", "one", "all", "we", "can", "her", "has", "there", "been", "if",
    "more", "when", "will", "would", "who", "so", "no", "archive", "backup",
    "restore", "volume", "server", "record", "folder", "network", "storage",
    "report", "quarterly", "customer", "invoice", "schedule", "meeting",
    "project", "version", "release", "document", "attached", "please",
    "review", "between", "through", "because", "however", "available"};
const char* const kCode[] = {
    "if (", "return ", "for (int i = 0; i < ", "const ", "std::string ",
    "auto ", "nullptr", "size_t ", "while (", "break;", "} else {",
    "static ", "void ", "bool ", "result", "buffer", "count", "index",
    "->", "++i", " == ", " != ", " + ", "(", ")", "{", "}", ";", "0", "1"};

template <size_t N>
const char* Pick(Random& rng, const char* const (&list)[N]) {
  // Squaring skews the choice towards the front, as word use is skewed.
  const uint64_t a = rng.Below(N), b = rng.Below(N);
  return list[a < b ? a : b];
}

// Text of `size` bytes in one of four styles chosen by `style`.
void AppendText(Random& rng, unsigned style, uint64_t size, std::string* out) {
  const size_t end = out->size() + size;
  uint64_t line = rng.Below(100000);
  while (out->size() < end) {
    char head[96];
    switch (style % 4) {
      case 0:  // prose
        for (unsigned w = 8 + rng.Below(10); w > 0; --w) {
          out->append(Pick(rng, kWords));
          out->push_back(w == 1 ? '.' : ' ');
        }
        break;
      case 1:  // source code
        out->append(2 * rng.Below(5), ' ');
        for (unsigned w = 2 + rng.Below(6); w > 0; --w) out->append(Pick(rng, kCode));
        break;
      case 2:  // CSV
        snprintf(head, sizeof head, "%llu,%llu,%s,%llu.%02llu,",
                 static_cast<unsigned long long>(++line),
                 static_cast<unsigned long long>(rng.Below(5000)),
                 Pick(rng, kWords),
                 static_cast<unsigned long long>(rng.Below(10000)),
                 static_cast<unsigned long long>(rng.Below(100)));
        out->append(head);
        out->append(Pick(rng, kWords));
        break;
      default:  // log
        line += 1 + rng.Below(3000);
        snprintf(head, sizeof head,
                 "2023-%02llu-%02llu %02llu:%02llu:%02llu.%03llu [%s] ",
                 static_cast<unsigned long long>(1 + line / 2600000 % 12),
                 static_cast<unsigned long long>(1 + line / 86400 % 28),
                 static_cast<unsigned long long>(line / 3600 % 24),
                 static_cast<unsigned long long>(line / 60 % 60),
                 static_cast<unsigned long long>(line % 60),
                 static_cast<unsigned long long>(rng.Below(1000)),
                 rng.Below(8) ? "info" : "warn");
        out->append(head);
        for (unsigned w = 4 + rng.Below(8); w > 0; --w) {
          out->append(Pick(rng, kWords));
          out->push_back(' ');
        }
        break;
    }
    out->push_back('\n');
  }
  out->resize(end);
}

void AppendRandom(Random& rng, uint64_t size, std::string* out) {
  const size_t start = out->size();
  out->resize(start + size);
  char* p = &(*out)[start];
  for (uint64_t i = 0; i < size; i += 8) {
    const uint64_t v = rng.Next();
    memcpy(p + i, &v, size - i < 8 ? size - i : 8);
  }
}

// Binary records as a database or an executable holds them: small
// numbers, zero padding, repeated tags; it compresses, though less than
// text.
void AppendRecords(Random& rng, uint64_t size, std::string* out) {
  const size_t end = out->size() + size;
  while (out->size() < end) {
    char record[64] = {'R', 'E', 'C', '1'};
    const uint64_t v = rng.Next();
    memcpy(record + 8, &v, 4);                   // a random key
    record[12] = static_cast<char>(rng.Below(4));  // a type
    const uint64_t w = rng.Below(1 << 20);
    memcpy(record + 16, &w, 8);                  // a small value
    out->append(record, 16 + 8 * (1 + rng.Below(6)));
  }
  out->resize(end);
}

// Fixed times, so that archives of the tree made at different moments
// are alike: 2023-01-01 00:00:00 UTC plus `offset` seconds.
void SetTime(const std::string& path, uint64_t offset) {
  const struct timespec t = {static_cast<time_t>(1672531200 + offset), 0};
  const struct timespec times[2] = {t, t};
  if (utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0)
    perror(path.c_str());
}

bool MakeFolder(const std::string& path) {
  if (mkdir(path.c_str(), 0755) == 0) return true;
  perror(path.c_str());
  return false;
}

bool WriteFile(const std::string& path, const std::string& data) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
  if (fd < 0) {
    perror(path.c_str());
    return false;
  }
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n <= 0) {
      perror(path.c_str());
      close(fd);
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return close(fd) == 0;
}

std::string Numbered(const char* format, uint64_t n) {
  char name[32];
  snprintf(name, sizeof name, format, static_cast<unsigned long long>(n));
  return name;
}

// Tree A. The quick tree divides every byte budget by 50.
bool MakeMixed(const std::string& root, bool quick) {
  Random rng(0xA11CE5EED);
  const uint64_t scale = quick ? 50 : 1;
  const uint64_t kMiB = 1 << 20;
  if (!MakeFolder(root)) return false;
  // 40 folders up to four levels deep: each new folder goes under a
  // random earlier one.
  std::vector<std::string> folders = {root};
  const char* const kFolderNames[] = {"docs", "src", "data", "logs", "media",
                                      "backup", "reports", "lib", "tmp", "etc"};
  for (unsigned i = 0; i < 40; ++i) {
    std::string parent = folders[rng.Below(folders.size())];
    while (std::count(parent.begin() + static_cast<long>(root.size()), parent.end(), '/') >= 4)
      parent = folders[rng.Below(folders.size())];
    folders.push_back(parent + "/" + kFolderNames[rng.Below(10)] + Numbered("%02llu", i));
    if (!MakeFolder(folders.back())) return false;
  }
  std::vector<std::string> files;
  std::string data;
  uint64_t budget = 200 * kMiB / scale;  // text-like
  for (uint64_t i = 0; budget > 0; ++i) {
    const unsigned style = static_cast<unsigned>(rng.Below(4));
    const char* const kExt[] = {".txt", ".cc", ".csv", ".log"};
    uint64_t size = rng.LogSize(256, kMiB);
    if (size > budget) size = budget;
    budget -= size;
    data.clear();
    AppendText(rng, style, size, &data);
    files.push_back(folders[rng.Below(folders.size())] + Numbered("/t%05llu", i) + kExt[style]);
    if (!WriteFile(files.back(), data)) return false;
  }
  budget = 100 * kMiB / scale;  // already compressed
  for (uint64_t i = 0; budget > 0; ++i) {
    uint64_t size = rng.LogSize(4096, 8 * kMiB);
    if (size > budget) size = budget;
    budget -= size;
    data.clear();
    AppendRandom(rng, size, &data);
    files.push_back(folders[rng.Below(folders.size())] + Numbered("/z%05llu.jpg", i));
    if (!WriteFile(files.back(), data)) return false;
  }
  // Three large files: a log, a disk-image-like blob of random data and
  // a database of binary records.
  data.clear();
  AppendText(rng, 3, 40 * kMiB / scale, &data);
  files.push_back(root + "/server.log");
  if (!WriteFile(files.back(), data)) return false;
  data.clear();
  AppendRandom(rng, 30 * kMiB / scale, &data);
  files.push_back(root + "/photos.img");
  if (!WriteFile(files.back(), data)) return false;
  data.clear();
  AppendRecords(rng, 30 * kMiB / scale, &data);
  files.push_back(root + "/records.db");
  if (!WriteFile(files.back(), data)) return false;
  for (size_t i = 0; i < files.size(); ++i) SetTime(files[i], i * 37);
  // Links: 40 to files and 8 to folders, all relative to the tree's root
  // so they stay inside the tree wherever it is restored. A folder link
  // never points at a folder holding it: no loops for tools that follow.
  for (unsigned i = 0; i < 48; ++i) {
    const std::string& home = folders[rng.Below(folders.size())];
    std::string target = i < 40 ? files[rng.Below(files.size())] : home;
    while ((home + "/").rfind(target + "/", 0) == 0)
      target = folders[1 + rng.Below(folders.size() - 1)];
    std::string relative;
    for (size_t depth = std::count(home.begin() + static_cast<long>(root.size()), home.end(), '/');
         depth > 0; --depth)
      relative += "../";
    relative += target.substr(root.size() + 1);
    const std::string link = home + Numbered("/link%02llu", i);
    if (symlink(relative.c_str(), link.c_str()) != 0) {
      perror(link.c_str());
      return false;
    }
    SetTime(link, 1000 + i);
  }
  // Folders last, deepest first: adding entries changes a folder's time.
  for (size_t i = folders.size(); i-- > 0;) SetTime(folders[i], 5000 + i);
  return true;
}

// Tree B: `folders` folders of `perFolder` text files of 64 B to 4 KiB.
bool MakeSmall(const std::string& root, unsigned folders, unsigned perFolder) {
  Random rng(0xB0B5EED);
  if (!MakeFolder(root)) return false;
  std::string data;
  for (unsigned d = 0; d < folders; ++d) {
    const std::string folder = root + Numbered("/d%03llu", d);
    if (!MakeFolder(folder)) return false;
    for (unsigned f = 0; f < perFolder; ++f) {
      const std::string path = folder + Numbered("/f%04llu.txt", f);
      data.clear();
      AppendText(rng, static_cast<unsigned>(rng.Below(4)), rng.LogSize(64, 4096), &data);
      if (!WriteFile(path, data)) return false;
      SetTime(path, d * perFolder + f);
    }
    SetTime(folder, 2000000 + d);
  }
  SetTime(root, 3000000);
  return true;
}

// Tree C: `folders` folders of `perFolder` empty files.
bool MakeEmpty(const std::string& root, unsigned folders, unsigned perFolder) {
  if (!MakeFolder(root)) return false;
  const std::string empty;
  for (unsigned d = 0; d < folders; ++d) {
    const std::string folder = root + Numbered("/d%04llu", d);
    if (!MakeFolder(folder)) return false;
    for (unsigned f = 0; f < perFolder; ++f) {
      const std::string path = folder + Numbered("/e%04llu", f);
      if (!WriteFile(path, empty)) return false;
      SetTime(path, d * perFolder + f);
    }
    SetTime(folder, 2000000 + d);
  }
  SetTime(root, 3000000);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  bool quick = false;
  int arg = 1;
  if (arg < argc && strcmp(argv[arg], "--quick") == 0) {
    quick = true;
    ++arg;
  }
  if (argc - arg != 2 || strlen(argv[arg]) != 1) {
    fprintf(stderr, "usage: bench_make_trees [--quick] a|b|c DIR\n");
    return 2;
  }
  const std::string dir = argv[arg + 1];
  bool done = false;
  switch (argv[arg][0]) {
    case 'a': done = MakeMixed(dir, quick); break;
    case 'b': done = quick ? MakeSmall(dir, 10, 100) : MakeSmall(dir, 100, 1000); break;
    case 'c': done = quick ? MakeEmpty(dir, 10, 1000) : MakeEmpty(dir, 1000, 1000); break;
    default:
      fprintf(stderr, "unknown tree %s\n", argv[arg]);
      return 2;
  }
  return done ? 0 : 1;
}
