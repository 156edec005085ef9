// SPDX-License-Identifier: GPL-2.0-or-later
// LZO1X-1 compression of one piece at a time on a thread of its own.
//
// A large file's pieces are independent blocks, so the writer can read
// the next piece and write the previous block while this thread packs
// the current one: reading and writing (copies the kernel makes) and
// compressing then take turns on two cores instead of one. The blocks
// and their order are the same as when one thread does everything.
#ifndef KVMORVEL_FORMATS_V5_PIECE_COMPRESSOR_H
#define KVMORVEL_FORMATS_V5_PIECE_COMPRESSOR_H

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "formats/v5/v5_lzo.h"
#include "kvwin32.h"

class V5PieceCompressor {
 public:
  V5PieceCompressor() = default;
  // Waits for the piece in hand, then ends the thread.
  ~V5PieceCompressor();
  V5PieceCompressor(const V5PieceCompressor&) = delete;
  V5PieceCompressor& operator=(const V5PieceCompressor&) = delete;

  // Starts the thread and takes its work memory, once. False when either
  // cannot be had: the caller then compresses on its own thread.
  bool Ready();
  // Hands over `size` bytes at `piece`, to be packed into `payload` (room
  // for V5PayloadBound(size) bytes). Both stay untouched by the caller
  // until Wait returns. One piece at a time: Wait comes between.
  void Start(const BYTE* piece, lzo_uint size, BYTE* payload);
  // Waits for the piece handed over last; gives lzo1x_1_compress's answer
  // and the payload's length.
  int Wait(lzo_uint* payloadSize);

 private:
  void Run();

  std::mutex lock_;
  std::condition_variable wake_;
  std::thread thread_;
  std::unique_ptr<BYTE[]> work_;
  const BYTE* piece_ = nullptr;
  lzo_uint pieceSize_ = 0;
  BYTE* payload_ = nullptr;
  lzo_uint payloadSize_ = 0;
  int answer_ = LZO_E_OK;
  bool pending_ = false;  // a piece waits for the thread
  bool done_ = false;     // the thread has packed it
  bool stop_ = false;
};

#endif  // KVMORVEL_FORMATS_V5_PIECE_COMPRESSOR_H
