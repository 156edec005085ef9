// SPDX-License-Identifier: GPL-2.0-or-later
// Packing a folder into a disk image file: the 8 bytes "!XSSXSS!"
// followed by the container that holds the folder's tree.
#ifndef KVMORVEL_TOOLS_VIRTDISK_IMAGE_PACK_H
#define KVMORVEL_TOOLS_VIRTDISK_IMAGE_PACK_H

#include <string>

// Writes `folder` and everything below it into `image`. Returns 0 on
// success, or a Windows error code with a readable reason in *error.
unsigned KvPackImage(const std::string& folder, const std::string& image,
                     std::string* error);

#endif  // KVMORVEL_TOOLS_VIRTDISK_IMAGE_PACK_H
