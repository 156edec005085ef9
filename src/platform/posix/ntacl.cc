// SPDX-License-Identifier: GPL-2.0-or-later
// Samba's security.NTACL: the NDR record xattr_NTACL in which Samba's
// acl_xattr module keeps a share's Windows descriptor.
//
//   u16 version (1 to 4), u16 union level (the same number),
//   u32 pointer id (non-zero), then the pointed record:
//     1  the descriptor itself
//     2  u32 pointer id, 16-byte hash, the descriptor
//     3  u32 pointer id, u16 hash type, 64-byte hash, the descriptor
//     4  as 3, then a NUL-terminated UTF-8 description, u64 time and a
//        64-byte hash of the POSIX ACL, then the descriptor
//   Each 4-byte field and the descriptor start at a multiple of 4. The
//   descriptor's part offsets count from the start of the whole record,
//   not from the descriptor's header.
//
// Samba 4.17 serves versions 1 and 2 as stored. Versions 3 and 4 it
// serves only while their hash matches the descriptor it derives from the
// POSIX ACL under its own mapping of ids to SIDs, which no writer outside
// smbd can know; so the layer writes version 1.
#include <algorithm>

#include "common/le_bytes.h"
#include "descriptor.h"

namespace kvposix {

namespace {

const size_t kHashV2 = 16, kHashV34 = 64;
const uint32_t kFirstPointerId = 0x00020000;  // the ids NDR gives, in order

// Steps over the pointed record of `version` up to its descriptor;
// false when it points to none.
bool SkipToDescriptor(FieldReader& r, uint16_t version) {
  if (version == 1) return true;
  if (r.Le(4) == 0) return false;
  if (version == 2) {
    r.Skip(kHashV2);
    return true;
  }
  r.Skip(2 + kHashV34);  // hash type and hash
  if (version == 4) {
    r.SkipPastNul();  // description
    r.Align(4);
    r.Skip(8 + kHashV34);  // time and the POSIX ACL's hash
  }
  r.Align(4);
  return true;
}

}  // namespace

bool DecodeNtacl(const ByteVector& blob, ByteVector* sd) {
  FieldReader r(blob);
  const uint16_t version = static_cast<uint16_t>(r.Le(2));
  const uint16_t level = static_cast<uint16_t>(r.Le(2));
  if (!r.ok() || version < 1 || version > 4 || level != version) return false;
  if (r.Le(4) == 0) return false;  // no record
  if (!SkipToDescriptor(r, version) || !r.ok()) return false;
  // The header is copied to the record's start, so that offsets counted
  // from there find the parts; they must lie after the header's place.
  const size_t at = r.at();
  if (at > blob.size() || blob.size() - at < kHeaderSize) return false;
  ByteVector rebased = blob;
  std::copy(blob.begin() + at, blob.begin() + at + kHeaderSize, rebased.begin());
  Parsed p;
  if (!Parse(rebased.data(), rebased.size(), &p, at + kHeaderSize)) return false;
  *sd = Reassemble(p);
  return true;
}

ByteVector EncodeNtacl(const Parsed& p) {
  const size_t at = 8;  // where the descriptor starts
  ByteVector blob;
  AppendU16(blob, 1);
  AppendU16(blob, 1);
  AppendU32(blob, kFirstPointerId);
  ByteVector sd = Reassemble(p);
  for (size_t field = 4; field < kHeaderSize; field += 4) {
    const uint32_t offset = LoadU32(sd.data() + field);
    if (offset) StoreU32(sd.data() + field, static_cast<uint32_t>(offset + at));
  }
  blob.insert(blob.end(), sd.begin(), sd.end());
  return blob;
}

}  // namespace kvposix
