// SPDX-License-Identifier: GPL-2.0-or-later
#include "win_layer.h"

#include "common/archive_constants.h"

#if defined(_WIN32)
#include <windows.h>
#else
// The command's own copy of the platform layer (kvlayer).
#include "kvwin32.h"
#endif

namespace kvwin {

namespace {
// A descriptor that keeps growing between the size query and the read
// would loop for ever; a few rounds are plenty.
const int kDescriptorAttempts = 4;
// Bytes of the buffer a descriptor is first read into.
const size_t kFirstDescriptorRead = 4096;

LPCWSTR Wide(const std::u16string& s) {
  return reinterpret_cast<LPCWSTR>(s.c_str());
}
}  // namespace

bool ReadDescriptor(const DescriptorReader& read, std::vector<BYTE>* descriptor,
                    DWORD* error) {
  // The first read goes into a buffer that holds any descriptor a file
  // commonly has, and the descriptor is then cut to the length the read
  // gave; a larger one is read again at that length, and one that grows
  // in between is asked for again.
  descriptor->assign(kFirstDescriptorRead, 0);
  for (int attempt = 0; attempt < kDescriptorAttempts; ++attempt) {
    DWORD needed = 0;
    const DWORD code = read(descriptor->data(),
                            static_cast<DWORD>(descriptor->size()), &needed);
    if (code == 0) {
      if (needed != 0 && needed < descriptor->size())
        descriptor->resize(needed);
      return true;
    }
    if (code != ERROR_INSUFFICIENT_BUFFER || needed == 0) {
      *error = code;
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

bool ReadItemData(const std::u16string& path, WIN32_FILE_ATTRIBUTE_DATA* data,
                  DWORD* error) {
  if (GetFileAttributesExW(Wide(path), GetFileExInfoStandard, data)) return true;
  *error = GetLastError();
  return false;
}

FILETIME LocalTimeToUtc(const FILETIME& local) {
  FILETIME utc;
  return LocalFileTimeToFileTime(&local, &utc) ? utc : local;
}

}  // namespace kvwin
