// SPDX-License-Identifier: GPL-2.0-or-later
// The buffers and zlib streams one archive uses for its entries' chunked
// deflate streams, kept from entry to entry.
#ifndef KVMORVEL_FORMATS_DEFLATE_WORKSPACE_H
#define KVMORVEL_FORMATS_DEFLATE_WORKSPACE_H

#include <memory>

#include "kvwin32.h"

class PieceWorker;
struct z_stream_s;

// An entry's stream is reset rather than begun anew, which leaves it as
// a new one (the bytes written are the same), and the two buffers of
// about 1 MiB are allocated once. An archive of many small files would
// otherwise spend much of its time allocating and clearing them. One
// entry at a time uses it; it may move (control records are assigned
// fresh ones), not be copied.
class DeflateWorkspace {
 public:
  DeflateWorkspace();
  ~DeflateWorkspace();
  DeflateWorkspace(DeflateWorkspace&&) noexcept;
  DeflateWorkspace& operator=(DeflateWorkspace&&) noexcept;

  // Input and output buffer, each large enough for a piece or a chunk
  // with its length word (4 + kDeflateChunkLimit bytes); null when they
  // cannot be allocated. Pair 1 is the second pair a large file's pieces
  // take turns with (see Worker).
  BYTE* In(int pair = 0);
  BYTE* Out(int pair = 0);
  // The thread a large file's pieces are deflated on, started at the
  // first call; null when it cannot be started.
  PieceWorker* Worker();
  // A deflate stream at `level`, ready for a new entry; null when it
  // cannot be begun. With `programAllocator`, zlib allocates through
  // KvZlibAlloc.
  z_stream_s* Deflater(int level, bool programAllocator);
  // An inflate stream ready for a new entry; null when it cannot be begun.
  z_stream_s* Inflater();

 private:
  struct Streams;
  std::unique_ptr<BYTE[]> m_in[2];
  std::unique_ptr<BYTE[]> m_out[2];
  std::unique_ptr<Streams> m_streams;
  // Declared last: destroyed first, so its job in hand ends before the
  // buffers and streams it uses go.
  std::unique_ptr<PieceWorker> m_worker;
};

#endif  // KVMORVEL_FORMATS_DEFLATE_WORKSPACE_H
