// SPDX-License-Identifier: GPL-2.0-or-later
#include "reader.h"

#include <sys/stat.h>

#include <cstdio>
#include <vector>

#include "KvMorvelHost.h"
#include "json_line.h"
#include "text.h"

namespace {
const DWORD kImageVersion = 3;
const DWORD kNoMoreEntries = 259;
const DWORD kCatalogueDamaged = 1392;
// Above the longest name any version stores (760 characters in version 2).
const DWORD kNameCapacity = 1024;
const DWORD kDirectory = 0x10;
// Larger than any part name the library makes, so only its own limit
// refuses one.
const DWORD kPartNameCapacity = 1024;
}  // namespace

namespace {
std::string g_openedPath;
}  // namespace

const std::string& OpenedArchivePath() { return g_openedPath; }

bool OpenForReading(CKvMorvel* archive, const std::string& path) {
  g_openedPath = path;
  std::u16string wide;
  if (!Utf8ToUtf16(path, &wide)) {
    ReportFailure("cannot open " + path + ": the name is not valid UTF-8",
                  123);
    return false;
  }
  if (!archive->Open(reinterpret_cast<LPCWSTR>(wide.c_str()), TRUE, 0)) {
    ReportOpenFailure(path, archive->GetErrorCode());
    return false;
  }
  return true;
}

bool LoadEntry(CKvMorvel* archive, bool advance, bool* failed,
               unsigned long long loaded) {
  if (archive->Info(advance ? TRUE : FALSE)) return true;
  if (archive->GetVersion() == kImageVersion) return false;
  const DWORD code = archive->GetErrorCode();
  if (code == kNoMoreEntries) return false;
  if (code == kCatalogueDamaged)
    ReportFailure("the catalogue is damaged after entry " +
                      std::to_string(loaded),
                  code);
  else
    ReportFailure("cannot read the catalogue", code);
  *failed = true;
  return false;
}

std::u16string EntryName(CKvMorvel* archive) {
  // Most names fit the usual buffer; a longer one is asked again with the
  // size the library says it needs. The buffer is kept from call to call:
  // a walk asks once per entry, a million times in a large archive.
  static thread_local std::vector<WCHAR> name(kNameCapacity);
  if (name.size() < kNameCapacity) name.resize(kNameCapacity);
  DWORD needed = 0;
  if (!archive->GetEntryName(name.data(), kNameCapacity, &needed)) {
    if (needed <= kNameCapacity) return std::u16string();
    name.resize(needed);
    if (!archive->GetEntryName(name.data(), static_cast<DWORD>(name.size()), &needed))
      return std::u16string();
  }
  return std::u16string(reinterpret_cast<const char16_t*>(name.data()));
}

std::string FailedPartName(CKvMorvel* archive, DWORD* cause) {
  WCHAR part[kPartNameCapacity] = {0};
  DWORD code = 0;
  if (!archive->GetFailedPartFile(part, kPartNameCapacity, &code)) part[0] = 0;
  if (cause) *cause = part[0] ? code : 0;
  if (!part[0]) return std::string();
  return DisplayName(reinterpret_cast<const char16_t*>(part));
}

std::string FailedPartFile(CKvMorvel* archive, DWORD* cause) {
  DWORD code = 0;
  const std::string part = FailedPartName(archive, &code);
  if (cause) *cause = code;
  if (part.empty()) return std::string();
  const std::string name = "part file " + part;
  // 2 and 3: the file, or a folder on its way, is not there.
  if (code == 2 || code == 3) return name + " is missing";
  // 38: the part ends before what the entry stored in it does.
  if (code == 38) return name + " is cut short";
  return name + " cannot be read (error " + std::to_string(code) + ")";
}

void WarnOfMissingPart(CKvMorvel* archive) {
  const std::string part = FailedPartFile(archive);
  if (part.empty()) return;
  const std::string message =
      "warning: " + part + ": the entries stored in it cannot be restored";
  ReportNote(message);
  if (JsonOutput()) JsonLine("warning").Text("message", message).Print();
}

std::string PartName(const std::string& archive, DWORD number) {
  std::u16string wide;
  WCHAR name[kPartNameCapacity];
  if (!Utf8ToUtf16(archive, &wide) ||
      !CKvMorvelHost::GetPartFileName(reinterpret_cast<LPCWSTR>(wide.c_str()),
                                      number, name, kPartNameCapacity))
    return std::string();
  return Utf16ToUtf8(reinterpret_cast<const char16_t*>(name));
}

namespace {
bool FileBytes(const std::string& path, uint64_t* bytes) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return false;
  *bytes += static_cast<uint64_t>(info.st_size);
  return true;
}
}  // namespace

uint64_t ArchiveBytes(const std::string& path, DWORD version) {
  uint64_t bytes = 0;
  FileBytes(path, &bytes);
  if (version == 5)
    for (DWORD part = 1; FileBytes(PartName(path, part), &bytes); ++part) {
    }
  return bytes;
}

bool CountEntries(const std::string& path, uint64_t* entries, uint64_t* bytes) {
  std::u16string wide;
  CKvMorvel archive;
  if (!Utf8ToUtf16(path, &wide) ||
      !archive.Open(reinterpret_cast<LPCWSTR>(wide.c_str()), TRUE, 0))
    return false;
  *entries = *bytes = 0;
  BOOL more = archive.Info(FALSE);
  while (more) {
    ++*entries;
    if (!(archive.GetAttributes() & kDirectory))
      *bytes += static_cast<uint64_t>(archive.GetLength64());
    more = archive.Info(TRUE);
  }
  const bool whole = archive.GetErrorCode() == kNoMoreEntries;
  archive.Close();
  return whole;
}
