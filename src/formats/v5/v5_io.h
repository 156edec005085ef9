// SPDX-License-Identifier: GPL-2.0-or-later
// What an open version 5 archive keeps from one entry to the next: the
// part it reads, kept open, with a window read ahead on it, and the
// buffers the block stream is packed and unpacked in, taken once.
#ifndef KVMORVEL_FORMATS_V5_IO_H
#define KVMORVEL_FORMATS_V5_IO_H

#include <cstddef>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "formats/read_buffer.h"
#include "formats/v5/v5_lzo.h"
#include "kvwin32.h"

// Bytes read ahead on a part or the main file: many small entries'
// blocks and descriptors, or a few hundred catalogue records, per read.
const DWORD kV5ReadWindow = 256 * 1024;
// Bytes gathered for the part being written before they go out.
const size_t kV5WriteGather = 1024 * 1024;

// The part files an archive is read from, one open at a time. A restore
// reads its entries' data, reparse records and descriptors in part order,
// so the part stays open from one entry to the next instead of being
// opened and closed for each item.
class V5PartInput {
 public:
  typedef std::function<HANDLE(DWORD)> Opener;
  V5PartInput() : window_(kV5ReadWindow) {}
  ~V5PartInput() { Close(); }
  V5PartInput(const V5PartInput&) = delete;
  V5PartInput& operator=(const V5PartInput&) = delete;

  // Makes part `number` current, opening it with `open` unless it is open
  // already. False, with the open's last error, when it cannot be opened.
  bool Select(DWORD number, const Opener& open);
  // Reads at `offset` of the current part (see FileReadBuffer::ReadAt).
  bool ReadAt(ULONGLONG offset, void* out, DWORD size, DWORD* got) {
    return window_.ReadAt(offset, out, size, got);
  }
  HANDLE handle() const { return handle_; }
  DWORD number() const { return number_; }
  // Lets the part go; done before the parts are written to, and at Close.
  void Close();

 private:
  HANDLE handle_ = INVALID_HANDLE_VALUE;
  DWORD number_ = 0;
  FileReadBuffer window_;
};

// The block stream's buffers: a source piece, its payload (with room for
// the u32 length in front, so a block goes out as one item) and LZO's
// work memory. They grow to the largest piece met and are kept, so a tree
// of small files never allocates per file and never takes 2 MiB for them.
struct V5CodecBuffers {
  // Makes room for a piece of `pieceSize` bytes (at most kV5PieceSize)
  // and the longest payload it can give. False when memory runs out.
  bool Reserve(size_t pieceSize);
  // Where the payload starts: behind its 4-byte length.
  BYTE* payload() { return block.get() + 4; }

  std::unique_ptr<BYTE[]> piece;
  std::unique_ptr<BYTE[]> block;  // u32 length + payload
  std::unique_ptr<BYTE[]> work;
  size_t pieceCapacity = 0;
};

// The payload lzo1x_1_compress gives for a whole piece of zeros, packed
// once per archive: each block is packed on its own, so every hole piece
// of a sparse source (see PieceSource) takes these bytes without being
// packed again.
class V5ZeroPiece {
 public:
  // Packs it with `buffers` (their piece is left zeroed), once; false when
  // it could not be, and holes are then packed as any piece.
  bool Prepare(V5CodecBuffers& buffers);
  // Copies the payload for a piece of `size` zeros into `payload`, its
  // length into *packed; false when `size` is not a whole piece or it was
  // not prepared. Makes no call of the Win32 layer (the piece worker may
  // run it).
  bool Copy(DWORD size, BYTE* payload, lzo_uint* packed) const;
  // Whether a stored payload is this one (it then holds a piece of zeros).
  bool Matches(const BYTE* payload, DWORD length) const {
    return !payload_.empty() && length == payload_.size() &&
           memcmp(payload, payload_.data(), length) == 0;
  }

 private:
  std::vector<BYTE> payload_;
};

#endif  // KVMORVEL_FORMATS_V5_IO_H
