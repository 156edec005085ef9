// Reading the start of a version 1 or version 2 archive: the header at
// offset 0 and the catalogue block it names. Each version decodes its own
// header fields; the reads and the bounds checks live here once.
#ifndef KVMORVEL_FORMATS_CATALOGUE_BLOCK_H
#define KVMORVEL_FORMATS_CATALOGUE_BLOCK_H

#include "kvwin32.h"

// The 8 bytes that open a version 1 or version 2 header.
extern const BYTE kArchiveSignature[8];

// Whether `signature` (8 bytes) is kArchiveSignature.
bool HasArchiveSignature(const BYTE* signature);

// Reads the `size`-byte header from the file's current position (its
// start, right after the open) into `bytes`, and gives the file's length.
// False when the length cannot be had, the file is shorter than the
// header or the read comes up short.
bool ReadHeaderBlock(HANDLE file, BYTE* bytes, DWORD size,
                     ULONGLONG* fileLength);

// Reads the `length`-byte catalogue at `offset` into a new buffer
// (new (std::nothrow) BYTE[], freed with delete[]). The block must lie
// behind the header of `headerSize` bytes and inside the file: that is
// checked against `fileLength` before anything is allocated from the
// stored length. Null when it does not, or the allocation or read fails.
BYTE* ReadCatalogueBlock(HANDLE file, ULONGLONG fileLength, DWORD headerSize,
                         ULONGLONG offset, DWORD length);

#endif  // KVMORVEL_FORMATS_CATALOGUE_BLOCK_H
