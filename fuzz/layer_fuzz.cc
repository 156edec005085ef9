// Fuzz targets for the layer's decoders of stored metadata, reached
// through its Win32 API as the core reaches them: the input is written
// as the extended attribute the layer keeps (or handed to the setter
// that parses it), and the layer's calls read it back.
//   dosattrib   user.DOSATTRIB on a file and a folder, read by
//               GetFileAttributesExW and FindFirstFileW.
//   descriptor  user.kvmorvel.security, read by GetFileSecurityW and
//               GetSecurityInfo for every part selection; and the input
//               given to SetFileSecurityW.
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

namespace {

// SetFileSecurityW takes no length and may read up to 64 KiB of it.
const size_t kDescriptorReach = 0x10000;

const WCHAR* P(const std::u16string& s) {
  return reinterpret_cast<const WCHAR*>(s.c_str());
}

// An empty file and an empty folder in the target, each carrying `data`
// as the extended attribute `name`.
struct LayerFiles {
  explicit LayerFiles(FuzzScratch& s) : scratch(s) {}
  void Make(const char* name, const uint8_t* data, size_t size) {
    scratch.Write("target/f", nullptr, 0);
    mkdir(scratch.Path("target/d").c_str(), 0755);
    for (const char* each : paths)
      setxattr(scratch.Path(each).c_str(), name, data, size, 0);
  }
  FuzzScratch& scratch;
  const char* paths[2] = {"target/f", "target/d"};
};

HANDLE OpenWhole(const std::u16string& path, DWORD access) {
  return CreateFileW(P(path), access, FILE_SHARE_READ | FILE_SHARE_WRITE,
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
    GetFileSecurityW(P(path), info, out, sizeof(out), &needed);
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

}  // namespace

int FuzzDosAttrib(const uint8_t* data, size_t size) {
  FuzzScratch scratch;
  LayerFiles files(scratch);
  files.Make("user.DOSATTRIB", data, size);
  for (const char* each : files.paths) {
    WIN32_FILE_ATTRIBUTE_DATA info;
    GetFileAttributesExW(P(scratch.Wide(each)), GetFileExInfoStandard, &info);
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW(P(scratch.Wide(each)), &found);
    if (find != INVALID_HANDLE_VALUE) FindClose(find);
  }
  scratch.CheckNothingEscaped();
  return 0;
}

int FuzzDescriptor(const uint8_t* data, size_t size) {
  FuzzScratch scratch;
  LayerFiles files(scratch);
  files.Make("user.kvmorvel.security", data, size);
  for (const char* each : files.paths) ReadDescriptor(scratch.Wide(each));
  // The setter reads the descriptor from its offsets alone: the input sits
  // at the start of a zeroed buffer as large as it may reach.
  FuzzBytes padded(data, data + (size < kDescriptorReach ? size : kDescriptorReach));
  padded.resize(kDescriptorReach);
  for (const char* each : files.paths) {
    SetFileSecurityW(P(scratch.Wide(each)), 15, padded.data());
    ReadDescriptor(scratch.Wide(each));
  }
  scratch.CheckNothingEscaped();
  return 0;
}

int FuzzReparse(const uint8_t* data, size_t size) {
  FuzzScratch scratch;
  LayerFiles files(scratch);
  files.Make("user.kvmorvel.reparse", data, size);
  for (const char* each : files.paths) ReadReparse(scratch.Wide(each));
  for (const char* each : files.paths)
    removexattr(scratch.Path(each).c_str(), "user.kvmorvel.reparse");
  FuzzBytes buffer(data, data + size);
  for (const char* each : files.paths) {
    HANDLE h = OpenWhole(scratch.Wide(each), GENERIC_READ | GENERIC_WRITE);
    if (h == INVALID_HANDLE_VALUE) continue;
    DeviceIoControl(h, FSCTL_SET_REPARSE_POINT, buffer.data(),
                    static_cast<DWORD>(buffer.size()), nullptr, 0, nullptr,
                    nullptr);
    CloseHandle(h);
    ReadReparse(scratch.Wide(each));
  }
  scratch.CheckNothingEscaped();
  return 0;
}
