// Reader of the chunked deflate stream (restores of versions 1 and 2).
#include <zlib.h>

#include <memory>
#include <new>

#include "KvMorvel.h"
#include "formats/deflate/deflate_stream.h"
#include "formats/deflate/owned_zlib_stream.h"
#include "formats/file_io.h"
#include "formats/le_codec.h"
#include "formats/sized_output.h"

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

bool InflateChunks(HANDLE archive, ULONGLONG stored, SizedOutput& output) {
  if (stored == 0) return true;
  std::unique_ptr<BYTE[]> in(new (std::nothrow) BYTE[kDeflateChunkLimit]);
  std::unique_ptr<BYTE[]> out(new (std::nothrow) BYTE[kDeflatePieceSize]);
  if (!in || !out) return false;
  InflateStream stream;
  if (!stream.Begin()) return false;

  ULONGLONG left = stored;
  while (left != 0) {
    DWORD length = 0;
    if (!ReadChunk(archive, in.get(), &left, &length)) return false;
    z_stream& z = stream.z();
    if (!InflateChunk(z, in.get(), length, out.get(), left == 0))
      return false;
    // Each chunk inflates to at most one output buffer, so the stored
    // length bounds the work; the output bounds what reaches the disk.
    if (!output.Write(out.get(), kDeflatePieceSize - z.avail_out))
      return false;
  }
  return stream.End() == Z_OK;
}

bool InflateEntryData(HANDLE archive, ULONGLONG offset, ULONGLONG stored,
                      HANDLE target, const WIN32_FILE_ATTRIBUTE_DATA& data) {
  SizedOutput output(target, RecordedFileSize(data));
  return SeekTo(archive, offset) && InflateChunks(archive, stored, output) &&
         output.Complete();
}

BOOL CKvMorvel::ZIPDecompressFile(HANDLE archive, LONGLONG stored,
                                  HANDLE target, LONGLONG* written) {
  if (written) *written = 0;
  if (stored < 0) return FALSE;
  // Unbounded but for the stream itself: the restores bound their output
  // by the recorded size through InflateEntryData.
  SizedOutput output(target, ~0ull);
  const bool ok =
      InflateChunks(archive, static_cast<ULONGLONG>(stored), output);
  if (written) *written = static_cast<LONGLONG>(output.written());
  return ok;
}
