// SPDX-License-Identifier: GPL-2.0-or-later
#include "image/image_fixture.h"

#include <archive.h>
#include <archive_entry.h>
#include <dirent.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>

#include "image_pack.h"
#include "kvwin32.h"

std::string ReparseData(const std::u16string& path) {
  HANDLE h = CreateFileW(P(path), 0, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         nullptr, OPEN_EXISTING,
                         FILE_FLAG_OPEN_REPARSE_POINT |
                             FILE_FLAG_BACKUP_SEMANTICS,
                         nullptr);
  if (h == INVALID_HANDLE_VALUE) return "(no open)";
  std::string data(17000, '\0');
  DWORD got = 0;
  const BOOL ok = DeviceIoControl(h, FSCTL_GET_REPARSE_POINT, nullptr, 0,
                                  &data[0], 17000, &got, nullptr);
  CloseHandle(h);
  return ok ? data.substr(0, got) : "(no data)";
}

std::string Backslashed(std::string path) {
  for (char& c : path)
    if (c == '/') c = '\\';
  return path;
}

void ImageTest::SetUp() {
  char cwd[PATH_MAX];
  ASSERT_TRUE(getcwd(cwd, sizeof(cwd)));
  savedDirectory_ = cwd;
  ASSERT_EQ(0, chdir(work_.path().c_str()));
  const char* tmp = getenv("TMPDIR");
  hadTmpdir_ = tmp != nullptr;
  if (tmp) savedTmpdir_ = tmp;
  setenv("TMPDIR", mounts_.path().c_str(), 1);
}

void ImageTest::TearDown() {
  if (chdir(savedDirectory_.c_str()) != 0) ADD_FAILURE() << "chdir back";
  if (hadTmpdir_)
    setenv("TMPDIR", savedTmpdir_.c_str(), 1);
  else
    unsetenv("TMPDIR");
}

std::string ImageTest::Pack(const std::string& folder) {
  const std::string image =
      images_ / ("image" + std::to_string(++imageCount_) + ".img");
  std::string error;
  EXPECT_EQ(0u, KvPackImage(folder, image, &error)) << error;
  return image;
}

std::string ImageTest::Build(const std::vector<TarItem>& items) {
  const std::string image =
      images_ / ("built" + std::to_string(++imageCount_) + ".img");
  {
    std::ofstream f(image, std::ios::binary);
    f << "!XSSXSS!";
  }
  FILE* out = fopen(image.c_str(), "ab");
  archive* w = archive_write_new();
  archive_write_set_format_pax(w);
  archive_write_open_FILE(w, out);
  for (const TarItem& item : items) {
    archive_entry* e = archive_entry_new();
    archive_entry_set_pathname(e, item.name.c_str());
    archive_entry_set_perm(e, item.mode);
    archive_entry_set_mtime(e, 1500000000, 0);
    switch (item.kind) {
      case 'd': archive_entry_set_filetype(e, AE_IFDIR); break;
      case 'l':
        archive_entry_set_filetype(e, AE_IFLNK);
        archive_entry_set_symlink(e, item.data.c_str());
        break;
      case 'h':
        archive_entry_set_filetype(e, AE_IFREG);
        archive_entry_set_hardlink(e, item.data.c_str());
        break;
      default:
        archive_entry_set_filetype(e, AE_IFREG);
        archive_entry_set_size(
            e, static_cast<la_int64_t>(item.holeBefore + item.data.size()));
        if (item.holeBefore)
          archive_entry_sparse_add_entry(
              e, static_cast<la_int64_t>(item.holeBefore),
              static_cast<la_int64_t>(item.data.size()));
    }
    for (const auto& x : item.xattrs)
      archive_entry_xattr_add_entry(e, x.first.c_str(), x.second.data(),
                                    x.second.size());
    archive_write_header(w, e);
    // The writer takes every byte and leaves out those of the holes.
    const std::string zeros(1 << 20, '\0');
    for (size_t left = item.holeBefore; left > 0;) {
      const size_t n = std::min(left, zeros.size());
      archive_write_data(w, zeros.data(), n);
      left -= n;
    }
    if (item.kind == 'f') archive_write_data(w, item.data.data(), item.data.size());
    archive_entry_free(e);
  }
  archive_write_close(w);
  archive_write_free(w);
  fclose(out);
  return image;
}

std::vector<std::string> ImageTest::PrivateFolders() const {
  std::vector<std::string> names;
  DIR* d = opendir(mounts_.path().c_str());
  if (!d) return names;
  while (dirent* e = readdir(d))
    if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
      names.push_back(e->d_name);
  closedir(d);
  return names;
}

bool ImageTest::LetterMapped(char letter) const {
  return Exists(devices_.path() + "/" + static_cast<char>(tolower(letter)) +
                ":");
}

std::string ImageTest::MountedFolder(char letter) const {
  char target[PATH_MAX];
  const std::string link =
      devices_.path() + "/" + static_cast<char>(tolower(letter)) + ":";
  const ssize_t n = readlink(link.c_str(), target, sizeof(target) - 1);
  return std::string(target, n > 0 ? static_cast<size_t>(n) : 0);
}

void ImageTest::OpenImage(CKvMorvel& image, const std::string& path) {
  ASSERT_TRUE(image.Open(P(W(path)), TRUE, 0)) << image.GetErrorCode();
  ASSERT_EQ(3u, image.GetVersion());
}

std::vector<std::string> ImageTest::ListAll(CKvMorvel& image) {
  std::vector<std::string> names;
  WCHAR name[260];
  while (image.Info(1)) {
    EXPECT_TRUE(image.GetFile(name, 260));
    names.push_back(N(name));
  }
  return names;
}

std::vector<std::string> ImageTest::ExtractAll(CKvMorvel& image,
                                               const std::u16string& target) {
  std::vector<std::string> failed;
  WCHAR name[260];
  while (image.Info(0)) {
    image.GetFile(name, 260);
    PrimeStaleCodes(image);
    if (!image.ExtractFile(P(target), 0))
      failed.push_back(N(name) + " (" + std::to_string(image.GetErrorCode()) +
                       ")");
    image.Info(1);
  }
  return failed;
}
