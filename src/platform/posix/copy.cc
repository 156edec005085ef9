// CopyFileW: the data, then the mode, the layer's extended attributes
// (DOS attributes and creation time, short name, descriptor) and the
// access and write times.
#include <fcntl.h>
#include <sys/stat.h>

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

BOOL CopyData(HANDLE from, HANDLE to) {
  std::vector<char> buffer(1 << 16);
  for (;;) {
    DWORD read = 0, written = 0;
    if (!ReadFile(from, buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr))
      return FALSE;
    if (read == 0) return TRUE;
    if (!WriteFile(to, buffer.data(), read, &written, nullptr)) return FALSE;
  }
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
  const std::string& fromPath = static_cast<Handle*>(source)->path;
  const std::string& toPath = static_cast<Handle*>(target)->path;
  struct stat st;
  if (stat(fromPath.c_str(), &st) != 0) return FailErrno(errno);
  CopyLayerXattrs(fromPath, toPath);
  if (chmod(toPath.c_str(), st.st_mode & 07777) != 0) return FailErrno(errno);
  const struct timespec times[2] = {st.st_atim, st.st_mtim};
  if (utimensat(AT_FDCWD, toPath.c_str(), times, 0) != 0) return FailErrno(errno);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}
