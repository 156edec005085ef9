// SPDX-License-Identifier: GPL-2.0-or-later
/* A stand-in for a mount library someone left in a folder: loading it
   leaves the file "planted-library-ran" in the current folder, and its
   exports fail. The loader tests copy it in as "virtdisk.dll" and show
   that it is never loaded while an installed library exists. */
#include <fcntl.h>
#include <unistd.h>

__attribute__((constructor)) static void LeaveMarker(void) {
  const int fd = open("planted-library-ran",
                      O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd >= 0) close(fd);
}

int Mount(const char* mountPoint, const char* image, int flag) { return 1; }

int UnMount(const char* drive) { return 1; }
