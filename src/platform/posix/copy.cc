// SPDX-License-Identifier: GPL-2.0-or-later
// CopyFileW: the data (holes kept), then the mode, the layer's extended
// attributes (DOS attributes and creation time, short name, descriptor)
// and the access and write times.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "layer.h"

using namespace kvposix;

namespace {

// Closes a handle when the scope ends.
class Closer {
 public:
  explicit Closer(HANDLE h) : h_(h) {}
  ~Closer() {
    if (h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
  }

 private:
  HANDLE h_;
};

// Copies the bytes of [begin, end) of `from` to the same place in `to`.
bool CopyRange(int from, int to, off_t begin, off_t end) {
  std::vector<char> buffer(1 << 16);
  for (off_t at = begin; at < end;) {
    const size_t want =
        static_cast<size_t>(std::min<off_t>(end - at, buffer.size()));
    const ssize_t got =
        RetryEintr([&] { return pread(from, buffer.data(), want, at); });
    if (got < 0) return FailErrno(errno);
    if (got == 0) return true;  // the source shrank meanwhile
    for (ssize_t done = 0; done < got;) {
      const ssize_t put = RetryEintr([&] {
        return pwrite(to, buffer.data() + done, got - done, at + done);
      });
      if (put < 0) return FailErrno(errno);
      done += put;
    }
    at += got;
  }
  return true;
}

// Copies the data through the handles' descriptors, keeping holes: only
// the ranges SEEK_DATA finds are read and written, and the size is set at
// the end, so a sparse file (one in a disk image, say) is copied sparse
// and a small source cannot fill the disk with zeros. A file system that
// cannot tell holes reports the whole file as data.
BOOL CopyData(HANDLE source, HANDLE target) {
  const int from = static_cast<Handle*>(source)->fd;
  const int to = static_cast<Handle*>(target)->fd;
  struct stat st;
  if (fstat(from, &st) != 0) return FailErrno(errno);
  const off_t size = st.st_size;
  for (off_t at = 0; at < size;) {
    off_t data = lseek(from, at, SEEK_DATA);
    if (data < 0 && errno == ENXIO) break;  // only a hole up to the end
    off_t hole = data < 0 ? size : lseek(from, data, SEEK_HOLE);
    if (data < 0) data = at;  // no hole support: all of it is data
    if (hole <= data || hole > size) hole = size;
    if (!CopyRange(from, to, data, hole)) return FALSE;
    at = hole;
  }
  if (RetryEintr([&] { return ftruncate(to, size); }) != 0)
    return FailErrno(errno);
  return TRUE;
}

}  // namespace

BOOL CopyFileW(LPCWSTR from, LPCWSTR to, BOOL failIfExists) {
  HANDLE source = CreateFileW(from, GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  if (source == INVALID_HANDLE_VALUE) return FALSE;
  Closer closeSource(source);
  HANDLE target = CreateFileW(to, GENERIC_WRITE, 0, nullptr,
                              failIfExists ? CREATE_NEW : CREATE_ALWAYS, 0, nullptr);
  if (target == INVALID_HANDLE_VALUE) return FALSE;
  Closer closeTarget(target);
  if (!CopyData(source, target)) return FALSE;
  const std::string& fromPath = static_cast<Handle*>(source)->Path();
  const std::string& toPath = static_cast<Handle*>(target)->Path();
  struct stat st;
  if (stat(fromPath.c_str(), &st) != 0) return FailErrno(errno);
  CopyLayerXattrs(fromPath, toPath);
  if (chmod(toPath.c_str(), st.st_mode & 07777) != 0) return FailErrno(errno);
  const struct timespec times[2] = {st.st_atim, st.st_mtim};
  if (utimensat(AT_FDCWD, toPath.c_str(), times, 0) != 0) return FailErrno(errno);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}
