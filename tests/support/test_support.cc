// SPDX-License-Identifier: GPL-2.0-or-later
#include "support/test_support.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>

#include "KvMorvel.h"
#include "common/utf.h"
#include "kvwin32.h"

// Test text is valid UTF-8 and names hold no lone surrogates, so the
// project's own conversion serves both ways.
std::u16string W(const std::string& s) {
  return Utf8ToUtf16With(s.data(), s.size(),
                         [](unsigned char) { return char16_t(0xFFFD); });
}

std::string N(const std::u16string& w) { return Utf16ToUtf8(w); }

std::u16string TempDir::W(const std::string& name, char sep) const {
  std::string p = name.empty() ? path_ : path_ + "/" + name;
  if (sep != '/')
    for (char& c : p)
      if (c == '/') c = sep;
  return ::W(p);
}

EnvScope::EnvScope(const char* name, const char* value) : name_(name) {
  const char* old = getenv(name);
  hadPrevious_ = old != nullptr;
  if (old) previous_ = old;
  if (value)
    setenv(name, value, 1);
  else
    unsetenv(name);
}

EnvScope::~EnvScope() {
  if (hadPrevious_)
    setenv(name_.c_str(), previous_.c_str(), 1);
  else
    unsetenv(name_.c_str());
}

void WriteBytes(const std::string& path, const std::string& bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!f) throw std::runtime_error("write " + path);
}

std::string ReadBytes(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

std::string PatternBytes(size_t size, unsigned seed) {
  std::string out(size, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < size; ++i) {
    x = x * 1103515245u + 12345u;
    // Half text-like, half noise, so compressors have some work to do.
    out[i] = (i / 4096) % 2 ? static_cast<char>(x >> 16)
                            : static_cast<char>('a' + (x >> 16) % 8);
  }
  return out;
}

const char kPlantedMarker[] = "planted-library-ran";

void PlantLibrary(const std::string& folder, const std::string& name) {
  const std::string bytes = ReadBytes(ProgramFolder() + "/planted.dll");
  if (bytes.empty()) throw std::runtime_error("planted.dll is not built");
  WriteBytes(folder + "/" + name, bytes);
}

LogCapture::LogCapture() {
  CKvLog::GetInstance()->SetSink(
      [this](CKvLog::Kind kind, const std::u16string& line) {
        lines_.emplace_back(kind, N(line));
      });
}

LogCapture::~LogCapture() { CKvLog::GetInstance()->SetSink(nullptr); }

bool LogCapture::Has(CKvLog::Kind kind, const std::string& line) const {
  for (const auto& l : lines_)
    if (l.first == kind && l.second == line) return true;
  return false;
}

bool LogCapture::HasPrefix(CKvLog::Kind kind,
                           const std::string& prefix) const {
  for (const auto& l : lines_)
    if (l.first == kind && l.second.compare(0, prefix.size(), prefix) == 0)
      return true;
  return false;
}

const char kWineNoShortNames[] =
    "no 8.3 short names (SetFileShortNameW is a stub that aborts)";
const char kWineNoLinkReads[] =
    "symbolic links made through the API read back as error 2";
const char kWineNoDriveMapping[] =
    "drive letters are not mapped the Linux way (KVMORVEL_DOSDEVICES)";
const char kWineNoPermissionBits[] = "no POSIX permission bits";
const char kWineNoReparsePoints[] =
    "no reparse points are set (FSCTL_SET_REPARSE_POINT answers 50)";
const char kWindowsHeldArchive[] =
    "the test reads or changes an archive file the library holds open "
    "without sharing it";
const char kWindowsTimeZone[] = "local time follows the system, not TZ";

void PrimeStaleCodes(CKvMorvel& object) {
  object.GetFile(nullptr, 10);
  ASSERT_EQ(0x10000002u, object.GetErrorCode());
  SetLastError(0xDEADBEEF);
}
