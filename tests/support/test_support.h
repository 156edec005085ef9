// SPDX-License-Identifier: GPL-2.0-or-later
// Helpers shared by the test programs: temporary folders, wide strings,
// file bytes and a log capture. Tests may use POSIX directly; the core
// never does. The system-specific helpers have a Linux half
// (system_posix.cc) and a Windows half (system_windows.cc), which also
// gives the Windows build the few POSIX calls the tests make
// (posix_windows.h).
#ifndef KVMORVEL_TESTS_SUPPORT_H
#define KVMORVEL_TESTS_SUPPORT_H

#include <string>
#include <utility>
#include <vector>

#include "KvLog.h"
#include "KvMorvelTypes.h"

#if defined(_WIN32)
#include "support/posix_windows.h"
#endif

class CKvMorvel;

// UTF-8 to UTF-16 and back.
std::u16string W(const std::string& utf8);
std::string N(const std::u16string& wide);
inline const WCHAR* P(const std::u16string& s) {
  return reinterpret_cast<const WCHAR*>(s.c_str());
}
// A library string as UTF-16 (WCHAR is wchar_t on Windows).
inline std::u16string Text16(const WCHAR* s) {
  return reinterpret_cast<const char16_t*>(s);
}

// A fresh folder under /tmp, removed with everything in it (read-only
// files and folders included) when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const {
    return path_ + "/" + name;
  }
  // The same path as a wide string with the given separator.
  std::u16string W(const std::string& name = "", char sep = '/') const;

 private:
  std::string path_;
};

// Sets (or, given null, unsets) an environment variable while the object
// lives; the value it had comes back after.
class EnvScope {
 public:
  EnvScope(const char* name, const char* value);
  ~EnvScope();
  EnvScope(const EnvScope&) = delete;
  EnvScope& operator=(const EnvScope&) = delete;

 private:
  std::string name_;
  std::string previous_;
  bool hadPrevious_ = false;
};

// Points drive letters at folders for one test: KVMORVEL_DOSDEVICES names
// a private dosdevices folder; Map('c', dir) makes "c:" a link to dir.
class DosDevices {
 public:
  DosDevices();
  ~DosDevices();
  void Map(char letter, const std::string& folder);
  void Unmap(char letter);
  const std::string& path() const { return dir_.path(); }

 private:
  TempDir dir_;
  EnvScope variable_{"KVMORVEL_DOSDEVICES", dir_.path().c_str()};
};

void WriteBytes(const std::string& path, const std::string& bytes);
std::string ReadBytes(const std::string& path);
bool Exists(const std::string& path);
// Makes `path` a file of `size` bytes that holds `data` (offset, bytes)
// and holes everywhere else (on Windows, written zeros).
void WriteSparse(const std::string& path, unsigned long long size,
                 const std::vector<std::pair<unsigned long long, std::string>>& data);
// The disk a file uses, in bytes (st_blocks x 512; on Windows the
// allocated size): far below its size for a file with holes.
unsigned long long DiskBytes(const std::string& path);
// Deterministic pseudo-random content of `size` bytes.
std::string PatternBytes(size_t size, unsigned seed = 1);

// The folder of the running test program: the build folder, which also
// holds the command, the libraries and the planted stand-in library.
std::string ProgramFolder();

// Copies the planted stand-in library (tests/support/planted_library.c)
// into `folder` as `name`. Whoever loads it leaves the file
// kPlantedMarker in its current folder.
void PlantLibrary(const std::string& folder,
                  const std::string& name = "virtdisk.dll");
extern const char kPlantedMarker[];

// Makes `folder` the current folder while the object lives.
class InFolder {
 public:
  explicit InFolder(const std::string& folder);
  ~InFolder();
  InFolder(const InFolder&) = delete;
  InFolder& operator=(const InFolder&) = delete;

 private:
  std::string previous_;
};

// Collects every line the logger writes while the object lives.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  bool Has(CKvLog::Kind kind, const std::string& line) const;
  bool HasPrefix(CKvLog::Kind kind, const std::string& prefix) const;
  const std::vector<std::pair<CKvLog::Kind, std::string>>& lines() const {
    return lines_;
  }
  void Clear() { lines_.clear(); }

 private:
  std::vector<std::pair<CKvLog::Kind, std::string>> lines_;
};

// Whether the tests run under Wine rather than on Windows or Linux.
bool UnderWine();

// Skips the running test under Wine only, printing "Wine: REASON": for
// what Wine lacks of Windows (short names, reading back symbolic links,
// drive letters mapped the Linux way, POSIX permission bits), never for a
// failure of the library. tools/windows/skip-summary.sh counts the reasons.
#define SKIP_UNDER_WINE(reason)                  \
  do {                                           \
    if (UnderWine()) GTEST_SKIP() << "Wine: " << reason; \
  } while (0)

// Skips the running test on Windows, printing "Windows: REASON": for a
// test of what only the Linux layer allows (another open of a file the
// library holds without sharing, TZ deciding local time). Counted apart
// from the Wine skips.
#if defined(_WIN32)
#define SKIP_ON_WINDOWS(reason) GTEST_SKIP() << "Windows: " << reason
#else
#define SKIP_ON_WINDOWS(reason) \
  do {                          \
  } while (0)
#endif

// What Windows forbids, as those skips name it.
extern const char kWindowsHeldArchive[];
extern const char kWindowsTimeZone[];

// What Wine lacks, as the skips name it.
extern const char kWineNoShortNames[];
extern const char kWineNoLinkReads[];
extern const char kWineNoDriveMapping[];
extern const char kWineNoPermissionBits[];
extern const char kWineNoReparsePoints[];

// Leaves codes a failing call must replace: the holder holds 0x10000002
// (from a refused accessor call, the one public way to set it) and the
// thread's last error 0xDEADBEEF, so neither can pass for the code the
// call under test reports. Call it right before that call.
void PrimeStaleCodes(CKvMorvel& object);

#endif  // KVMORVEL_TESTS_SUPPORT_H
