// SPDX-License-Identifier: GPL-2.0-or-later
// Restoring a version 5 entry: data, reparse record and security
// descriptor block come from the part files.
#include <new>
#include <vector>

#include "KvLog.h"
#include "formats/le_codec.h"
#include "formats/v5/v5_format.h"
#include "restore/restore_common.h"
#include "restore/stored_descriptor.h"

namespace {

// A self-relative descriptor is at most a header, two SIDs and two ACLs
// of 64 KiB each; a stored length beyond this is not a descriptor and is
// refused before anything is allocated from it.
const DWORD kMaxDescriptorBlock = 0x40000;

}  // namespace

DWORD ReadDescriptorBlock5(V5PartInput& part, ULONGLONG offset,
                           std::vector<BYTE>* descriptor, bool* whole) {
  CKvLog* log = CKvLog::GetInstance();
  *whole = false;
  descriptor->clear();
  BYTE lengthBytes[4];
  DWORD got = 0;
  const bool lengthRead = part.ReadAt(offset, lengthBytes, 4, &got);
  const DWORD lengthCode = lengthRead ? 0 : LastErrorOr(ERROR_HANDLE_EOF);
  if (!lengthRead || got != 4) {
    // A short read fails as a failed one: the part ends inside the block.
    const DWORD code = ShortReadCode(lengthCode);
    log->AddError(TEXT("ReadFile (SD Block Size) - %u"),
                  static_cast<unsigned>(code));
    return code;
  }
  const DWORD length = LoadU32(lengthBytes);
  if (length > kMaxDescriptorBlock) {
    log->AddError(TEXT("Invalid SD Block Size - %u"),
                  static_cast<unsigned>(length));
    return ERROR_INVALID_SECURITY_DESCR;
  }
  // A block of length 0 holds no descriptor: nothing to read (and no
  // buffer to read it into).
  if (length == 0) {
    *whole = true;
    return 0;
  }
  try {
    descriptor->resize(length);
  } catch (const std::bad_alloc&) {
    log->AddError(TEXT("SD buffer init failed"));
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  const bool ok = part.ReadAt(offset + 4, descriptor->data(), length, &got);
  const DWORD readCode = ok ? 0 : LastErrorOr(ERROR_HANDLE_EOF);
  if (!ok || got != length) {
    log->AddError(TEXT("ReadFile (SD) - %u"),
                  static_cast<unsigned>(ShortReadCode(readCode)));
    descriptor->clear();
    return 0;
  }
  *whole = true;
  return 0;
}

namespace {

// Applies the descriptor block at `offset` of `part` to the object open
// as `target`. Returns 0 to go on, or the code that fails the restore; a
// descriptor cut short is logged and skipped.
DWORD ApplyDescriptorBlock(V5PartInput& part, ULONGLONG offset,
                           HANDLE target, DWORD options) {
  std::vector<BYTE> descriptor;
  bool whole = false;
  const DWORD code = ReadDescriptorBlock5(part, offset, &descriptor, &whole);
  if (code == 0 && whole && !descriptor.empty())
    SetDescriptorUnderPrivilege(target, descriptor.data(),
                                static_cast<DWORD>(descriptor.size()), true,
                                options);
  return code;
}

const DWORD kKindBits = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;

bool IsFileEntry(const _MVRL_FILEENTRY_MAX_5& entry) {
  return (entry.data.dwFileAttributes & kKindBits) == 0;
}

// Looks for the part holding the entry's data (a file's blocks, a reparse
// record) before anything on disk is touched: an entry stored in a
// missing part then leaves no empty file behind, and a file already at
// its path stays as it was. (A stream that runs on into a missing part
// is found when it is read.) Returns 0, or the open's code, kept in
// `cause` with the part's name.
DWORD FindDataPart(const _MVRL_FILEENTRY_MAX_5& entry, V5PartInput& parts,
                   const V5PartInput::Opener& open, const WCHAR* archive,
                   RestoreCause& cause) {
  const bool readsData =
      IsFileEntry(entry) ||
      ((entry.data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
       entry.storedLength != 0);
  if (!readsData || parts.Select(entry.dataPart, open)) return 0;
  const DWORD code = LastErrorOr(ERROR_FILE_NOT_FOUND);
  cause.SetPart(code, archive, entry.dataPart);
  return code;
}

}  // namespace

BOOL CKvMorvel::MorvelExtractFile5(LPCWSTR target, int flag) {
  if (m_currentIndex >= m_entries5.size()) {
    m_error.SetError(ERROR_NO_MORE_ITEMS);
    return FALSE;
  }
  _MVRL_OBJECT_5* record = V5Record(m_control);
  if (m_partHandle != INVALID_HANDLE_VALUE) {
    // A part being written is let go before anything is read, its
    // gathered bytes written out; what the parts held before may have
    // changed, so none stays open for reading. A failed write drops the
    // entries it held from the batch, which the index is checked against
    // again.
    ReleaseWritePart5();
    record->partIn.Close();
    if (m_currentIndex >= m_entries5.size()) {
      m_error.SetError(ERROR_NO_MORE_ITEMS);
      return FALSE;
    }
  }
  record->cause.Clear();
  // A copy: the decompressor takes the entry by pointer, and the name and
  // short name are terminated here whatever the stored bytes hold.
  _MVRL_FILEENTRY_MAX_5 entry = m_entries5[m_currentIndex];
  const int nameChars = kV5NameChars;
  const int nameEnd =
      entry.nameLength < nameChars ? entry.nameLength : nameChars;
  entry.name[nameEnd > 0 ? nameEnd - 1 : 0] = 0;
  // Data another entry's restore read already is refused before anything
  // on disk is touched.
  const DWORD shared = ClaimV5Data(record->owners, entry);
  if (shared) {
    m_error.SetError(shared);
    return FALSE;
  }
  WCHAR shortName[kShortNameChars + 1];
  CopyShortName(entry.shortName, shortName);

  RestoreEntry view;
  view.data = entry.data;
  view.name = entry.name;
  view.shortName = shortName;
  view.hasReparseRecord = entry.storedLength != 0;

  RestoreSource source;
  // The block reader records its cause in the holder; the restore then
  // reports 1359 in its place and logs the cause, which GetErrorCause
  // gives with the part file a missing part or failed read was in.
  source.writeData = [&](HANDLE file) -> DWORD {
    if (ZIPDecompressFile5(file, &entry)) return 0;
    DWORD cause = m_error.GetError();
    if (!cause) cause = ERROR_INTERNAL_ERROR;
    const bool partAtFault =
        cause != ERROR_INTERNAL_ERROR && cause != ERROR_NOT_ENOUGH_MEMORY;
    DWORD part = partAtFault ? record->partIn.number() : 0;
    // A stream that runs past the last part the header counts meets no
    // missing part: its data ended early in that last part.
    const DWORD lastPart = m_header5.partCount;
    if ((cause == ERROR_FILE_NOT_FOUND || cause == ERROR_PATH_NOT_FOUND) &&
        lastPart != 0 && part > lastPart) {
      cause = ERROR_HANDLE_EOF;
      part = lastPart;
    }
    SetDataFailure(cause, part);
    return cause;
  };
  // The parts are read through the archive's part input, which keeps the
  // last one open for the next item and the next entry.
  V5PartInput& parts = record->partIn;
  const V5PartInput::Opener open = [this](DWORD number) {
    return OpenPart5(number);
  };
  source.openReparse = [&](HANDLE* part, ULONGLONG* offset) -> DWORD {
    *offset = entry.dataOffset;
    if (!parts.Select(entry.dataPart, open)) {
      *part = INVALID_HANDLE_VALUE;
      return LastErrorOr(ERROR_FILE_NOT_FOUND);
    }
    *part = parts.handle();
    return 0;
  };
  source.closeReparse = [](HANDLE) {};  // the part stays open
  source.applyDescriptor = [&](HANDLE restored, const WCHAR*) -> DWORD {
    if (entry.descriptorPart == kV5NoDescriptorPart) return 0;
    if (!parts.Select(entry.descriptorPart, open)) {
      const DWORD code = LastErrorOr(ERROR_FILE_NOT_FOUND);
      CKvLog::GetInstance()->AddError(TEXT("(SD) Cannot part#%u - %u"),
                                      static_cast<unsigned>(entry.descriptorPart),
                                      static_cast<unsigned>(code));
      record->cause.SetPart(code, m_archivePath, entry.descriptorPart);
      return code;
    }
    const DWORD code = ApplyDescriptorBlock(parts, entry.descriptorOffset, restored,
                                            m_restoreOptions);
    // A read that failed or came short is the part's; a length no
    // descriptor has, or no memory for it, is not.
    if (code && code != ERROR_INVALID_SECURITY_DESCR &&
        code != ERROR_NOT_ENOUGH_MEMORY)
      record->cause.SetPart(code, m_archivePath, entry.descriptorPart);
    return code;
  };
  source.cause = &record->cause;

  const DWORD missing =
      FindDataPart(entry, parts, open, m_archivePath, record->cause);
  if (missing) {
    LogDataFailure(entry.name, missing);
    // A file's data failing is 1359, as when the part goes missing while
    // it is read; a reparse record's part gives its own code.
    m_error.SetError(IsFileEntry(entry) ? ERROR_INTERNAL_ERROR : missing);
    return FALSE;
  }
  ReplacePolicy policy;
  policy.options = m_restoreOptions;
  policy.storedWrite = entry.data.ftLastWriteTime;
  if (!RestoreStoredEntry(view, target, m_encryptedName, source,
                          &record->folders, &policy, m_error))
    return FALSE;
  m_restoreOutcome = policy.outcome;
  LoadCurrentEntry(entry.data, entry.name);
  return TRUE;
}
