// Replays fuzz inputs as an ordinary test.
//
// With file arguments, runs the fuzz target on each file. Without, makes
// small valid archives of every version through the public class and runs
// the target on each of them cut at every length and with every byte of
// the main file damaged: the reader must fail cleanly on all of them.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "KvMorvel.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

typedef std::vector<uint8_t> Bytes;

Bytes ReadAll(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  const std::string text = s.str();
  return Bytes(text.begin(), text.end());
}

std::u16string Wide(const std::string& s) {
  return std::u16string(s.begin(), s.end());
}
const WCHAR* P(const std::u16string& s) {
  return reinterpret_cast<const WCHAR*>(s.c_str());
}

// An input for the target: u32 main length, main file, part 1.
Bytes Input(const Bytes& main, const Bytes& part) {
  Bytes in(4);
  for (int i = 0; i < 4; ++i) in[i] = static_cast<uint8_t>(main.size() >> (8 * i));
  in.insert(in.end(), main.begin(), main.end());
  in.insert(in.end(), part.begin(), part.end());
  return in;
}

// A version `version` archive holding a folder, an empty file and a file
// of a few kilobytes.
Bytes MakeSeed(DWORD version, Bytes* part) {
  char root[] = "/tmp/kvseed.XXXXXX";
  if (!mkdtemp(root)) return Bytes();
  const std::string dir = root;
  mkdir((dir + "/docs").c_str(), 0755);
  std::ofstream(dir + "/docs/empty.txt").close();
  std::ofstream text(dir + "/docs/notes.txt");
  for (int i = 0; i < 400; ++i) text << "line " << i << " of the notes\n";
  text.close();

  CKvMorvel archive;
  const std::string path = dir + "/seed.arc";
  archive.Open(P(Wide(path)), FALSE, version);
  if (version != 1) archive.AddFile(P(Wide(dir + "/docs")), P(Wide("docs")), nullptr, 0);
  archive.AddFile(P(Wide(dir + "/docs/empty.txt")), P(Wide("docs\\empty.txt")), nullptr, 0);
  archive.AddFile(P(Wide(dir + "/docs/notes.txt")), P(Wide("docs\\notes.txt")), nullptr, 0);
  archive.Close();
  const Bytes main = ReadAll(path);
  *part = version == 5 ? ReadAll(dir + "/seed_0001.arc") : Bytes();
  std::string cleanup = "rm -rf '" + dir + "'";
  if (system(cleanup.c_str()) != 0) fprintf(stderr, "cannot remove %s\n", root);
  return main;
}

size_t RunDamaged(const Bytes& main, const Bytes& part) {
  size_t runs = 0;
  for (size_t cut = 0; cut <= main.size(); ++cut, ++runs) {
    const Bytes in = Input(Bytes(main.begin(), main.begin() + cut), part);
    LLVMFuzzerTestOneInput(in.data(), in.size());
  }
  for (size_t cut = 0; cut < part.size(); cut += 1 + part.size() / 64, ++runs) {
    const Bytes in = Input(main, Bytes(part.begin(), part.begin() + cut));
    LLVMFuzzerTestOneInput(in.data(), in.size());
  }
  const uint8_t values[] = {0x00, 0xFF};
  for (size_t at = 0; at < main.size(); ++at) {
    for (uint8_t v : values) {
      Bytes damaged = main;
      if (damaged[at] == v) continue;
      damaged[at] = v;
      const Bytes in = Input(damaged, part);
      LLVMFuzzerTestOneInput(in.data(), in.size());
      ++runs;
    }
  }
  return runs;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1) {
    for (int i = 1; i < argc; ++i) {
      const Bytes in = ReadAll(argv[i]);
      LLVMFuzzerTestOneInput(in.data(), in.size());
    }
    printf("replayed %d inputs\n", argc - 1);
    return 0;
  }
  size_t runs = 0;
  for (DWORD version : {1u, 2u, 5u}) {
    Bytes part;
    const Bytes main = MakeSeed(version, &part);
    if (main.empty()) {
      fprintf(stderr, "could not make a version %u seed\n", version);
      return 1;
    }
    runs += RunDamaged(main, part);
  }
  printf("replayed %zu damaged archives without a crash\n", runs);
  return 0;
}
