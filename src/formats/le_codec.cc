// SPDX-License-Identifier: GPL-2.0-or-later
#include "le_codec.h"

#include <cstring>

void LeWriter::Bytes(const void* src, size_t n) {
  if (!Room(n)) return;
  if (n) memcpy(p_ + pos_, src, n);
  pos_ += n;
}

void LeWriter::Wide(const WCHAR* s, size_t count) {
  if (!Room(2 * count)) return;
  for (size_t i = 0; i < count; ++i) U16(static_cast<uint16_t>(s[i]));
}

void LeReader::Wide(WCHAR* dst, size_t count) {
  if (count > remaining() / 2) {
    Fail();  // as any read past the end does
    for (size_t i = 0; i < count; ++i) dst[i] = 0;
    return;
  }
  for (size_t i = 0; i < count; ++i) dst[i] = static_cast<WCHAR>(U16());
}

void WriteAttributeData(LeWriter& w, const WIN32_FILE_ATTRIBUTE_DATA& d) {
  w.U32(d.dwFileAttributes);
  w.FileTime(d.ftCreationTime);
  w.FileTime(d.ftLastAccessTime);
  w.FileTime(d.ftLastWriteTime);
  w.U32(d.nFileSizeHigh);
  w.U32(d.nFileSizeLow);
}

WIN32_FILE_ATTRIBUTE_DATA ReadAttributeData(LeReader& r) {
  WIN32_FILE_ATTRIBUTE_DATA d;
  d.dwFileAttributes = r.U32();
  d.ftCreationTime = r.FileTime();
  d.ftLastAccessTime = r.FileTime();
  d.ftLastWriteTime = r.FileTime();
  d.nFileSizeHigh = r.U32();
  d.nFileSizeLow = r.U32();
  return d;
}
