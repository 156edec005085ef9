#include "support/test_support.h"

#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

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

TempDir::TempDir() {
  char pattern[] = "/tmp/kvtest.XXXXXX";
  if (!mkdtemp(pattern)) throw std::runtime_error("mkdtemp");
  path_ = pattern;
}

namespace {
int RemoveOne(const char* path, const struct stat*, int flag, struct FTW*) {
  if (flag == FTW_DP) {
    chmod(path, 0700);
    return rmdir(path) == 0 ? 0 : 0;
  }
  unlink(path);
  return 0;
}
int OpenUp(const char* path, const struct stat* st, int flag, struct FTW*) {
  if (flag == FTW_D) chmod(path, 0700);
  return 0;
}
}  // namespace

TempDir::~TempDir() {
  nftw(path_.c_str(), OpenUp, 16, FTW_PHYS);
  nftw(path_.c_str(), RemoveOne, 16, FTW_DEPTH | FTW_PHYS);
}

std::u16string TempDir::W(const std::string& name, char sep) const {
  std::string p = name.empty() ? path_ : path_ + "/" + name;
  if (sep != '/')
    for (char& c : p)
      if (c == '/') c = sep;
  return ::W(p);
}

DosDevices::DosDevices() {
  const char* old = getenv("KVMORVEL_DOSDEVICES");
  if (old) {
    hadPrevious_ = true;
    previous_ = old;
  }
  setenv("KVMORVEL_DOSDEVICES", dir_.path().c_str(), 1);
}

DosDevices::~DosDevices() {
  if (hadPrevious_)
    setenv("KVMORVEL_DOSDEVICES", previous_.c_str(), 1);
  else
    unsetenv("KVMORVEL_DOSDEVICES");
}

void DosDevices::Map(char letter, const std::string& folder) {
  std::string link = dir_.path() + "/" + static_cast<char>(tolower(letter)) + ":";
  unlink(link.c_str());
  if (symlink(folder.c_str(), link.c_str()) != 0)
    throw std::runtime_error("symlink " + link);
}

void DosDevices::Unmap(char letter) {
  std::string link = dir_.path() + "/" + static_cast<char>(tolower(letter)) + ":";
  unlink(link.c_str());
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

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
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

std::string ProgramFolder() {
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) throw std::runtime_error("readlink /proc/self/exe");
  const std::string path(self, static_cast<size_t>(n));
  return path.substr(0, path.rfind('/'));
}

const char kPlantedMarker[] = "planted-library-ran";

void PlantLibrary(const std::string& folder, const std::string& name) {
  const std::string bytes = ReadBytes(ProgramFolder() + "/planted.dll");
  if (bytes.empty()) throw std::runtime_error("planted.dll is not built");
  WriteBytes(folder + "/" + name, bytes);
}

InFolder::InFolder(const std::string& folder) {
  char here[4096];
  if (!getcwd(here, sizeof here) || chdir(folder.c_str()) != 0)
    throw std::runtime_error("cannot enter " + folder);
  previous_ = here;
}

InFolder::~InFolder() {
  if (chdir(previous_.c_str()) != 0) perror("chdir back");
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

void PrimeStaleCodes(CKvMorvel& object) {
  object.GetFile(nullptr, 10);
  ASSERT_EQ(0x10000002u, object.GetErrorCode());
  SetLastError(0xDEADBEEF);
}
