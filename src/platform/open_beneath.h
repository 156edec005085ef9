// SPDX-License-Identifier: GPL-2.0-or-later
// Opening one name inside an open folder, the one place the core asks
// the native relative open (NtCreateFile with a root folder handle) for
// it, on Windows and through the layer alike.
#ifndef KVMORVEL_PLATFORM_OPEN_BENEATH_H
#define KVMORVEL_PLATFORM_OPEN_BENEATH_H

#include <cstddef>

#include "kvwin32.h"

// What the name is to be: a folder, or anything but a folder.
enum class BeneathKind { kFolder, kFile };

// Opens or creates `name` (`length` characters, one name: no separator,
// not "." or "..") in the folder open as `folder`. `disposition` is
// FILE_OPEN, FILE_CREATE or FILE_OPEN_IF. A link at the name is never
// followed: it is opened as itself (IsLinkHandle tells), and FILE_CREATE
// finds it as something already there. Nothing above `folder` is looked
// up again, so a name changed there meanwhile cannot move the open
// elsewhere. Returns 0 with `*out` set, or the Win32 code: 183 something
// is at the name (FILE_CREATE), 2 nothing is (FILE_OPEN), 267 a file
// where a folder was asked, 5 a folder where a file was asked or access
// denied, 123 not one name, 6 `folder` is no open folder, 32, 112, 206.
// `created` (optional) tells whether the object was made by this call.
DWORD OpenBeneath(HANDLE folder, const WCHAR* name, size_t length,
                  DWORD access, DWORD share, DWORD disposition,
                  BeneathKind kind, HANDLE* out, bool* created = nullptr);

// Whether the open `handle` is a link (a reparse point) opened as itself.
// A failed query counts as one: nothing is then written through it.
bool IsLinkHandle(HANDLE handle);

#endif  // KVMORVEL_PLATFORM_OPEN_BENEATH_H
