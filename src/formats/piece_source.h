// SPDX-License-Identifier: GPL-2.0-or-later
// The source of a file being stored, read piece by piece by the writers
// of every version (v5_block_writer.cc, deflate_writer.cc).
//
// Two things happen between pieces. The host's request to stop
// (CKvMorvel::Cancel, a flag set from a signal handler or another thread)
// is looked at, so a large file is given up within one piece instead of
// at its end. And a piece that lies wholly in a hole of a sparse source
// is made as zeros without being read: the file system is asked for the
// source's data ranges (FSCTL_QUERY_ALLOCATED_RANGES), so a terabyte that
// uses no disk is not read. The stored data is the same either way.
#ifndef KVMORVEL_FORMATS_PIECE_SOURCE_H
#define KVMORVEL_FORMATS_PIECE_SOURCE_H

#include <atomic>

#include "kvwin32.h"

// A host's request that the add or restore in progress stop (see
// CKvMorvel::Cancel). Set, never cleared, by a signal handler or another
// thread; lock-free, so setting it is safe in a signal handler.
typedef std::atomic<bool> CancelFlag;

// The code of work given up at the host's request: 1223.
const DWORD kCancelledCode = ERROR_CANCELLED;

inline bool CancelRequested(const CancelFlag* flag) {
  return flag && flag->load(std::memory_order_relaxed);
}

class PieceSource {
 public:
  // `source` is read from its start; `length` is the size it was added
  // with; `cancel` may be null.
  PieceSource(HANDLE source, ULONGLONG length, const CancelFlag* cancel)
      : source_(source), length_(length), cancel_(cancel) {}

  // Fills `piece` with the next `size` bytes of the source and says in
  // *hole whether they were a hole (zeros made, nothing read). Returns 0,
  // kCancelledCode when the host asked to stop, 38 when the source ends
  // before them (it shrank while being read), or the code of a failed
  // read or seek. Logs nothing.
  DWORD Next(BYTE* piece, DWORD size, bool* hole);

 private:
  bool InHole(DWORD size);
  void LearnRangesFrom(ULONGLONG offset);
  DWORD Read(BYTE* piece, DWORD size);

  HANDLE source_;
  ULONGLONG length_;
  const CancelFlag* cancel_;
  ULONGLONG at_ = 0;       // where the next piece begins
  bool behind_ = false;    // the source's position is behind at_ (holes)
  bool askRanges_ = true;  // the file system can tell data from holes
  // What the last question learnt: [at, holeEnd_) is a hole and
  // [holeEnd_, dataEnd_) data, at being where it was asked from.
  ULONGLONG holeEnd_ = 0;
  ULONGLONG dataEnd_ = 0;
};

#endif  // KVMORVEL_FORMATS_PIECE_SOURCE_H
