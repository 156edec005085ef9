// SPDX-License-Identifier: GPL-2.0-or-later
#include "support/archive_bytes.h"

#include <lzo/lzo1x.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>

#include "kvwin32.h"
#include "support/test_support.h"

namespace {

const size_t kMiB = 1048576;

// The name's UTF-16 units with the terminator, as records count them.
size_t NameUnits(const StoredEntry& e) { return W(e.name).size() + 1; }

Bytes& Name(Bytes& b, const StoredEntry& e) {
  return b.Wide(W(e.name), NameUnits(e));
}

// Tag, data length, reserved, then the name offsets and the path buffer:
// substitute name "\??\" + print name, then the print name, each ended by
// a NUL that the lengths do not count.
std::string LinkBuffer(DWORD tag, const std::u16string& printName,
                       bool flags) {
  const std::u16string substitute = u"\\??\\" + printName;
  const std::string names = Bytes()
                                .Wide(substitute, substitute.size() + 1)
                                .Wide(printName, printName.size() + 1)
                                .str();
  Bytes b;
  b.U32(tag)
      .U16(8 + (flags ? 4 : 0) + names.size())
      .U16(0)
      .U16(0)                          // substitute at
      .U16(2 * substitute.size())      // its bytes
      .U16(2 * substitute.size() + 2)  // print at
      .U16(2 * printName.size());      // its bytes
  if (flags) b.U32(0);                 // an absolute link
  return b.str() + names;
}

}  // namespace

WIN32_FILE_ATTRIBUTE_DATA Attributes(DWORD attributes, unsigned long long size,
                                     unsigned long long time) {
  WIN32_FILE_ATTRIBUTE_DATA d = {};
  d.dwFileAttributes = attributes;
  const FILETIME t = {static_cast<DWORD>(time), static_cast<DWORD>(time >> 32)};
  d.ftCreationTime = d.ftLastAccessTime = d.ftLastWriteTime = t;
  d.nFileSizeHigh = static_cast<DWORD>(size >> 32);
  d.nFileSizeLow = static_cast<DWORD>(size);
  return d;
}

StoredEntry Entry(const std::string& name, DWORD attributes,
                  unsigned long long size) {
  StoredEntry e;
  e.name = name;
  e.data = Attributes(attributes, size, kStoredTime);
  return e;
}

// Attribute data, stored length, data offset, name length, short name
// and folder short name (28 bytes each), name, and a zero that ends it.
std::string V1Record(const StoredEntry& e) {
  Bytes b;
  b.AttributeData(e.data)
      .U64(e.storedLength)
      .U64(e.dataOffset)
      .U16(NameUnits(e))
      .Wide(e.shortName, 14)
      .Zeros(28);
  return Name(b, e).U16(0).str();
}

// Record size, attribute data, stored length, data offset, short name,
// name length, descriptor length and offset, the name, the descriptor.
std::string V2Record(const StoredEntry& e) {
  const size_t descriptorAt = 90 + 2 * NameUnits(e);
  Bytes b;
  b.U32(descriptorAt + e.descriptor.size())
      .AttributeData(e.data)
      .U64(e.storedLength)
      .U64(e.dataOffset)
      .Wide(e.shortName, 14)
      .U16(NameUnits(e))
      .U16(e.descriptor.size())
      .U16(descriptorAt);
  return Name(b, e).Raw(e.descriptor).str();
}

// Record size, attribute data, stored length, block count, data offset,
// descriptor offset, data part, descriptor part, short name, name length,
// name.
std::string V5Record(const StoredEntry& e) {
  Bytes b;
  b.U32(110 + 2 * NameUnits(e))
      .AttributeData(e.data)
      .U64(e.storedLength)
      .U64(e.blockCount)
      .U64(e.dataOffset)
      .U64(e.descriptorOffset)
      .U32(e.dataPart)
      .U32(e.descriptorPart)
      .Wide(e.shortName, 14)
      .U16(NameUnits(e));
  return Name(b, e).str();
}

std::string V5PartPath(const std::string& mainPath, unsigned part) {
  const size_t dot = mainPath.rfind('.');
  const size_t slash = mainPath.rfind('/');
  const size_t stem = dot != std::string::npos &&
                              (slash == std::string::npos || dot > slash)
                          ? dot
                          : mainPath.size();
  char number[16];
  snprintf(number, sizeof(number), "_%04u", part);
  return mainPath.substr(0, stem) + number + mainPath.substr(stem);
}

// Header: "MVRLIGHT", version 5, data start 0, catalogue offset 40,
// reserved 1 and 0, part count.
void WriteV5Archive(const std::string& mainPath,
                    const std::vector<StoredEntry>& entries,
                    const std::vector<std::string>& parts) {
  Bytes main;
  main.Raw("MVRLIGHT").U32(5).U64(0).U64(40).U32(1).U32(0).U32(parts.size());
  for (const StoredEntry& e : entries) main.Raw(V5Record(e));
  WriteBytes(mainPath, main.str());
  for (size_t i = 0; i < parts.size(); ++i)
    WriteBytes(V5PartPath(mainPath, i + 1), parts[i]);
}

// Header: "MVRLIGHT", version, data start, catalogue offset and length,
// and for version 2 the capacity.
void WriteV1OrV2Archive(const std::string& path, DWORD version,
                        const std::vector<StoredEntry>& entries,
                        const std::string& data) {
  const unsigned long long start = version == 1 ? 32 : 40;
  std::string catalogue;
  for (StoredEntry e : entries) {
    e.dataOffset += start;
    catalogue += version == 1 ? V1Record(e) : V2Record(e);
  }
  Bytes header;
  header.Raw("MVRLIGHT").U32(version).U64(start).U64(start + data.size());
  header.U32(catalogue.size());
  if (version == 2) header.U64(1ull << 40);
  WriteBytes(path, header.str() + data + catalogue);
}

std::string LzoBlocks(const std::string& content) {
  std::vector<unsigned char> work(LZO1X_1_MEM_COMPRESS);
  std::vector<unsigned char> out(kMiB + kMiB / 16 + 64 + 3);
  std::string stream;
  size_t at = 0;
  do {
    const size_t n = std::min(kMiB, content.size() - at);
    lzo_uint outLength = 0;
    lzo1x_1_compress(
        reinterpret_cast<const unsigned char*>(content.data()) + at, n,
        out.data(), &outLength, work.data());
    stream += Bytes().U32(outLength).str();
    stream.append(reinterpret_cast<char*>(out.data()), outLength);
    at += n;
  } while (at < content.size());
  return stream;
}

std::string DeflateChunk(const std::string& content) {
  uLongf length = compressBound(content.size());
  std::vector<Bytef> out(length);
  compress2(out.data(), &length,
            reinterpret_cast<const Bytef*>(content.data()), content.size(),
            Z_DEFAULT_COMPRESSION);
  return Bytes()
      .U32(length)
      .Raw(std::string(reinterpret_cast<char*>(out.data()), length))
      .str();
}

std::string DeflateChunks(const std::string& content) {
  z_stream z = {};
  deflateInit(&z, Z_DEFAULT_COMPRESSION);
  std::vector<Bytef> out(kMiB + kMiB / 8 + 1024);
  std::string stream;
  size_t at = 0;
  do {
    const size_t n = std::min(kMiB, content.size() - at);
    at += n;
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(content.data())) +
                at - n;
    z.avail_in = static_cast<uInt>(n);
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, at == content.size() ? Z_FINISH : Z_SYNC_FLUSH);
    const size_t length = out.size() - z.avail_out;
    stream += Bytes().U32(length).str();
    stream.append(reinterpret_cast<char*>(out.data()), length);
  } while (at < content.size());
  deflateEnd(&z);
  return stream;
}

std::string MountPointBuffer(const std::u16string& printName) {
  return LinkBuffer(IO_REPARSE_TAG_MOUNT_POINT, printName, false);
}
std::string SymlinkBuffer(const std::u16string& printName) {
  return LinkBuffer(IO_REPARSE_TAG_SYMLINK, printName, true);
}
std::string ReparseRecord(const std::string& buffer) {
  return Bytes().U32(buffer.size()).Raw(buffer).str();
}
