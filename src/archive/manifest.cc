// SPDX-License-Identifier: GPL-2.0-or-later
// The manifest beside an archive: begun marked incomplete, an entry line
// per file added, then the archive files' lines and the mark "complete"
// as the last step of a successful Close.
#include "archive/manifest.h"

#include <memory>
#include <new>
#include <vector>

#include "KvMorvel.h"
#include "KvMorvelHost.h"
#include "common/manifest_text.h"
#include "common/utf.h"
#include "formats/file_io.h"
#include "formats/v1/v1_format.h"
#include "formats/v2/v2_format.h"
#include "formats/v5/v5_format.h"

namespace {

const DWORD kDigestPiece = 0x100000;
const DWORD kManifestNameChars = 260;
const WCHAR kManifestSuffix[] = {'.', 's', 'h', 'a', '2', '5', '6', 0};

bool BuildManifestName(const WCHAR* archive, WCHAR (&name)[kManifestNameChars]) {
  const int length = lstrlenW(archive);
  const int suffix = lstrlenW(kManifestSuffix);
  if (length + suffix >= static_cast<int>(kManifestNameChars)) return false;
  lstrcpyW(name, archive);
  lstrcpyW(name + length, kManifestSuffix);
  return true;
}

// The last component of `path` ("\" and "/" both separate).
const WCHAR* LastComponent(const WCHAR* path) {
  const WCHAR* last = path;
  for (const WCHAR* p = path; *p; ++p)
    if (*p == '\\' || *p == '/') last = p + 1;
  return last;
}

// Reads what `file` holds from its current position into `text`.
DWORD ReadRest(HANDLE file, std::string* text) {
  std::vector<char> piece(kDigestPiece);
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(file, piece.data(), kDigestPiece, &got, nullptr))
      return LastErrorOr(ERROR_HANDLE_EOF);
    if (got == 0) return 0;
    text->append(piece.data(), got);
  }
}

// The entry lines of the manifest at `path` when it is complete and its
// main file line (the first file line) holds `mainDigest`; else none. A
// manifest that is not there gives none and no code.
DWORD EarlierEntryLines(const WCHAR* path, const std::string& mainDigest,
                        std::string* lines) {
  HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    return code == ERROR_FILE_NOT_FOUND ? 0 : code;
  }
  std::string text;
  const DWORD code = ReadRest(file, &text);
  CloseHandle(file);
  if (code) return code;
  bool complete = false;
  bool sameMain = false;
  bool mainSeen = false;
  std::string entries;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    const ManifestLine parsed = ParseManifestLine(line);
    if (parsed.kind == ManifestLine::kComplete) complete = true;
    if (parsed.kind == ManifestLine::kEntry) entries += line + "\n";
    if (parsed.kind == ManifestLine::kFile && !mainSeen) {
      mainSeen = true;
      sameMain = parsed.hex == mainDigest;
    }
    start = end + 1;
  }
  if (complete && sameMain) *lines = entries;
  return 0;
}

// Writes `text` at the manifest's end. The handle's position is that end
// without a seek: the file is made empty (CREATE_ALWAYS) and only these
// appends write it, until the mark written at its start comes last
// (CompleteManifest). A seek per entry would be a system call per file.
DWORD AppendText(HANDLE file, const std::string& text) {
  if (!WriteExact(file, text.data(), static_cast<DWORD>(text.size())))
    return LastErrorOr(ERROR_DISK_FULL);
  return 0;
}

// The digest of what `file` holds from its position to its end. A read of
// a file that returns less than was asked for has met the end (ReadFile
// reads a disk file whole up to it), so the read after it is not made:
// for a small file that saves a system call per file digested.
DWORD DigestFromPosition(HANDLE file, uint8_t (&digest)[Sha256::kDigestBytes]) {
  std::unique_ptr<BYTE[]> piece(new (std::nothrow) BYTE[kDigestPiece]);
  if (!piece) return ERROR_NOT_ENOUGH_MEMORY;
  Sha256 hash;
  for (DWORD got = kDigestPiece; got == kDigestPiece;) {
    if (!ReadFile(file, piece.get(), kDigestPiece, &got, nullptr))
      return LastErrorOr(ERROR_HANDLE_EOF);
    hash.Update(piece.get(), got);
  }
  hash.Finish(digest);
  return 0;
}

// A handle just opened is at the file's start: no seek is needed.
DWORD DigestPath(const WCHAR* path, uint8_t (&digest)[Sha256::kDigestBytes]) {
  HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return LastErrorOr(ERROR_FILE_NOT_FOUND);
  const DWORD code = DigestFromPosition(file, digest);
  CloseHandle(file);
  return code;
}

DWORD AddFileLine(HANDLE manifest, const WCHAR* path) {
  uint8_t digest[Sha256::kDigestBytes];
  DWORD code = DigestPath(path, digest);
  if (!code)
    code = AppendText(manifest, ManifestFileLine(Sha256::ToHex(digest),
                                                 WideToUtf8(LastComponent(path))));
  return code;
}

// The archive's own handle on its main file, which it holds unshared.
HANDLE MainFileHandle(void* control, DWORD version) {
  if (version == 5) return V5Record(control)->archive;
  if (version == 2) return static_cast<_MVRL_OBJECT_2*>(control)->archive;
  return static_cast<_MVRL_OBJECT*>(control)->archive;
}

// The main file was read through the handle the adders write with: they
// must place the file pointer again (version 5 always seeks to the end).
void ForgetWritePosition(void* control, DWORD version) {
  if (version == 2) static_cast<_MVRL_OBJECT_2*>(control)->atWritePosition = false;
  if (version == 1) static_cast<_MVRL_OBJECT*>(control)->atWritePosition = false;
}

}  // namespace

std::string WideToUtf8(const WCHAR* name) {
  std::u16string wide;
  for (const WCHAR* p = name; *p; ++p) wide += static_cast<char16_t>(*p);
  return Utf16ToUtf8(wide);
}

DWORD DigestOpenFile(HANDLE file, uint8_t (&digest)[Sha256::kDigestBytes]) {
  if (!SeekTo(file, 0)) return LastErrorOr(ERROR_NEGATIVE_SEEK);
  return DigestFromPosition(file, digest);
}

DWORD StartManifest(const WCHAR* archive, const std::string& mainDigest,
                    KvManifestWriter* manifest) {
  WCHAR name[kManifestNameChars];
  if (!BuildManifestName(archive, name)) return ERROR_FILENAME_EXCED_RANGE;
  // A link put where the manifest goes would have it written wherever the
  // link points: refused, the link and its target left as they are.
  const DWORD found = GetFileAttributesW(name);
  if (found != INVALID_FILE_ATTRIBUTES && (found & FILE_ATTRIBUTE_REPARSE_POINT))
    return ERROR_CANT_RESOLVE_FILENAME;
  std::string earlier;
  DWORD code = 0;
  try {  // the earlier manifest is held whole while it is rewritten
    code = EarlierEntryLines(name, mainDigest, &earlier);
  } catch (const std::bad_alloc&) {
    code = ERROR_NOT_ENOUGH_MEMORY;
  }
  if (code) return code;
  manifest->file = CreateFileW(name, GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
  if (manifest->file == INVALID_HANDLE_VALUE) return LastErrorOr(ERROR_FILE_NOT_FOUND);
  return AppendText(manifest->file, kManifestIncomplete + earlier);
}

DWORD AddManifestEntry(KvManifestWriter* manifest, const WCHAR* name) {
  try {
    return AppendText(manifest->file,
                      ManifestEntryLine(manifest->digest.FinishHex(), WideToUtf8(name)));
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
}

DWORD CompleteManifest(KvManifestWriter* manifest, const WCHAR* archive,
                       DWORD parts) {
  DWORD code = AddFileLine(manifest->file, archive);
  for (DWORD part = 1; !code && part <= parts; ++part) {
    WCHAR partName[kV5PartNameChars];
    code = CKvMorvelHost::GetPartFileName(archive, part, partName, kV5PartNameChars)
               ? AddFileLine(manifest->file, partName)
               : ERROR_FILENAME_EXCED_RANGE;
  }
  // The lines are on the disk before the mark that says they are whole.
  if (!code && !FlushFileBuffers(manifest->file)) code = LastErrorOr(ERROR_DISK_FULL);
  const DWORD mark = sizeof(kManifestComplete) - 1;
  if (!code && !WriteAt(manifest->file, 0, kManifestComplete, mark))
    code = LastErrorOr(ERROR_DISK_FULL);
  if (!code && !FlushFileBuffers(manifest->file)) code = LastErrorOr(ERROR_DISK_FULL);
  return code;
}

BOOL CKvMorvel::BeginManifest() {
  if (m_version == 3) {
    m_error.SetError(E_NOTIMPL);
    return FALSE;
  }
  if (!m_control || m_read) {
    m_error.SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (m_manifest) {
    m_error.SetError(ERROR_ALREADY_EXISTS);
    return FALSE;
  }
  uint8_t mainDigest[Sha256::kDigestBytes];
  DWORD code = DigestOpenFile(MainFileHandle(m_control, m_version), mainDigest);
  ForgetWritePosition(m_control, m_version);
  KvManifestWriter* manifest = new (std::nothrow) KvManifestWriter;
  if (!code && !manifest) code = ERROR_NOT_ENOUGH_MEMORY;
  if (!code) code = StartManifest(m_archivePath, Sha256::ToHex(mainDigest), manifest);
  if (code) {
    delete manifest;
    m_error.SetError(code == ERROR_FILENAME_EXCED_RANGE ? ERROR_INSUFFICIENT_BUFFER : code);
    return FALSE;
  }
  m_manifest = manifest;
  return TRUE;
}

BOOL CKvMorvel::LeaveManifestIncomplete() {
  if (!m_manifest) {
    m_error.SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  delete m_manifest;
  m_manifest = nullptr;
  return TRUE;
}

BOOL CKvMorvelHost::GetManifestFileName(LPCWSTR archive, WCHAR* buffer,
                                        DWORD capacity) {
  if (!buffer || capacity == 0) return FALSE;
  WCHAR name[kManifestNameChars];
  return GiveNameToHost(archive && BuildManifestName(archive, name), name,
                        buffer, capacity);
}

BOOL CKvMorvelHost::GetFileSha256(LPCWSTR path, BYTE* digest, DWORD capacity) {
  if (!path || !digest || capacity < Sha256::kDigestBytes) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  uint8_t bytes[Sha256::kDigestBytes];
  const DWORD code = DigestPath(path, bytes);
  if (code) {
    SetLastError(code);
    return FALSE;
  }
  for (size_t i = 0; i < Sha256::kDigestBytes; ++i) digest[i] = bytes[i];
  return TRUE;
}
