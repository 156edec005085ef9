// SPDX-License-Identifier: GPL-2.0-or-later
// The command's few calls into the Windows API. On Windows they are served
// by the system; on Linux by the command's own copy of the Win32 layer
// (the static kvlayer library), since libKvMorvelM64 exports only its
// public classes. Everything Windows-facing of the command is in
// win_layer.cc.
//
// That copy keeps its own handle table, share records and last-error
// slot, apart from the library's. They never meet: every handle made here
// is closed before the call returns and never reaches the library, the
// library's handles never leave it, and the codes the library's calls
// leave are read through CKvMorvelHost::GetSystemError, not here. These
// calls only read (attributes, descriptors, identities; the identity's
// open asks for no access and shares everything), so no share record of
// one copy could be needed by the other.
#ifndef KVMORVEL_TOOL_WIN_LAYER_H
#define KVMORVEL_TOOL_WIN_LAYER_H

#include <functional>
#include <string>
#include <vector>

#include "KvMorvelTypes.h"

namespace kvwin {

// A descriptor read by `read` (0 or the failure's code; 122 with the size
// needed in its third argument when the buffer is short): read into a
// buffer that holds any common descriptor, cut to the length read, read
// again at the size asked for when larger.
typedef std::function<DWORD(BYTE* buffer, DWORD capacity, DWORD* needed)>
    DescriptorReader;
bool ReadDescriptor(const DescriptorReader& read, std::vector<BYTE>* descriptor,
                    DWORD* error);

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

// What GetFileAttributesExW reads of the item at `path` (its attributes,
// times and size), a link at the end not followed; false with the code.
bool ReadItemData(const std::u16string& path, WIN32_FILE_ATTRIBUTE_DATA* data,
                  DWORD* error);

// A time version 1 stored as local time, in UTC as its restore sets it
// (LocalFileTimeToFileTime); as stored when it cannot be converted.
FILETIME LocalTimeToUtc(const FILETIME& local);

}  // namespace kvwin

#endif  // KVMORVEL_TOOL_WIN_LAYER_H
