// SPDX-License-Identifier: GPL-2.0-or-later
// Packing a folder into a disk image: the signature, then a pax tar
// stream written with libarchive, holding every folder, file and symbolic
// link below the folder with its mode, times and user extended attributes.
#include "image_pack.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "image_format.h"
#include "platform/posix/errno_code.h"

namespace {

// Windows codes the packer reports.
const unsigned kPathNotFound = 3;
const unsigned kWriteFault = 29;
const unsigned kReadFault = 30;
const unsigned kDirectoryExpected = 267;

// The layer's code for `error`; `otherwise` for an errno its table does
// not hold (libarchive's own failures among them).
unsigned CodeFromErrno(int error, unsigned otherwise) {
  uint32_t code = otherwise;
  kvposix::LookUpErrnoCode(error, &code);
  return code;
}

std::string WithoutTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// The creation time the layer shows for an item without a stored one is
// its birth time, or its last write time where the file system keeps no
// birth time. Unpacking makes a new file with a new birth time, so the
// image records it for the mount library to store as the creation time.
// Called while the entry still holds the item's path on disk.
void AddBirthTime(archive_entry* entry) {
  struct statx sx;
  long long seconds = archive_entry_mtime(entry);
  long nanoseconds = archive_entry_mtime_nsec(entry);
  if (statx(AT_FDCWD, archive_entry_pathname(entry), AT_SYMLINK_NOFOLLOW,
            STATX_BTIME, &sx) == 0 &&
      (sx.stx_mask & STATX_BTIME)) {
    seconds = sx.stx_btime.tv_sec;
    nanoseconds = static_cast<long>(sx.stx_btime.tv_nsec);
  }
  char text[48];
  const int n = snprintf(text, sizeof(text), "%lld.%09ld", seconds,
                         nanoseconds);
  if (n > 0 && static_cast<size_t>(n) < sizeof(text))
    archive_entry_xattr_add_entry(entry, kBirthTimeName, text,
                                  static_cast<size_t>(n));
}

// One packing run: the disk reader over the folder and the pax writer
// over the image file.
class Packer {
 public:
  // Items that are `previous` (what the image's name held before) are
  // left out, like the image file itself.
  Packer(const std::string& folder, int imageFd, const struct stat* previous)
      : folder_(WithoutTrailingSlashes(folder)), imageFd_(imageFd) {
    if (previous) previous_ = *previous;
  }
  ~Packer() {
    if (disk_) archive_read_free(disk_);
    if (writer_) archive_write_free(writer_);
  }
  Packer(const Packer&) = delete;
  Packer& operator=(const Packer&) = delete;

  unsigned Run(std::string* error);

 private:
  unsigned OpenBoth(std::string* error);
  unsigned WriteEntry(archive_entry* entry, const std::string& name,
                      std::string* error);
  unsigned CopyData(std::string* error);
  bool IsImageItself(const struct stat* st) const {
    return st && ((st->st_dev == image_.st_dev && st->st_ino == image_.st_ino) ||
                  (st->st_dev == previous_.st_dev && st->st_ino == previous_.st_ino));
  }

  std::string folder_;
  int imageFd_;
  struct stat image_ {};
  struct stat previous_ {};
  archive* disk_ = nullptr;
  archive* writer_ = nullptr;
};

unsigned Packer::OpenBoth(std::string* error) {
  if (fstat(imageFd_, &image_) != 0)
    return Fail(error, "cannot read the image file's status", kWriteFault);
  writer_ = archive_write_new();
  disk_ = archive_read_disk_new();
  if (!writer_ || !disk_) return Fail(error, "out of memory", 8);
  // Names are stored as the bytes the file system holds, never converted
  // through the locale, so every Linux name survives unchanged.
  if (archive_write_set_format_pax(writer_) != ARCHIVE_OK ||
      archive_write_set_format_option(writer_, "pax", "hdrcharset",
                                      "BINARY") != ARCHIVE_OK ||
      archive_write_open_fd(writer_, imageFd_) != ARCHIVE_OK)
    return Fail(error, archive_error_string(writer_), kWriteFault);
  archive_read_disk_set_symlink_physical(disk_);
  archive_read_disk_set_standard_lookup(disk_);
  // Access times are left as reading leaves them: putting them back would
  // take owning each file (or opening it with O_NOATIME, which only the
  // owner may), and packing needs only the right to read.
  archive_read_disk_set_behavior(disk_, 0);
  if (archive_read_disk_open(disk_, folder_.c_str()) != ARCHIVE_OK)
    return Fail(error, archive_error_string(disk_),
                CodeFromErrno(archive_errno(disk_), kPathNotFound));
  return 0;
}

unsigned Packer::Run(std::string* error) {
  unsigned code = OpenBoth(error);
  if (code) return code;
  archive_entry* entry = archive_entry_new();
  if (!entry) return Fail(error, "out of memory", 8);
  const std::string prefix = folder_ == "/" ? "/" : folder_ + "/";
  bool atRoot = true;
  for (;;) {
    archive_entry_clear(entry);
    const int r = archive_read_next_header2(disk_, entry);
    if (r == ARCHIVE_EOF) break;
    if (r < ARCHIVE_WARN) {
      code = Fail(error, archive_error_string(disk_),
                  CodeFromErrno(archive_errno(disk_), kReadFault));
      break;
    }
    const std::string path = archive_entry_pathname(entry);
    const struct stat* st = archive_entry_stat(entry);
    if (archive_read_disk_can_descend(disk_)) archive_read_disk_descend(disk_);
    // The folder itself becomes the drive's root, which has no entry.
    if (atRoot) {
      atRoot = false;
      continue;
    }
    if (IsImageItself(st) || path.compare(0, prefix.size(), prefix) != 0)
      continue;
    code = WriteEntry(entry, path.substr(prefix.size()), error);
    if (code) break;
  }
  archive_entry_free(entry);
  if (code) return code;
  if (archive_write_close(writer_) != ARCHIVE_OK)
    return Fail(error, archive_error_string(writer_),
                CodeFromErrno(archive_errno(writer_), kWriteFault));
  return 0;
}

unsigned Packer::WriteEntry(archive_entry* entry, const std::string& name,
                            std::string* error) {
  const mode_t type = archive_entry_filetype(entry);
  // Devices, pipes and sockets have no place on a Windows volume.
  if (type != AE_IFREG && type != AE_IFDIR && type != AE_IFLNK) return 0;
  KeepUserXattrs(entry);
  if (type != AE_IFLNK) AddBirthTime(entry);
  archive_entry_set_pathname(entry, name.c_str());
  archive_entry_acl_clear(entry);
  archive_entry_sparse_clear(entry);
  if (archive_write_header(writer_, entry) < ARCHIVE_WARN)
    return Fail(error, archive_error_string(writer_),
                CodeFromErrno(archive_errno(writer_), kWriteFault));
  return type == AE_IFREG ? CopyData(error) : 0;
}

unsigned Packer::CopyData(std::string* error) {
  std::vector<char> buffer(1 << 16);
  for (;;) {
    const la_ssize_t got = archive_read_data(disk_, buffer.data(), buffer.size());
    if (got == 0) return 0;
    if (got < 0)
      return Fail(error, archive_error_string(disk_),
                  CodeFromErrno(archive_errno(disk_), kReadFault));
    if (archive_write_data(writer_, buffer.data(),
                           static_cast<size_t>(got)) != got)
      return Fail(error, archive_error_string(writer_),
                  CodeFromErrno(archive_errno(writer_), kWriteFault));
  }
}

}  // namespace

namespace {

// Makes a new file beside `image` for the image to be written into, named
// `image` + ".kvtmp.<pid>.<n>", created exclusively: nothing that is
// already there (a file, a link planted by someone who may write the
// folder) is ever opened. Returns its descriptor and name, or -1 with
// errno.
int CreateFileBeside(const std::string& image, std::string* temp) {
  for (unsigned attempt = 0; attempt < 100; ++attempt) {
    *temp = image + ".kvtmp." + std::to_string(getpid()) + "." +
            std::to_string(attempt);
    const int fd = open(temp->c_str(),
                        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  errno = EEXIST;
  return -1;
}

unsigned WriteImage(const std::string& folder, const std::string& image,
                    int fd, const struct stat* previous, std::string* error) {
  const std::vector<unsigned char> signature = ImageSignature();
  if (write(fd, signature.data(), signature.size()) !=
      static_cast<ssize_t>(signature.size()))
    return Fail(error, image + ": " + strerror(errno),
                CodeFromErrno(errno, kWriteFault));
  Packer packer(folder, fd, previous);
  return packer.Run(error);
}

}  // namespace

// IMAGE is never opened: the image is written into a new file made beside
// it and renamed over it once complete. Whatever the name held before (a
// file, or a link planted there) is replaced by the rename, and a link's
// target is never written. Until then an older image at the name stays
// whole, and a failed run leaves it so.
unsigned KvPackImage(const std::string& folder, const std::string& image,
                     std::string* error) {
  struct stat st;
  if (stat(folder.c_str(), &st) != 0)
    return Fail(error, folder + ": " + strerror(errno),
                errno == ENOENT ? kPathNotFound
                                : CodeFromErrno(errno, kPathNotFound));
  if (!S_ISDIR(st.st_mode))
    return Fail(error, folder + " is not a folder", kDirectoryExpected);
  std::string temp;
  const int fd = CreateFileBeside(image, &temp);
  // With O_CREAT, a missing name can only be a missing folder on the way.
  if (fd < 0)
    return Fail(error, image + ": " + strerror(errno),
                errno == ENOENT ? kPathNotFound
                                : CodeFromErrno(errno, kWriteFault));
  // An older image inside the folder is left out like the new one.
  struct stat previous;
  const bool hadPrevious = lstat(image.c_str(), &previous) == 0;
  unsigned code = WriteImage(folder, image, fd,
                             hadPrevious ? &previous : nullptr, error);
  if (close(fd) != 0 && !code)
    code = Fail(error, image + ": " + strerror(errno),
                CodeFromErrno(errno, kWriteFault));
  if (!code && rename(temp.c_str(), image.c_str()) != 0)
    code = Fail(error, image + ": " + strerror(errno),
                CodeFromErrno(errno, kWriteFault));
  // A half-written image is removed rather than left to look like one.
  if (code) unlink(temp.c_str());
  return code;
}
