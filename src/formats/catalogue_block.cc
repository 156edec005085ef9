// SPDX-License-Identifier: GPL-2.0-or-later
#include "formats/catalogue_block.h"

#include <cstring>

#include "formats/file_io.h"

bool HasArchiveSignature(const BYTE* signature) {
  return memcmp(signature, kArchiveSignature, sizeof(kArchiveSignature)) == 0;
}

bool ReadHeaderBlock(HANDLE file, BYTE* bytes, DWORD size,
                     ULONGLONG* fileLength) {
  return FileLength(file, fileLength) && *fileLength >= size &&
         ReadExact(file, bytes, size);
}

bool CatalogueBlockFits(ULONGLONG fileLength, DWORD headerSize,
                        ULONGLONG offset, DWORD length) {
  return offset >= headerSize && offset <= fileLength &&
         fileLength - offset >= length;
}

ULONGLONG AppendPosition(DWORD headerSize, ULONGLONG catalogueOffset,
                         DWORD catalogueLength, ULONGLONG dataEnd) {
  ULONGLONG position = headerSize;
  if (catalogueLength != 0) position = catalogueOffset + catalogueLength;
  return dataEnd > position ? dataEnd : position;
}

bool CommitHeader(HANDLE file, const BYTE* header, DWORD size) {
  return FlushFileBuffers(file) && WriteAt(file, 0, header, size) &&
         FlushFileBuffers(file);
}
