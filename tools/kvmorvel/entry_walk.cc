// SPDX-License-Identifier: GPL-2.0-or-later
#include "entry_walk.h"

#include "KvMorvelHost.h"
#include "interrupt.h"
#include "json_line.h"
#include "reader.h"
#include "text.h"
#include "win_layer.h"

namespace {
const DWORD kDirectory = 0x10;
const DWORD kInvalidName = 123;  // ERROR_INVALID_NAME
const DWORD kCancelled = 1223;   // ERROR_CANCELLED: CKvMorvel::Cancel
// Version 1 leaves one special file name out unless the flag asks for it;
// the command restores every entry.
const int kRestoreEveryEntry = 1;
}  // namespace

bool RefuseNameLeavingTarget(const std::u16string& name) {
  if (CKvMorvelHost::IsContainedName(reinterpret_cast<LPCWSTR>(name.c_str())))
    return false;
  ReportEntryFailure(name, "cannot restore " + DisplayName(name) +
                               ": the name leads outside the target",
                     kInvalidName);
  return true;
}

FILETIME StoredLastWriteUtc(CKvMorvel* archive) {
  const FILETIME stored = archive->GetLastWriteTime();
  return archive->GetVersion() == 1 ? kvwin::LocalTimeToUtc(stored) : stored;
}

bool RestoreEntryBelow(CKvMorvel* archive, const std::u16string& target,
                       const std::u16string& name) {
  // The library's own rule, checked first so that the entry is refused
  // with a name and a reason before anything is touched.
  if (RefuseNameLeavingTarget(name)) return false;
  const DWORD before = archive->GetErrorCode();
  CKvMorvelHost::ClearSystemError();
  if (!archive->ExtractFile(reinterpret_cast<LPCWSTR>(target.c_str()),
                            kRestoreEveryEntry)) {
    if (archive->GetErrorCode() == kCancelled) {
      ReportEntryFailure(name, DisplayName(name) +
                                   ": interrupted; the file is incomplete",
                         kCancelled);
      return false;
    }
    // A part file behind the failure is named, with its own code.
    DWORD cause = 0;
    const std::string part = FailedPartName(archive, &cause);
    if (!part.empty()) {
      ReportEntryFailure(name, "cannot restore " + DisplayName(name), cause,
                         PartFailureWords(part, cause));
      return false;
    }
    const unsigned code = FailureCode(*archive, before);
    ReportEntryFailure(name, "cannot restore " + DisplayName(name), code,
                       FailureWordsOf(*archive, code, OpenedArchivePath()));
    return false;
  }
  return true;
}

void WalkChosenEntries(
    CKvMorvel* archive, Progress* progress, RunTotals* totals,
    bool* catalogueFailed,
    const std::function<Handled(const std::u16string&, DWORD)>& handle) {
  unsigned long long loaded = 0;
  while (!Interrupted() && LoadEntry(archive, false, catalogueFailed, loaded)) {
    ++loaded;
    const std::u16string name = EntryName(archive);
    const DWORD attributes = archive->GetAttributes();
    const uint64_t size =
        (attributes & kDirectory) ? 0 : static_cast<uint64_t>(archive->GetLength64());
    const Handled handled = handle(name, attributes);
    if (handled.result != Handled::kPassed) ++totals->entries;
    if (handled.result == Handled::kDone) {
      if (handled.wroteData) totals->bytesOut += size;
      if (JsonOutput())
        JsonLine("entry").Wide("name", name).Number("size", size)
            .Text("status", handled.status).Print();
    } else if (handled.result == Handled::kFailed) {
      ++totals->failed;
    }
    // The name is only shown on a terminal: elsewhere it is not made.
    progress->Step(handled.result == Handled::kPassed ? 0 : size,
                   progress->OnTerminal() ? DisplayName(name) : std::string());
    if (!LoadEntry(archive, true, catalogueFailed, loaded)) break;
  }
}

void WalkEntries(CKvMorvel* archive, Progress* progress, RunTotals* totals,
                 bool* catalogueFailed, const char* status,
                 const std::function<bool(const std::u16string&, DWORD)>& handle) {
  WalkChosenEntries(archive, progress, totals, catalogueFailed,
                    [&](const std::u16string& name, DWORD attributes) {
                      return handle(name, attributes) ? Handled::Done(status, true)
                                                      : Handled::Failed();
                    });
}

void ShowTotalsOf(Progress* progress, const std::string& path) {
  uint64_t entries = 0, bytes = 0;
  if (progress->OnTerminal() && CountEntries(path, &entries, &bytes))
    progress->SetTotal(entries, bytes);
}

bool CloseAfterReading(CKvMorvel* archive, const std::string& shown,
                       const std::string& path, RunTotals* totals) {
  const DWORD version = archive->GetVersion();
  const bool closed = archive->Close() != FALSE;
  if (!closed) ReportFailure("cannot close " + shown, archive->GetErrorCode());
  totals->bytesIn = ArchiveBytes(path, version);
  return closed;
}
