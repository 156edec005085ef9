// SPDX-License-Identifier: GPL-2.0-or-later
// The lines of the manifest beside an archive (docs/formats.md), written
// by the library (CKvMorvel::BeginManifest) and read by the command
// (verify, extract): one codec, so the two never disagree on a byte.
//
// The manifest is UTF-8 text, one item per line:
//   # KvMorvel manifest 1: incomplete    first line while being written
//   # KvMorvel manifest 1: complete      first line once Close finished
//   # entry HEX NAME                     an entry's data, NAME escaped
//   HEX  FILE                            an archive file, as sha256sum
// Lines that begin with '#' are skipped by `sha256sum -c`, so the file
// lines can be checked with it from the archive's folder.
#ifndef KVMORVEL_COMMON_MANIFEST_TEXT_H
#define KVMORVEL_COMMON_MANIFEST_TEXT_H

#include <cstdint>
#include <string>

// Both first lines have one length, so completing a manifest is one
// write over its first bytes.
const char kManifestIncomplete[] = "# KvMorvel manifest 1: incomplete\n";
const char kManifestComplete[] = "# KvMorvel manifest 1: complete  \n";
const char kManifestEntryTag[] = "# entry ";
const size_t kManifestHexChars = 64;

// Whether an entry of these attributes has data (ReadEntryData streams
// it) and so a line in the manifest: every version 1 entry, and in
// versions 2 and 5 each that is neither a folder (0x10) nor a link
// (0x400).
inline bool EntryHasData(uint32_t version, uint32_t attributes) {
  return version == 1 || (attributes & (0x10u | 0x400u)) == 0;
}

// An entry name (UTF-8) as the manifest holds it: the bytes below 0x20,
// DEL and '%' as "%XX" (upper-case hex), so a name is one line whatever
// it holds and two names never share an escaped form.
inline std::string EscapeManifestName(const std::string& name) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (const unsigned char c : name) {
    if (c < 0x20 || c == 0x7F || c == '%') {
      out += '%';
      out += kDigits[c >> 4];
      out += kDigits[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

// The name EscapeManifestName escaped; a '%' not followed by two
// upper-case hex digits stands for itself.
inline std::string UnescapeManifestName(const std::string& escaped) {
  auto digit = [](char c) {
    return c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
  };
  std::string out;
  for (size_t i = 0; i < escaped.size(); ++i) {
    if (escaped[i] == '%' && i + 2 < escaped.size() && digit(escaped[i + 1]) >= 0 &&
        digit(escaped[i + 2]) >= 0) {
      out += static_cast<char>(digit(escaped[i + 1]) * 16 + digit(escaped[i + 2]));
      i += 2;
    } else {
      out += escaped[i];
    }
  }
  return out;
}

inline std::string ManifestEntryLine(const std::string& hex,
                                     const std::string& name) {
  return kManifestEntryTag + hex + " " + EscapeManifestName(name) + "\n";
}

// A file name as sha256sum writes it: a name holding a backslash, a line
// feed or a carriage return gets "\\", "\n" and "\r" in their place, and
// its line a leading backslash.
inline bool EscapeChecksumName(const std::string& name, std::string* out) {
  bool escaped = false;
  out->clear();
  for (const char c : name) {
    const char* with = c == '\\' ? "\\\\" : c == '\n' ? "\\n" : c == '\r' ? "\\r" : nullptr;
    if (with) escaped = true;
    *out += with ? with : std::string(1, c);
  }
  return escaped;
}

inline std::string ManifestFileLine(const std::string& hex,
                                    const std::string& fileName) {
  std::string name;
  const bool escaped = EscapeChecksumName(fileName, &name);
  return (escaped ? "\\" : "") + hex + "  " + name + "\n";
}

// One line of a manifest, its line feed taken off. `name` keeps the
// escaped form: compare it with EscapeManifestName (an entry) or with
// the name of the file line made by ManifestFileLine.
struct ManifestLine {
  enum Kind { kOther, kIncomplete, kComplete, kEntry, kFile } kind = kOther;
  std::string hex;
  std::string name;
};

inline bool IsManifestHex(const std::string& text) {
  if (text.size() != kManifestHexChars) return false;
  for (const char c : text)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  return true;
}

inline ManifestLine ParseManifestLine(const std::string& line) {
  ManifestLine parsed;
  const std::string withFeed = line + "\n";
  if (withFeed == kManifestIncomplete) parsed.kind = ManifestLine::kIncomplete;
  if (withFeed == kManifestComplete) parsed.kind = ManifestLine::kComplete;
  if (parsed.kind != ManifestLine::kOther) return parsed;
  const std::string tag = kManifestEntryTag;
  size_t start = 0;
  ManifestLine::Kind kind = ManifestLine::kFile;
  std::string gap = "  ";
  if (line.compare(0, tag.size(), tag) == 0) {
    start = tag.size();
    kind = ManifestLine::kEntry;
    gap = " ";
  } else if (!line.empty() && line[0] == '\\') {
    start = 1;
  }
  if (line.size() < start + kManifestHexChars + gap.size()) return parsed;
  const std::string hex = line.substr(start, kManifestHexChars);
  if (!IsManifestHex(hex) ||
      line.compare(start + kManifestHexChars, gap.size(), gap) != 0)
    return parsed;
  parsed.kind = kind;
  parsed.hex = hex;
  parsed.name = line.substr(start + kManifestHexChars + gap.size());
  if (kind == ManifestLine::kFile && start == 1) parsed.name = "\\" + parsed.name;
  return parsed;
}

// The name part of the file line ManifestFileLine makes for `fileName`,
// in the form ParseManifestLine gives (a leading backslash when escaped).
inline std::string ManifestFileKey(const std::string& fileName) {
  std::string name;
  return EscapeChecksumName(fileName, &name) ? "\\" + name : name;
}

#endif  // KVMORVEL_COMMON_MANIFEST_TEXT_H
