// SPDX-License-Identifier: GPL-2.0-or-later
// A folder packed into an image, mounted, walked and copied out comes back
// as it was: data, times, attributes, short names, descriptors and links.
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <map>

#include "image/image_fixture.h"
#include "kvwin32.h"

namespace {

// What the layer shows of one item.
struct Seen {
  WIN32_FILE_ATTRIBUTE_DATA data;
  std::string shortName;
  std::string content;     // regular files that are not links
  std::string descriptor;  // GetFileSecurityW, owner, group and DACL
  std::string reparse;     // FSCTL_GET_REPARSE_POINT of reparse points
  std::string linkTarget;  // readlink, for symbolic links
};

std::string Descriptor(const std::u16string& path) {
  DWORD needed = 0;
  GetFileSecurityW(P(path), 7, nullptr, 0, &needed);
  std::string d(needed, '\0');
  if (!needed || !GetFileSecurityW(P(path), 7, &d[0], needed, &needed))
    return "(none)";
  return d;
}

// Every item below `root` by its relative name, read through the layer.
std::map<std::string, Seen> Snapshot(const std::string& root) {
  std::map<std::string, Seen> items;
  std::function<void(const std::string&)> walk = [&](const std::string& rel) {
    WIN32_FIND_DATAW found;
    const std::string dir = rel.empty() ? root : root + "/" + rel;
    HANDLE h = FindFirstFileW(P(W(dir + "/*")), &found);
    if (h == INVALID_HANDLE_VALUE) return;
    do {
      const std::string name = N(found.cFileName);
      if (name == "." || name == "..") continue;
      const std::string r = rel.empty() ? name : rel + "/" + name;
      const std::string full = root + "/" + r;
      Seen s;
      GetFileAttributesExW(P(W(full)), GetFileExInfoStandard, &s.data);
      s.shortName = N(found.cAlternateFileName);
      s.descriptor = Descriptor(W(full));
      const DWORD a = s.data.dwFileAttributes;
      if (a & FILE_ATTRIBUTE_REPARSE_POINT) {
        s.reparse = ReparseData(W(full));
        char target[4096];
        const ssize_t n = readlink(full.c_str(), target, sizeof(target));
        s.linkTarget.assign(target, n > 0 ? static_cast<size_t>(n) : 0);
      } else if (!(a & FILE_ATTRIBUTE_DIRECTORY)) {
        s.content = ReadBytes(full);
      }
      items[r] = s;
      if ((a & FILE_ATTRIBUTE_DIRECTORY) &&
          !(a & FILE_ATTRIBUTE_REPARSE_POINT)) {
        walk(r);
      }
    } while (FindNextFileW(h, &found));
    FindClose(h);
  };
  walk("");
  return items;
}

FILETIME Time(ULONGLONG ticks) {
  FILETIME t;
  t.dwLowDateTime = static_cast<DWORD>(ticks);
  t.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  return t;
}

void SetTimesAndShortName(const std::string& path, ULONGLONG base,
                          const char16_t* shortName) {
  HANDLE h = CreateFileW(P(W(path)), GENERIC_READ | GENERIC_WRITE, 0,
                         nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                         nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, h) << path;
  const FILETIME c = Time(base), a = Time(base + 1230000),
                 w = Time(base + 4560000);
  EXPECT_TRUE(SetFileTime(h, &c, &a, &w));
  if (shortName) {
    EXPECT_TRUE(SetFileShortNameW(h, P(shortName)));
  }
  CloseHandle(h);
}

bool SameTime(const FILETIME& a, const FILETIME& b) {
  return a.dwLowDateTime == b.dwLowDateTime &&
         a.dwHighDateTime == b.dwHighDateTime;
}

class RoundTripTest : public ImageTest {
 protected:
};

TEST_F(RoundTripTest, AFolderComesBackAsItWas) {
  const ULONGLONG base = 131000000000000000ull;  // a day in 2016
  mkdir((source_ / "docs").c_str(), 0755);
  mkdir((source_ / "docs/deep").c_str(), 0750);
  WriteBytes(source_ / "empty.txt", "");
  WriteBytes(source_ / "docs/Long Document Name.txt", "some text");
  WriteBytes(source_ / "docs/deep/big.bin", PatternBytes(1048577));
  WriteBytes(source_ / "docs/caf\xC3\xA9 \xE2\x82\xAC.txt", "unicode");
  WriteBytes(source_ / "run.sh", "#!/bin/sh\n");
  chmod((source_ / "run.sh").c_str(), 0755);
  // A link to a folder by its absolute path is a mount point, which the
  // copy keeps as it is. A relative link, to a folder or a file, is a
  // relative symbolic link and comes back relative, so it leads into the
  // copy rather than into the mount's folder, gone after the unmount.
  ASSERT_EQ(0, symlink((source_ / "docs").c_str(),
                       (source_ / "docs-link").c_str()));
  ASSERT_EQ(0, symlink("run.sh", (source_ / "file-link").c_str()));
  ASSERT_EQ(0, symlink("docs", (source_ / "rel-docs").c_str()));
  ASSERT_EQ(0, symlink("../../docs", (source_ / "docs/deep/up").c_str()));

  SetTimesAndShortName(source_ / "docs/Long Document Name.txt", base,
                       u"LONGDO~1.TXT");
  SetTimesAndShortName(source_ / "empty.txt", base + 7, nullptr);
  SetTimesAndShortName(source_ / "docs/deep/big.bin", base + 99, nullptr);
  SetTimesAndShortName(source_ / "docs/deep", base + 5, u"DEEPDIR");
  ASSERT_TRUE(SetFileAttributesW(P(source_.W("empty.txt")),
                                 FILE_ATTRIBUTE_HIDDEN |
                                     FILE_ATTRIBUTE_SYSTEM |
                                     FILE_ATTRIBUTE_ARCHIVE));
  ASSERT_TRUE(SetFileAttributesW(P(source_.W("docs/deep/big.bin")),
                                 FILE_ATTRIBUTE_READONLY));
  // A descriptor stored as given: the one of the executable, on a file.
  const std::string runDescriptor = Descriptor(source_.W("run.sh"));
  ASSERT_NE("(none)", runDescriptor);
  EXPECT_TRUE(SetFileSecurityW(P(source_.W("empty.txt")), 7,
                               const_cast<char*>(runDescriptor.data())));

  // The image keeps each item's access time as the packer finds it. The
  // packer reads like any reader, so the tree is read once first: under
  // relatime (or noatime) a second read moves no access time, and the
  // snapshot after packing sees the times the packer saw.
  Snapshot(source_.path());
  const std::string image = Pack(source_.path());
  const std::map<std::string, Seen> before = Snapshot(source_.path());
  CKvMorvel m;
  OpenImage(m, image);
  EXPECT_EQ(std::vector<std::string>{}, ExtractAll(m, target_.W("", '\\')));
  EXPECT_TRUE(m.Close());
  const std::map<std::string, Seen> after = Snapshot(target_.path());

  ASSERT_EQ(before.size(), after.size());
  for (const auto& item : before) {
    SCOPED_TRACE(item.first);
    auto found = after.find(item.first);
    ASSERT_NE(after.end(), found);
    const Seen& b = item.second;
    const Seen& a = found->second;
    EXPECT_EQ(b.data.dwFileAttributes, a.data.dwFileAttributes);
    // A link keeps no attributes of its own on Linux: its creation time is
    // its own birth, and reading it moves its access time.
    const bool link = b.data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT;
    if (!link) {
      EXPECT_TRUE(SameTime(b.data.ftCreationTime, a.data.ftCreationTime));
      EXPECT_TRUE(SameTime(b.data.ftLastAccessTime, a.data.ftLastAccessTime));
    }
    // A folder's last write time moves as its contents are copied in
    // after it; the command puts it back in a second pass.
    if (!(b.data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
      EXPECT_TRUE(SameTime(b.data.ftLastWriteTime, a.data.ftLastWriteTime));
    }
    EXPECT_EQ(b.data.nFileSizeLow, a.data.nFileSizeLow);
    EXPECT_EQ(b.shortName, a.shortName);
    EXPECT_TRUE(b.content == a.content);
    EXPECT_TRUE(b.descriptor == a.descriptor);
    EXPECT_EQ(b.linkTarget, a.linkTarget);
    EXPECT_TRUE(b.reparse == a.reparse);
  }
  EXPECT_EQ("run.sh", after.at("file-link").linkTarget);
  EXPECT_EQ("docs", after.at("rel-docs").linkTarget);
  EXPECT_EQ("../../docs", after.at("docs/deep/up").linkTarget);
  EXPECT_EQ(FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY,
            after.at("rel-docs").data.dwFileAttributes);
  EXPECT_EQ("some text", ReadBytes(target_ / "rel-docs/Long Document Name.txt"));
  EXPECT_EQ("some text",
            ReadBytes(target_ / "docs/deep/up/Long Document Name.txt"));
  EXPECT_EQ("LONGDO~1.TXT", after.at("docs/Long Document Name.txt").shortName);
  EXPECT_EQ(runDescriptor, after.at("empty.txt").descriptor);
}

}  // namespace
