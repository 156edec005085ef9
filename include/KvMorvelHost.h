// SPDX-License-Identifier: GPL-2.0-or-later
// KvMorvelM64: what the library knows of the files around an archive,
// for a host that looks at them beside the archive object (a command
// that reports the size of a split archive, checks a restore target, or
// packs disk images). Each answer comes from the code the archive object
// itself uses, so a host never keeps a second copy of these rules.
//
// Every member is static and keeps no state.
#ifndef KVMORVEL_HOST_H
#define KVMORVEL_HOST_H

#include "KvMorvelTypes.h"

class KVMORVEL_API CKvMorvelHost {
 public:
  // The name of part file `part` (1, 2, ...) of the version 5 archive
  // whose main file is `archive`, as the archive object names it: the
  // number, "_" and at least four digits, goes before the last "." of the
  // whole path, or after the path when it has none. FALSE, with the
  // buffer emptied, when the name does not fit `capacity` characters
  // (terminator included) or the library's limit on part names; a name
  // is never cut. FALSE also for a null `archive`, `buffer` or capacity 0.
  static BOOL GetPartFileName(LPCWSTR archive, DWORD part, WCHAR* buffer,
                              DWORD capacity);

  // The name of the manifest CKvMorvel::BeginManifest keeps beside the
  // archive whose main file is `archive`: the whole path and ".sha256".
  // FALSE, with the buffer emptied, when it does not fit `capacity`
  // characters (terminator included) or 260; FALSE also for a null
  // `archive`, `buffer` or capacity 0.
  static BOOL GetManifestFileName(LPCWSTR archive, WCHAR* buffer,
                                  DWORD capacity);

  // The SHA-256 of the whole file at `path` (read, never written),
  // copied as 32 bytes into `digest` when `capacity` holds them. FALSE
  // for a null argument or a capacity below 32 (GetSystemError 87), or
  // when the file cannot be opened or read (GetSystemError gives the
  // code: 2 missing, 5 denied, ...).
  static BOOL GetFileSha256(LPCWSTR path, BYTE* digest, DWORD capacity);

  // Whether ExtractFile would restore an entry of this name below its
  // target: not empty, not rooted, no drive letter, and no component
  // ("\" and "/" both separate) that is empty or only dots and spaces
  // (".", "..", "...", " "). Trailing separators are allowed. On Windows
  // also no component that names a device (CON, PRN, AUX, NUL, COM1-COM9,
  // LPT1-LPT9, CONIN$, CONOUT$, in any case, with any extension or
  // trailing dots and spaces: "aux.txt", "sub\nul.log"); the Linux build
  // keeps those as ordinary names.
  static BOOL IsContainedName(LPCWSTR name);

  // The bytes that open a disk image (Open reads such a file as
  // version 3). Copies them into `buffer` when `capacity` holds them all
  // and returns their number; returns the number needed, copying
  // nothing, when it does not.
  static DWORD GetImageSignature(BYTE* buffer, DWORD capacity);

  // The system's code the last failing call inside the library left on
  // the calling thread, for the operations that report a failure without
  // a code in the archive object's error holder (version 1 adds and
  // restores). On Windows it is the thread's GetLastError; on Linux the
  // library's own, which a host's calls into the system never change.
  static DWORD GetSystemError();
  // Sets that code to 0, before an operation whose code is then read.
  static void ClearSystemError();

  // Opens the item at `path` once, for CKvMorvel::AddOpenedFile: a final
  // link as the link itself (never followed), a folder as the folder, a
  // file for reading its data (shared for reading only). Fills `data`
  // with the attributes, times and size of what was opened and `volume`
  // and `fileIndex` with its identity (Linux: the device and the inode),
  // all read through the handle, so a host can check the handle holds
  // the item it listed before anything is read. Returns the handle (close
  // it with CloseSource), or null with GetSystemError's code (2 missing,
  // 5 denied, 222 a pipe or device). Any argument but `path` may be
  // null. On Linux the handle belongs to the library's own Win32 layer;
  // on Windows it is an ordinary file handle.
  static HANDLE OpenSource(LPCWSTR path, WIN32_FILE_ATTRIBUTE_DATA* data,
                           DWORD* volume, ULONGLONG* fileIndex);
  // The self-relative security descriptor (owner, group, DACL, and the
  // SACL where the handle allows it) of what `source` holds, read through
  // the handle into `buffer`; FALSE
  // with 122 and the size in `*needed` when `capacity` is too small, or
  // FALSE with the read's code (GetSystemError).
  static BOOL GetSourceDescriptor(HANDLE source, BYTE* buffer,
                                  DWORD capacity, DWORD* needed);
  // Closes a handle OpenSource gave. FALSE with 6 for any other.
  static BOOL CloseSource(HANDLE source);
};

#endif  // KVMORVEL_HOST_H
