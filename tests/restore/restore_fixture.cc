// SPDX-License-Identifier: GPL-2.0-or-later
#include "restore/restore_fixture.h"

#include <sys/stat.h>

void WriteNested(const std::string& path, const std::string& bytes) {
  for (size_t at = path.find('/', 1); at != std::string::npos;
       at = path.find('/', at + 1))
    mkdir(path.substr(0, at).c_str(), 0755);
  WriteBytes(path, bytes);
}

void Patch(const std::string& path, size_t at, const std::string& bytes) {
  std::string file = ReadBytes(path);
  file.replace(at, bytes.size(), bytes);
  WriteBytes(path, file);
}

bool IsLink(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
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

std::string LayerDescriptor(const std::string& path) {
  const DWORD all = 0xF;  // owner, group, DACL and SACL
  DWORD needed = 0;
  GetFileSecurityW(P(W(path)), all, nullptr, 0, &needed);
  std::string descriptor(needed, '\0');
  if (!needed || !GetFileSecurityW(P(W(path)), all, &descriptor[0], needed,
                                   &needed))
    return "";
  return descriptor;
}

static std::string Field(CKvMorvel& object,
                         BOOL (CKvMorvel::*get)(WCHAR*, DWORD)) {
  WCHAR name[260] = {};
  EXPECT_TRUE((object.*get)(name, 260)) << object.GetErrorCode();
  return N(std::u16string(reinterpret_cast<char16_t*>(name)));
}
std::string CurrentName(CKvMorvel& object) {
  return Field(object, &CKvMorvel::GetFile);
}
std::string EncryptedName(CKvMorvel& object) {
  return Field(object, &CKvMorvel::GetEncryptedFileName);
}

StoredEntry DataAt(StoredEntry e, unsigned long long offset) {
  e.dataOffset = offset;
  return e;
}

StoredEntry Reparse(const std::string& name, unsigned long long length,
                    DWORD attributes) {
  StoredEntry e = Entry(name, attributes);
  e.storedLength = length;
  return e;
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

void Restoring::WriteV5(const std::vector<StoredEntry>& entries,
                        const std::vector<std::string>& parts) {
  Close();  // Windows refuses to rewrite a file the reader holds.
  path = dir / "arc.mvr";
  WriteV5Archive(path, entries, parts);
}

void Restoring::WriteV1OrV2(DWORD version,
                            const std::vector<StoredEntry>& entries,
                            const std::string& data) {
  Close();  // Windows refuses to rewrite a file the reader holds.
  path = dir / "a.arc";
  WriteV1OrV2Archive(path, version, entries, data);
}

bool Restoring::OpenArchive() {
  Close();
  open_ = arc.Open(P(W(path)), TRUE, 0) != FALSE;
  EXPECT_TRUE(open_) << path << " code " << arc.GetErrorCode();
  return open_;
}

void Restoring::Close() {
  if (open_) arc.Close();
  open_ = false;
}

bool Restoring::At(DWORD index) {
  if (!OpenArchive()) return false;
  for (DWORD i = 0; i < index; ++i) arc.Info(1);
  const bool current = arc.Info(0) != FALSE;
  EXPECT_TRUE(current) << "no entry " << index << ": " << arc.GetErrorCode();
  return current;
}

BOOL Restoring::Extract(const std::string& target, int flag) {
  PrimeStaleCodes(arc);
  return arc.ExtractFile(P(W(target)), flag);
}

std::vector<DWORD> Restoring::RestoreAll(const std::string& target) {
  std::vector<DWORD> codes;
  if (!OpenArchive()) return codes;
  for (; arc.Info(0); arc.Info(1))
    codes.push_back(Extract(target) ? 0 : arc.GetErrorCode());
  return codes;
}
