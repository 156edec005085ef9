// SPDX-License-Identifier: GPL-2.0-or-later
// The one place the restore keeps why an entry's data could not be
// restored, beyond the code ExtractFile reports: the cause behind a 1359
// (a read error, a missing part, a damaged stream) and, for version 5,
// the part file it concerns. Each open archive keeps one in its control
// record; the public members read it from there.
#ifndef KVMORVEL_RESTORE_RESTORE_CAUSE_H
#define KVMORVEL_RESTORE_RESTORE_CAUSE_H

#include "KvMorvelHost.h"
#include "kvwin32.h"

enum {
  kCauseFileChars = 264,  // a part file name (kV5PartNameChars)
};

struct RestoreCause {
  DWORD code = 0;
  // The part file that could not be opened or read; empty when the cause
  // lies elsewhere (the main file, the target, the stored bytes).
  WCHAR file[kCauseFileChars] = {};

  // No cause: what each restore starts from.
  void Clear() {
    code = 0;
    file[0] = 0;
  }
  // `cause`, about the part file `partFile` when it is given.
  void Set(DWORD cause, const WCHAR* partFile = nullptr) {
    code = cause;
    file[0] = 0;
    if (partFile) lstrcpynW(file, partFile, kCauseFileChars);
  }
  // `cause`, about part `part` of the version 5 archive `archive` (the
  // name left empty when the library would make none).
  void SetPart(DWORD cause, const WCHAR* archive, DWORD part) {
    code = cause;
    if (!CKvMorvelHost::GetPartFileName(archive, part, file, kCauseFileChars))
      file[0] = 0;
  }
};

#endif  // KVMORVEL_RESTORE_RESTORE_CAUSE_H
