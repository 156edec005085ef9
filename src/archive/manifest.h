// SPDX-License-Identifier: GPL-2.0-or-later
// The manifest an archive object keeps beside the archive it writes
// (CKvMorvel::BeginManifest; the lines are those of common/manifest_text.h
// and docs/formats.md).
#ifndef KVMORVEL_ARCHIVE_MANIFEST_H
#define KVMORVEL_ARCHIVE_MANIFEST_H

#include <string>

#include "common/manifest_text.h"
#include "common/sha256.h"
#include "kvwin32.h"

struct KvManifestWriter {
  KvManifestWriter() = default;
  KvManifestWriter(const KvManifestWriter&) = delete;
  KvManifestWriter& operator=(const KvManifestWriter&) = delete;
  ~KvManifestWriter() {
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  }
  HANDLE file = INVALID_HANDLE_VALUE;
  // The digest of the source an add is reading; the adders feed it the
  // bytes they read, in order.
  Sha256 digest;
};

// The digest the adders feed, or null when no manifest is kept.
inline Sha256* ManifestDigest(KvManifestWriter* manifest) {
  return manifest ? &manifest->digest : nullptr;
}

// Whether an entry has data, and so a manifest line (one rule with the
// command's: common/manifest_text.h).
inline bool HasEntryData(DWORD version, DWORD attributes) {
  return EntryHasData(version, attributes);
}

// `name` in UTF-8, whatever WCHAR is on this system.
std::string WideToUtf8(const WCHAR* name);

// Writes the first manifest beside `archive` (marked incomplete), holding
// the entry lines of the manifest found there when that one is complete
// and names `mainDigest` for the main file (the archive it describes is
// the one opened); else none. Returns 0 or the failing code.
DWORD StartManifest(const WCHAR* archive, const std::string& mainDigest,
                    KvManifestWriter* manifest);

// Adds the entry line of `name` with the digest the adder fed.
DWORD AddManifestEntry(KvManifestWriter* manifest, const WCHAR* name);

// Adds the lines of the main file and of parts 1 to `parts` (0 for one
// file) and marks the manifest complete. Returns 0 or the failing code.
DWORD CompleteManifest(KvManifestWriter* manifest, const WCHAR* archive,
                       DWORD parts);

// The digest of what `file` holds from its start. Returns 0 or the
// read's code; moves the file pointer.
DWORD DigestOpenFile(HANDLE file, uint8_t (&digest)[Sha256::kDigestBytes]);

#endif  // KVMORVEL_ARCHIVE_MANIFEST_H
