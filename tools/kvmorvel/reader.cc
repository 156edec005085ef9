#include "reader.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "text.h"

namespace {
const DWORD kImageVersion = 3;
const DWORD kNoMoreEntries = 259;
const DWORD kCatalogueDamaged = 1392;
const DWORD kNameCapacity = 260;
const char kImageSignature[] = "!XSSXSS!";
const char kMountLibrary[] = "virtdisk.dll";

bool IsImage(const std::string& path) {
  FILE* file = fopen(path.c_str(), "rb");
  if (!file) return false;
  char head[8];
  const bool image = fread(head, 1, sizeof head, file) == sizeof head &&
                     memcmp(head, kImageSignature, sizeof head) == 0;
  fclose(file);
  return image;
}

std::string CommandFolder() {
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return std::string();
  const std::string path(self, static_cast<size_t>(n));
  return path.substr(0, path.rfind('/'));
}

// The library mounts an image through the mount library of the current
// folder. When that folder has none, the one beside the command is used,
// so that images open from any folder; every path the command hands the
// library is absolute, so changing folders moves nothing else.
void FindMountLibrary(const std::string& path) {
  if (!IsImage(path) || access(kMountLibrary, F_OK) == 0) return;
  const std::string folder = CommandFolder();
  if (!folder.empty() &&
      access((folder + "/" + kMountLibrary).c_str(), F_OK) == 0 &&
      chdir(folder.c_str()) != 0) {
    ReportNote("cannot enter " + folder + " to mount the image");
  }
}
}  // namespace

bool OpenForReading(CKvMorvel* archive, const std::string& path) {
  FindMountLibrary(path);
  std::u16string wide;
  if (!Utf8ToUtf16(path, &wide)) {
    ReportFailure("cannot open " + path + ": the name is not valid UTF-8",
                  123);
    return false;
  }
  if (!archive->Open(reinterpret_cast<LPCWSTR>(wide.c_str()), TRUE, 0)) {
    ReportOpenFailure(path, archive->GetErrorCode());
    return false;
  }
  return true;
}

bool LoadEntry(CKvMorvel* archive, bool advance, bool* failed,
               unsigned long long loaded) {
  if (archive->Info(advance ? TRUE : FALSE)) return true;
  if (archive->GetVersion() == kImageVersion) return false;
  const DWORD code = archive->GetErrorCode();
  if (code == kNoMoreEntries) return false;
  if (code == kCatalogueDamaged)
    ReportFailure("the catalogue is damaged after entry " +
                      std::to_string(loaded),
                  code);
  else
    ReportFailure("cannot read the catalogue", code);
  *failed = true;
  return false;
}

std::u16string EntryName(CKvMorvel* archive) {
  WCHAR name[kNameCapacity] = {0};
  if (!archive->GetFile(name, kNameCapacity)) return std::u16string();
  name[kNameCapacity - 1] = 0;
  return std::u16string(reinterpret_cast<const char16_t*>(name));
}
