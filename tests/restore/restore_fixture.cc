#include "restore/restore_fixture.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <vector>

void WriteNested(const std::string& path, const std::string& bytes) {
  for (size_t at = path.find('/', 1); at != std::string::npos;
       at = path.find('/', at + 1))
    mkdir(path.substr(0, at).c_str(), 0755);
  WriteBytes(path, bytes);
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
