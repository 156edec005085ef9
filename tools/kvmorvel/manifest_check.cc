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

ManifestCheck::State ManifestCheck::Load(const std::string& archivePath,
                                         const EntryFilter& wanted) {
  path_ = ManifestPathOf(archivePath);
  FILE* file = path_.empty() ? nullptr : kvsys::OpenFileForReading(path_);
  // One that is there but cannot be read is not taken for none.
  if (!file) return state_ = kvsys::Exists(path_) ? kUnreadable : kNone;
  state_ = kUnreadable;  // until its first line says what it is
  // Read a piece at a time and taken line by line: a manifest of a
  // million entries is never held whole, and with a filter only the
  // lines wanted are kept.
  std::string pending;
  char piece[65536];
  size_t got = 0;
  bool first = true;
  while ((got = fread(piece, 1, sizeof(piece), file)) > 0) {
    pending.append(piece, got);
    size_t start = 0;
    for (size_t end; (end = pending.find('\n', start)) != std::string::npos; start = end + 1)
      TakeLine(pending.data() + start, end - start, wanted, &first);
    pending.erase(0, start);
  }
  const bool readWhole = !ferror(file);
  fclose(file);
  if (!readWhole) return state_ = kUnreadable;
  if (!pending.empty()) TakeLine(pending.data(), pending.size(), wanted, &first);
  return state_;
}

void ManifestCheck::TakeLine(const char* text, size_t size,
                             const EntryFilter& wanted, bool* first) {
  // An entry line the filter does not want is passed over before it is
  // parsed: most are, when a few entries of a large archive are chosen.
  const size_t tag = sizeof(kManifestEntryTag) - 1;
  const size_t nameAt = tag + kManifestHexChars + 1;
  if (wanted && !*first && size > nameAt &&
      memcmp(text, kManifestEntryTag, tag) == 0 &&
      !wanted(text + nameAt, size - nameAt))
    return;
  const ManifestLine line = ParseManifestLine(std::string(text, size));
  if (*first && line.kind == ManifestLine::kComplete) state_ = kComplete;
  if (*first && line.kind == ManifestLine::kIncomplete) state_ = kIncomplete;
  *first = false;
  if (line.kind == ManifestLine::kEntry &&
      (!wanted || wanted(line.name.data(), line.name.size())))
    entries_[line.name].push_back(line.hex);
  if (line.kind == ManifestLine::kFile) files_.push_back(line);
}

bool ManifestCheck::TakeEntryDigest(const std::u16string& name, std::string* hex) {
  auto found = entries_.find(EscapeManifestName(Utf16ToUtf8(name)));
  if (found == entries_.end() || found->second.empty()) return false;
  *hex = found->second.front();
  found->second.pop_front();
  return true;
}

std::vector<std::string> ManifestCheck::UntakenEntries() const {
  std::vector<std::string> names;
  for (const auto& entry : entries_)
    for (size_t i = 0; i < entry.second.size(); ++i) names.push_back(entry.first);
  return names;
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
