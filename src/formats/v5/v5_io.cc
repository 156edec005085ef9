// SPDX-License-Identifier: GPL-2.0-or-later
// Part input kept open across entries, and the block stream's buffers.
#include "formats/v5/v5_io.h"

#include <cstring>
#include <new>

#include "formats/v5/v5_lzo.h"

bool V5PartInput::Select(DWORD number, const Opener& open) {
  if (handle_ != INVALID_HANDLE_VALUE && number_ == number) return true;
  Close();
  number_ = number;
  handle_ = open(number);
  if (handle_ == INVALID_HANDLE_VALUE) return false;
  window_.Reset(handle_);
  return true;
}

void V5PartInput::Close() {
  if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  handle_ = INVALID_HANDLE_VALUE;
  window_.Reset(INVALID_HANDLE_VALUE);
}

bool V5CodecBuffers::Reserve(size_t pieceSize) {
  if (pieceSize <= pieceCapacity && work) return true;
  // Grown at least twofold, so growing files cost few allocations.
  size_t size = pieceCapacity * 2 > pieceSize ? pieceCapacity * 2 : pieceSize;
  if (size > kV5PieceSize) size = kV5PieceSize;
  if (size < pieceSize) size = pieceSize;
  piece.reset(new (std::nothrow) BYTE[size]);
  block.reset(new (std::nothrow) BYTE[4 + V5PayloadBound(size)]);
  // LZO1X-1 clears the part of its work memory it uses on every call, so
  // the memory is taken once and never cleared here.
  if (!work) work.reset(new (std::nothrow) BYTE[kV5WorkMemory]);
  pieceCapacity = piece && block && work ? size : 0;
  return pieceCapacity != 0;
}

bool V5ZeroPiece::Prepare(V5CodecBuffers& buffers) {
  if (!payload_.empty()) return true;
  if (!buffers.Reserve(kV5PieceSize) || V5LzoInit() != LZO_E_OK) return false;
  memset(buffers.piece.get(), 0, kV5PieceSize);
  lzo_uint packed = 0;
  if (lzo1x_1_compress(buffers.piece.get(), kV5PieceSize, buffers.payload(),
                       &packed, buffers.work.get()) != LZO_E_OK)
    return false;
  try {
    payload_.assign(buffers.payload(), buffers.payload() + packed);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

bool V5ZeroPiece::Copy(DWORD size, BYTE* payload, lzo_uint* packed) const {
  if (size != kV5PieceSize || payload_.empty()) return false;
  memcpy(payload, payload_.data(), payload_.size());
  *packed = payload_.size();
  return true;
}
