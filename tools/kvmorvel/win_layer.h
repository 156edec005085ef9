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

DWORD LastError();
void ClearLastError();

}  // namespace kvwin

#endif  // KVMORVEL_TOOL_WIN_LAYER_H
