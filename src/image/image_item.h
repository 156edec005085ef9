// SPDX-License-Identifier: GPL-2.0-or-later
// The walk of a mounted disk image: one node per directory level, linked
// from the deepest level up to the drive's root.
#ifndef KVMORVEL_IMAGE_IMAGE_ITEM_H
#define KVMORVEL_IMAGE_IMAGE_ITEM_H

#include "kvwin32.h"

struct _item {
  // The root node holds the drive string ("X:\"); every other node the
  // name of its own directory (one path component).
  WCHAR name[260];
  // The directory entry at which this level's search stands.
  WIN32_FIND_DATAW data;
  // The open search of this level; INVALID_HANDLE_VALUE once exhausted.
  HANDLE find;
  // One level up; null for the root node.
  _item* parent;
};

// Every path the image members build or pass holds at most this many
// characters, the terminator included.
const DWORD kImagePathChars = 260;

// Writes `dir`, a "\" unless `dir` is empty or already ends with a
// separator, and `name` into `out` of `capacity` characters. Returns
// FALSE, with `out` emptied, when the joined path does not fit.
BOOL JoinImagePath(WCHAR* out, DWORD capacity, LPCWSTR dir, LPCWSTR name);

// Whether `name` is "." or "..".
BOOL IsDotName(LPCWSTR name);

// Whether an entry name (compared whole, ignoring case) is one of the
// system files never copied out of an image.
BOOL IsNeverCopiedName(LPCWSTR entryName);

// Whether an entry name is the root's "System Volume Information", whose
// contents the walk does not enter.
BOOL IsVolumeInformationName(LPCWSTR entryName);

#endif  // KVMORVEL_IMAGE_IMAGE_ITEM_H
