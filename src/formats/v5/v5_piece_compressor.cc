// SPDX-License-Identifier: GPL-2.0-or-later
// The compressing thread of the version 5 block writer.
#include "formats/v5/v5_piece_compressor.h"

#include <new>
#include <system_error>

V5PieceCompressor::~V5PieceCompressor() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> hold(lock_);
    stop_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

bool V5PieceCompressor::Ready() {
  if (thread_.joinable()) return true;
  if (!work_) work_.reset(new (std::nothrow) BYTE[kV5WorkMemory]);
  if (!work_) return false;
  try {
    thread_ = std::thread(&V5PieceCompressor::Run, this);
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

void V5PieceCompressor::Start(const BYTE* piece, lzo_uint size,
                              BYTE* payload) {
  {
    std::lock_guard<std::mutex> hold(lock_);
    piece_ = piece;
    pieceSize_ = size;
    payload_ = payload;
    pending_ = true;
    done_ = false;
  }
  wake_.notify_all();
}

int V5PieceCompressor::Wait(lzo_uint* payloadSize) {
  std::unique_lock<std::mutex> hold(lock_);
  wake_.wait(hold, [this] { return done_; });
  done_ = false;
  *payloadSize = payloadSize_;
  return answer_;
}

void V5PieceCompressor::Run() {
  std::unique_lock<std::mutex> hold(lock_);
  for (;;) {
    wake_.wait(hold, [this] { return pending_ || stop_; });
    if (!pending_) return;  // stopped with nothing in hand
    pending_ = false;
    const BYTE* piece = piece_;
    const lzo_uint size = pieceSize_;
    BYTE* payload = payload_;
    hold.unlock();
    lzo_uint packed = 0;
    const int answer =
        lzo1x_1_compress(piece, size, payload, &packed, work_.get());
    hold.lock();
    payloadSize_ = packed;
    answer_ = answer;
    done_ = true;
    wake_.notify_all();
  }
}
