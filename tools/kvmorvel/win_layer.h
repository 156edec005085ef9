// SPDX-License-Identifier: GPL-2.0-or-later
// The command's few calls into the Windows API. On Linux they are served by
// the platform layer that libKvMorvelM64 exports; on Windows by the system.
// Everything Windows-facing of the command is in win_layer.cc.
#ifndef KVMORVEL_TOOL_WIN_LAYER_H
#define KVMORVEL_TOOL_WIN_LAYER_H

#include <string>
#include <vector>

#include "KvMorvelTypes.h"

namespace kvwin {

// Attributes, times and size of `path`, not following a final link.
// On failure returns false with the Windows code in *error.
bool GetAttributeData(const std::u16string& path,
                      WIN32_FILE_ATTRIBUTE_DATA* data, DWORD* error);

// The self-relative security descriptor of `path` with owner, group, DACL
// and SACL (security information 15).
bool GetSecurityDescriptor(const std::u16string& path,
                           std::vector<BYTE>* descriptor, DWORD* error);

// Which file a path names: the volume serial number and the file index
// that GetFileInformationByHandle reports. Equal identities mean one
// file, however the two paths were spelled ("./", "..", "//", links).
struct FileIdentity {
  DWORD volume = 0;
  DWORD indexHigh = 0;
  DWORD indexLow = 0;
  uint64_t Index() const {
    return (static_cast<uint64_t>(indexHigh) << 32) | indexLow;
  }
  bool operator==(const FileIdentity& other) const {
    return volume == other.volume && indexHigh == other.indexHigh &&
           indexLow == other.indexLow;
  }
};

// The identity of the file at `path`, following a link at the end. The
// file is opened for no access at all, so no share mode refuses it.
bool GetFileIdentity(const std::u16string& path, FileIdentity* identity,
                     DWORD* error);

DWORD LastError();
void ClearLastError();

}  // namespace kvwin

#endif  // KVMORVEL_TOOL_WIN_LAYER_H
