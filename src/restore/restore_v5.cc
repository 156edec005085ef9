// Restoring a version 5 entry: data, reparse record and security
// descriptor block come from the part files.
#include <new>

#include "KvLog.h"
#include "formats/v5/v5_format.h"
#include "restore/restore_common.h"

namespace {

// A self-relative descriptor is at most a header, two SIDs and two ACLs
// of 64 KiB each; a stored length beyond this is not a descriptor and is
// refused before anything is allocated from it.
const DWORD kMaxDescriptorBlock = 0x40000;

// Reads the descriptor block (u32 length M, M bytes) at `offset` of `part`
// and applies it to `path`. Returns 0 to go on, or the code that fails
// the restore. A short length read fails like a failed one; a descriptor
// that cannot be read whole is logged and skipped.
DWORD ApplyDescriptorBlock(HANDLE part, ULONGLONG offset, const WCHAR* path) {
  CKvLog* log = CKvLog::GetInstance();
  DWORD length = 0;
  bool whole = false;
  const DWORD lengthCode = ReadBlockLength(part, offset, &length, &whole);
  if (!whole) {
    // A short read fails as a failed one: the part ends inside the block.
    const DWORD code = ShortReadCode(lengthCode);
    log->AddError(TEXT("ReadFile (SD Block Size) - %u"),
                  static_cast<unsigned>(code));
    return code;
  }
  if (length > kMaxDescriptorBlock) {
    log->AddError(TEXT("Invalid SD Block Size - %u"),
                  static_cast<unsigned>(length));
    return ERROR_INVALID_SECURITY_DESCR;
  }
  BYTE* descriptor = new (std::nothrow) BYTE[length ? length : 1];
  if (!descriptor) {
    log->AddError(TEXT("SD buffer init failed"));
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  DWORD got = 0;
  const BOOL ok = ReadFile(part, descriptor, length, &got, nullptr);
  const DWORD readCode = ok ? 0 : LastErrorOr(ERROR_HANDLE_EOF);
  if (!ok || got != length)
    log->AddError(TEXT("ReadFile (SD) - %u"),
                  static_cast<unsigned>(ShortReadCode(readCode)));
  else
    SetDescriptorUnderPrivilege(path, descriptor, length, true);
  delete[] descriptor;
  return 0;
}

}  // namespace

BOOL CKvMorvel::MorvelExtractFile5(LPCWSTR target, int flag) {
  if (m_currentIndex >= m_entries5.size()) {
    m_error.SetError(ERROR_NO_MORE_ITEMS);
    return FALSE;
  }
  if (m_partHandle != INVALID_HANDLE_VALUE) {
    CloseHandle(m_partHandle);
    m_partHandle = INVALID_HANDLE_VALUE;
  }
  // A copy: the decompressor takes the entry by pointer, and the name and
  // short name are terminated here whatever the stored bytes hold.
  _MVRL_FILEENTRY_MAX_5 entry = m_entries5[m_currentIndex];
  const int nameChars = kV5NameChars;
  const int nameEnd =
      entry.nameLength < nameChars ? entry.nameLength : nameChars;
  entry.name[nameEnd > 0 ? nameEnd - 1 : 0] = 0;
  WCHAR shortName[kShortNameChars + 1];
  CopyShortName(entry.shortName, shortName);

  RestoreEntry view;
  view.data = entry.data;
  view.name = entry.name;
  view.shortName = shortName;
  view.hasReparseRecord = entry.storedLength != 0;

  RestoreSource source;
  // The block reader records its cause in the holder; the restore then
  // reports 1359 in its place and logs the cause.
  source.writeData = [&](HANDLE file) -> DWORD {
    if (ZIPDecompressFile5(file, &entry)) return 0;
    const DWORD cause = m_error.GetError();
    return cause ? cause : ERROR_INTERNAL_ERROR;
  };
  source.openReparse = [&](HANDLE* part, ULONGLONG* offset) -> DWORD {
    *offset = entry.dataOffset;
    *part = OpenPart5(entry.dataPart);
    return *part == INVALID_HANDLE_VALUE ? LastErrorOr(ERROR_FILE_NOT_FOUND)
                                         : 0;
  };
  source.closeReparse = [](HANDLE part) { CloseHandle(part); };
  source.applyDescriptor = [&](const WCHAR* path) -> DWORD {
    if (entry.descriptorPart == kV5NoDescriptorPart) return 0;
    HANDLE part = OpenPart5(entry.descriptorPart);
    if (part == INVALID_HANDLE_VALUE) {
      const DWORD code = LastErrorOr(ERROR_FILE_NOT_FOUND);
      CKvLog::GetInstance()->AddError(TEXT("(SD) Cannot part#%u - %u"),
                                      static_cast<unsigned>(entry.descriptorPart),
                                      static_cast<unsigned>(code));
      return code;
    }
    const DWORD code = ApplyDescriptorBlock(part, entry.descriptorOffset, path);
    CloseHandle(part);
    return code;
  };

  if (!RestoreStoredEntry(view, target, m_encryptedName, source, m_error))
    return FALSE;
  LoadCurrentEntry(entry.data, entry.name);
  return TRUE;
}
