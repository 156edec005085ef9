// SPDX-License-Identifier: GPL-2.0-or-later
#include "owner.h"

#if !defined(_WIN32)
#include <pwd.h>
#endif

#include <vector>

namespace {

const DWORD kBufferTooSmall = 122;
// A descriptor the library hands out is at most a header, two SIDs and
// two ACLs of 64 KiB each.
const DWORD kLargestDescriptor = 0x40000;
const size_t kOwnerOffsetField = 4;  // u32 offset of the owner SID
const size_t kSidHeader = 8;         // revision, count, 6-byte authority
const unsigned kUnixUserAuthority = 22;
const unsigned kUnixUserKind = 1;

uint32_t U32At(const unsigned char* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// The name of the Unix user `uid`, else the number.
std::string UserName(uint32_t uid) {
#if !defined(_WIN32)
  struct passwd entry;
  struct passwd* found = nullptr;
  std::vector<char> text(4096);
  if (getpwuid_r(uid, &entry, text.data(), text.size(), &found) == 0 && found)
    return found->pw_name;
#endif
  return std::to_string(uid);
}

}  // namespace

std::string DescriptorOwner(const unsigned char* descriptor, size_t size) {
  if (size < kOwnerOffsetField + 4) return std::string();
  const size_t at = U32At(descriptor + kOwnerOffsetField);
  if (at == 0 || at > size || size - at < kSidHeader) return std::string();
  const unsigned char* sid = descriptor + at;
  const size_t count = sid[1];
  if ((size - at - kSidHeader) / 4 < count) return std::string();
  unsigned long long authority = 0;
  for (int i = 2; i < 8; ++i) authority = (authority << 8) | sid[i];
  std::vector<uint32_t> parts;
  for (size_t i = 0; i < count; ++i) parts.push_back(U32At(sid + kSidHeader + 4 * i));
  if (authority == kUnixUserAuthority && count == 2 && parts[0] == kUnixUserKind)
    return UserName(parts[1]);
  std::string text = "S-" + std::to_string(sid[0]) + "-" + std::to_string(authority);
  for (uint32_t part : parts) text += "-" + std::to_string(part);
  return text;
}

DWORD ReadEntryDescriptor(CKvMorvel* archive, std::vector<BYTE>* descriptor) {
  descriptor->resize(4096);
  DWORD length = 0;
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (archive->GetEntryDescriptor(descriptor->data(),
                                    static_cast<DWORD>(descriptor->size()), &length)) {
      descriptor->resize(length);
      return 0;
    }
    const DWORD code = archive->GetErrorCode();
    if (code != kBufferTooSmall || length == 0 || length > kLargestDescriptor) {
      descriptor->clear();
      return code;
    }
    descriptor->resize(length);
  }
  descriptor->clear();
  return kBufferTooSmall;
}

std::string EntryOwner(CKvMorvel* archive) {
  std::vector<BYTE> descriptor;
  if (ReadEntryDescriptor(archive, &descriptor) != 0) return "-";
  const std::string owner = DescriptorOwner(descriptor.data(), descriptor.size());
  return owner.empty() ? "-" : owner;
}
