// SPDX-License-Identifier: GPL-2.0-or-later
// Fuzz targets for the layer's decoders of stored metadata, reached
// through its Win32 API as the core reaches them: the input is written
// as the extended attribute the layer keeps (or handed to the setter
// that parses it), and the layer's calls read it back.
//   dosattrib   user.DOSATTRIB on a file and a folder, read by
//               GetFileAttributesExW and FindFirstFileW.
//   descriptor  user.kvmorvel.security, read by GetFileSecurityW and
//               GetSecurityInfo for every part selection; and the input
//               given to SetFileSecurityW.
//   ntacl       Samba's security.NTACL (written only when run as root),
//               read by GetFileSecurityW and GetSecurityInfo; and the
//               blob decoder itself: what decodes must encode and decode
//               back to the same descriptor, and its DACL must map to an
//               access ACL the kernel would take.
//   posix_acl   system.posix_acl_access (the kernel stores only
//               well-formed ones), read as a descriptor; and the value
//               decoder itself, which must give back what it decoded.
//   reparse     user.kvmorvel.reparse, read by FSCTL_GET_REPARSE_POINT;
//               and the input given to FSCTL_SET_REPARSE_POINT on an empty
//               file and an empty folder, read back the same way.
// Every file lives in the scratch target; nothing outside may change.
#include <sys/stat.h>
#include <sys/xattr.h>

#include <cstdlib>
#include <cstring>

#include "fuzz/fuzz_support.h"
#include "kvwin32.h"
#include "posix/descriptor.h"

namespace {

// SetFileSecurityW takes no length and may read up to 64 KiB of it.
const size_t kDescriptorReach = 0x10000;

HANDLE OpenWhole(const std::u16string& path, DWORD access) {
  return CreateFileW(AsWideChars(path), access, FILE_SHARE_READ | FILE_SHARE_WRITE,
                     nullptr, OPEN_EXISTING,
                     FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
                     nullptr);
}

void ReadReparse(const std::u16string& path) {
  HANDLE h = OpenWhole(path, GENERIC_READ);
  if (h == INVALID_HANDLE_VALUE) return;
  static uint8_t out[MAXIMUM_REPARSE_DATA_BUFFER_SIZE];
  DWORD got = 0;
  DeviceIoControl(h, FSCTL_GET_REPARSE_POINT, nullptr, 0, out, sizeof(out),
                  &got, nullptr);
  DeviceIoControl(h, FSCTL_GET_REPARSE_POINT, nullptr, 0, out, 8, &got,
                  nullptr);
  CloseHandle(h);
}

void ReadDescriptor(const std::u16string& path) {
  static uint8_t out[kDescriptorReach];
  for (SECURITY_INFORMATION info = 0; info < 16; ++info) {
    DWORD needed = 0;
    GetFileSecurityW(AsWideChars(path), info, out, sizeof(out), &needed);
  }
  HANDLE h = OpenWhole(path, GENERIC_READ);
  if (h == INVALID_HANDLE_VALUE) return;
  PSECURITY_DESCRIPTOR sd = nullptr;
  PSID owner = nullptr, group = nullptr;
  PACL dacl = nullptr, sacl = nullptr;
  if (GetSecurityInfo(h, SE_FILE_OBJECT, 15, &owner, &group, &dacl, &sacl,
                      &sd) == ERROR_SUCCESS)
    LocalFree(sd);
  CloseHandle(h);
}

void ReadAttributes(const std::u16string& path) {
  WIN32_FILE_ATTRIBUTE_DATA info;
  GetFileAttributesExW(AsWideChars(path), GetFileExInfoStandard, &info);
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW(AsWideChars(path), &found);
  if (find != INVALID_HANDLE_VALUE) FindClose(find);
}

// SetFileSecurityW takes no length: the input sits at the start of a
// zeroed buffer as large as the setter may reach.
void SetDescriptor(const std::u16string& path, const uint8_t* data, size_t size) {
  FuzzBytes padded(data, data + (size < kDescriptorReach ? size : kDescriptorReach));
  padded.resize(kDescriptorReach);
  SetFileSecurityW(AsWideChars(path), 15, padded.data());
}

void SetReparse(const std::u16string& path, const uint8_t* data, size_t size) {
  HANDLE h = OpenWhole(path, GENERIC_READ | GENERIC_WRITE);
  if (h == INVALID_HANDLE_VALUE) return;
  FuzzBytes buffer(data, data + size);
  DeviceIoControl(h, FSCTL_SET_REPARSE_POINT, buffer.data(),
                  static_cast<DWORD>(buffer.size()), nullptr, 0, nullptr, nullptr);
  CloseHandle(h);
}

// On an empty file and an empty folder in the target: stores the input
// as the extended attribute `name` and reads it back with `read`; then,
// with the attribute gone, hands the input to `set` (when there is one)
// and reads again.
int RunDecoder(const uint8_t* data, size_t size, const char* name,
               void (*read)(const std::u16string&),
               void (*set)(const std::u16string&, const uint8_t*, size_t)) {
  FuzzScratch scratch;
  const char* const paths[] = {"target/f", "target/d"};
  scratch.Write(paths[0], nullptr, 0);
  mkdir(scratch.Path(paths[1]).c_str(), 0755);
  for (const char* each : paths) {
    setxattr(scratch.Path(each).c_str(), name, data, size, 0);
    read(scratch.Wide(each));
  }
  for (const char* each : paths) {
    if (!set) break;
    removexattr(scratch.Path(each).c_str(), name);
    set(scratch.Wide(each), data, size);
    read(scratch.Wide(each));
  }
  scratch.CheckNothingEscaped();
  return 0;
}

// The access ACLs a descriptor maps to must be ones the kernel takes:
// each decodes back as written.
void CheckLocalAccess(const kvposix::ByteVector& sd) {
  kvposix::Parsed p;
  if (!kvposix::Parse(sd.data(), sd.size(), &p)) abort();
  for (bool withAcl : {false, true}) {
    const kvposix::LocalAccess access = kvposix::AccessFromDacl(p, 1000, 1000, withAcl);
    if (access.mode > 0777) abort();
    if (access.acl.empty()) continue;
    kvposix::PosixAcl back;
    if (!kvposix::DecodePosixAcl(kvposix::EncodePosixAcl(access.acl), &back)) abort();
  }
  const kvposix::PosixAcl defaults = kvposix::DefaultsFromDacl(p);
  kvposix::PosixAcl back;
  if (!defaults.empty() && !kvposix::DecodePosixAcl(kvposix::EncodePosixAcl(defaults), &back))
    abort();
}

void DecodeNtaclDirectly(const uint8_t* data, size_t size) {
  kvposix::ByteVector sd, again;
  if (!kvposix::DecodeNtacl(kvposix::ByteVector(data, data + size), &sd)) return;
  kvposix::Parsed p;
  if (!kvposix::Parse(sd.data(), sd.size(), &p)) abort();
  if (!kvposix::DecodeNtacl(kvposix::EncodeNtacl(p), &again) || again != sd) abort();
  CheckLocalAccess(sd);
}

bool SameEntries(const kvposix::PosixAcl& a, const kvposix::PosixAcl& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    const bool named = a[i].tag == kvposix::kUser || a[i].tag == kvposix::kGroup;
    if (a[i].tag != b[i].tag || a[i].perm != b[i].perm || (named && a[i].id != b[i].id))
      return false;
  }
  return true;
}

void DecodePosixAclDirectly(const uint8_t* data, size_t size) {
  kvposix::PosixAcl acl, again;
  if (!kvposix::DecodePosixAcl(kvposix::ByteVector(data, data + size), &acl)) return;
  if (!kvposix::DecodePosixAcl(kvposix::EncodePosixAcl(acl), &again) || !SameEntries(acl, again))
    abort();
  CheckLocalAccess(kvposix::DescriptorFromPosix(1000, 1000, 0640, acl, acl));
}

}  // namespace

int FuzzDosAttrib(const uint8_t* data, size_t size) {
  return RunDecoder(data, size, "user.DOSATTRIB", ReadAttributes, nullptr);
}

int FuzzDescriptor(const uint8_t* data, size_t size) {
  return RunDecoder(data, size, "user.kvmorvel.security", ReadDescriptor,
                    SetDescriptor);
}

int FuzzNtacl(const uint8_t* data, size_t size) {
  DecodeNtaclDirectly(data, size);
  return RunDecoder(data, size, "security.NTACL", ReadDescriptor, nullptr);
}

int FuzzPosixAcl(const uint8_t* data, size_t size) {
  DecodePosixAclDirectly(data, size);
  return RunDecoder(data, size, "system.posix_acl_access", ReadDescriptor, nullptr);
}

int FuzzReparse(const uint8_t* data, size_t size) {
  return RunDecoder(data, size, "user.kvmorvel.reparse", ReadReparse, SetReparse);
}
