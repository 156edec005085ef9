// SPDX-License-Identifier: GPL-2.0-or-later
// Security descriptors: the Win32 calls that read and set them.
// GetFileSecurityW reports Samba's security.NTACL, else the bytes the
// layer kept, else a descriptor built from the POSIX ACLs or the mode.
// SetFileSecurityW gives the file the owner S-1-22-1-uid and group
// S-1-22-2-gid it names, keeps the bytes (in security.NTACL as root, in
// user.kvmorvel.security otherwise) and narrows the mode and access ACL to
// what the DACL grants. descriptor.h has the pieces and the mapping.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "common/le_bytes.h"
#include "descriptor.h"
#include "layer.h"

using namespace kvposix;

namespace {

const DWORD kReadMask = 0x00120089;     // FILE_GENERIC_READ
const DWORD kWriteMask = 0x00120116;    // FILE_GENERIC_WRITE
const DWORD kExecuteMask = 0x001200A0;  // FILE_GENERIC_EXECUTE
const DWORD kReadBit = 0x1, kWriteBit = 0x2, kExecuteBit = 0x20;

}  // namespace

namespace kvposix {

ByteVector Sid(uint8_t authority, std::vector<uint32_t> subs) {
  ByteVector b = {1, static_cast<uint8_t>(subs.size()), 0, 0, 0, 0, 0, authority};
  for (uint32_t s : subs) AppendU32(b, s);
  return b;
}

size_t SidLength(const uint8_t* sid) {
  return sid[0] == 1 && sid[1] <= 15 ? 8 + 4u * sid[1] : 0;
}

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

bool SameSid(const uint8_t* a, const uint8_t* b) {
  return a && b && SidLength(a) == SidLength(b) && memcmp(a, b, SidLength(a)) == 0;
}

DWORD MaskOf(unsigned bits) {
  return (bits & 4 ? kReadMask : 0) | (bits & 2 ? kWriteMask : 0) |
         (bits & 1 ? kExecuteMask : 0);
}

unsigned BitsOf(DWORD mask) {
  // GENERIC_ALL gives every bit, GENERIC_READ/WRITE/EXECUTE their own.
  const DWORD all = 0x10000000;
  return (mask & (kReadBit | 0x80000000u | all) ? 4 : 0) |
         (mask & (kWriteBit | 0x40000000u | all) ? 2 : 0) |
         (mask & (kExecuteBit | 0x20000000u | all) ? 1 : 0);
}

void AppendAce(ByteVector* aces, uint8_t type, uint8_t flags, DWORD mask,
               const ByteVector& sid) {
  aces->push_back(type);
  aces->push_back(flags);
  AppendU16(*aces, static_cast<uint16_t>(8 + sid.size()));
  AppendU32(*aces, mask);
  aces->insert(aces->end(), sid.begin(), sid.end());
}

ByteVector MakeAcl(const ByteVector& aces, size_t count) {
  ByteVector acl = {2, 0};
  AppendU16(acl, static_cast<uint16_t>(8 + aces.size()));
  AppendU16(acl, static_cast<uint16_t>(count));
  AppendU16(acl, 0);
  acl.insert(acl.end(), aces.begin(), aces.end());
  return acl;
}

ByteVector Assemble(uint16_t control, const ByteVector& owner, const ByteVector& group,
                    const ByteVector& sacl, const ByteVector& dacl) {
  ByteVector b = {1, 0};
  AppendU16(b, control | kSelfRelative);
  size_t at = kHeaderSize;
  for (const ByteVector* part : {&owner, &group, &sacl, &dacl}) {
    AppendU32(b, part->empty() ? 0 : static_cast<uint32_t>(at));
    at += part->size();
  }
  for (const ByteVector* part : {&owner, &group, &sacl, &dacl})
    b.insert(b.end(), part->begin(), part->end());
  return b;
}

namespace {

// An ACL's length, checking every entry lies inside it; 0 when malformed.
size_t AclLength(const uint8_t* acl) {
  if (acl[0] < 2 || acl[0] > 4) return 0;  // the revisions Windows takes
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

ByteVector Bytes(const uint8_t* p, size_t n) {
  return p ? ByteVector(p, p + n) : ByteVector();
}

}  // namespace

// SetFileSecurityW is given no length: every part is then found from its
// offset, and no part may reach past 64 KiB.
bool Parse(const uint8_t* sd, size_t limit, Parsed* out, size_t partsFrom) {
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
    if (offset < partsFrom || offset > limit || limit - offset < 8)
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

ByteVector Reassemble(const Parsed& p) {
  return Assemble(p.control, Bytes(p.owner, p.owner ? SidLength(p.owner) : 0),
                  Bytes(p.group, p.group ? SidLength(p.group) : 0),
                  Bytes(p.sacl, p.sacl ? LoadU16(p.sacl + 2) : 0),
                  Bytes(p.dacl, p.dacl ? LoadU16(p.dacl + 2) : 0));
}

std::vector<AceView> AcesOf(const Parsed& p) {
  std::vector<AceView> aces;
  if (!p.dacl) return aces;
  const size_t size = LoadU16(p.dacl + 2), count = LoadU16(p.dacl + 4);
  for (size_t i = 0, at = 8; i < count; ++i) {
    // The count is stored apart from the size: an entry whose header
    // would leave the ACL, or that does not move on, ends the walk.
    if (at + 8 > size) break;
    const uint8_t* ace = p.dacl + at;
    const size_t aceSize = LoadU16(ace + 2);
    if (aceSize < 8 || aceSize > size - at) break;
    at += aceSize;
    if ((ace[0] != kAllowedAce && ace[0] != kDeniedAce) || aceSize < 8 + 8) continue;
    const uint8_t* sid = ace + 8;
    const size_t sidLength = SidLength(sid);
    if (!sidLength || 8 + sidLength > aceSize) continue;
    aces.push_back({ace[0], ace[1], LoadU32(ace + 4), sid});
  }
  return aces;
}

}  // namespace kvposix

namespace {

// An ACL of `path`, empty when absent or malformed (the mode then says
// what it would).
void ReadPosixAcl(const std::string& path, const LayerXattrs& names, const char* name,
                  PosixAcl* acl) {
  ByteVector value;
  if (!names.Has(name) || !ReadOwnXattr(path, name, &value) || !DecodePosixAcl(value, acl))
    acl->clear();
}

// The status of `path`: a link at its end not followed, a descriptor's
// path (FdPath) followed to the object open by it.
bool LookAt(const std::string& path, struct stat* st) {
  return (IsFdPath(path) ? stat(path.c_str(), st) : lstat(path.c_str(), st)) == 0;
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

// Whether the descriptor says no more than the owner, group and `mode`:
// reading would build the same bytes.
bool SaysOnlyTheMode(const ByteVector& bytes, const struct stat& st, mode_t mode) {
  return bytes == DescriptorFromPosix(st.st_uid, st.st_gid, mode, {}, {});
}

int RemoveIfListed(const std::string& path, const LayerXattrs& names, const char* name) {
  if (!names.Has(name)) return 0;
  const int error = RemoveXattr(path, name);
  return error == ENOTSUP ? 0 : error;  // nothing is kept there to remove
}

// Keeps the descriptor where a reader finds it: Samba's security.NTACL
// where the process may write it (the security namespace takes
// CAP_SYS_ADMIN, so as root), else the layer's own attribute. Copies an
// earlier descriptor left elsewhere go, so none can outrank this one.
// `*samba` tells whether Samba's copy holds it. Returns 0 or the errno.
int KeepDescriptor(const std::string& path, const LayerXattrs& names, const Parsed& parsed,
                   const ByteVector& bytes, bool* samba) {
  // A process refused once (no CAP_SYS_ADMIN) is refused every time:
  // it asks no more, which spares each file of a restore a failing call.
  static std::atomic<bool> refused(false);
  int error = refused ? EPERM : WriteXattr(path, kNtaclName, EncodeNtacl(parsed));
  *samba = error == 0;
  if (*samba) return RemoveIfListed(path, names, kSecurityName);
  if (error == EPERM) refused = true;
  if (error != EPERM && error != EACCES && error != ENOTSUP) return error;
  if ((error = WriteXattr(path, kSecurityName, bytes)) != 0) return error;
  return RemoveIfListed(path, names, kNtaclName);
}

// Writes `acl` as the ACL `name`, or removes the one there when empty.
int SetAcl(const std::string& path, const LayerXattrs& names, const char* name,
           const PosixAcl& acl) {
  return acl.empty() ? RemoveIfListed(path, names, name)
                     : WriteXattr(path, name, EncodePosixAcl(acl));
}

// Gives the file the rwx bits and access ACL of `access`: an ACL with
// named entries where Samba's copy was written (root), none otherwise, so
// an earlier ACL cannot leave a named user more than the descriptor
// gives. The ACL is set before the mode: setting it changes the mode.
// With `defaults`, a folder also gets the default ACL of its inheritable
// entries (or loses the one it has).
int ApplyAccess(const std::string& path, const LayerXattrs& names, const LocalAccess& access,
                const Parsed& parsed, bool defaults, const struct stat& st) {
  const mode_t wanted = (st.st_mode & 07000) | access.mode;
  int error = SetAcl(path, names, kAccessAclName, access.acl);
  if (!error && defaults && S_ISDIR(st.st_mode))
    error = SetAcl(path, names, kDefaultAclName, DefaultsFromDacl(parsed));
  if (error) return error;
  if ((!access.acl.empty() || wanted != (st.st_mode & 07777)) &&
      chmod(path.c_str(), wanted) != 0)
    return errno;
  return 0;
}

// Applies a descriptor to `path` (or the object a FdPath names): owner
// and group first, then the kept bytes, then the ACL and mode, so no
// moment shows the data with wider rights than the descriptor gives, and
// a change of owner after the mode cannot clear its bits. A descriptor
// without a DACL (or a null one, which grants everything) leaves the
// mode as it is.
BOOL SetSecurityAt(const std::string& path, SECURITY_INFORMATION info,
                   PSECURITY_DESCRIPTOR descriptor) {
  if (!descriptor) return Fail(ERROR_INVALID_PARAMETER);
  Parsed parsed;
  const uint8_t* sd = static_cast<const uint8_t*>(descriptor);
  if (!Parse(sd, kMaxDescriptor, &parsed)) return Fail(ERROR_INVALID_SECURITY_DESCR);
  struct stat st;
  if (!LookAt(path, &st)) return FailForPath(errno, path);
  ApplyOwner(path, parsed, info, &st);
  if (S_ISLNK(st.st_mode)) return TRUE;  // a link keeps no attributes, and no mode
  const bool narrows = (info & DACL_SECURITY_INFORMATION) &&
                       (parsed.control & kDaclPresent) && parsed.dacl;
  const LayerXattrs names = ListLayerXattrs(path);
  const ByteVector bytes(sd, sd + parsed.size);
  LocalAccess access = AccessFromDacl(parsed, st.st_uid, st.st_gid, false);
  if (!narrows) access.mode = st.st_mode & 0777;
  bool samba = false;
  int error = 0;
  if (narrows && SaysOnlyTheMode(bytes, st, access.mode)) {
    if (!(error = RemoveIfListed(path, names, kSecurityName)))
      error = RemoveIfListed(path, names, kNtaclName);
  } else {
    error = KeepDescriptor(path, names, parsed, bytes, &samba);
  }
  if (error) return FailErrno(error);
  if (!narrows) return TRUE;
  if (samba) access = AccessFromDacl(parsed, st.st_uid, st.st_gid, true);
  if ((error = ApplyAccess(path, names, access, parsed, samba, st)) != 0)
    return FailErrno(error);
  return TRUE;
}

// The descriptor of `path` from the first source it has, in the order
// Samba trusts them: its security.NTACL, the bytes the layer kept, the
// POSIX ACLs, and otherwise the owner, group and mode. A source that does
// not decode is passed over, as Samba passes over a damaged one. `fd`, when
// not -1, is the open object `path` (its FdPath) names.
DWORD DescriptorFrom(const std::string& path, int fd, ByteVector* out) {
  const LayerXattrs names = ListLayerXattrs(path);
  ByteVector value;
  if (names.Has(kNtaclName) && ReadOwnXattr(path, kNtaclName, &value) &&
      DecodeNtacl(value, out))
    return 0;
  Parsed p;
  if (names.Has(kSecurityName) && ReadOwnXattr(path, kSecurityName, out) &&
      Parse(out->data(), out->size(), &p)) {
    out->resize(p.size);
    return 0;
  }
  struct stat st;
  if (fd != -1 ? fstatat(fd, "", &st, AT_EMPTY_PATH) != 0 : !LookAt(path, &st))
    return fd != -1 ? CodeFromErrno(errno) : CodeForPath(errno, path);
  PosixAcl access, defaults;
  ReadPosixAcl(path, names, kAccessAclName, &access);
  if (S_ISDIR(st.st_mode)) ReadPosixAcl(path, names, kDefaultAclName, &defaults);
  *out = DescriptorFromPosix(st.st_uid, st.st_gid, st.st_mode, access, defaults);
  return 0;
}

}  // namespace

namespace kvposix {

DWORD DescriptorOf(const std::string& path, std::vector<uint8_t>* out) {
  return DescriptorFrom(path, -1, out);
}

DWORD HandleDescriptorOf(const Handle& handle, std::vector<uint8_t>* out) {
  // An O_PATH descriptor takes no fgetxattr: its attributes are read
  // through its FdPath name.
  return DescriptorFrom(FdPath(handle.fd), handle.fd, out);
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
