// SPDX-License-Identifier: GPL-2.0-or-later
// Metadata of symbolic links. Linux takes no user attribute on a link, so
// what a link is given (attribute bits, creation time, short name) is kept
// by the folder holding it, in user.kvmorvel.links: one record per link,
//   u16 name length, the name (bytes), u64 inode, u64 birth time of the
//   link (0 when the file system keeps none), u32 attributes, u64
//   creation time (0: none), u8 short name length, the short name,
// all little endian. A record counts only while a link of that name has
// that inode and birth time, so a link removed and made again starts
// afresh even when it gets the same inode; records of links that are gone
// are dropped at the next write. Keeping it is best
// effort: a folder that takes no more attributes loses the record, and the
// link then reports what lstat gives.
#include <fcntl.h>

#include <map>

#include "common/le_bytes.h"
#include "layer.h"

namespace kvposix {

namespace {

// What tells one link from another made later under the same name.
struct Identity {
  uint64_t inode = 0;
  uint64_t birth = 0;
  bool operator==(const Identity& o) const { return inode == o.inode && birth == o.birth; }
};

struct Record {
  Identity id;
  LinkInfo info;
};

// The identity of the link at `path`; false when it is not a link.
bool IdentityOf(const std::string& path, Identity* id) {
  struct statx sx;
  if (statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_TYPE | STATX_INO | STATX_BTIME,
            &sx) != 0 ||
      !S_ISLNK(sx.stx_mode))
    return false;
  id->inode = sx.stx_ino;
  id->birth = sx.stx_mask & STATX_BTIME
                  ? static_cast<uint64_t>(sx.stx_btime.tv_sec) * 1000000000u + sx.stx_btime.tv_nsec
                  : 0;
  return true;
}

std::string BaseName(const std::string& path) {
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  const size_t slash = p.rfind('/');
  return slash == std::string::npos ? p : p.substr(slash + 1);
}

std::string FolderOf(const std::string& path) {
  const std::string parent = ParentOf(path);
  return parent.empty() ? "/" : parent;
}

// Every well-formed record of the folder; a damaged tail is dropped.
std::map<std::string, Record> ReadRecords(const std::string& folder) {
  std::map<std::string, Record> records;
  std::vector<uint8_t> blob;
  if (!ReadXattr(folder, kLinksName, &blob)) return records;
  FieldReader r(blob);
  while (!r.done()) {
    const std::string name = r.Text(static_cast<size_t>(r.Le(2)));
    Record rec;
    rec.id.inode = r.Le(8);
    rec.id.birth = r.Le(8);
    rec.info.attributes = static_cast<DWORD>(r.Le(4));
    rec.info.creation = r.Le(8);
    rec.info.shortName = r.Text(static_cast<size_t>(r.Le(1)));
    if (!r.ok()) break;
    records[name] = rec;
  }
  return records;
}

void WriteRecords(const std::string& folder, const std::map<std::string, Record>& records) {
  std::vector<uint8_t> blob;
  for (const auto& entry : records) {
    const std::string& name = entry.first;
    const Record& rec = entry.second;
    if (name.size() > 0xFFFF || rec.info.shortName.size() > 0xFF) continue;
    PutLe(blob, name.size(), 2);
    blob.insert(blob.end(), name.begin(), name.end());
    PutLe(blob, rec.id.inode, 8);
    PutLe(blob, rec.id.birth, 8);
    PutLe(blob, rec.info.attributes, 4);
    PutLe(blob, rec.info.creation, 8);
    PutLe(blob, rec.info.shortName.size(), 1);
    blob.insert(blob.end(), rec.info.shortName.begin(), rec.info.shortName.end());
  }
  if (blob.empty())
    RemoveXattr(folder, kLinksName);
  else
    WriteXattr(folder, kLinksName, blob);
}


}  // namespace

bool ReadLinkInfo(const std::string& linkPath, LinkInfo* info) {
  Identity id;
  if (!IdentityOf(linkPath, &id)) return false;
  const std::map<std::string, Record> records = ReadRecords(FolderOf(linkPath));
  auto it = records.find(BaseName(linkPath));
  if (it == records.end() || !(it->second.id == id)) return false;
  *info = it->second.info;
  return true;
}

void WriteLinkInfo(const std::string& linkPath, const LinkInfo& info) {
  Identity id;
  if (!IdentityOf(linkPath, &id)) return;
  const std::string folder = FolderOf(linkPath);
  std::map<std::string, Record> records = ReadRecords(folder);
  for (auto it = records.begin(); it != records.end();) {
    Identity now;
    if (IdentityOf(folder + "/" + it->first, &now) && now == it->second.id)
      ++it;
    else
      it = records.erase(it);
  }
  Record& rec = records[BaseName(linkPath)];
  rec.id = id;
  rec.info = info;
  WriteRecords(folder, records);
}

}  // namespace kvposix
