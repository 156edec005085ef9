// SPDX-License-Identifier: GPL-2.0-or-later
// Shared pieces of the disk image tests: a fixture with an empty current
// folder (the mount library is found beside the test program), private
// drive letters and a private temporary folder for the mounts; builders
// for images.
#ifndef KVMORVEL_TESTS_IMAGE_IMAGE_FIXTURE_H
#define KVMORVEL_TESTS_IMAGE_IMAGE_FIXTURE_H

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "KvMorvel.h"
#include "support/test_support.h"

// One entry of an image built directly with libarchive.
struct TarItem {
  TarItem(std::string n, char k = 'f', std::string d = std::string())
      : name(std::move(n)), kind(k), data(std::move(d)),
        mode(k == 'd' ? 0755 : 0644) {}
  std::string name;
  char kind = 'f';  // 'f' file, 'd' folder, 'l' symbolic link, 'h' hard link
  std::string data;  // file contents, or the link's target
  unsigned mode;  // 0755 for a folder, else 0644
  // A file whose data follows a hole of this many bytes, stored sparse.
  size_t holeBefore = 0;
  std::vector<std::pair<std::string, std::string>> xattrs;
};

class ImageTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Packs `folder` into a new image file and returns its path.
  std::string Pack(const std::string& folder);
  // Writes "!XSSXSS!" and a pax stream of `items` into a new image file.
  std::string Build(const std::vector<TarItem>& items);
  // Folders the mount library left in its temporary folder.
  std::vector<std::string> PrivateFolders() const;
  bool LetterMapped(char letter) const;
  // The folder a mounted letter shows, where a test can place what a
  // mount library other than ours might leave on the drive.
  std::string MountedFolder(char letter) const;
  // Opens `image` and expects success.
  void OpenImage(CKvMorvel& image, const std::string& path);
  // Every entry name, in walk order, stepping with Info(1).
  std::vector<std::string> ListAll(CKvMorvel& image);
  // Info(0), ExtractFile, Info(1) over the whole image; names that failed,
  // each with the code its copy left (stale codes primed before each).
  std::vector<std::string> ExtractAll(CKvMorvel& image,
                                      const std::u16string& target);

  DosDevices devices_;
  TempDir work_;     // the current folder while the test runs
  TempDir mounts_;   // TMPDIR while the test runs
  TempDir images_;   // image files
  TempDir source_;   // trees to pack
  TempDir target_;   // copy-out target
  int imageCount_ = 0;

 private:
  std::string savedDirectory_;
  std::string savedTmpdir_;
  bool hadTmpdir_ = false;
};

// The reparse data of a path as FSCTL_GET_REPARSE_POINT gives it, or
// "(no open)" / "(no data)" when it cannot be read.
std::string ReparseData(const std::u16string& path);

// The Windows name of an entry: "a/b" gives "a\b".
std::string Backslashed(std::string path);

#endif  // KVMORVEL_TESTS_IMAGE_IMAGE_FIXTURE_H
