// SPDX-License-Identifier: GPL-2.0-or-later
// The handle table: a HANDLE is the address of a heap Handle that the
// table knows, so stale or foreign values are refused with 6. The table is
// process-wide and locked; it hands out shared references (HandleRef),
// never a bare pointer another thread's close could free. Opens of the same
// file (device and inode) are checked against each other's share modes:
// in this process by the table, across processes by locks on the file.
#include <fcntl.h>
#include <unistd.h>

#include <map>
#include <mutex>
#include <new>
#include <set>
#include <utility>

#include "layer.h"

namespace kvposix {

namespace {

typedef std::pair<dev_t, ino_t> FileId;

struct Table {
  std::mutex lock;
  std::map<Handle*, HandleRef> live;
  std::map<FileId, std::set<Handle*>> opens;
};

Table& TheTable() {
  static Table* table = new Table;  // outlives every static destructor
  return *table;
}

// What the last reference to a live handle does: closes its descriptor.
void Release(Handle* h) {
  if (h->fd >= 0) close(h->fd);
  delete h;
}

// The live handle behind `handle` when `fits` accepts it, else null
// with 6. The reference is taken under the lock.
template <typename Fits>
HandleRef Find(HANDLE handle, Fits fits) {
  Table& t = TheTable();
  std::lock_guard<std::mutex> hold(t.lock);
  auto it = t.live.find(static_cast<Handle*>(handle));
  if (it == t.live.end() || !fits(*it->second)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return it->second;
}

bool WantsDelete(DWORD access) {
  return (access & (DELETE | GENERIC_ALL)) != 0;
}

// Windows' rule: each open's access must be allowed by the other's share.
bool Conflicts(DWORD access, DWORD share, const Handle& other) {
  const auto refused = [](DWORD a, DWORD s) {
    return (WantsRead(a) && !(s & FILE_SHARE_READ)) ||
           (WantsWrite(a) && !(s & FILE_SHARE_WRITE)) ||
           (WantsDelete(a) && !(s & FILE_SHARE_DELETE));
  };
  return refused(access, other.share) || refused(other.access, share);
}

// ---- share modes across processes ----------------------------------------
// An open of a regular file publishes what it does and what it does not
// share as shared open-file-description locks on six bytes far past any
// data: one "uses" byte per kind of access it has (read, write, delete)
// and one "refuses" byte per kind it does not share. Another open is
// refused when some other description holds the "refuses" byte of a kind
// it uses, or the "uses" byte of a kind it does not share: Windows' rule.
// The locks are taken before the check, so of two opens racing each other
// at least one sees the other (both may be refused, never both let in).
// They go with the descriptor's last close, or with the process.
const off_t kShareBytes = static_cast<off_t>(1) << 62;
enum ShareKind { kRead, kWrite, kDelete, kShareKinds };
// Where each byte lies, by kind. The order puts the bytes of the most
// common open, reading while sharing only reading (uses read, refuses
// write and delete; looks at refuses read, uses write and delete), in two
// runs of three: one call to publish and one to look.
//   0 uses write  1 uses delete  2 refuses read
//   3 uses read   4 refuses write  5 refuses delete
const int kUsesByte[kShareKinds] = {3, 0, 1};
const int kRefusesByte[kShareKinds] = {2, 4, 5};

struct flock ShareBytes(int byte, int count, short type) {
  struct flock lock = {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = kShareBytes + byte;
  lock.l_len = count;
  return lock;
}

// Calls `each(byte, count)` for each run of adjacent bytes set in `mask`
// (bit n: byte n), so neighbouring bytes cost one lock call, not one
// each; stops at the first call that returns false.
template <typename Each>
bool ForEachRun(unsigned mask, Each each) {
  for (int byte = 0; byte < 2 * kShareKinds;) {
    if (!((mask >> byte) & 1)) {
      ++byte;
      continue;
    }
    int count = 1;
    while (byte + count < 2 * kShareKinds && ((mask >> (byte + count)) & 1)) ++count;
    if (!each(byte, count)) return false;
    byte += count;
  }
  return true;
}

bool Publish(int fd, int byte, int count) {
  struct flock lock = ShareBytes(byte, count, F_RDLCK);
  return RetryEintr([&] { return fcntl(fd, F_OFD_SETLK, &lock); }) == 0;
}

void Withdraw(int fd) {
  struct flock lock = ShareBytes(0, 2 * kShareKinds, F_UNLCK);
  fcntl(fd, F_OFD_SETLK, &lock);
}

// True when another open file description holds a lock on any of the
// bytes (a write lock asked for conflicts with every lock of another
// description, never with this one's own).
bool HeldElsewhere(int fd, int byte, int count = 1) {
  struct flock lock = ShareBytes(byte, count, F_WRLCK);
  if (RetryEintr([&] { return fcntl(fd, F_OFD_GETLK, &lock); }) != 0)
    return false;
  return lock.l_type != F_UNLCK;
}

// Publishes the open's access and share mode and checks them against the
// other descriptions of the file. False when refused (nothing left held).
// A descriptor that takes no lock (opened write-only, or on a file system
// without locks) publishes nothing: the table alone guards it.
bool ClaimShare(const Handle& h) {
  const bool uses[kShareKinds] = {WantsRead(h.access), WantsWrite(h.access),
                                  WantsDelete(h.access)};
  const bool shares[kShareKinds] = {(h.share & FILE_SHARE_READ) != 0,
                                    (h.share & FILE_SHARE_WRITE) != 0,
                                    (h.share & FILE_SHARE_DELETE) != 0};
  unsigned held = 0, looked = 0;  // bytes to publish, bytes to look at
  for (int k = 0; k < kShareKinds; ++k) {
    if (uses[k]) {
      held |= 1u << kUsesByte[k];
      looked |= 1u << kRefusesByte[k];
    }
    if (!shares[k]) {
      held |= 1u << kRefusesByte[k];
      looked |= 1u << kUsesByte[k];
    }
  }
  if (!ForEachRun(held, [&](int byte, int count) { return Publish(h.fd, byte, count); })) {
    Withdraw(h.fd);
    return true;
  }
  if (!ForEachRun(looked, [&](int byte, int count) {
        return !HeldElsewhere(h.fd, byte, count);
      })) {
    Withdraw(h.fd);
    return false;
  }
  return true;
}

void Unregister(Table& t, Handle* h) {
  if (!h->registered) return;
  auto it = t.opens.find(FileId(h->dev, h->ino));
  if (it != t.opens.end()) {
    it->second.erase(h);
    if (it->second.empty()) t.opens.erase(it);
  }
  h->registered = false;
}

}  // namespace

bool WantsRead(DWORD access) {
  return (access & (GENERIC_READ | GENERIC_ALL | FILE_READ_DATA)) != 0;
}

bool WantsWrite(DWORD access) {
  return (access & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA |
                    FILE_APPEND_DATA)) != 0;
}

HANDLE AddHandle(std::unique_ptr<Handle>& owned) {
  Table& t = TheTable();
  std::lock_guard<std::mutex> hold(t.lock);
  Handle* h = owned.get();
  if (h->kind != Kind::kFind) {
    const FileId id(h->dev, h->ino);
    bool refused = false;
    for (Handle* other : t.opens[id])
      refused = refused || Conflicts(h->access, h->share, *other);
    if (!refused && h->kind == Kind::kFile) refused = !ClaimShare(*h);
    if (refused) {
      if (t.opens[id].empty()) t.opens.erase(id);
      SetLastError(ERROR_SHARING_VIOLATION);
      return INVALID_HANDLE_VALUE;
    }
    t.opens[id].insert(h);
    h->registered = true;
  }
  t.live[h] = HandleRef(owned.release(), Release);
  return h;
}

HandleRef LookHandle(HANDLE handle, Kind kind) {
  return Find(handle, [kind](const Handle& h) { return h.kind == kind; });
}

HandleRef LookFileHandle(HANDLE handle) {
  return Find(handle, [](const Handle& h) { return h.kind != Kind::kFind; });
}

bool TakeHandle(HANDLE handle, Kind kind) {
  const bool fileKind = kind != Kind::kFind;
  HandleRef taken = Find(handle, [fileKind](const Handle& h) {
    return (h.kind != Kind::kFind) == fileKind;
  });
  if (!taken) return false;
  Table& t = TheTable();
  std::lock_guard<std::mutex> hold(t.lock);
  // Two closes racing: only the one that still finds it takes it.
  if (t.live.erase(taken.get()) == 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  Unregister(t, taken.get());
  return true;
}  // `taken` goes here, or with the last call still using the handle

void MoveHandle(Handle* h, int fd, Kind kind, const struct stat& st) {
  Table& t = TheTable();
  std::lock_guard<std::mutex> hold(t.lock);
  Unregister(t, h);
  if (h->fd >= 0) close(h->fd);
  h->fd = fd;
  h->kind = kind;
  h->dev = st.st_dev;
  h->ino = st.st_ino;
  t.opens[FileId(h->dev, h->ino)].insert(h);
  h->registered = true;
}

bool DeleteRefused(const std::string& path, const struct stat& st) {
  Table& t = TheTable();
  {
    std::lock_guard<std::mutex> hold(t.lock);
    auto it = t.opens.find(FileId(st.st_dev, st.st_ino));
    if (it != t.opens.end())
      for (Handle* other : it->second)
        if (!(other->share & FILE_SHARE_DELETE)) return true;
  }
  if (!S_ISREG(st.st_mode)) return false;
  // Another process's open that does not share deletion.
  const int fd = RetryEintr([&] {
    return open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  });
  if (fd < 0) return false;
  const bool refused = HeldElsewhere(fd, kRefusesByte[kDelete]);
  close(fd);
  return refused;
}

}  // namespace kvposix
