// SPDX-License-Identifier: GPL-2.0-or-later
// Unpacking a disk image's tree into a folder.
#ifndef KVMORVEL_TOOLS_VIRTDISK_IMAGE_UNPACK_H
#define KVMORVEL_TOOLS_VIRTDISK_IMAGE_UNPACK_H

#include <string>

#include "kvwin32.h"

// Reads the image from `image` (positioned at its start) and writes its
// tree below `folder`, an existing empty folder given as an absolute path
// without symbolic links. Returns 0, or a Windows code with a reason in
// *error: 13 when the file is not an image, is truncated or corrupt, or
// holds an entry that would land outside `folder` (an absolute name, a
// ".." component, a name holding "\", a hard link, a path through a
// symbolic link, a name given twice, a device or pipe); 112 when the
// disk is full; 29 for other write failures; 8 out of memory. After a
// failure `folder` may hold part of the tree: the caller removes it.
unsigned KvUnpackImage(HANDLE image, const std::string& folder,
                       std::string* error);

#endif  // KVMORVEL_TOOLS_VIRTDISK_IMAGE_UNPACK_H
