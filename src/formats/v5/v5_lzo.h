// SPDX-License-Identifier: GPL-2.0-or-later
// Sizes of the LZO1X-1 block stream shared by its writer and reader.
#ifndef KVMORVEL_FORMATS_V5_LZO_H
#define KVMORVEL_FORMATS_V5_LZO_H

#include <lzo/lzo1x.h>

#include <cstddef>

// Every block holds one piece of at most 1 MiB of source.
const size_t kV5PieceSize = 1048576;
// Room lzo1x_1_compress may need for `n` source bytes: LZO documents
// n + n/16 + 64 + 3 as the bound for incompressible input (the compressor
// takes no output size, so the buffer must hold the worst case).
constexpr size_t V5PayloadBound(size_t n) { return n + n / 16 + 64 + 3; }
// The longest payload a block can hold; a stored length above it cannot
// have come from the writer.
const size_t kV5MaxPayload = V5PayloadBound(kV5PieceSize);
// The compressor's work memory is 131072 bytes, or what the library
// needs when it asks for more (LZO1X_1_MEM_COMPRESS is 16384 pointers).
const size_t kV5WorkMemory = LZO1X_1_MEM_COMPRESS > 131072
                                 ? static_cast<size_t>(LZO1X_1_MEM_COMPRESS)
                                 : 131072;

// lzo_init's answer, asked once per process: it only checks how the
// library was built, and every block would otherwise ask again.
inline int V5LzoInit() {
  static const int answer = lzo_init();
  return answer;
}

#endif  // KVMORVEL_FORMATS_V5_LZO_H
