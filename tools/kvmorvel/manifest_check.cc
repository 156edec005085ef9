// SPDX-License-Identifier: GPL-2.0-or-later
#include "manifest_check.h"

#include <cstdio>
#include <cstring>

#include "KvMorvelHost.h"
#include "common/sha256.h"
#include "interrupt.h"
#include "system.h"
#include "text.h"

namespace {

const DWORD kCancelled = 1223;  // ERROR_CANCELLED
const DWORD kNameCapacity = 1024;

// The sink of DigestEntryData: every byte into the digest; a Ctrl-C stops
// the read within a large entry.
DWORD DigestSink(void* context, const BYTE* bytes, DWORD size) {
  if (Interrupted()) return kCancelled;
  static_cast<Sha256*>(context)->Update(bytes, size);
  return 0;
}

}  // namespace

std::string ManifestPathOf(const std::string& archivePath) {
  std::u16string wide;
  WCHAR name[kNameCapacity];
  if (!Utf8ToUtf16(archivePath, &wide) ||
      !CKvMorvelHost::GetManifestFileName(reinterpret_cast<LPCWSTR>(wide.c_str()),
                                          name, kNameCapacity))
    return std::string();
  return Utf16ToUtf8(reinterpret_cast<const char16_t*>(name));
}

ManifestCheck::~ManifestCheck() {
  if (file_) fclose(file_);
}

ManifestCheck::State ManifestCheck::Load(const std::string& archivePath,
                                         const EntryFilter& wanted) {
  path_ = ManifestPathOf(archivePath);
  wanted_ = wanted;
  file_ = path_.empty() ? nullptr : kvsys::OpenFileForReading(path_);
  // One that is there but cannot be read is not taken for none.
  if (!file_) return state_ = kvsys::Exists(path_) ? kUnreadable : kNone;
  state_ = kUnreadable;  // until its first line says what it is
  const char* first = nullptr;
  size_t size = 0;
  if (!NextLine(&first, &size)) return state_;
  const ManifestLine line = ParseManifestLine(std::string(first, size));
  if (line.kind == ManifestLine::kComplete) state_ = kComplete;
  if (line.kind == ManifestLine::kIncomplete) state_ = kIncomplete;
  return state_;
}

bool ManifestCheck::NextLine(const char** text, size_t* size) {
  for (;;) {
    const size_t end = buffer_.find('\n', at_);
    if (end != std::string::npos) {
      *text = buffer_.data() + at_;
      *size = end - at_;
      at_ = end + 1;
      return true;
    }
    buffer_.erase(0, at_);
    at_ = 0;
    char piece[65536];
    const size_t got = file_ ? fread(piece, 1, sizeof(piece), file_) : 0;
    if (got == 0) break;
    buffer_.append(piece, got);
  }
  if (file_ && ferror(file_)) state_ = kUnreadable;
  if (file_) fclose(file_);
  file_ = nullptr;
  if (at_ >= buffer_.size()) return false;
  *text = buffer_.data() + at_;  // the last line, without its newline
  *size = buffer_.size() - at_;
  at_ = buffer_.size();
  return true;
}

bool ManifestCheck::NextEntry(ManifestLine* entry) {
  // An entry line the filter does not want is passed over before it is
  // parsed: most are, when a few entries of a large archive are chosen.
  const size_t tag = sizeof(kManifestEntryTag) - 1;
  const size_t nameAt = tag + kManifestHexChars + 1;
  const char* text = nullptr;
  size_t size = 0;
  while (NextLine(&text, &size)) {
    if (wanted_ && size > nameAt && memcmp(text, kManifestEntryTag, tag) == 0 &&
        !wanted_(text + nameAt, size - nameAt))
      continue;
    ManifestLine line = ParseManifestLine(std::string(text, size));
    if (line.kind == ManifestLine::kFile) files_.push_back(line);
    if (line.kind != ManifestLine::kEntry) continue;
    *entry = std::move(line);
    return true;
  }
  return false;
}

void ManifestCheck::ReadToEnd() {
  ManifestLine line;
  while (NextEntry(&line)) aside_[line.name].push_back(line.hex);
}

bool ManifestCheck::TakeEntryDigest(const std::u16string& name, std::string* hex) {
  if (!HasEntries()) return false;
  const std::string key = EscapeManifestName(Utf16ToUtf8(name));
  auto found = aside_.find(key);
  if (found != aside_.end()) {
    *hex = found->second.front();
    found->second.pop_front();
    if (found->second.empty()) aside_.erase(found);
    return true;
  }
  ManifestLine line;
  while (NextEntry(&line)) {
    if (line.name == key) {
      *hex = line.hex;
      return true;
    }
    aside_[line.name].push_back(line.hex);
  }
  return false;
}

std::vector<std::string> ManifestCheck::UntakenEntries() {
  ReadToEnd();
  std::vector<std::string> names;
  for (const auto& entry : aside_)
    for (size_t i = 0; i < entry.second.size(); ++i) names.push_back(entry.first);
  return names;
}

const std::vector<ManifestLine>& ManifestCheck::files() {
  ReadToEnd();
  return files_;
}

DWORD DigestEntryData(CKvMorvel* archive, std::string* hex) {
  Sha256 digest;
  if (!archive->ReadEntryData(DigestSink, &digest)) return archive->GetErrorCode();
  *hex = digest.FinishHex();
  return 0;
}

std::string DataFailureCause(DWORD code) {
  switch (code) {
    case 2:
    case 3:
      return "a part file it needs is missing";
    case 38:
      return "the archive or a part file ends inside its data";
    case 13:
    case 1359:
      return "its stored data is damaged or does not hold the recorded size";
    case 1392:
      return "its catalogue record is damaged";
    case kCancelled:
      return "interrupted";
    default:
      return "its data cannot be read";
  }
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

DWORD DigestFile(const std::string& path, std::string* hex) {
  std::u16string wide;
  if (!Utf8ToUtf16(path, &wide)) return 123;
  BYTE digest[Sha256::kDigestBytes];
  CKvMorvelHost::ClearSystemError();
  if (!CKvMorvelHost::GetFileSha256(reinterpret_cast<LPCWSTR>(wide.c_str()), digest,
                                    sizeof(digest))) {
    const DWORD code = CKvMorvelHost::GetSystemError();
    return code ? code : 2;
  }
  *hex = Sha256::ToHex(digest);
  return 0;
}
