// SPDX-License-Identifier: GPL-2.0-or-later
// The Windows half of the test support, part one: the few POSIX calls the
// tests make, over the Windows API and the C runtime, so that one test
// source serves both systems. Included by test_support.h on Windows only.
#ifndef KVMORVEL_TESTS_SUPPORT_POSIX_WINDOWS_H
#define KVMORVEL_TESTS_SUPPORT_POSIX_WINDOWS_H

#include <direct.h>
#include <io.h>
#include <sys/stat.h>
#include <unistd.h>

// The mode is not used: Windows keeps no permission bits.
int mkdir(const char* path, int mode);
// Both the C runtime's copy (getenv) and the process's own
// (GetEnvironmentVariableW) change.
int setenv(const char* name, const char* value, int overwrite);
int unsetenv(const char* name);
// A symbolic link to a file or (when `target` names one) a folder.
int symlink(const char* target, const char* link);
// stat, and S_IFLNK when the path itself is a reparse point.
int lstat(const char* path, struct stat* status);
// No user is root on Windows.
unsigned geteuid();

#ifndef S_IFLNK
#define S_IFLNK 0xA000
#endif
#ifndef S_ISLNK
#define S_ISLNK(mode) (((mode) & S_IFMT) == S_IFLNK)
#endif

#endif  // KVMORVEL_TESTS_SUPPORT_POSIX_WINDOWS_H
