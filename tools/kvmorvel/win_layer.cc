#include "win_layer.h"

#include "common/archive_constants.h"

#if defined(_WIN32)
#include <windows.h>
#else
// The platform layer's own declarations; libKvMorvelM64 exports them.
#include "kvwin32.h"
#endif

namespace kvwin {

namespace {
// A descriptor that keeps growing between the size query and the read
// would loop for ever; a few rounds are plenty.
const int kDescriptorAttempts = 4;

LPCWSTR Wide(const std::u16string& s) {
  return reinterpret_cast<LPCWSTR>(s.c_str());
}
}  // namespace

bool GetAttributeData(const std::u16string& path,
                      WIN32_FILE_ATTRIBUTE_DATA* data, DWORD* error) {
  if (GetFileAttributesExW(Wide(path), GetFileExInfoStandard, data))
    return true;
  *error = GetLastError();
  return false;
}

bool GetSecurityDescriptor(const std::u16string& path,
                           std::vector<BYTE>* descriptor, DWORD* error) {
  // Ask for the size first, then read into a buffer of exactly that size;
  // a descriptor that grows in between is asked for again.
  descriptor->clear();
  for (int attempt = 0; attempt < kDescriptorAttempts; ++attempt) {
    DWORD needed = 0;
    BYTE* buffer = descriptor->empty() ? nullptr : descriptor->data();
    if (GetFileSecurityW(Wide(path), kAllSecurityInformation, buffer,
                         static_cast<DWORD>(descriptor->size()), &needed) &&
        buffer) {
      return true;
    }
    const DWORD code = GetLastError();
    if (code != ERROR_INSUFFICIENT_BUFFER || needed == 0) {
      *error = code == 0 ? ERROR_INSUFFICIENT_BUFFER : code;
      descriptor->clear();
      return false;
    }
    descriptor->assign(needed, 0);
  }
  *error = ERROR_INSUFFICIENT_BUFFER;
  descriptor->clear();
  return false;
}

bool GetFileIdentity(const std::u16string& path, FileIdentity* identity,
                     DWORD* error) {
  HANDLE file = CreateFileW(
      Wide(path), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    *error = GetLastError();
    return false;
  }
  BY_HANDLE_FILE_INFORMATION info;
  const bool known = GetFileInformationByHandle(file, &info) != 0;
  if (!known) *error = GetLastError();
  CloseHandle(file);
  if (!known) return false;
  identity->volume = info.dwVolumeSerialNumber;
  identity->indexHigh = info.nFileIndexHigh;
  identity->indexLow = info.nFileIndexLow;
  return true;
}

DWORD LastError() { return GetLastError(); }
void ClearLastError() { SetLastError(0); }

}  // namespace kvwin
