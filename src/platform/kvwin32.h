// SPDX-License-Identifier: GPL-2.0-or-later
// The one seam between the library and the operating system.
//
// The core (archive, formats, restore, image) calls the Win32 API and
// includes nothing but this header for it. On Windows the header pulls in
// the real system headers. Elsewhere it declares the subset of Win32 the
// core uses, implemented over POSIX in src/platform/posix; docs/win32-layer.md
// explains how paths, drive letters, attributes, times, short names,
// security descriptors and reparse points are mapped.
//
// Each function below documents the GetLastError() codes its failures leave.
// Where the POSIX layer passes on a system error it maps errno through one
// table (posix/errors.cc), "the errno mapping" below: EACCES, EPERM and
// EISDIR 5, ENOENT 2 (3 when the folder holding the name is missing),
// ENOTDIR 3, EEXIST 80, ENOSPC and EDQUOT 112, EROFS 19, ENAMETOOLONG 206,
// ELOOP 1921, ENOTEMPTY 145, EBADF 6, EINVAL 87, EMFILE and ENFILE 4,
// ETXTBSY 32, EFBIG 223, EIO 1117, ENOMEM 8, EILSEQ 123, any other errno
// 31. Every call taking a path fails first with the codes of the path's
// conversion: 87 null, 123 bad name, 206 too long, 3 empty path, unknown
// drive letter or network path. Successful calls do not reset the last
// error unless stated.
#ifndef KVMORVEL_PLATFORM_KVWIN32_H
#define KVMORVEL_PLATFORM_KVWIN32_H

#include "KvMorvelTypes.h"

#include <cstdarg>
#include <cstddef>
#include <cstdint>

#if defined(_WIN32)

#include <aclapi.h>
#include <shlobj.h>
#include <shlwapi.h>
#include <winioctl.h>
#include <winternl.h>

#else  // POSIX: the subset the core calls.

typedef void* HMODULE;
typedef void* HLOCAL;
typedef void* HWND;
typedef void* PSID;
typedef void* PACL;
typedef void* PSECURITY_DESCRIPTOR;
typedef DWORD SECURITY_INFORMATION;
typedef intptr_t (*FARPROC)();
typedef BYTE BOOLEAN;

typedef union _LARGE_INTEGER {
  struct {
    DWORD LowPart;
    LONG HighPart;
  } u;
  LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef union _ULARGE_INTEGER {
  struct {
    DWORD LowPart;
    DWORD HighPart;
  } u;
  ULONGLONG QuadPart;
} ULARGE_INTEGER, *PULARGE_INTEGER;

typedef struct _SECURITY_ATTRIBUTES {
  DWORD nLength;
  LPVOID lpSecurityDescriptor;
  BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

typedef struct _OVERLAPPED OVERLAPPED, *LPOVERLAPPED;  // always null here

// One range of a file (FSCTL_QUERY_ALLOCATED_RANGES: the range asked
// about on input, each range that holds data on output).
typedef struct _FILE_ALLOCATED_RANGE_BUFFER {
  LARGE_INTEGER FileOffset;
  LARGE_INTEGER Length;
} FILE_ALLOCATED_RANGE_BUFFER, *PFILE_ALLOCATED_RANGE_BUFFER;

typedef struct _WIN32_FIND_DATAW {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD dwReserved0;  // the reparse tag when the entry is a reparse point
  DWORD dwReserved1;
  WCHAR cFileName[260];
  WCHAR cAlternateFileName[14];
} WIN32_FIND_DATAW, *LPWIN32_FIND_DATAW;

typedef struct _BY_HANDLE_FILE_INFORMATION {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD dwVolumeSerialNumber;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD nNumberOfLinks;
  DWORD nFileIndexHigh;
  DWORD nFileIndexLow;
} BY_HANDLE_FILE_INFORMATION, *LPBY_HANDLE_FILE_INFORMATION;

// SetFileInformationByHandle: the basic (times and attributes) and the
// disposition classes are served.
typedef enum _FILE_INFO_BY_HANDLE_CLASS {
  FileBasicInfo = 0,
  FileDispositionInfo = 4
} FILE_INFO_BY_HANDLE_CLASS;
// Times of 0 are left as they are; attributes of 0 are left as they are.
typedef struct _FILE_BASIC_INFO {
  LARGE_INTEGER CreationTime;
  LARGE_INTEGER LastAccessTime;
  LARGE_INTEGER LastWriteTime;
  LARGE_INTEGER ChangeTime;
  DWORD FileAttributes;
} FILE_BASIC_INFO;
typedef struct _FILE_DISPOSITION_INFO {
  BOOLEAN DeleteFile;
} FILE_DISPOSITION_INFO;

typedef enum _GET_FILEEX_INFO_LEVELS {
  GetFileExInfoStandard,
  GetFileExMaxInfoLevel
} GET_FILEEX_INFO_LEVELS;

typedef enum _SE_OBJECT_TYPE {
  SE_UNKNOWN_OBJECT_TYPE = 0,
  SE_FILE_OBJECT = 1
} SE_OBJECT_TYPE;

#define MAX_PATH 260

#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)
#define INVALID_FILE_ATTRIBUTES ((DWORD)-1)
#define INVALID_SET_FILE_POINTER ((DWORD)-1)

// Access rights.
#define DELETE 0x00010000u
#define READ_CONTROL 0x00020000u
#define ACCESS_SYSTEM_SECURITY 0x01000000u
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define GENERIC_EXECUTE 0x20000000u
#define GENERIC_ALL 0x10000000u
#define FILE_READ_DATA 0x0001u
#define FILE_WRITE_DATA 0x0002u
#define FILE_APPEND_DATA 0x0004u
#define FILE_READ_ATTRIBUTES 0x0080u
#define FILE_WRITE_ATTRIBUTES 0x0100u

// Share modes.
#define FILE_SHARE_READ 0x1u
#define FILE_SHARE_WRITE 0x2u
#define FILE_SHARE_DELETE 0x4u

// Dispositions.
#define CREATE_NEW 1u
#define CREATE_ALWAYS 2u
#define OPEN_EXISTING 3u
#define OPEN_ALWAYS 4u
#define TRUNCATE_EXISTING 5u

// File attributes.
#define FILE_ATTRIBUTE_READONLY 0x1u
#define FILE_ATTRIBUTE_HIDDEN 0x2u
#define FILE_ATTRIBUTE_SYSTEM 0x4u
#define FILE_ATTRIBUTE_DIRECTORY 0x10u
#define FILE_ATTRIBUTE_ARCHIVE 0x20u
#define FILE_ATTRIBUTE_DEVICE 0x40u
#define FILE_ATTRIBUTE_NORMAL 0x80u
#define FILE_ATTRIBUTE_TEMPORARY 0x100u
#define FILE_ATTRIBUTE_SPARSE_FILE 0x200u
#define FILE_ATTRIBUTE_REPARSE_POINT 0x400u
#define FILE_ATTRIBUTE_COMPRESSED 0x800u
#define FILE_ATTRIBUTE_OFFLINE 0x1000u
#define FILE_ATTRIBUTE_NOT_CONTENT_INDEXED 0x2000u
#define FILE_ATTRIBUTE_ENCRYPTED 0x4000u

// Flags.
#define FILE_FLAG_BACKUP_SEMANTICS 0x02000000u
#define FILE_FLAG_OPEN_REPARSE_POINT 0x00200000u
#define FILE_FLAG_DELETE_ON_CLOSE 0x04000000u

// Seek origins.
#define FILE_BEGIN 0u
#define FILE_CURRENT 1u
#define FILE_END 2u

// Device controls.
#define FSCTL_SET_REPARSE_POINT 0x000900A4u
#define FSCTL_GET_REPARSE_POINT 0x000900A8u
#define FSCTL_SET_COMPRESSION 0x0009C040u
#define FSCTL_QUERY_ALLOCATED_RANGES 0x000940CFu
#define COMPRESSION_FORMAT_NONE 0
#define COMPRESSION_FORMAT_DEFAULT 1
#define IO_REPARSE_TAG_MOUNT_POINT 0xA0000003u
#define IO_REPARSE_TAG_SYMLINK 0xA000000Cu
#define SYMLINK_FLAG_RELATIVE 1u  // flags of a symbolic link buffer
#define MAXIMUM_REPARSE_DATA_BUFFER_SIZE 16384u

// File types (GetFileType).
#define FILE_TYPE_UNKNOWN 0u
#define FILE_TYPE_DISK 1u
#define FILE_TYPE_CHAR 2u
#define FILE_TYPE_PIPE 3u

// Drive types.
#define DRIVE_UNKNOWN 0u
#define DRIVE_NO_ROOT_DIR 1u
#define DRIVE_REMOVABLE 2u
#define DRIVE_FIXED 3u

// Security information.
#define OWNER_SECURITY_INFORMATION 0x1u
#define GROUP_SECURITY_INFORMATION 0x2u
#define DACL_SECURITY_INFORMATION 0x4u
#define SACL_SECURITY_INFORMATION 0x8u

// Code pages.
#define CP_ACP 0u
#define CP_UTF8 65001u

// Error codes.
#define ERROR_SUCCESS 0u
#define NO_ERROR 0u
#define ERROR_INVALID_FUNCTION 1u
#define ERROR_FILE_NOT_FOUND 2u
#define ERROR_PATH_NOT_FOUND 3u
#define ERROR_TOO_MANY_OPEN_FILES 4u
#define ERROR_ACCESS_DENIED 5u
#define ERROR_INVALID_HANDLE 6u
#define ERROR_NOT_ENOUGH_MEMORY 8u
#define ERROR_BAD_FORMAT 11u
#define ERROR_INVALID_DATA 13u
#define ERROR_OUTOFMEMORY 14u
#define ERROR_INVALID_DRIVE 15u
#define ERROR_NOT_SAME_DEVICE 17u
#define ERROR_NO_MORE_FILES 18u
#define ERROR_WRITE_PROTECT 19u
#define ERROR_NOT_READY 21u
#define ERROR_GEN_FAILURE 31u
#define ERROR_SHARING_VIOLATION 32u
#define ERROR_LOCK_VIOLATION 33u
#define ERROR_HANDLE_EOF 38u
#define ERROR_NOT_SUPPORTED 50u
#define ERROR_FILE_EXISTS 80u
#define ERROR_INVALID_PARAMETER 87u
#define ERROR_BROKEN_PIPE 109u
#define ERROR_BUFFER_OVERFLOW 111u
#define ERROR_DISK_FULL 112u
#define ERROR_CALL_NOT_IMPLEMENTED 120u
#define ERROR_INSUFFICIENT_BUFFER 122u
#define ERROR_INVALID_NAME 123u
#define ERROR_MOD_NOT_FOUND 126u
#define ERROR_PROC_NOT_FOUND 127u
#define ERROR_NEGATIVE_SEEK 131u
#define ERROR_SEEK_ON_DEVICE 132u
#define ERROR_DIR_NOT_EMPTY 145u
#define ERROR_BUSY 170u
#define ERROR_ALREADY_EXISTS 183u
#define ERROR_BAD_EXE_FORMAT 193u
#define ERROR_ENVVAR_NOT_FOUND 203u
#define ERROR_FILENAME_EXCED_RANGE 206u
#define ERROR_BAD_FILE_TYPE 222u
#define ERROR_FILE_TOO_LARGE 223u
#define ERROR_MORE_DATA 234u
#define ERROR_NO_MORE_ITEMS 259u
#define ERROR_DIRECTORY 267u
#define ERROR_NOT_OWNER 288u
#define ERROR_ARITHMETIC_OVERFLOW 534u
#define ERROR_OPERATION_ABORTED 995u
#define ERROR_CANCELLED 1223u
#define ERROR_NOACCESS 998u
#define ERROR_IO_DEVICE 1117u
#define ERROR_TOO_MANY_LINKS 1142u
#define ERROR_NOT_FOUND 1168u
#define ERROR_CANT_RESOLVE_FILENAME 1921u
#define ERROR_INTERNAL_ERROR 1359u
#define ERROR_PRIVILEGE_NOT_HELD 1314u
#define ERROR_INVALID_SECURITY_DESCR 1338u
#define ERROR_FILE_CORRUPT 1392u
#define ERROR_NOT_A_REPARSE_POINT 4390u
#define ERROR_REPARSE_ATTRIBUTE_CONFLICT 4391u
#define ERROR_INVALID_REPARSE_DATA 4392u
#define ERROR_REPARSE_TAG_INVALID 4393u
#define ERROR_REPARSE_TAG_MISMATCH 4394u
#define E_NOTIMPL 0x80004001u

#define WINAPI

// --- Errors -------------------------------------------------------------
DWORD GetLastError();
void SetLastError(DWORD code);

// --- Files --------------------------------------------------------------
// Opens or creates a file or (with FILE_FLAG_BACKUP_SEMANTICS) a folder.
// "\\.\X:" opens the root of drive X. With FILE_FLAG_OPEN_REPARSE_POINT a
// symbolic link itself is opened (for DeviceIoControl and times). With
// FILE_FLAG_DELETE_ON_CLOSE a file's name is removed once it is open, so
// the file lives as long as its handles and no longer. Share
// modes are enforced between the handles of this process. Failures: 2 no
// such file, 3 no such folder on the way or unknown drive, 5 access denied,
// a folder opened without backup semantics or a read-only file opened for
// writing, 32 sharing violation, 80 exists (CREATE_NEW), 87 bad
// disposition, 123 bad name, 206 path too long, 222 a device, pipe or
// socket (refused at once, never waited on). Success with OPEN_ALWAYS
// or CREATE_ALWAYS on an existing file leaves 183, otherwise 0.
HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD share,
                   LPSECURITY_ATTRIBUTES security, DWORD disposition,
                   DWORD flags, HANDLE templateFile);
// A short count means the end of the file. Failures: 6 bad handle,
// 5 handle not opened for reading, or the errno mapping.
BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read,
              LPOVERLAPPED overlapped);
// Failures: 6 bad handle, 5 not opened for writing, 112 disk full.
BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written,
               LPOVERLAPPED overlapped);
// Returns the new position's low half (high half through *high), or
// INVALID_SET_FILE_POINTER with 131 for a negative position, 6 bad handle.
DWORD SetFilePointer(HANDLE file, LONG distance, LONG* high, DWORD method);
// Failures: 6 bad handle, 87 bad method, 131 negative position, 1 a
// folder or link handle, else the errno mapping.
BOOL SetFilePointerEx(HANDLE file, LARGE_INTEGER distance,
                      PLARGE_INTEGER newPosition, DWORD method);
// The low half (high half through *high), with the last error set to 0;
// 0xFFFFFFFF with GetFileSizeEx's codes on failure.
DWORD GetFileSize(HANDLE file, LPDWORD high);
// Failures: 6 bad handle, 87 null size, else the errno mapping.
BOOL GetFileSizeEx(HANDLE file, PLARGE_INTEGER size);
// Writes the file's data out to the disk. Failures: 6 bad handle, 112
// disk full (or a fault switched on by a test), else the errno mapping.
BOOL FlushFileBuffers(HANDLE file);
// Makes the file's size its current position: cut there, or grown with
// zeros (a hole, no disk used, where the file system keeps holes).
// Failures: 6 bad handle, 5 not opened for writing, 112 disk full, else
// the errno mapping.
BOOL SetEndOfFile(HANDLE file);
// Closes a file, folder or link handle (not a find handle). Failures: 6
// for anything else, a handle closed already included.
BOOL CloseHandle(HANDLE handle);
// FILE_TYPE_DISK for a file or folder, FILE_TYPE_CHAR for a character
// device, FILE_TYPE_PIPE for a pipe or socket; FILE_TYPE_UNKNOWN with 6
// for a bad handle.
DWORD GetFileType(HANDLE file);
// Attributes, times, size, link count and identity of an open file,
// folder or link. The volume serial number and the file index together
// name the file: two handles with equal values are opened on one file,
// whatever paths they were opened by. Failures: 6 bad handle.
BOOL GetFileInformationByHandle(HANDLE file,
                                LPBY_HANDLE_FILE_INFORMATION info);
// The path of the object `file` holds, under the name it has now ("X:\..."
// in a mapped drive, else the POSIX path with '\'); `flags` must be 0.
// Returns its length, or the room needed (terminator included) when
// `capacity` is too small, or 0 with the code (6 bad handle).
DWORD GetFinalPathNameByHandleW(HANDLE file, LPWSTR path, DWORD capacity,
                                DWORD flags);
// With FileDispositionInfo and DeleteFile set: deletes the file opened as
// `file` (with DELETE access), found through the handle (under the name
// it has now), never by looking up the path it was opened by: only a
// name that names that very file goes.
// Windows deletes it when its last handle closes; here, as with
// FILE_FLAG_DELETE_ON_CLOSE, the name goes at once and the data with the
// last handle. Failures: 6 bad handle or not a file, 5 no DELETE access,
// 87 another class, a null or short `info`, 50 DeleteFile clear (a
// name gone cannot come back), 2 the file's name no longer names it.
// A link opened as itself (FILE_OPEN_REPARSE_POINT) goes the same way.
// With FileBasicInfo: sets the non-zero times and, when FileAttributes
// is not 0, the attributes of the object open as `file`, through the
// descriptor (never by its path). Failures: 6, 87 a short `info`, the
// errno mapping.
BOOL SetFileInformationByHandle(HANDLE file, FILE_INFO_BY_HANDLE_CLASS infoClass,
                                LPVOID info, DWORD size);
// Failures: 183 exists, 3 parent missing, 5 access denied.
BOOL CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES security);
// Removes an empty folder, or a link to a folder. Failures: 2, 3, 145 not
// empty, 267 not a folder, 32 open without FILE_SHARE_DELETE.
BOOL RemoveDirectoryW(LPCWSTR path);
// Deletes a file or a symbolic link. Failures: 2, 3, 5 (a folder or a
// read-only file), 32 open without FILE_SHARE_DELETE.
BOOL DeleteFileW(LPCWSTR path);
// Copies data, mode, attributes, times, short name and descriptor. With
// failIfExists and an existing target: 80; a read-only target: 5.
BOOL CopyFileW(LPCWSTR from, LPCWSTR to, BOOL failIfExists);
// Does not follow a symbolic link at the end of the path. Failures: 2, 3,
// 87 another level or null `info`, else the errno mapping.
BOOL GetFileAttributesExW(LPCWSTR path, GET_FILEEX_INFO_LEVELS level,
                          LPVOID info);
// INVALID_FILE_ATTRIBUTES with GetFileAttributesExW's codes.
DWORD GetFileAttributesW(LPCWSTR path);
// Read-only is the mode's write bits; the other bits are kept in the
// user.DOSATTRIB attribute. Failures: 2, 3, else the errno mapping (5
// when the file may not be changed by this process).
BOOL SetFileAttributesW(LPCWSTR path, DWORD attributes);
// Null times are left alone. Failures: 6 bad handle, else the errno
// mapping of the file's path (5 when another user owns it).
BOOL SetFileTime(HANDLE file, const FILETIME* creation,
                 const FILETIME* lastAccess, const FILETIME* lastWrite);
// Failures: 6 bad handle, else the errno mapping.
BOOL GetFileTime(HANDLE file, LPFILETIME creation, LPFILETIME lastAccess,
                 LPFILETIME lastWrite);
// Through the C library's time zone. Failures: 87 a null pointer.
BOOL LocalFileTimeToFileTime(const FILETIME* local, LPFILETIME utc);
BOOL FileTimeToLocalFileTime(const FILETIME* utc, LPFILETIME local);
void GetSystemTimeAsFileTime(LPFILETIME now);  // cannot fail
// Sets the 8.3 name of the file, folder or link the handle names; an
// empty name removes it. Failures: 87 not a valid 8.3 name, 6 bad handle.
BOOL SetFileShortNameW(HANDLE file, LPCWSTR shortName);
// The path with each name that has an 8.3 name replaced by it, in the
// form given (drive, prefix and separators kept). Returns its length, or
// when `capacity` does not hold it and its terminator, the size needed.
// Failures (0): 2, 3 a name is missing, 87 null, 123 bad name.
DWORD GetShortPathNameW(LPCWSTR longPath, LPWSTR shortPath, DWORD capacity);
// Lists a folder ("dir\*", "dir\*.*") or looks up one name. "." and ".."
// come first in a folder listing. Does not follow links. Failures: 2, 3,
// else the errno mapping of listing the folder (5 unreadable).
HANDLE FindFirstFileW(LPCWSTR pattern, LPWIN32_FIND_DATAW data);
// Ends with 18; 6 for a handle that is not a find handle, 87 null data.
BOOL FindNextFileW(HANDLE find, LPWIN32_FIND_DATAW data);
// Failures: 6 for anything but a live find handle.
BOOL FindClose(HANDLE find);
// FSCTL_GET_REPARSE_POINT, FSCTL_SET_REPARSE_POINT, FSCTL_SET_COMPRESSION,
// FSCTL_QUERY_ALLOCATED_RANGES (a file's data ranges within the
// FILE_ALLOCATED_RANGE_BUFFER given, in order, as an array of them; none
// past the end of the file; 234 with the ranges that fit when `out` holds
// fewer than there are, 122 when it holds not even one, 87 for a range
// that starts or ends below 0; over SEEK_DATA/SEEK_HOLE, so a file
// system without holes gives its whole length as one range).
// Setting a mount point or symbolic link buffer replaces the empty folder
// or file by a symbolic link. Failures: 4390 not a reparse point, 122
// output buffer too small, 4392 malformed input, 4393 bad tag, 145 folder
// not empty, 4391 file not empty, 267 mount point on a file, 1 unknown
// control code, 6 bad handle.
BOOL DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD inSize,
                     LPVOID out, DWORD outSize, LPDWORD returned,
                     LPOVERLAPPED overlapped);

// --- Volumes ------------------------------------------------------------
// statvfs of the path (the current folder when null); any of the three
// results may be null. Failures: the path's, else the errno mapping.
BOOL GetDiskFreeSpaceExW(LPCWSTR root, PULARGE_INTEGER freeToCaller,
                         PULARGE_INTEGER total, PULARGE_INTEGER totalFree);
// DRIVE_NO_ROOT_DIR (1) for a letter without a mapping.
UINT GetDriveTypeW(LPCWSTR root);
// The folder of drive letter links (one symbolic link "x:" per letter):
// KVMORVEL_DOSDEVICES when set and not empty, else
// "HOME/.kvmorvel/dosdevices" with HOME from the environment or, when it
// is unset or empty, the user's home from the password database. The
// layer resolves "X:\..." through it and the mount library maps letters
// in it. Copies the POSIX path with its terminator into `buffer` and
// returns its length; when `capacity` does not hold it, returns the size
// needed, terminator included, and writes nothing. Failures (0): 87 a
// null buffer with a capacity, 203 no folder (no home either way).
DWORD KvGetDosDevicesFolder(LPSTR buffer, DWORD capacity);

// --- Modules ------------------------------------------------------------
// Loads a shared object by its path (the Windows name, such as
// "C:\work\virtdisk.dll"), as given when the name holds a folder. A bare
// name is looked for in the folder of the running program, then the
// folder the layer was loaded from, then (last) the current folder; the
// first folder that holds it decides. Failures: 126 not found, 193 found
// but not loadable; GetProcAddress: 127.
HMODULE LoadLibraryW(LPCWSTR path);
// LoadLibraryW with search flags; `file` must be null. With
// LOAD_LIBRARY_SEARCH_DEFAULT_DIRS a bare name is looked for in the
// trusted folders only (the program's, the layer's private module folder,
// the layer's), never in the current folder; flags 0 search as
// LoadLibraryW does. Failures: those of LoadLibraryW, 87 for other flags
// or a file handle.
#define LOAD_LIBRARY_SEARCH_DEFAULT_DIRS 0x00001000u
HMODULE LoadLibraryExW(LPCWSTR path, HANDLE file, DWORD flags);
// Null with 6 for a null module or name, 127 for a name not exported.
FARPROC GetProcAddress(HMODULE module, LPCSTR name);
// Failures: 6 for a null module.
BOOL FreeLibrary(HMODULE module);

// --- Process ------------------------------------------------------------
// As GetEnvironmentVariableW counts; 0 with the errno mapping when the
// folder cannot be read (a folder removed since: 2).
DWORD GetCurrentDirectoryW(DWORD capacity, LPWSTR buffer);
// Failures: 3 no such folder or not a folder, else the errno mapping.
BOOL SetCurrentDirectoryW(LPCWSTR path);
// Returns the length without terminator, or the needed size with the
// terminator when the buffer is too small; 0 with 203 when unset.
DWORD GetEnvironmentVariableW(LPCWSTR name, LPWSTR buffer, DWORD capacity);
// A null value removes the variable. Failures: 87 a null or bad name,
// else the errno mapping (8).
BOOL SetEnvironmentVariableW(LPCWSTR name, LPCWSTR value);
// Milliseconds of a monotonic clock.
DWORD GetTickCount();
// True for a null pointer or a range that wraps around.
BOOL IsBadWritePtr(LPVOID pointer, uintptr_t size);

// --- Text ---------------------------------------------------------------
// CP_ACP and CP_UTF8 are both UTF-8 here. Unmappable characters (lone
// surrogates) become the default character. Both return the length
// written (or needed, with a 0 output length), counting the terminator
// when the input length is -1; 0 on failure with 87 (null input, a
// length of 0 or below -1, another code page), 122 (the output is too
// small), 534 (a result longer than an int counts).
int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wide, int wideLen,
                        LPSTR multi, int multiLen, LPCSTR defaultChar,
                        BOOL* usedDefault);
int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR multi,
                        int multiLen, LPWSTR wide, int wideLen);
int lstrlenW(LPCWSTR s);
LPWSTR lstrcpyW(LPWSTR to, LPCWSTR from);
LPWSTR lstrcpynW(LPWSTR to, LPCWSTR from, int capacity);
LPWSTR lstrcatW(LPWSTR to, LPCWSTR from);
int lstrcmpW(LPCWSTR a, LPCWSTR b);
int lstrcmpiW(LPCWSTR a, LPCWSTR b);
LPWSTR CharUpperW(LPWSTR s);  // whole string; ASCII and Latin-1 letters

// --- Security -----------------------------------------------------------
// Without a stored descriptor, builds one from the owner, group and mode
// (owner S-1-22-1-uid, group S-1-22-2-gid, DACL from the permission bits).
// A size query answers 122 with the needed size; a null `needed` gives 87.
BOOL GetFileSecurityW(LPCWSTR path, SECURITY_INFORMATION info,
                      PSECURITY_DESCRIPTOR descriptor, DWORD capacity,
                      LPDWORD needed);
// The same of what an open handle holds, read through the handle.
BOOL GetKernelObjectSecurity(HANDLE handle, SECURITY_INFORMATION info,
                             PSECURITY_DESCRIPTOR descriptor, DWORD capacity,
                             LPDWORD needed);
// Keeps the descriptor as given and applies its owner, group and DACL to
// the file where the process may. Failures: 1338 malformed descriptor,
// 87 null descriptor, 2, 3.
BOOL SetFileSecurityW(LPCWSTR path, SECURITY_INFORMATION info,
                      PSECURITY_DESCRIPTOR descriptor);
// Returns the whole self-relative descriptor in *descriptor (release with
// LocalFree); the four pointers into it may be null. Returns 0, 6 for a
// bad handle, 87 for another object type or a null descriptor.
DWORD GetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE type,
                      SECURITY_INFORMATION info, PSID* owner, PSID* group,
                      PACL* dacl, PACL* sacl, PSECURITY_DESCRIPTOR* descriptor);
// Frees what GetSecurityInfo returned; null is accepted. Returns null.
HLOCAL LocalFree(HLOCAL memory);

// --- Shell helpers ------------------------------------------------------
// Both edit the string in place and return whether it changed (or, for
// PathStripToRootW, whether a root was found); they set no code.
BOOL PathStripToRootW(LPWSTR path);
BOOL PathRemoveFileSpecW(LPWSTR path);
// FALSE with the errno mapping of the lookup (2, 3, 5); TRUE keeps the
// last error as it was.
BOOL PathFileExistsW(LPCWSTR path);
LPWSTR StrCpyW(LPWSTR to, LPCWSTR from);
// Creates a folder and every missing parent. Returns 0, or 183 when it
// exists, or the failing error code (3 when a part of the path is a file).
int SHCreateDirectory(HWND owner, LPCWSTR path);

// --- Locks ----------------------------------------------------------------
// A slim reader/writer lock, exclusive use only. Starts as SRWLOCK_INIT
// and, as on Windows, needs no destroying.
typedef struct _RTL_SRWLOCK {
  LPVOID Ptr;
} SRWLOCK, *PSRWLOCK;
#define SRWLOCK_INIT {nullptr}
void AcquireSRWLockExclusive(PSRWLOCK lock);
void ReleaseSRWLockExclusive(PSRWLOCK lock);

// --- Opening one name inside an open folder (the native call) ------------
// NtCreateFile with OBJECT_ATTRIBUTES.RootDirectory set to an open folder
// handle and ObjectName one name in it (no separator, not "." or "..").
// Only that relative form is served here: a null RootDirectory gives
// STATUS_INVALID_PARAMETER.
typedef LONG NTSTATUS;
typedef uint16_t USHORT;
typedef uintptr_t ULONG_PTR;
typedef DWORD ACCESS_MASK;
typedef HANDLE* PHANDLE;
typedef struct _UNICODE_STRING {
  USHORT Length;         // in bytes, no terminator
  USHORT MaximumLength;  // in bytes
  WCHAR* Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef struct _OBJECT_ATTRIBUTES {
  ULONG Length;
  HANDLE RootDirectory;
  PUNICODE_STRING ObjectName;
  ULONG Attributes;
  void* SecurityDescriptor;
  void* SecurityQualityOfService;
} OBJECT_ATTRIBUTES, *POBJECT_ATTRIBUTES;
typedef struct _IO_STATUS_BLOCK {
  NTSTATUS Status;
  ULONG_PTR Information;  // FILE_CREATED or FILE_OPENED
} IO_STATUS_BLOCK, *PIO_STATUS_BLOCK;

#define OBJ_CASE_INSENSITIVE 0x40u
#define SYNCHRONIZE 0x00100000u
#define WRITE_DAC 0x00040000u
#define WRITE_OWNER 0x00080000u
#define FILE_LIST_DIRECTORY 0x0001u
#define FILE_TRAVERSE 0x0020u
#define FILE_READ_ATTRIBUTES 0x0080u
#define FILE_WRITE_ATTRIBUTES 0x0100u
// Dispositions.
#define FILE_OPEN 0x1u
#define FILE_CREATE 0x2u
#define FILE_OPEN_IF 0x3u
// Options.
#define FILE_DIRECTORY_FILE 0x1u
#define FILE_SYNCHRONOUS_IO_NONALERT 0x20u
#define FILE_NON_DIRECTORY_FILE 0x40u
#define FILE_OPEN_FOR_BACKUP_INTENT 0x4000u
#define FILE_OPEN_REPARSE_POINT 0x200000u
// IO_STATUS_BLOCK.Information.
#define FILE_OPENED 1u
#define FILE_CREATED 2u
// The statuses NtCreateFile returns here.
#define STATUS_SUCCESS ((NTSTATUS)0)
#define STATUS_UNSUCCESSFUL ((NTSTATUS)0xC0000001u)
#define STATUS_INVALID_PARAMETER ((NTSTATUS)0xC000000Du)
#define STATUS_NO_MEMORY ((NTSTATUS)0xC0000017u)
#define STATUS_ACCESS_DENIED ((NTSTATUS)0xC0000022u)
#define STATUS_OBJECT_NAME_INVALID ((NTSTATUS)0xC0000033u)
#define STATUS_OBJECT_NAME_NOT_FOUND ((NTSTATUS)0xC0000034u)
#define STATUS_OBJECT_NAME_COLLISION ((NTSTATUS)0xC0000035u)
#define STATUS_OBJECT_PATH_NOT_FOUND ((NTSTATUS)0xC000003Au)
#define STATUS_SHARING_VIOLATION ((NTSTATUS)0xC0000043u)
#define STATUS_DISK_FULL ((NTSTATUS)0xC000007Fu)
#define STATUS_FILE_IS_A_DIRECTORY ((NTSTATUS)0xC00000BAu)
#define STATUS_NOT_A_DIRECTORY ((NTSTATUS)0xC0000103u)
#define STATUS_NAME_TOO_LONG ((NTSTATUS)0xC0000106u)
#define STATUS_TOO_MANY_OPENED_FILES ((NTSTATUS)0xC000011Fu)
#define STATUS_INVALID_HANDLE ((NTSTATUS)0xC0000008u)

// Opens or creates `attributes->ObjectName` in the folder
// `attributes->RootDirectory`, never looking above it. FILE_DIRECTORY_FILE
// asks for a folder (a folder create makes one), FILE_NON_DIRECTORY_FILE
// for anything else. With FILE_OPEN_REPARSE_POINT a link at the name is
// never followed: it is opened as itself (a handle whose attributes hold
// FILE_ATTRIBUTE_REPARSE_POINT) and FILE_CREATE finds it as an existing
// name. Statuses: STATUS_OBJECT_NAME_COLLISION (FILE_CREATE, something
// at the name), STATUS_OBJECT_NAME_NOT_FOUND, STATUS_NOT_A_DIRECTORY,
// STATUS_FILE_IS_A_DIRECTORY, STATUS_OBJECT_NAME_INVALID (a separator,
// ".", "..", empty), STATUS_INVALID_HANDLE (the root is no open folder),
// STATUS_SHARING_VIOLATION, STATUS_ACCESS_DENIED, STATUS_DISK_FULL,
// STATUS_NAME_TOO_LONG, STATUS_TOO_MANY_OPENED_FILES, STATUS_NO_MEMORY,
// STATUS_UNSUCCESSFUL for anything else. `allocation` and the extended
// attribute buffer are not served (null / 0).
NTSTATUS NtCreateFile(PHANDLE handle, ACCESS_MASK access,
                      POBJECT_ATTRIBUTES attributes, PIO_STATUS_BLOCK status,
                      PLARGE_INTEGER allocation, ULONG fileAttributes,
                      ULONG share, ULONG disposition, ULONG options,
                      void* eaBuffer, ULONG eaLength);
// The Windows code of a status: 0, 183 for a collision, 2, 3, 267, 5,
// 123, 6, 32, 112, 206, 4, 8, 87, and 31 for any other.
ULONG RtlNtStatusToDosError(NTSTATUS status);

// --- The alternate (8.3) name of an open item --------------------------
typedef enum _FILE_INFORMATION_CLASS {
  FileAlternateNameInformation = 21
} FILE_INFORMATION_CLASS;
typedef struct _FILE_NAME_INFORMATION {
  ULONG FileNameLength;  // in bytes, no terminator
  WCHAR FileName[1];
} FILE_NAME_INFORMATION, *PFILE_NAME_INFORMATION;
#define STATUS_BUFFER_OVERFLOW ((NTSTATUS)0x80000005u)
#define STATUS_INVALID_INFO_CLASS ((NTSTATUS)0xC0000003u)
#define STATUS_INFO_LENGTH_MISMATCH ((NTSTATUS)0xC0000004u)
// Only FileAlternateNameInformation is served: the short name kept for
// the object open as `file` (SetFileShortNameW), read through the
// handle. STATUS_OBJECT_NAME_NOT_FOUND when it has none,
// STATUS_BUFFER_OVERFLOW when `info` holds only part of it,
// STATUS_INVALID_INFO_CLASS for any other class.
NTSTATUS NtQueryInformationFile(HANDLE file, PIO_STATUS_BLOCK status,
                                LPVOID info, ULONG length,
                                FILE_INFORMATION_CLASS infoClass);

// Applies the parts `info` names of a self-relative descriptor to the
// object open as `handle`, through the handle: owner and group first,
// then the kept descriptor, then the mode, so the data is never readable
// by more than the descriptor allows meanwhile. A descriptor that says
// exactly what the owner, group and mode say is not kept apart (reading
// builds the same one). Failures: 6 bad handle, 87 null descriptor, 1338
// malformed descriptor, the errno mapping.
BOOL SetKernelObjectSecurity(HANDLE handle, SECURITY_INFORMATION info,
                             PSECURITY_DESCRIPTOR descriptor);

#endif  // _WIN32

// --- Portable helpers of the layer, the same code on both systems -------

// Formats a wide printf-style format into `buffer` of `capacity` WCHARs,
// always terminated. Knows %s (wide string), %S and %hs (narrow string),
// %c, %d, %i, %u, %x, %X, %p, %I64u, %llu, flags "0" and "-", width and
// precision, and %%. Returns the length written, or -1 when the result did
// not fit (the buffer then holds the cut text) or the capacity is 0.
int KvFormatW(WCHAR* buffer, size_t capacity, const WCHAR* format, ...);
int KvFormatVW(WCHAR* buffer, size_t capacity, const WCHAR* format,
               va_list args);

// The C runtime's pseudo-random generator, per thread:
// state = state * 214013 + 2531011, result = (state >> 16) & 0x7FFF.
void KvSrand(unsigned int seed);
int KvRand();

// Seconds since 1970 (the C library's time()).
ULONGLONG KvTimeNow();

// SetFileShortNameW where the system has it. On Windows it is resolved at
// run time, as it may be missing from kernel32 or (under Wine) a stub that
// aborts the process: then FALSE with 120 (ERROR_CALL_NOT_IMPLEMENTED).
// Otherwise its own result and last error.
BOOL KvSetFileShortName(HANDLE file, LPCWSTR shortName);

#endif  // KVMORVEL_PLATFORM_KVWIN32_H
