// SPDX-License-Identifier: GPL-2.0-or-later
// Reading the start of a version 1 or version 2 archive: the header at
// offset 0 and the bounds of the catalogue block it names. Each version
// decodes its own header fields; the reads and the bounds checks live
// here once.
#ifndef KVMORVEL_FORMATS_CATALOGUE_BLOCK_H
#define KVMORVEL_FORMATS_CATALOGUE_BLOCK_H

#include "common/archive_constants.h"
#include "kvwin32.h"

// Whether `signature` (8 bytes) is kArchiveSignature.
bool HasArchiveSignature(const BYTE* signature);

// Reads the `size`-byte header from the file's current position (its
// start, right after the open) into `bytes`, and gives the file's length.
// False when the length cannot be had, the file is shorter than the
// header or the read comes up short.
bool ReadHeaderBlock(HANDLE file, BYTE* bytes, DWORD size,
                     ULONGLONG* fileLength);

// Whether the `length`-byte catalogue at `offset` lies behind the header
// of `headerSize` bytes and inside a file of `fileLength` bytes. It is
// checked before any record is read, so a stored offset or length never
// sends a read elsewhere.
bool CatalogueBlockFits(ULONGLONG fileLength, DWORD headerSize,
                        ULONGLONG offset, DWORD length);

// Appending to an existing archive never writes over what its header
// names. New data goes behind the old catalogue (and behind every entry's
// data), the old catalogue's bytes stay as an unused gap (readers follow
// each record's own data offset), and Close writes the new catalogue
// behind the new data. Until the header is rewritten the file therefore
// still reads as the old archive, whole; after it, as the new one.
//
// The first offset an append may write at: the end of the old catalogue
// (`catalogueOffset` + `catalogueLength`, or `headerSize` when there is
// none), raised to `dataEnd`, the end of the furthest entry data the
// catalogue names.
ULONGLONG AppendPosition(DWORD headerSize, ULONGLONG catalogueOffset,
                         DWORD catalogueLength, ULONGLONG dataEnd);

// The last step of Close, once the new catalogue is written: flushes the
// file so that data and catalogue are on the disk, only then writes the
// `size`-byte header at offset 0, and flushes again. A crash or a full
// disk before the header write leaves the old header naming the old,
// untouched catalogue. False, with the last error, when a step fails.
bool CommitHeader(HANDLE file, const BYTE* header, DWORD size);

#endif  // KVMORVEL_FORMATS_CATALOGUE_BLOCK_H
