#include "reader.h"

#include "text.h"

namespace {
const DWORD kImageVersion = 3;
const DWORD kNoMoreEntries = 259;
const DWORD kCatalogueDamaged = 1392;
const DWORD kNameCapacity = 260;
}  // namespace

bool OpenForReading(CKvMorvel* archive, const std::string& path) {
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
