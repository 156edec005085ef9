// SPDX-License-Identifier: GPL-2.0-or-later
// FSCTL_QUERY_ALLOCATED_RANGES over lseek's SEEK_DATA and SEEK_HOLE: the
// ranges of a file that hold data, so that a reader can pass over its
// holes without reading them.
#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/le_bytes.h"
#include "layer.h"

using namespace kvposix;

namespace {

const DWORD kRangeSize = 16;  // two little-endian 64-bit fields

// Puts the descriptor's position back when the query is done: the
// handle's reads go on from where they were.
class KeepPosition {
 public:
  explicit KeepPosition(int fd) : fd_(fd), at_(lseek(fd, 0, SEEK_CUR)) {}
  ~KeepPosition() {
    if (at_ >= 0) lseek(fd_, at_, SEEK_SET);
  }
  bool ok() const { return at_ >= 0; }

 private:
  int fd_;
  off_t at_;
};

// The data range that begins at or after `from`, below `end`: false when
// there is none (the rest is a hole, or `from` is past the end of the
// file). A file system without holes reports all its data as one range.
bool NextDataRange(int fd, off_t from, off_t end, off_t* start, off_t* stop) {
  const off_t data = lseek(fd, from, SEEK_DATA);
  if (data < 0 || data >= end) return false;
  off_t hole = lseek(fd, data, SEEK_HOLE);
  if (hole < 0 || hole > end) hole = end;
  *start = data;
  *stop = hole;
  return true;
}

}  // namespace

namespace kvposix {

BOOL QueryAllocatedRanges(const HandleRef& h, LPVOID in, DWORD inSize,
                          LPVOID out, DWORD outSize, LPDWORD returned) {
  if (!in || inSize < kRangeSize) return Fail(ERROR_INVALID_PARAMETER);
  if (h->kind != Kind::kFile) return Fail(ERROR_INVALID_FUNCTION);
  const uint8_t* asked = static_cast<const uint8_t*>(in);
  const int64_t offset = static_cast<int64_t>(LoadU64(asked));
  const int64_t length = static_cast<int64_t>(LoadU64(asked + 8));
  if (offset < 0 || length < 0 || length > INT64_MAX - offset)
    return Fail(ERROR_INVALID_PARAMETER);
  if (!out || outSize < kRangeSize) return Fail(ERROR_INSUFFICIENT_BUFFER);
  struct stat st;
  if (fstat(h->fd, &st) != 0) return FailErrno(errno);
  const off_t end = offset + length < st.st_size ? offset + length : st.st_size;
  KeepPosition keep(h->fd);
  if (!keep.ok()) return FailErrno(errno);
  uint8_t* ranges = static_cast<uint8_t*>(out);
  DWORD filled = 0;
  off_t from = offset, start = 0, stop = 0;
  while (from < end && NextDataRange(h->fd, from, end, &start, &stop)) {
    if (outSize - filled < kRangeSize) return Fail(ERROR_MORE_DATA);
    StoreU64(ranges + filled, static_cast<uint64_t>(start));
    StoreU64(ranges + filled + 8, static_cast<uint64_t>(stop - start));
    filled += kRangeSize;
    if (returned) *returned = filled;
    from = stop;
  }
  return TRUE;
}

}  // namespace kvposix
