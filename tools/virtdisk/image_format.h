// SPDX-License-Identifier: GPL-2.0-or-later
// The disk image container shared by the packer and the mount library:
// the 8 bytes "!XSSXSS!" followed by a POSIX.1-2001 (pax) tar stream of
// the tree, as docs/image-format.md describes.
#ifndef KVMORVEL_TOOLS_VIRTDISK_IMAGE_FORMAT_H
#define KVMORVEL_TOOLS_VIRTDISK_IMAGE_FORMAT_H

#include <archive.h>
#include <archive_entry.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "KvMorvelHost.h"

// The bytes that open an image, as the archive library recognises them.
inline std::vector<unsigned char> ImageSignature() {
  std::vector<unsigned char> signature(CKvMorvelHost::GetImageSignature(nullptr, 0));
  CKvMorvelHost::GetImageSignature(signature.data(),
                                   static_cast<DWORD>(signature.size()));
  return signature;
}

// The item's birth time, "SECONDS.NANOSECONDS" since 1970, carried in the
// entry's extended attribute records under this name (libarchive's pax
// writer keeps no birth time of its own here). It is read by the mount
// library and never written to disk as an attribute.
const char kBirthTimeName[] = "user.kvimage.birthtime";
const char kReservedPrefix[] = "user.kvimage.";

// Only the "user." extended attributes belong to an image: the layer keeps
// its Windows metadata there. Others (security., trusted., system.) are
// neither packed nor restored, so an image cannot give a file
// capabilities or labels. Removes every other attribute from `entry`, and
// the image's own records ("user.kvimage.").
inline void KeepUserXattrs(archive_entry* entry) {
  struct Attribute {
    std::string name;
    std::vector<char> value;
  };
  std::vector<Attribute> kept;
  archive_entry_xattr_reset(entry);
  const char* name = nullptr;
  const void* value = nullptr;
  size_t size = 0;
  while (archive_entry_xattr_next(entry, &name, &value, &size) ==
         ARCHIVE_OK) {
    if (!name || strncmp(name, "user.", 5) != 0 ||
        strncmp(name, kReservedPrefix, sizeof(kReservedPrefix) - 1) == 0)
      continue;
    const char* bytes = static_cast<const char*>(value);
    kept.push_back({name, std::vector<char>(bytes, bytes + size)});
  }
  archive_entry_xattr_clear(entry);
  for (const Attribute& a : kept)
    archive_entry_xattr_add_entry(entry, a.name.c_str(), a.value.data(),
                                  a.value.size());
}

// Records why a step failed in *error (when the caller asks for it) and
// gives `code`. libarchive leaves its error string null after some
// failures (a short header read among them), so a null reason is read as
// an unknown error instead of building a string from it.
inline unsigned Fail(std::string* error, const char* reason, unsigned code) {
  if (error) *error = reason ? reason : "unknown container error";
  return code;
}
inline unsigned Fail(std::string* error, const std::string& reason,
                     unsigned code) {
  return Fail(error, reason.c_str(), code);
}

#endif  // KVMORVEL_TOOLS_VIRTDISK_IMAGE_FORMAT_H
