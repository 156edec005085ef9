// SPDX-License-Identifier: GPL-2.0-or-later
// The packer: the container it writes, read back here with libarchive's
// own reader, and its refusals.
#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <map>

#include "image/image_fixture.h"
#include "image_pack.h"

namespace {

struct Stored {
  mode_t type;
  unsigned mode;
  std::string data;
  std::string link;
  std::map<std::string, std::string> xattrs;
  time_t mtime;
  long mtimeNs;
};

// Reads the pax stream behind the 8-byte signature.
std::map<std::string, Stored> ReadImage(const std::string& image) {
  std::map<std::string, Stored> entries;
  const std::string bytes = ReadBytes(image);
  EXPECT_EQ("!XSSXSS!", bytes.substr(0, 8));
  archive* a = archive_read_new();
  archive_read_support_format_tar(a);
  EXPECT_EQ(ARCHIVE_OK,
            archive_read_open_memory(a, bytes.data() + 8, bytes.size() - 8));
  archive_entry* e;
  while (archive_read_next_header(a, &e) == ARCHIVE_OK) {
    EXPECT_EQ(ARCHIVE_FORMAT_TAR_PAX_INTERCHANGE, archive_format(a));
    Stored s;
    s.type = archive_entry_filetype(e);
    s.mode = archive_entry_perm(e);
    s.mtime = archive_entry_mtime(e);
    s.mtimeNs = archive_entry_mtime_nsec(e);
    if (archive_entry_symlink(e)) s.link = archive_entry_symlink(e);
    const char* name;
    const void* value;
    size_t size;
    archive_entry_xattr_reset(e);
    while (archive_entry_xattr_next(e, &name, &value, &size) == ARCHIVE_OK)
      s.xattrs[name] = std::string(static_cast<const char*>(value), size);
    char buffer[4096];
    la_ssize_t n;
    while ((n = archive_read_data(a, buffer, sizeof(buffer))) > 0)
      s.data.append(buffer, static_cast<size_t>(n));
    entries[archive_entry_pathname(e)] = s;
  }
  archive_read_free(a);
  return entries;
}

class PackTest : public ImageTest {};

TEST_F(PackTest, WritesTheSignatureAndAPaxStreamOfTheTree) {
  mkdir((source_ / "dir").c_str(), 0750);
  WriteBytes(source_ / "dir/f.bin", PatternBytes(70000));
  chmod((source_ / "dir/f.bin").c_str(), 0600);
  ASSERT_EQ(0, symlink("dir/f.bin", (source_ / "link").c_str()));
  ASSERT_EQ(0, setxattr((source_ / "dir/f.bin").c_str(), "user.DOSATTRIB",
                        "0x20\0", 5, 0));
  const struct timespec times[2] = {{1400000000, 0}, {1500000000, 123456700}};
  ASSERT_EQ(0, utimensat(AT_FDCWD, (source_ / "dir/f.bin").c_str(), times, 0));

  const std::map<std::string, Stored> entries =
      ReadImage(Pack(source_.path()));
  ASSERT_EQ(3u, entries.size());
  // A folder's name carries a trailing "/" in tar.
  const Stored& dir = entries.at("dir/");
  EXPECT_EQ(static_cast<mode_t>(AE_IFDIR), dir.type);
  EXPECT_EQ(0750u, dir.mode);
  const Stored& file = entries.at("dir/f.bin");
  EXPECT_EQ(PatternBytes(70000), file.data);
  EXPECT_EQ(0600u, file.mode);
  EXPECT_EQ(1500000000, file.mtime);
  EXPECT_EQ(123456700, file.mtimeNs);
  EXPECT_EQ(std::string("0x20\0", 5), file.xattrs.at("user.DOSATTRIB"));
  const Stored& link = entries.at("link");
  EXPECT_EQ(static_cast<mode_t>(AE_IFLNK), link.type);
  EXPECT_EQ("dir/f.bin", link.link);
}

TEST_F(PackTest, KeepsOnlyUserAttributesAndSkipsPipes) {
  WriteBytes(source_ / "f", "x");
  ASSERT_EQ(0, setxattr((source_ / "f").c_str(), "user.kvmorvel.shortname",
                        "F", 1, 0));
  // Root may write trusted attributes; they stay out of the image.
  const bool trusted =
      setxattr((source_ / "f").c_str(), "trusted.secret", "s", 1, 0) == 0;
  ASSERT_EQ(0, mkfifo((source_ / "pipe").c_str(), 0644));
  const std::map<std::string, Stored> entries =
      ReadImage(Pack(source_.path()));
  ASSERT_EQ(1u, entries.size());
  const Stored& f = entries.at("f");
  EXPECT_EQ("F", f.xattrs.at("user.kvmorvel.shortname"));
  if (trusted) {
    EXPECT_EQ(0u, f.xattrs.count("trusted.secret"));
  }
}

// Packs `folder` into `image` as the test's user or, when the test runs as
// root, in a child process running as nobody (uid 65534), so that the
// files are readable to the packer but not its own. Returns the packer's
// code, or 255 when the child could not become nobody.
unsigned PackAsAnotherUser(const std::string& folder, const std::string& image) {
  std::string error;
  if (geteuid() != 0) return KvPackImage(folder, image, &error);
  const pid_t child = fork();
  if (child == 0) {
    // The fixture's current folder is root's own: nobody starts at "/".
    if (setgid(65534) != 0 || setuid(65534) != 0 || chdir("/") != 0)
      _exit(255);
    _exit(static_cast<int>(KvPackImage(folder, image, &error) & 0xFF));
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status))
    return 255;
  return static_cast<unsigned>(WEXITSTATUS(status));
}

// Reading a file must not need more than the right to read it: the
// packer leaves access times alone, which would take owning the file.
TEST_F(PackTest, FilesTheUserCanReadButDoesNotOwnArePacked) {
  std::string folder = source_.path();
  if (geteuid() == 0) {
    WriteBytes(source_ / "theirs.txt", "readable by all");
    ASSERT_EQ(0, chmod((source_ / "theirs.txt").c_str(), 0644));
    ASSERT_EQ(0, chmod(source_.path().c_str(), 0755));
    ASSERT_EQ(0, chmod(images_.path().c_str(), 0777));
  } else {
    // Files of the system's, readable by everyone on Debian.
    folder = "/etc/skel";
    struct stat st;
    if (stat(folder.c_str(), &st) != 0 || st.st_uid == geteuid())
      GTEST_SKIP() << "no folder of readable files another user owns";
  }
  const std::string image = images_ / "foreign.img";
  ASSERT_EQ(0u, PackAsAnotherUser(folder, image));
  const std::map<std::string, Stored> entries = ReadImage(image);
  size_t files = 0;
  for (const auto& entry : entries) {
    if (entry.second.type != AE_IFREG) continue;
    ++files;
    EXPECT_EQ(ReadBytes(folder + "/" + entry.first), entry.second.data)
        << entry.first;
  }
  EXPECT_GT(files, 0u);
}

TEST_F(PackTest, AnImageInsideItsOwnFolderIsLeftOut) {
  WriteBytes(source_ / "a", "a");
  std::string error;
  const std::string image = source_ / "self.img";
  ASSERT_EQ(0u, KvPackImage(source_.path(), image, &error)) << error;
  const std::map<std::string, Stored> entries = ReadImage(image);
  EXPECT_EQ(1u, entries.size());
  EXPECT_EQ(1u, entries.count("a"));
}

TEST_F(PackTest, RefusesAMissingFolderOrAFileAndWritesNoImage) {
  std::string error;
  const std::string image = images_ / "x.img";
  EXPECT_EQ(3u, KvPackImage(source_ / "missing", image, &error));
  EXPECT_FALSE(error.empty());
  WriteBytes(source_ / "plain", "p");
  EXPECT_EQ(267u, KvPackImage(source_ / "plain", image, &error));
  EXPECT_FALSE(Exists(image));
  EXPECT_EQ(3u, KvPackImage(source_.path(), images_ / "no/such/dir.img",
                            &error));
}

}  // namespace
