// Sizes of the LZO1X-1 block stream shared by its writer and reader.
#ifndef KVMORVEL_FORMATS_V5_LZO_H
#define KVMORVEL_FORMATS_V5_LZO_H

#include <lzo/lzo1x.h>

#include <cstddef>

// Every block holds one piece of at most 1 MiB of source.
const size_t kV5PieceSize = 1048576;
// The largest lzo1x_1_compress output for one piece: the piece plus
// 1/64 of it plus 19 bytes. A stored payload longer than this cannot
// have come from the writer.
const size_t kV5MaxPayload = kV5PieceSize + kV5PieceSize / 64 + 16 + 3;
// The compressor's work memory is 131072 bytes, or what the library
// needs when it asks for more (LZO1X_1_MEM_COMPRESS is 16384 pointers).
const size_t kV5WorkMemory = LZO1X_1_MEM_COMPRESS > 131072
                                 ? static_cast<size_t>(LZO1X_1_MEM_COMPRESS)
                                 : 131072;

#endif  // KVMORVEL_FORMATS_V5_LZO_H
