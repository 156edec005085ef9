// SPDX-License-Identifier: GPL-2.0-or-later
// Security descriptors. SetFileSecurityW keeps the self-relative bytes as
// given in user.kvmorvel.security and applies what POSIX can hold: an
// owner S-1-22-1-uid, a group S-1-22-2-gid and, when the owner is such a
// Unix user, the rwx bits of the DACL's entries for the owner, the group
// and Everyone (S-1-1-0). GetFileSecurityW returns the kept bytes, or
// builds a descriptor from the owner, group and mode the same way.
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "common/le_bytes.h"
#include "layer.h"

using namespace kvposix;

namespace {

const uint16_t kSelfRelative = 0x8000;
const uint16_t kDaclPresent = 0x0004;
const uint16_t kSaclPresent = 0x0010;
const size_t kHeaderSize = 20;
const size_t kMaxDescriptor = 0x10000;  // every offset and size is below
const DWORD kReadMask = 0x00120089;     // FILE_GENERIC_READ
const DWORD kWriteMask = 0x00120116;    // FILE_GENERIC_WRITE
const DWORD kExecuteMask = 0x001200A0;  // FILE_GENERIC_EXECUTE
const DWORD kReadBit = 0x1, kWriteBit = 0x2, kExecuteBit = 0x20;


std::vector<uint8_t> Sid(uint8_t authority, std::vector<uint32_t> subs) {
  std::vector<uint8_t> b = {1, static_cast<uint8_t>(subs.size()), 0, 0, 0, 0, 0,
                            authority};
  for (uint32_t s : subs) AppendU32(b, s);
  return b;
}

// A SID's length from its header, or 0 when malformed.
size_t SidLength(const uint8_t* p) {
  return p[0] == 1 && p[1] <= 15 ? 8 + 4u * p[1] : 0;
}

// Matches S-1-22-<kind>-<id>.
bool UnixId(const uint8_t* sid, uint32_t kind, uint32_t* id) {
  static const uint8_t kAuthority[6] = {0, 0, 0, 0, 0, 22};
  if (sid[0] != 1 || sid[1] != 2 || memcmp(sid + 2, kAuthority, 6) != 0)
    return false;
  if (LoadU32(sid + 8) != kind) return false;
  *id = LoadU32(sid + 12);
  return true;
}

bool IsEveryone(const uint8_t* sid) {
  static const uint8_t kEveryone[12] = {1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0};
  return memcmp(sid, kEveryone, sizeof(kEveryone)) == 0;
}

DWORD MaskOf(mode_t bits) {  // bits: rwx in the low three
  return (bits & 4 ? kReadMask : 0) | (bits & 2 ? kWriteMask : 0) |
         (bits & 1 ? kExecuteMask : 0);
}

mode_t BitsOf(DWORD mask) {
  return (mask & kReadBit ? 4 : 0) | (mask & kWriteBit ? 2 : 0) |
         (mask & kExecuteBit ? 1 : 0);
}

// Assembles a self-relative descriptor from its parts (any may be empty).
std::vector<uint8_t> Assemble(uint16_t control, const std::vector<uint8_t>& owner,
                              const std::vector<uint8_t>& group,
                              const std::vector<uint8_t>& sacl,
                              const std::vector<uint8_t>& dacl) {
  std::vector<uint8_t> b = {1, 0};
  AppendU16(b, control | kSelfRelative);
  size_t at = kHeaderSize;
  for (const std::vector<uint8_t>* part : {&owner, &group, &sacl, &dacl}) {
    AppendU32(b, part->empty() ? 0 : static_cast<uint32_t>(at));
    at += part->size();
  }
  for (const std::vector<uint8_t>* part : {&owner, &group, &sacl, &dacl})
    b.insert(b.end(), part->begin(), part->end());
  return b;
}

std::vector<uint8_t> BuildFromStat(const struct stat& st) {
  const std::vector<uint8_t> owner = Sid(22, {1, static_cast<uint32_t>(st.st_uid)});
  const std::vector<uint8_t> group = Sid(22, {2, static_cast<uint32_t>(st.st_gid)});
  const std::vector<uint8_t> everyone = Sid(1, {0});
  std::vector<uint8_t> aces;
  const std::pair<const std::vector<uint8_t>*, mode_t> entries[] = {
      {&owner, (st.st_mode >> 6) & 7}, {&group, (st.st_mode >> 3) & 7},
      {&everyone, st.st_mode & 7}};
  for (const auto& e : entries) {
    aces.push_back(0);  // ACCESS_ALLOWED_ACE_TYPE
    aces.push_back(0);  // no inheritance flags
    AppendU16(aces, static_cast<uint16_t>(8 + e.first->size()));
    AppendU32(aces, MaskOf(e.second));
    aces.insert(aces.end(), e.first->begin(), e.first->end());
  }
  std::vector<uint8_t> dacl = {2, 0};
  AppendU16(dacl, static_cast<uint16_t>(8 + aces.size()));
  AppendU16(dacl, 3);
  AppendU16(dacl, 0);
  dacl.insert(dacl.end(), aces.begin(), aces.end());
  return Assemble(kDaclPresent, owner, group, {}, dacl);
}

// The parts of a self-relative descriptor, checked to lie inside it.
struct Parsed {
  uint16_t control = 0;
  size_t size = 0;                  // bytes the descriptor spans
  const uint8_t* owner = nullptr;
  const uint8_t* group = nullptr;
  const uint8_t* sacl = nullptr;
  const uint8_t* dacl = nullptr;
};

// An ACL's length, checking every entry lies inside it; 0 when malformed.
size_t AclLength(const uint8_t* acl) {
  if (acl[0] != 2 && acl[0] != 4) return 0;
  const size_t size = LoadU16(acl + 2), count = LoadU16(acl + 4);
  if (size < 8) return 0;
  size_t at = 8;
  for (size_t i = 0; i < count; ++i) {
    if (at + 4 > size) return 0;
    const size_t aceSize = LoadU16(acl + at + 2);
    if (aceSize < 4 || at + aceSize > size) return 0;
    at += aceSize;
  }
  return size;
}

// Parses a descriptor of at most `limit` bytes. SetFileSecurityW is given
// no length: every part is then found from its offset, and no part may
// reach past 64 KiB.
bool Parse(const uint8_t* sd, size_t limit, Parsed* out) {
  if (limit < kHeaderSize || sd[0] != 1 || !(LoadU16(sd + 2) & kSelfRelative))
    return false;
  out->control = LoadU16(sd + 2);
  out->size = kHeaderSize;
  const uint8_t** slots[] = {&out->owner, &out->group, &out->sacl, &out->dacl};
  for (int i = 0; i < 4; ++i) {
    const uint32_t offset = LoadU32(sd + 4 + 4 * i);
    if (offset == 0) continue;
    // Compared as sizes, never summed in 32 bits: an offset near 2^32
    // would wrap past the test and name bytes far outside the descriptor.
    if (offset < kHeaderSize || offset > limit || limit - offset < 8)
      return false;
    const uint8_t* part = sd + offset;
    const size_t length = i < 2 ? SidLength(part) : LoadU16(part + 2);
    if (length < 8 || length > limit - offset) return false;
    if (i >= 2 && AclLength(part) != length) return false;
    *slots[i] = part;
    if (offset + length > out->size) out->size = offset + length;
  }
  return true;
}

// The status of `path`: a link at its end not followed, a descriptor's
// path (FdPath) followed to the object open by it.
bool LookAt(const std::string& path, struct stat* st) {
  return (IsFdPath(path) ? stat(path.c_str(), st) : lstat(path.c_str(), st)) == 0;
}

std::vector<uint8_t> Bytes(const uint8_t* p, size_t n) {
  return p ? std::vector<uint8_t>(p, p + n) : std::vector<uint8_t>();
}

// Only the parts `info` asks for, as Windows returns them.
std::vector<uint8_t> Select(const std::vector<uint8_t>& sd, SECURITY_INFORMATION info) {
  Parsed p;
  if (!Parse(sd.data(), sd.size(), &p)) return sd;
  const bool all = (info & OWNER_SECURITY_INFORMATION || !p.owner) &&
                   (info & GROUP_SECURITY_INFORMATION || !p.group) &&
                   (info & DACL_SECURITY_INFORMATION || !p.dacl) &&
                   (info & SACL_SECURITY_INFORMATION || !p.sacl);
  if (all) return sd;  // exactly as kept
  const bool owner = info & OWNER_SECURITY_INFORMATION;
  const bool group = info & GROUP_SECURITY_INFORMATION;
  const bool dacl = info & DACL_SECURITY_INFORMATION;
  const bool sacl = info & SACL_SECURITY_INFORMATION;
  uint16_t control = p.control & ~(dacl ? 0 : kDaclPresent) & ~(sacl ? 0 : kSaclPresent);
  // A part asked for but absent from the descriptor stays absent.
  return Assemble(control,
                  owner && p.owner ? Bytes(p.owner, SidLength(p.owner)) : std::vector<uint8_t>(),
                  group && p.group ? Bytes(p.group, SidLength(p.group)) : std::vector<uint8_t>(),
                  sacl && p.sacl ? Bytes(p.sacl, LoadU16(p.sacl + 2)) : std::vector<uint8_t>(),
                  dacl && p.dacl ? Bytes(p.dacl, LoadU16(p.dacl + 2)) : std::vector<uint8_t>());
}

// The rwx bits the DACL grants the owner, the group and Everyone; false
// when it names none of them.
bool ModeFromDacl(const Parsed& p, mode_t* mode) {
  if (!p.dacl || !(p.control & kDaclPresent)) return false;
  const size_t size = LoadU16(p.dacl + 2), count = LoadU16(p.dacl + 4);
  bool found = false;
  *mode = 0;
  for (size_t i = 0, at = 8; i < count; ++i) {
    // The count is stored apart from the size: an entry whose header
    // would leave the ACL, or that does not move on, ends the walk.
    if (at + 8 > size) break;
    const uint8_t* ace = p.dacl + at;
    const size_t aceSize = LoadU16(ace + 2);
    if (aceSize < 8) break;
    at += aceSize;
    if (ace[0] != 0 || aceSize < 8 + 8) continue;  // allowed entries only
    const uint8_t* sid = ace + 8;
    const size_t sidLength = SidLength(sid);
    if (!sidLength || 8 + sidLength > aceSize || at > size) continue;
    const mode_t bits = BitsOf(LoadU32(ace + 4));
    if (p.owner && memcmp(sid, p.owner, sidLength) == 0 && SidLength(p.owner) == sidLength) {
      *mode |= bits << 6;
    } else if (p.group && SidLength(p.group) == sidLength &&
               memcmp(sid, p.group, sidLength) == 0) {
      *mode |= bits << 3;
    } else if (IsEveryone(sid)) {
      *mode |= bits;
    } else {
      continue;
    }
    found = true;
  }
  return found;
}

// Gives the file the owner and group the descriptor names, where the
// process may; refusals (not root, not owner) are not failures. Owner and
// group are changed in one call, or one by one when that is refused, so
// either may go alone. `st` is updated to what the file has now. For a
// descriptor's path (FdPath) the object open is changed, else a link at
// the end of `path` is changed itself, never followed.
void ApplyOwner(const std::string& path, const Parsed& p, SECURITY_INFORMATION info,
                struct stat* st) {
  uint32_t uid = 0, gid = 0;
  // An owner or group the object already has is not set again: chown
  // would cost a call, and a look after it, for nothing.
  const bool setsOwner = p.owner && UnixId(p.owner, 1, &uid) &&
                         (info & OWNER_SECURITY_INFORMATION) &&
                         static_cast<uid_t>(uid) != st->st_uid;
  const bool setsGroup = p.group && UnixId(p.group, 2, &gid) &&
                         (info & GROUP_SECURITY_INFORMATION) &&
                         static_cast<gid_t>(gid) != st->st_gid;
  if (!setsOwner && !setsGroup) return;
  const uid_t newUid = setsOwner ? static_cast<uid_t>(uid) : static_cast<uid_t>(-1);
  const gid_t newGid = setsGroup ? static_cast<gid_t>(gid) : static_cast<gid_t>(-1);
  auto change = [&](uid_t u, gid_t g) {
    return (IsFdPath(path) ? chown(path.c_str(), u, g) : lchown(path.c_str(), u, g)) == 0;
  };
  bool changed = change(newUid, newGid);
  if (!changed && setsOwner && setsGroup) {
    changed = change(newUid, static_cast<gid_t>(-1));
    changed = change(static_cast<uid_t>(-1), newGid) || changed;
  }
  // A change of owner may clear the set-user and set-group bits.
  if (changed) LookAt(path, st);
}

// The mode the descriptor's DACL gives the file, from `st` as it is now;
// false when it names none (or the owner is no Unix user, or a link).
bool ModeToSet(const Parsed& p, SECURITY_INFORMATION info, const struct stat& st,
               mode_t* wanted) {
  uint32_t uid = 0;
  mode_t mode;
  if (S_ISLNK(st.st_mode) || !p.owner || !UnixId(p.owner, 1, &uid) ||
      !(info & DACL_SECURITY_INFORMATION) || !ModeFromDacl(p, &mode))
    return false;
  *wanted = (st.st_mode & 07000) | mode;
  return true;
}

// Applies a descriptor to `path` (or the object a FdPath names): owner
// and group first, then the kept bytes, then the mode, so no moment shows
// the data with wider rights than the descriptor gives, and a change of
// owner after the mode cannot clear its bits. Bytes that say exactly what
// the owner, group and mode say are not kept: reading builds the same.
BOOL SetSecurityAt(const std::string& path, SECURITY_INFORMATION info,
                   PSECURITY_DESCRIPTOR descriptor) {
  if (!descriptor) return Fail(ERROR_INVALID_PARAMETER);
  Parsed parsed;
  const uint8_t* sd = static_cast<const uint8_t*>(descriptor);
  if (!Parse(sd, kMaxDescriptor, &parsed)) return Fail(ERROR_INVALID_SECURITY_DESCR);
  struct stat st;
  if (!LookAt(path, &st)) return FailForPath(errno, path);
  ApplyOwner(path, parsed, info, &st);
  mode_t wanted = st.st_mode & 07777;
  const bool setsMode = ModeToSet(parsed, info, st, &wanted);
  if (!S_ISLNK(st.st_mode)) {  // a link keeps no user attributes
    const std::vector<uint8_t> bytes(sd, sd + parsed.size);
    struct stat after = st;
    after.st_mode = (st.st_mode & ~07777) | wanted;
    int error = 0;
    if (bytes != BuildFromStat(after)) {
      error = WriteXattr(path, kSecurityName, bytes);
    } else if ((error = RemoveXattr(path, kSecurityName)) == ENOTSUP) {
      error = 0;  // nothing can be kept here, and nothing needs to be
    }
    if (error) return FailErrno(error);
  }
  if (setsMode && wanted != (st.st_mode & 07777) && chmod(path.c_str(), wanted) != 0)
    return FailErrno(errno);
  return TRUE;
}

}  // namespace

namespace kvposix {

DWORD DescriptorOf(const std::string& path, std::vector<uint8_t>* out) {
  // Kept bytes are looked for first: a link carries none (Linux allows no
  // user attribute on it), so found bytes are those of a file or folder,
  // read in one call. Only without them is the object looked at.
  Parsed p;
  if (ReadOwnXattr(path, kSecurityName, out) && Parse(out->data(), out->size(), &p)) {
    out->resize(p.size);
    return 0;
  }
  struct stat st;
  if (!LookAt(path, &st)) return CodeForPath(errno, path);
  *out = BuildFromStat(st);
  return 0;
}

DWORD HandleDescriptorOf(const Handle& handle, std::vector<uint8_t>* out) {
  // Kept bytes first, as DescriptorOf; an O_PATH descriptor takes no
  // fgetxattr, so the attribute is read through its FdPath name.
  Parsed p;
  if (ReadXattr(FdPath(handle.fd), kSecurityName, out) &&
      Parse(out->data(), out->size(), &p)) {
    out->resize(p.size);
    return 0;
  }
  struct stat st;
  if (fstatat(handle.fd, "", &st, AT_EMPTY_PATH) != 0) return CodeFromErrno(errno);
  *out = BuildFromStat(st);
  return 0;
}

}  // namespace kvposix

BOOL GetKernelObjectSecurity(HANDLE handle, SECURITY_INFORMATION info,
                             PSECURITY_DESCRIPTOR descriptor, DWORD capacity,
                             LPDWORD needed) {
  HandleRef h = LookFileHandle(handle);
  if (!h) return FALSE;
  if (!needed) return Fail(ERROR_INVALID_PARAMETER);
  std::vector<uint8_t> sd;
  if (const DWORD code = HandleDescriptorOf(*h, &sd)) return Fail(code);
  sd = Select(sd, info);
  *needed = static_cast<DWORD>(sd.size());
  if (!descriptor || capacity < sd.size()) return Fail(ERROR_INSUFFICIENT_BUFFER);
  memcpy(descriptor, sd.data(), sd.size());
  return TRUE;
}

BOOL GetFileSecurityW(LPCWSTR path, SECURITY_INFORMATION info,
                      PSECURITY_DESCRIPTOR descriptor, DWORD capacity,
                      LPDWORD needed) {
  if (!needed) return Fail(ERROR_INVALID_PARAMETER);
  std::string p;
  if (!ToPosixPath(path, &p)) return FALSE;
  std::vector<uint8_t> sd;
  if (const DWORD code = DescriptorOf(p, &sd)) return Fail(code);
  sd = Select(sd, info);
  *needed = static_cast<DWORD>(sd.size());
  if (!descriptor || capacity < sd.size()) return Fail(ERROR_INSUFFICIENT_BUFFER);
  memcpy(descriptor, sd.data(), sd.size());
  return TRUE;
}

BOOL SetFileSecurityW(LPCWSTR path, SECURITY_INFORMATION info,
                      PSECURITY_DESCRIPTOR descriptor) {
  if (!descriptor) return Fail(ERROR_INVALID_PARAMETER);
  std::string p;
  if (!ToPosixPath(path, &p)) return FALSE;
  return SetSecurityAt(p, info, descriptor);
}

BOOL SetKernelObjectSecurity(HANDLE handle, SECURITY_INFORMATION info,
                             PSECURITY_DESCRIPTOR descriptor) {
  HandleRef h = LookFileHandle(handle);
  if (!h) return FALSE;
  return SetSecurityAt(MetadataPath(*h), info, descriptor);
}

DWORD GetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE type, SECURITY_INFORMATION info,
                      PSID* owner, PSID* group, PACL* dacl, PACL* sacl,
                      PSECURITY_DESCRIPTOR* descriptor) {
  HandleRef h = LookFileHandle(handle);
  if (!h) return ERROR_INVALID_HANDLE;
  if (type != SE_FILE_OBJECT || !descriptor) return ERROR_INVALID_PARAMETER;
  std::vector<uint8_t> sd;
  if (const DWORD code = HandleDescriptorOf(*h, &sd)) return code;
  sd = Select(sd, info);
  uint8_t* block = static_cast<uint8_t*>(malloc(sd.size()));
  if (!block) return ERROR_NOT_ENOUGH_MEMORY;
  memcpy(block, sd.data(), sd.size());
  Parsed p;
  Parse(block, sd.size(), &p);
  if (owner) *owner = const_cast<uint8_t*>(p.owner);
  if (group) *group = const_cast<uint8_t*>(p.group);
  if (dacl) *dacl = const_cast<uint8_t*>(p.dacl);
  if (sacl) *sacl = const_cast<uint8_t*>(p.sacl);
  *descriptor = block;
  return ERROR_SUCCESS;
}
