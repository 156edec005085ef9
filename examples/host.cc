// SPDX-License-Identifier: GPL-2.0-or-later
// A small host of the KvMorvel library, built against the installed
// package (CMakeLists.txt: find_package; Makefile: pkg-config). It uses
// the public header alone:
//
//   kvmorvel_host FOLDER ARCHIVE TARGET
//
// archives FOLDER and everything below it into ARCHIVE (version 5; the
// entries are named from FOLDER's own name on, joined with '\'), lists
// the archive with each entry's attributes, size and times, and restores
// every entry below TARGET. Exit status: 0 done, 1 an entry failed, 2 usage
// or the archive did not open.
#include <dirent.h>
#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

#include "KvMorvel.h"

namespace {

const DWORD kNoMoreEntries = 259;  // what Info leaves past the last entry
const DWORD kNameCapacity = 260;
const DWORD kDirectory = 0x10;

// UTF-8 to UTF-16; the library takes wide strings.
std::u16string Wide(const std::string& text) {
  std::u16string wide;
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const int extra = c < 0x80 ? 0 : c < 0xE0 ? 1 : c < 0xF0 ? 2 : 3;
    char32_t point = extra == 0 ? c : c & (0x3F >> extra);
    for (int k = 1; k <= extra && i + k < text.size(); ++k)
      point = (point << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    i += extra + 1;
    if (point < 0x10000) {
      wide += static_cast<char16_t>(point);
    } else {
      point -= 0x10000;
      wide += static_cast<char16_t>(0xD800 + (point >> 10));
      wide += static_cast<char16_t>(0xDC00 + (point & 0x3FF));
    }
  }
  return wide;
}

std::string Narrow(const char16_t* wide) {
  std::string text;
  for (; *wide; ++wide) {
    char32_t point = *wide;
    if (point >= 0xD800 && point < 0xDC00 && wide[1] >= 0xDC00 && wide[1] < 0xE000)
      point = 0x10000 + ((point - 0xD800) << 10) + (*++wide - 0xDC00);
    if (point < 0x80) {
      text += static_cast<char>(point);
    } else if (point < 0x800) {
      text += static_cast<char>(0xC0 | (point >> 6));
      text += static_cast<char>(0x80 | (point & 0x3F));
    } else if (point < 0x10000) {
      text += static_cast<char>(0xE0 | (point >> 12));
      text += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
      text += static_cast<char>(0x80 | (point & 0x3F));
    } else {
      text += static_cast<char>(0xF0 | (point >> 18));
      text += static_cast<char>(0x80 | ((point >> 12) & 0x3F));
      text += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
      text += static_cast<char>(0x80 | (point & 0x3F));
    }
  }
  return text;
}

unsigned long long Ticks(const FILETIME& time) {
  return (static_cast<unsigned long long>(time.dwHighDateTime) << 32) |
         time.dwLowDateTime;
}

// Adds `path` as `name`, then, for a folder, everything below it.
bool AddTree(CKvMorvel& archive, const std::string& path,
             const std::string& name) {
  bool ok = true;
  if (!archive.AddFile(reinterpret_cast<LPCWSTR>(Wide(path).c_str()),
                       reinterpret_cast<LPCWSTR>(Wide(name).c_str()), nullptr,
                       0)) {
    std::fprintf(stderr, "cannot add %s: error %u\n", path.c_str(),
                 static_cast<unsigned>(archive.GetErrorCode()));
    ok = false;
  }
  struct stat info;
  if (lstat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return ok;
  DIR* folder = opendir(path.c_str());
  if (!folder) return false;
  while (const dirent* child = readdir(folder)) {
    const std::string childName = child->d_name;
    if (childName == "." || childName == "..") continue;
    ok = AddTree(archive, path + "/" + childName, name + "\\" + childName) && ok;
  }
  closedir(folder);
  return ok;
}

// Opens `path` for reading (the version comes from the file) or for
// writing a version 5 archive; reports a failure.
bool Open(CKvMorvel& archive, const std::string& path, BOOL read) {
  if (archive.Open(reinterpret_cast<LPCWSTR>(Wide(path).c_str()), read,
                   read ? 0 : 5))
    return true;
  std::fprintf(stderr, "cannot open %s: error %u\n", path.c_str(),
               static_cast<unsigned>(archive.GetErrorCode()));
  return false;
}

int Write(const std::string& folder, const std::string& path) {
  CKvMorvel archive;
  if (!Open(archive, path, FALSE)) return 2;
  std::string root = folder;
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  const bool ok = AddTree(archive, root, root.substr(root.rfind('/') + 1));
  return archive.Close() && ok ? 0 : 1;
}

// The current entry's whole name: most fit kNameCapacity; a longer one
// is read again with the size GetEntryName says it needs.
std::u16string EntryName(CKvMorvel& archive) {
  std::vector<WCHAR> name(kNameCapacity, 0);
  DWORD needed = 0;
  if (!archive.GetEntryName(name.data(), kNameCapacity, &needed)) {
    if (needed <= kNameCapacity) return std::u16string();
    name.assign(needed, 0);
    if (!archive.GetEntryName(name.data(), needed, &needed)) return std::u16string();
  }
  return std::u16string(reinterpret_cast<const char16_t*>(name.data()));
}

// Lists and restores every entry: one line each with its attributes,
// size, creation, access and last write times (100 ns ticks since 1601)
// and name.
int ListAndRestore(const std::string& path, const std::string& target) {
  CKvMorvel archive;
  if (!Open(archive, path, TRUE)) return 2;
  const std::u16string wideTarget = Wide(target);
  int status = 0;
  // Info(FALSE) loads the entry at the current position, Info(TRUE) moves
  // past it; the walk ends when Info(FALSE) fails with 259.
  for (; archive.Info(FALSE); archive.Info(TRUE)) {
    const std::u16string name = EntryName(archive);
    const DWORD attributes = archive.GetAttributes();
    std::printf("%08x %c %12lld %llu %llu %llu %s\n",
                static_cast<unsigned>(attributes),
                (attributes & kDirectory) ? 'd' : '-',
                static_cast<long long>(archive.GetLength64()),
                Ticks(archive.GetCreationTime()),
                Ticks(archive.GetLastAccessTime()),
                Ticks(archive.GetLastWriteTime()),
                Narrow(name.c_str()).c_str());
    if (!archive.ExtractFile(reinterpret_cast<LPCWSTR>(wideTarget.c_str()), 0)) {
      std::fprintf(stderr, "cannot restore %s: error %u\n",
                   Narrow(name.c_str()).c_str(),
                   static_cast<unsigned>(archive.GetErrorCode()));
      status = 1;
    }
  }
  if (archive.GetErrorCode() != kNoMoreEntries) status = 1;
  archive.Close();
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: kvmorvel_host FOLDER ARCHIVE TARGET\n");
    return 2;
  }
  const int written = Write(argv[1], argv[2]);
  if (written == 2) return 2;
  const int restored = ListAndRestore(argv[2], argv[3]);
  return restored != 0 ? restored : written;
}
