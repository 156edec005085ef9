// Reader of the chunked deflate stream (restores of versions 1 and 2).
#include <zlib.h>

#include <memory>
#include <new>

#include "KvMorvel.h"
#include "formats/deflate/deflate_stream.h"
#include "formats/deflate/owned_zlib_stream.h"
#include "formats/file_io.h"
#include "formats/le_codec.h"

namespace {

class InflateStream : public OwnedZlibStream<inflateEnd> {
 public:
  bool Begin() {
    return Began(inflateInit_(&z(), kZlibVersion,
                              static_cast<int>(sizeof(z_stream))));
  }
};

// Reads the next chunk's length word and payload into `in`. The length
// is checked against the chunk limit and against the stored bytes still
// to consume before any payload byte is read, so a damaged length can
// neither overrun the buffer nor reach into the next entry's data.
bool ReadChunk(HANDLE archive, BYTE* in, ULONGLONG* left, DWORD* length) {
  BYTE word[4];
  if (*left < sizeof(word) || !ReadExact(archive, word, sizeof(word)))
    return false;
  *left -= sizeof(word);
  *length = LoadU32(word);
  if (*length > kDeflateChunkLimit || *length > *left) return false;
  if (!ReadExact(archive, in, *length)) return false;
  *left -= *length;
  return true;
}

// Inflates one chunk into `out`; the last chunk must end the stream and
// every chunk must be taken whole within one output buffer.
bool InflateChunk(z_stream& z, BYTE* in, DWORD length, BYTE* out,
                  bool last) {
  z.next_in = in;
  z.avail_in = length;
  z.next_out = out;
  z.avail_out = kDeflatePieceSize;
  const int result = inflate(&z, last ? Z_FINISH : Z_SYNC_FLUSH);
  return result == (last ? Z_STREAM_END : Z_OK) && z.avail_in == 0;
}

}  // namespace

BOOL CKvMorvel::ZIPDecompressFile(HANDLE archive, LONGLONG stored,
                                  HANDLE target, LONGLONG* written) {
  if (written) *written = 0;
  if (stored == 0) return TRUE;
  if (stored < 0) return FALSE;
  std::unique_ptr<BYTE[]> in(new (std::nothrow) BYTE[kDeflateChunkLimit]);
  std::unique_ptr<BYTE[]> out(new (std::nothrow) BYTE[kDeflatePieceSize]);
  if (!in || !out) return FALSE;
  InflateStream stream;
  if (!stream.Begin()) return FALSE;

  ULONGLONG left = static_cast<ULONGLONG>(stored);
  while (left != 0) {
    DWORD length = 0;
    if (!ReadChunk(archive, in.get(), &left, &length)) return FALSE;
    z_stream& z = stream.z();
    if (!InflateChunk(z, in.get(), length, out.get(), left == 0))
      return FALSE;
    const DWORD produced = kDeflatePieceSize - z.avail_out;
    if (!WriteExact(target, out.get(), produced)) return FALSE;
    if (written) *written += produced;
  }
  return stream.End() == Z_OK;
}
