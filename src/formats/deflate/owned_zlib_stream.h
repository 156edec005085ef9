// SPDX-License-Identifier: GPL-2.0-or-later
// Ownership of one zlib stream, shared by the chunk reader (inflate) and
// the chunk writer (deflate): the stream is ended when the object goes,
// on every early return, unless End() already ran.
#ifndef KVMORVEL_FORMATS_DEFLATE_OWNED_ZLIB_STREAM_H
#define KVMORVEL_FORMATS_DEFLATE_OWNED_ZLIB_STREAM_H

#include <zlib.h>

// inflateEnd and deflateEnd have this type.
using ZlibEndFunction = decltype(&inflateEnd);

template <ZlibEndFunction EndStream>
class OwnedZlibStream {
 public:
  OwnedZlibStream() : z_() {}
  ~OwnedZlibStream() {
    if (begun_) EndStream(&z_);
  }
  OwnedZlibStream(const OwnedZlibStream&) = delete;
  OwnedZlibStream& operator=(const OwnedZlibStream&) = delete;

  // Ends the stream now; zlib's result (Z_OK when it ended cleanly).
  int End() {
    begun_ = false;
    return EndStream(&z_);
  }
  z_stream& z() { return z_; }

 protected:
  // Takes the result of the init call made on z(); true when it began.
  bool Began(int initResult) {
    begun_ = initResult == Z_OK;
    return begun_;
  }

 private:
  z_stream z_;
  bool begun_ = false;
};

#endif  // KVMORVEL_FORMATS_DEFLATE_OWNED_ZLIB_STREAM_H
