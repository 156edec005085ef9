#include "restore/restore_fixture.h"

#include <gtest/gtest.h>

#include <lzo/lzo1x.h>
#include <zlib.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <vector>

std::string LzoBlocks(const std::string& content) {
  const size_t piece = 1048576;
  std::vector<unsigned char> work(LZO1X_1_MEM_COMPRESS);
  std::vector<unsigned char> out(piece + piece / 16 + 64 + 3);
  std::string stream;
  size_t at = 0;
  do {
    const size_t n = std::min(piece, content.size() - at);
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
  const size_t piece = 1048576;
  z_stream z = {};
  deflateInit(&z, Z_DEFAULT_COMPRESSION);
  std::vector<Bytef> out(piece + piece / 8 + 1024);
  std::string stream;
  size_t at = 0;
  do {
    const size_t n = std::min(piece, content.size() - at);
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

// Tag, data length, reserved, then the name offsets and the path buffer:
// substitute name "\??\" + print name, then the print name, each ended by
// a NUL that the lengths do not count.
static std::string LinkBuffer(DWORD tag, const std::u16string& printName,
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
      .U16(0)                           // substitute at
      .U16(2 * substitute.size())       // its bytes
      .U16(2 * substitute.size() + 2)   // print at
      .U16(2 * printName.size());       // its bytes
  if (flags) b.U32(0);  // an absolute link
  return b.str() + names;
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

void WriteNested(const std::string& path, const std::string& bytes) {
  for (size_t at = path.find('/', 1); at != std::string::npos;
       at = path.find('/', at + 1))
    mkdir(path.substr(0, at).c_str(), 0755);
  WriteBytes(path, bytes);
}

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

DWORD LayerAttributes(const std::string& path) {
  return GetFileAttributesW(P(W(path)));
}

unsigned long long LayerWriteTime(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA d = {};
  GetFileAttributesExW(P(W(path)), GetFileExInfoStandard, &d);
  return (static_cast<unsigned long long>(d.ftLastWriteTime.dwHighDateTime)
          << 32) | d.ftLastWriteTime.dwLowDateTime;
}

Probe::~Probe() {
  if (control2_.archive) CloseHandle(control2_.archive);
  if (control1_.archive) CloseHandle(control1_.archive);
  m_control = nullptr;
}

void Probe::UseV5(const std::string& mainPath) {
  m_version = 5;
  m_read = TRUE;
  lstrcpynW(m_archivePath, P(W(mainPath)), 260);
  m_control = &control5_;
}

static HANDLE OpenArchive(const std::string& path) {
  return CreateFileW(P(W(path)), GENERIC_READ, FILE_SHARE_READ, nullptr,
                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

void Probe::UseV2(const std::string& path) {
  m_version = 2;
  m_read = TRUE;
  control2_.archive = OpenArchive(path);
  m_control = &control2_;
}

void Probe::UseV1(const std::string& path, const std::string& catalogue) {
  m_version = 1;
  m_read = TRUE;
  catalogue1_ = catalogue;
  control1_.archive = OpenArchive(path);
  control1_.catalogue = reinterpret_cast<BYTE*>(&catalogue1_[0]);
  control1_.capacity = control1_.catalogueLength =
      static_cast<DWORD>(catalogue1_.size());
  m_control = &control1_;
}

_MVRL_FILEENTRY_MAX_5& Probe::AddEntry5(const std::string& name,
                                        DWORD attributes,
                                        unsigned long long size) {
  _MVRL_FILEENTRY_MAX_5 e;
  memset(&e, 0, sizeof(e));
  const std::u16string wide = W(name);
  if (wide.size() >= kV5NameChars) throw std::length_error("entry name");
  e.data = Attributes(attributes, size, 132000000000000000ull);
  e.nameLength = static_cast<WORD>(wide.size() + 1);
  e.recordSize = 110 + 2 * e.nameLength;
  memcpy(e.name, wide.c_str(), 2 * (wide.size() + 1));
  e.dataPart = 1;
  e.blockCount = 1;
  e.descriptorPart = kV5NoDescriptorPart;
  m_entries5.push_back(e);
  return m_entries5.back();
}

_MVRL_FILEENTRY_2& Probe::AddEntry2(const std::string& name, DWORD attributes,
                                    unsigned long long size) {
  _MVRL_FILEENTRY_2 e;
  memset(&e, 0, sizeof(e));
  const std::u16string wide = W(name);
  const std::string tail = Bytes().Wide(wide, wide.size() + 1).str();
  memcpy(e.tail, tail.data(), tail.size());
  e.data = Attributes(attributes, size, 132000000000000000ull);
  e.nameLength = static_cast<WORD>(tail.size() / 2);
  e.descriptorOffset = static_cast<WORD>(90 + tail.size());
  e.recordSize = e.descriptorOffset;
  m_entries2.push_back(e);
  return m_entries2.back();
}

std::string Probe::Encrypted() {
  WCHAR name[260];
  GetEncryptedFileName(name, 260);
  return N(std::u16string(reinterpret_cast<char16_t*>(name)));
}

std::string V1Record(const std::string& name,
                     const WIN32_FILE_ATTRIBUTE_DATA& d,
                     unsigned long long stored, unsigned long long offset) {
  const std::u16string wide = W(name);
  return Bytes()
      .AttributeData(d)
      .U64(stored)
      .U64(offset)
      .U16(wide.size() + 1)
      .Zeros(56)  // short name and folder short name, both empty
      .Wide(wide, wide.size() + 1)  // name and terminator
      .U16(0)                       // record end
      .str();
}

void PrimeStaleCodes(CKvMorvel& arc) {
  arc.GetFile(nullptr, 10);
  ASSERT_EQ(0x10000002u, arc.GetErrorCode());
  SetLastError(0xDEADBEEF);
}

bool HasErrorLine(const LogCapture& log, const std::string& what,
                  DWORD code) {
  const std::string end = " - " + std::to_string(code);
  for (const auto& line : log.lines()) {
    const std::string& text = line.second;
    if (line.first == CKvLog::kError && text.find(what) == 0 &&
        text.size() >= end.size() &&
        text.compare(text.size() - end.size(), end.size(), end) == 0)
      return true;
  }
  return false;
}
