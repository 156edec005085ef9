// SPDX-License-Identifier: GPL-2.0-or-later
// The walk over every entry of an archive that extract and verify share:
// each entry is restored below a folder, counted, shown on the progress
// line and, with --json, written as a line of type "entry".
#ifndef KVMORVEL_TOOL_ENTRY_WALK_H
#define KVMORVEL_TOOL_ENTRY_WALK_H

#include <functional>
#include <string>

#include "common.h"
#include "progress.h"

// Whether `name` would leave the folder it is restored below (the
// library's own rule); such a name is reported (123) with the entry's
// name, so that it is refused before anything is looked at.
bool RefuseNameLeavingTarget(const std::u16string& name);

// The current entry's last-write time in UTC, as the restore sets it
// (version 1 keeps local times).
FILETIME StoredLastWriteUtc(CKvMorvel* archive);

// Restores the entry at the current index below `target`, refusing a name
// that would leave it (123); a failure is reported with the entry's name.
bool RestoreEntryBelow(CKvMorvel* archive, const std::u16string& target,
                       const std::u16string& name);

// Loads every entry in turn (Info(0), then Info(1) past it) and hands it
// to `handle`, which returns whether it went well: counted in `totals`
// (a success adds the entry's size to bytesOut) and, with --json, written
// as {"type":"entry","name":...,"size":...,"status":STATUS}. A catalogue
// that cannot be read on sets *catalogueFailed. Stops when interrupted.
void WalkEntries(CKvMorvel* archive, Progress* progress, RunTotals* totals,
                 bool* catalogueFailed, const char* status,
                 const std::function<bool(const std::u16string& name,
                                          DWORD attributes)>& handle);

// What a WalkChosenEntries handler did with an entry.
struct Handled {
  enum Result { kFailed, kDone, kPassed };
  Result result;
  // kDone: the entry's "status" in its JSON line, and whether its data
  // was written (its size then counts as bytes out).
  const char* status;
  bool wroteData;

  // Failed; the handler reported why.
  static Handled Failed() { return {kFailed, nullptr, false}; }
  // Not chosen: neither counted nor written, only shown passing by.
  static Handled Passed() { return {kPassed, nullptr, false}; }
  static Handled Done(const char* status, bool wroteData) {
    return {kDone, status, wroteData};
  }
};

// WalkEntries for a handler that may pass entries by and say what it
// did with each.
void WalkChosenEntries(
    CKvMorvel* archive, Progress* progress, RunTotals* totals,
    bool* catalogueFailed,
    const std::function<Handled(const std::u16string& name, DWORD attributes)>&
        handle);

// Gives `progress` the entry count and sizes of the archive at `path`
// when it is drawn on a terminal (a second pass over the catalogue).
void ShowTotalsOf(Progress* progress, const std::string& path);

// Closes an archive that was read; a failure is reported with `shown`
// (the archive as the user named it) and returns false. Sets
// totals->bytesIn to the archive's bytes on disk, at `path`.
bool CloseAfterReading(CKvMorvel* archive, const std::string& shown,
                       const std::string& path, RunTotals* totals);

#endif  // KVMORVEL_TOOL_ENTRY_WALK_H
