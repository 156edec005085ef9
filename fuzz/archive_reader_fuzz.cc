// Fuzz target: reading an archive of any version never crashes, hangs or
// writes outside the restore target, whatever its bytes.
//
// Input: u32 n, then n bytes of the main file, then the bytes of part 1
// (version 5 keeps its data there; other versions ignore it).
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "KvLog.h"
#include "KvMorvel.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  uint32_t mainLength = data[0] | (data[1] << 8) | (data[2] << 16) |
                        (static_cast<uint32_t>(data[3]) << 24);
  data += 4;
  size -= 4;
  if (mainLength > size) mainLength = static_cast<uint32_t>(size);

  FuzzScratch scratch;
  scratch.Write("a.arc", data, mainLength);
  scratch.Write("a_0001.arc", data + mainLength, size - mainLength);
  scratch.MakeFolder("out");

  CKvMorvel archive;
  const std::u16string path = scratch.Wide("a.arc");
  const std::u16string target = scratch.Wide("out");
  if (archive.Open(reinterpret_cast<const WCHAR*>(path.c_str()), TRUE, 0)) {
    // A catalogue cannot list more entries than it has bytes; anything
    // beyond that bound would be a loop.
    const size_t bound = mainLength + 16;
    for (size_t i = 0; i < bound && archive.Info(0); ++i) {
      archive.ExtractFile(reinterpret_cast<const WCHAR*>(target.c_str()), 0);
      archive.Info(1);
    }
    archive.Close();
  }
  scratch.CheckNothingEscaped("out");
  return 0;
}
