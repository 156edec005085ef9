// SPDX-License-Identifier: GPL-2.0-or-later
// The speed no archiver of a tree can pass with these codecs: every
// regular file below TREE (links not followed), read 1 MiB at a time, each
// piece compressed on its own with LZO1X-1 and with zlib at level 1. Only
// the compression calls are timed; the buffers and the codec state are
// made once, as a tuned archiver would make them.
//
//   bench_ceilings TREE [LZO_PASSES [ZLIB_PASSES]]     (5 and 3 by default)
//
// Prints for each codec one line the benchmark runner reads:
//   ceiling CODEC bytes=N ratio=R mbps=M   (median of the passes; 1 MB = 10^6 B)
#include <fcntl.h>
#include <ftw.h>
#include <unistd.h>
#include <lzo/lzo1x.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr size_t kPiece = 1 << 20;

std::vector<std::string>* g_files;

int Collect(const char* path, const struct stat*, int type, struct FTW*) {
  if (type == FTW_F) g_files->push_back(path);
  return 0;
}

// Compresses `in` into `out`, returns the compressed size.
class Codec {
 public:
  virtual ~Codec() = default;
  virtual size_t Compress(const unsigned char* in, size_t size) = 0;
};

class Lzo : public Codec {
 public:
  Lzo() : m_work(LZO1X_1_MEM_COMPRESS), m_out(kPiece + kPiece / 16 + 64 + 3) {}
  size_t Compress(const unsigned char* in, size_t size) override {
    lzo_uint outSize = 0;
    lzo1x_1_compress(in, size, m_out.data(), &outSize, m_work.data());
    return outSize;
  }

 private:
  std::vector<unsigned char> m_work, m_out;
};

class Zlib : public Codec {
 public:
  Zlib() {
    deflateInit(&m_stream, 1);
    m_out.resize(deflateBound(&m_stream, kPiece));
  }
  ~Zlib() override { deflateEnd(&m_stream); }
  size_t Compress(const unsigned char* in, size_t size) override {
    deflateReset(&m_stream);  // each piece its own stream
    m_stream.next_in = const_cast<unsigned char*>(in);
    m_stream.avail_in = static_cast<uInt>(size);
    m_stream.next_out = m_out.data();
    m_stream.avail_out = static_cast<uInt>(m_out.size());
    deflate(&m_stream, Z_FINISH);
    return m_stream.total_out;
  }

 private:
  z_stream m_stream{};
  std::vector<unsigned char> m_out;
};

struct Pass {
  double seconds = 0;
  unsigned long long in = 0, out = 0;
};

Pass RunPass(const std::vector<std::string>& files, Codec& codec,
             std::vector<unsigned char>& piece) {
  Pass pass;
  for (const std::string& path : files) {
    const int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) continue;
    ssize_t n;
    while ((n = read(fd, piece.data(), kPiece)) > 0) {
      const auto start = std::chrono::steady_clock::now();
      pass.out += codec.Compress(piece.data(), static_cast<size_t>(n));
      pass.seconds += std::chrono::duration<double>(
                          std::chrono::steady_clock::now() - start).count();
      pass.in += static_cast<unsigned long long>(n);
    }
    close(fd);
  }
  return pass;
}

void Report(const char* name, const std::vector<std::string>& files,
            Codec& codec, unsigned passes) {
  std::vector<unsigned char> piece(kPiece);
  std::vector<Pass> results;
  for (unsigned i = 0; i < passes; ++i) results.push_back(RunPass(files, codec, piece));
  std::sort(results.begin(), results.end(),
            [](const Pass& a, const Pass& b) { return a.seconds < b.seconds; });
  const Pass& median = results[results.size() / 2];
  printf("ceiling %s bytes=%llu ratio=%.3f mbps=%.1f\n", name, median.in,
         median.out ? static_cast<double>(median.in) / static_cast<double>(median.out) : 0.0,
         median.seconds > 0 ? static_cast<double>(median.in) / median.seconds / 1e6 : 0.0);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 4) {
    fprintf(stderr, "usage: bench_ceilings TREE [LZO_PASSES [ZLIB_PASSES]]\n");
    return 2;
  }
  const int lzoPasses = argc > 2 ? atoi(argv[2]) : 5;
  const int zlibPasses = argc > 3 ? atoi(argv[3]) : 3;
  std::vector<std::string> files;
  g_files = &files;
  if (nftw(argv[1], Collect, 64, FTW_PHYS) != 0 || lzo_init() != LZO_E_OK) {
    perror(argv[1]);
    return 1;
  }
  std::sort(files.begin(), files.end());
  Lzo lzo;
  Report("lzo1x_1", files, lzo, static_cast<unsigned>(std::max(lzoPasses, 1)));
  Zlib zlib;
  Report("zlib_1", files, zlib, static_cast<unsigned>(std::max(zlibPasses, 1)));
  return 0;
}
