// SPDX-License-Identifier: GPL-2.0-or-later
// The user.DOSATTRIB codec, in the layout Samba keeps there: the
// attributes as a "0x%x" hex string with its NUL (all Wine reads), then
// NDR: u16 version, u16 union level (each aligned to 2), and the info
// block aligned to 4, whose 32- and 64-bit fields are all aligned to 4.
// (Checked against smbd 4.17: with a hex string of even length plus NUL,
// such as "0x6", the level follows the version directly.) We write
// version 3; we read 0xFFFF (the bare hex string), 1, 3, 4 and 5. Other
// versions, and blobs cut short, fall back to the hex string.
#include <cstdio>

#include "common/le_bytes.h"
#include "layer.h"

namespace kvposix {

namespace {

const uint16_t kVersionHexOnly = 0xFFFF;
const DWORD kValidAttributes = 0x1;
const DWORD kValidCreateTime = 0x10;

// Reads little-endian fields with NDR's alignment.
class NdrReader : public FieldReader {
 public:
  using FieldReader::FieldReader;
  uint16_t U16() { return static_cast<uint16_t>(Field(2, 2)); }
  uint32_t U32() { return static_cast<uint32_t>(Field(4, 4)); }
  uint64_t U64() { return Field(8, 4); }

 private:
  uint64_t Field(size_t n, size_t align) {
    Align(align);
    return Le(n);
  }
};

class NdrWriter {
 public:
  void Align(size_t n) {
    while (b_.size() % n) b_.push_back(0);
  }
  void Field(uint64_t v, size_t n, size_t align) {
    Align(align);
    PutLe(b_, v, n);
  }
  void U16(uint16_t v) { Field(v, 2, 2); }
  void U32(uint32_t v) { Field(v, 4, 4); }
  void U64(uint64_t v) { Field(v, 8, 4); }
  std::vector<uint8_t>& bytes() { return b_; }

 private:
  std::vector<uint8_t> b_;
};

// "0x22" (or "22") up to the NUL or the end.
bool ParseHex(const std::vector<uint8_t>& blob, size_t end, DWORD* value) {
  size_t i = 0;
  if (end >= 2 && blob[0] == '0' && (blob[1] == 'x' || blob[1] == 'X')) i = 2;
  if (i >= end) return false;
  DWORD v = 0;
  for (; i < end; ++i) {
    const int c = blob[i];
    int digit;
    if (c >= '0' && c <= '9') digit = c - '0';
    else if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
    else return false;
    if (v > 0x0FFFFFFFu) return false;
    v = (v << 4) | static_cast<DWORD>(digit);
  }
  *value = v;
  return true;
}

// The info block of `version`, read into `info`; false when cut short or
// of a version we do not read.
bool ReadInfo(NdrReader& r, uint16_t version, DosInfo* info) {
  DWORD valid = kValidAttributes;
  DWORD attributes = 0;
  uint64_t creation = 0;
  switch (version) {
    case 1:  // attrib, ea_size, size, alloc_size, create_time, change_time
      attributes = r.U32();
      r.U32();
      r.U64();
      r.U64();
      creation = r.U64();
      if (creation) valid |= kValidCreateTime;
      break;
    case 3:  // valid_flags, attrib, ea_size, size, alloc_size, create, change
      valid = r.U32();
      attributes = r.U32();
      r.U32();
      r.U64();
      r.U64();
      creation = r.U64();
      break;
    case 4:  // valid_flags, attrib, itime, create_time
      valid = r.U32();
      attributes = r.U32();
      r.U64();
      creation = r.U64();
      break;
    case 5:  // valid_flags, attrib, create_time
      valid = r.U32();
      attributes = r.U32();
      creation = r.U64();
      break;
    default:
      return false;
  }
  if (!r.ok()) return false;
  // Samba takes the attributes of versions 3, 4 and 5 whatever their valid
  // flags say (it checks only the creation time's flag), so do we.
  info->hasAttributes = true;
  info->fromBlock = true;
  info->attributes = attributes;
  info->hasCreation = (valid & kValidCreateTime) != 0 && creation != 0;
  info->creation = info->hasCreation ? creation : 0;
  return true;
}

}  // namespace

DosInfo DecodeDosAttrib(const std::vector<uint8_t>& blob) {
  DosInfo info;
  size_t nul = 0;
  while (nul < blob.size() && blob[nul]) ++nul;
  DWORD hex = 0;
  if (ParseHex(blob, nul, &hex)) {
    info.hasAttributes = true;
    info.attributes = hex;
  }
  if (nul >= blob.size()) return info;  // the bare hex string
  NdrReader r(blob, nul + 1);
  const uint16_t version = r.U16();
  if (!r.ok() || version == kVersionHexOnly) return info;
  const uint16_t level = r.U16();
  r.Align(4);
  DosInfo decoded;
  if (r.ok() && level == version && ReadInfo(r, version, &decoded))
    return decoded;
  return info;
}

std::vector<uint8_t> EncodeDosAttrib(DWORD attributes, ULONGLONG creation) {
  char hex[16];
  const int n = snprintf(hex, sizeof(hex), "0x%x", static_cast<unsigned>(attributes));
  NdrWriter w;
  for (int i = 0; i < n; ++i) w.bytes().push_back(static_cast<uint8_t>(hex[i]));
  w.bytes().push_back(0);
  w.U16(3);         // version
  w.U16(3);         // union level
  w.U32(kValidAttributes | kValidCreateTime);  // the info block, aligned to 4
  w.U32(attributes);
  w.U32(0);         // ea_size
  w.U64(0);         // size
  w.U64(0);         // alloc_size
  w.U64(creation);  // create_time
  w.U64(0);         // change_time
  return w.bytes();
}

}  // namespace kvposix
