// The handle table: a HANDLE is a pointer to a heap Handle that the table
// knows, so stale or foreign values are refused with 6. Opens of the same
// file (device and inode) are checked against each other's share modes.
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
  std::set<Handle*> live;
  std::map<FileId, std::set<Handle*>> opens;
};

Table& TheTable() {
  static Table* table = new Table;  // outlives every static destructor
  return *table;
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

HANDLE AddHandle(Handle* h) {
  Table& t = TheTable();
  std::lock_guard<std::mutex> hold(t.lock);
  if (h->kind != Kind::kFind) {
    const FileId id(h->dev, h->ino);
    for (Handle* other : t.opens[id]) {
      if (Conflicts(h->access, h->share, *other)) {
        if (t.opens[id].empty()) t.opens.erase(id);
        SetLastError(ERROR_SHARING_VIOLATION);
        return INVALID_HANDLE_VALUE;
      }
    }
    t.opens[id].insert(h);
    h->registered = true;
  }
  t.live.insert(h);
  return h;
}

Handle* LookHandle(HANDLE handle, Kind kind) {
  Table& t = TheTable();
  std::lock_guard<std::mutex> hold(t.lock);
  Handle* h = static_cast<Handle*>(handle);
  if (!t.live.count(h) || h->kind != kind) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return h;
}

Handle* LookFileHandle(HANDLE handle) {
  Table& t = TheTable();
  std::lock_guard<std::mutex> hold(t.lock);
  Handle* h = static_cast<Handle*>(handle);
  if (!t.live.count(h) || h->kind == Kind::kFind) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return h;
}

bool TakeHandle(HANDLE handle, Kind kind) {
  Table& t = TheTable();
  std::lock_guard<std::mutex> hold(t.lock);
  Handle* h = static_cast<Handle*>(handle);
  const bool fileKind = kind != Kind::kFind;
  if (!t.live.count(h) || (h->kind == Kind::kFind) == fileKind) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  t.live.erase(h);
  Unregister(t, h);
  return true;
}

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

bool DeleteRefused(const struct stat& st) {
  Table& t = TheTable();
  std::lock_guard<std::mutex> hold(t.lock);
  auto it = t.opens.find(FileId(st.st_dev, st.st_ino));
  if (it == t.opens.end()) return false;
  for (Handle* other : it->second)
    if (!(other->share & FILE_SHARE_DELETE)) return true;
  return false;
}

}  // namespace kvposix
