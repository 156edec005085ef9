#include "win_layer.h"

#if defined(_WIN32)
#include <windows.h>
#else
// The subset of the platform layer (src/platform/kvwin32.h) the command
// calls, declared as the layer defines it; libKvMorvelM64 exports them.
typedef DWORD SECURITY_INFORMATION;
typedef void* PSECURITY_DESCRIPTOR;
typedef enum _GET_FILEEX_INFO_LEVELS {
  GetFileExInfoStandard,
  GetFileExMaxInfoLevel
} GET_FILEEX_INFO_LEVELS;
BOOL GetFileAttributesExW(LPCWSTR path, GET_FILEEX_INFO_LEVELS level,
                          LPVOID info);
BOOL GetFileSecurityW(LPCWSTR path, SECURITY_INFORMATION info,
                      PSECURITY_DESCRIPTOR descriptor, DWORD capacity,
                      LPDWORD needed);
DWORD GetLastError();
void SetLastError(DWORD code);
#define ERROR_INSUFFICIENT_BUFFER 122u
#endif

namespace kvwin {

namespace {
// Owner, group, DACL and SACL.
const DWORD kAllSecurityInformation = 0xF;
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

DWORD LastError() { return GetLastError(); }
void ClearLastError() { SetLastError(0); }

}  // namespace kvwin
