// SPDX-License-Identifier: GPL-2.0-or-later
// Unpacking a disk image: the signature is checked, then the pax tar
// stream is read with libarchive and written below a private folder with
// libarchive's disk writer, every name checked to stay inside it.
#include "image_unpack.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstdio>
#include <functional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "image_format.h"

namespace {

const unsigned kOutOfMemory = 8;
const unsigned kInvalidData = 13;
const unsigned kWriteFault = 29;
const unsigned kDiskFull = 112;
const size_t kReadChunk = 1 << 16;

// Refuses names that would leave the folder and paths through links;
// restores modes, times and user extended attributes. Owners are not
// restored: the tree belongs to the user who mounts it.
const int kDiskOptions =
    ARCHIVE_EXTRACT_TIME | ARCHIVE_EXTRACT_PERM | ARCHIVE_EXTRACT_XATTR |
    ARCHIVE_EXTRACT_SECURE_SYMLINKS | ARCHIVE_EXTRACT_SECURE_NODOTDOT;

struct Source {
  HANDLE file;
  std::vector<char> buffer;
};

la_ssize_t ReadImage(archive* reader, void* context, const void** block) {
  Source* source = static_cast<Source*>(context);
  DWORD got = 0;
  if (!ReadFile(source->file, source->buffer.data(),
                static_cast<DWORD>(source->buffer.size()), &got, nullptr)) {
    archive_set_error(reader, EIO, "the image cannot be read (%u)",
                      static_cast<unsigned>(GetLastError()));
    return -1;
  }
  *block = source->buffer.data();
  return static_cast<la_ssize_t>(got);
}

unsigned WriteCode(archive* writer) {
  const int e = archive_errno(writer);
  return (e == ENOSPC || e == EDQUOT) ? kDiskFull : kWriteFault;
}

// A name relative to the image's root: no leading "/", and no empty, "."
// or ".." component, nor one holding "\": the Win32 layer reads "\" as a
// separator, so "j\victim.txt" would name victim.txt through j. One
// trailing "/" (a folder's) is dropped.
bool PlainRelativeName(std::string name, std::string* out) {
  if (!name.empty() && name.back() == '/') name.pop_back();
  if (name.empty() || name[0] == '/') return false;
  size_t start = 0;
  for (;;) {
    const size_t slash = name.find('/', start);
    const std::string part = name.substr(start, slash - start);
    if (part.empty() || part == "." || part == ".." ||
        part.find('\\') != std::string::npos)
      return false;
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  *out = name;
  return true;
}

// The value of one extended attribute record of the entry.
bool FindXattr(archive_entry* entry, const char* wanted, std::string* out) {
  const char* name = nullptr;
  const void* value = nullptr;
  size_t size = 0;
  archive_entry_xattr_reset(entry);
  while (archive_entry_xattr_next(entry, &name, &value, &size) ==
         ARCHIVE_OK) {
    if (!name || strcmp(name, wanted) != 0) continue;
    if (out) out->assign(static_cast<const char*>(value), size);
    return true;
  }
  return false;
}

// Stores a creation time the layer's way (it keeps it in user.DOSATTRIB),
// through the layer itself.
bool SetCreationTime(const std::string& path, ULONGLONG ticks) {
  std::vector<WCHAR> wide(path.size() + 1);
  if (MultiByteToWideChar(CP_UTF8, 0, path.c_str(), -1, wide.data(),
                          static_cast<int>(wide.size())) <= 0)
    return false;
  HANDLE file = CreateFileW(wide.data(), GENERIC_WRITE, 0, nullptr,
                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                            nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  FILETIME creation;
  creation.dwLowDateTime = static_cast<DWORD>(ticks);
  creation.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  const BOOL ok = SetFileTime(file, &creation, nullptr, nullptr);
  CloseHandle(file);
  return ok;
}

// The birth time record "SECONDS.NANOSECONDS" as 100 ns ticks since 1601;
// 0 (none) when it is malformed or out of range.
ULONGLONG BirthTicks(const std::string& text) {
  long long seconds = 0;
  long nanoseconds = 0;
  char rest = 0;
  if (sscanf(text.c_str(), "%lld.%9ld%c", &seconds, &nanoseconds, &rest) != 2 ||
      nanoseconds < 0)
    return 0;
  const long long kEpochDelta = 11644473600;  // 1601 to 1970, in seconds
  const long long kLast = 900000000000ll;      // far beyond any FILETIME use
  if (seconds < -kEpochDelta || seconds > kLast) return 0;
  return static_cast<ULONGLONG>(seconds + kEpochDelta) * 10000000u +
         static_cast<ULONGLONG>(nanoseconds) / 100u;
}

class Unpacker {
 public:
  Unpacker(HANDLE image, const std::string& folder)
      : source_{image, std::vector<char>(kReadChunk)}, folder_(folder) {}
  ~Unpacker() {
    if (reader_) archive_read_free(reader_);
    if (writer_) archive_write_free(writer_);
  }
  Unpacker(const Unpacker&) = delete;
  Unpacker& operator=(const Unpacker&) = delete;

  unsigned Run(std::string* error);

 private:
  unsigned Open(std::string* error);
  unsigned Entry(archive_entry* entry, std::string* error);
  unsigned CopyData(std::string* error);
  unsigned CloseFolders(std::string* error);

  Source source_;
  std::string folder_;
  archive* reader_ = nullptr;
  archive* writer_ = nullptr;
  std::set<std::string> seen_;
  // Files whose mode forbids writing: written writable, so that their
  // extended attributes can be set, and given their mode at the end.
  std::vector<std::pair<std::string, mode_t>> readOnly_;
  // Folders with their stored permission bits: each is made u+rwx, so
  // that it can be filled (and its files given their times, attributes
  // and modes), and given its own mode once everything below it is
  // written.
  std::vector<std::pair<std::string, mode_t>> folders_;
  // Items whose creation time the image records apart from the layer's
  // attributes (the packer's birth time): stored once the tree is written.
  std::vector<std::pair<std::string, ULONGLONG>> creationTimes_;
};

unsigned Unpacker::Open(std::string* error) {
  const std::vector<unsigned char> expected = ImageSignature();
  std::vector<unsigned char> signature(expected.size());
  DWORD got = 0;
  if (!ReadFile(source_.file, signature.data(), static_cast<DWORD>(signature.size()),
                &got, nullptr) ||
      got != signature.size() || signature != expected)
    return Fail(error, "not a disk image (no signature)", kInvalidData);
  reader_ = archive_read_new();
  writer_ = archive_write_disk_new();
  if (!reader_ || !writer_) return Fail(error, "out of memory", kOutOfMemory);
  archive_read_support_format_tar(reader_);
  archive_write_disk_set_options(writer_, kDiskOptions);
  if (archive_read_open(reader_, &source_, nullptr, ReadImage, nullptr) !=
      ARCHIVE_OK)
    return Fail(error, archive_error_string(reader_), kInvalidData);
  return 0;
}

unsigned Unpacker::Run(std::string* error) {
  unsigned code = Open(error);
  for (archive_entry* entry = nullptr; !code;) {
    const int r = archive_read_next_header(reader_, &entry);
    if (r == ARCHIVE_EOF) break;
    if (r != ARCHIVE_OK)
      return Fail(error, archive_error_string(reader_), kInvalidData);
    code = Entry(entry, error);
  }
  if (code) return code;
  if (archive_write_close(writer_) != ARCHIVE_OK)
    return Fail(error, archive_error_string(writer_), WriteCode(writer_));
  for (const auto& item : creationTimes_)
    if (!SetCreationTime(item.first, item.second))
      return Fail(error, item.first + ": creation time not set", kWriteFault);
  for (const auto& file : readOnly_)
    if (chmod(file.first.c_str(), file.second) != 0)
      return Fail(error, file.first + ": mode not set", kWriteFault);
  return CloseFolders(error);
}

// Gives each folder its stored mode, deepest first: a folder's path is a
// prefix of everything below it, so in descending order every folder
// comes after its contents and is still u+rwx while they are done. The
// folder is opened without following a link and set through the open
// descriptor, exactly to the stored bits (set-id and sticky bits were
// dropped with the entry), so nothing ends wider than the image says.
unsigned Unpacker::CloseFolders(std::string* error) {
  std::sort(folders_.begin(), folders_.end(),
            std::greater<std::pair<std::string, mode_t>>());
  for (const auto& folder : folders_) {
    const int fd = open(folder.first.c_str(),
                        O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    const bool set = fd >= 0 && fchmod(fd, folder.second) == 0;
    if (fd >= 0) close(fd);
    if (!set) return Fail(error, folder.first + ": mode not set", kWriteFault);
  }
  return 0;
}

unsigned Unpacker::Entry(archive_entry* entry, std::string* error) {
  const char* raw = archive_entry_pathname(entry);
  std::string name;
  if (!raw || !PlainRelativeName(raw, &name))
    return Fail(error, std::string("unsafe entry name: ") + (raw ? raw : ""),
                kInvalidData);
  if (!seen_.insert(name).second)
    return Fail(error, "entry given twice: " + name, kInvalidData);
  const mode_t type = archive_entry_filetype(entry);
  if (archive_entry_hardlink(entry) ||
      (type != AE_IFREG && type != AE_IFDIR && type != AE_IFLNK))
    return Fail(error, "entry of a kind an image cannot hold: " + name,
                kInvalidData);

  const std::string path = folder_ + "/" + name;
  archive_entry_set_pathname(entry, path.c_str());
  // A creation time stored by the layer wins over the birth time record.
  std::string birth;
  if (type != AE_IFLNK && FindXattr(entry, kBirthTimeName, &birth) &&
      !FindXattr(entry, "user.DOSATTRIB", nullptr)) {
    if (const ULONGLONG ticks = BirthTicks(birth))
      creationTimes_.emplace_back(path, ticks);
  }
  KeepUserXattrs(entry);
  archive_entry_acl_clear(entry);
  // No set-user-id, set-group-id or sticky bits from an image.
  mode_t permissions = archive_entry_perm(entry) & 0777;
  if (type == AE_IFREG && !(permissions & 0200)) {
    readOnly_.emplace_back(path, permissions);
    permissions |= 0200;
  }
  if (type == AE_IFDIR) {
    folders_.emplace_back(path, permissions);
    permissions |= 0700;
  }
  archive_entry_set_perm(entry, permissions);

  const int r = archive_write_header(writer_, entry);
  if (r != ARCHIVE_OK && r != ARCHIVE_WARN) {
    const unsigned code = WriteCode(writer_);
    return Fail(error, archive_error_string(writer_),
                code == kDiskFull ? code : kInvalidData);
  }
  if (type == AE_IFREG) {
    const unsigned code = CopyData(error);
    if (code) return code;
  }
  if (archive_write_finish_entry(writer_) < ARCHIVE_WARN)
    return Fail(error, archive_error_string(writer_), WriteCode(writer_));
  return 0;
}

unsigned Unpacker::CopyData(std::string* error) {
  for (;;) {
    const void* block = nullptr;
    size_t size = 0;
    la_int64_t offset = 0;
    const int r = archive_read_data_block(reader_, &block, &size, &offset);
    if (r == ARCHIVE_EOF) return 0;
    if (r != ARCHIVE_OK)
      return Fail(error, archive_error_string(reader_), kInvalidData);
    if (archive_write_data_block(writer_, block, size, offset) < ARCHIVE_OK)
      return Fail(error, archive_error_string(writer_), WriteCode(writer_));
  }
}

}  // namespace

unsigned KvUnpackImage(HANDLE image, const std::string& folder,
                       std::string* error) {
  Unpacker unpacker(image, folder);
  return unpacker.Run(error);
}
