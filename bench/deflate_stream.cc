// SPDX-License-Identifier: GPL-2.0-or-later
// The chunked deflate stream of versions 1 and 2 holds no file in memory:
// data goes through two fixed buffers of about 1 MiB each. This program
// adds one large file to a version 2 archive, inflates it back, and prints
// the peak resident memory and the speed of both.
//
//   deflate_stream [MiB]   size of the file (256 by default)
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "KvMorvel.h"
#include "bench/bench_support.h"
#include "formats/file_io.h"
#include "formats/v2/v2_format.h"
#include "kvwin32.h"

namespace {

class Reader : public CKvMorvel {
 public:
  using CKvMorvel::ZIPDecompressFile;
  using CKvMorvel::m_entries2;
  using CKvMorvel::m_control;
};

}  // namespace

int main(int argc, char** argv) {
  const unsigned mib = argc > 1 ? static_cast<unsigned>(atoi(argv[1])) : 256;
  char pattern[] = "/tmp/kvbench.XXXXXX";
  if (!mkdtemp(pattern)) return 1;
  const std::string dir = pattern;
  {
    std::ofstream f(dir + "/big", std::ios::binary);
    std::vector<char> block(1 << 20);
    unsigned x = 1;
    for (unsigned i = 0; i < mib; ++i) {
      for (char& c : block) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>('a' + (x >> 16) % 16);  // text-like, 4 bits
      }
      f.write(block.data(), static_cast<std::streamsize>(block.size()));
    }
  }
  const long base = PeakKiB();
  auto start = std::chrono::steady_clock::now();
  CKvMorvel writer;
  if (!writer.Open(P(Wide(dir + "/a.arc")), FALSE, 2) ||
      !writer.AddFile(P(Wide(dir + "/big")), P(Wide("big")), nullptr, 0) ||
      !writer.Close()) {
    fprintf(stderr, "add failed: %u\n", writer.GetErrorCode());
    return 1;
  }
  const double addSeconds = SecondsSince(start);
  const long addPeak = PeakKiB();

  start = std::chrono::steady_clock::now();
  Reader reader;
  if (!reader.Open(P(Wide(dir + "/a.arc")), TRUE, 0)) return 1;
  const _MVRL_FILEENTRY_2& entry = reader.m_entries2.at(0);
  HANDLE archive = static_cast<_MVRL_OBJECT_2*>(reader.m_control)->archive;
  HANDLE out = CreateFileW(P(Wide(dir + "/out")), GENERIC_WRITE, 0, nullptr,
                           CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  LONGLONG written = 0;
  SeekTo(archive, entry.dataOffset);
  const BOOL ok = reader.ZIPDecompressFile(
      archive, static_cast<LONGLONG>(entry.storedLength), out, &written);
  CloseHandle(out);
  reader.Close();
  const double readSeconds = SecondsSince(start);
  printf("%u MiB: add %.1f MiB/s, inflate %.1f MiB/s (%s, %lld bytes)\n",
         mib, mib / addSeconds, mib / readSeconds, ok ? "ok" : "FAILED",
         static_cast<long long>(written));
  printf("peak resident: %ld KiB before, %ld KiB after add, %ld KiB after "
         "inflate\n", base, addPeak, PeakKiB());
  unlink((dir + "/big").c_str());
  unlink((dir + "/out").c_str());
  unlink((dir + "/a.arc").c_str());
  rmdir(dir.c_str());
  return ok && written == static_cast<LONGLONG>(mib) << 20 ? 0 : 1;
}
