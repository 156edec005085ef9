// SPDX-License-Identifier: GPL-2.0-or-later
#include "formats/deflate/deflate_workspace.h"

#include <zlib.h>

#include <new>

#include "formats/deflate/deflate_stream.h"
#include "formats/deflate/owned_zlib_stream.h"
#include "formats/piece_worker.h"

namespace {

const size_t kBufferBytes = 4 + static_cast<size_t>(kDeflateChunkLimit);

class DeflateStream : public OwnedZlibStream<deflateEnd> {
 public:
  bool Begin(int level, bool programAllocator) {
    if (programAllocator) {
      z().zalloc = KvZlibAlloc;
      z().zfree = KvZlibFree;
    }
    return Began(deflateInit_(&z(), level, kZlibVersion,
                              static_cast<int>(sizeof(z_stream))));
  }
};

class InflateStream : public OwnedZlibStream<inflateEnd> {
 public:
  bool Begin() {
    return Began(inflateInit_(&z(), kZlibVersion,
                              static_cast<int>(sizeof(z_stream))));
  }
};

BYTE* Allocated(std::unique_ptr<BYTE[]>& buffer) {
  if (!buffer) buffer.reset(new (std::nothrow) BYTE[kBufferBytes]);
  return buffer.get();
}

}  // namespace

// A deflate stream is begun once per level and allocator; later entries
// at the same setting reset it.
struct DeflateWorkspace::Streams {
  std::unique_ptr<DeflateStream> deflater;
  int level = 0;
  bool programAllocator = false;
  std::unique_ptr<InflateStream> inflater;
};

DeflateWorkspace::DeflateWorkspace() = default;
DeflateWorkspace::~DeflateWorkspace() = default;
DeflateWorkspace::DeflateWorkspace(DeflateWorkspace&&) noexcept = default;
DeflateWorkspace& DeflateWorkspace::operator=(DeflateWorkspace&&) noexcept =
    default;

BYTE* DeflateWorkspace::In(int pair) { return Allocated(m_in[pair & 1]); }
BYTE* DeflateWorkspace::Out(int pair) { return Allocated(m_out[pair & 1]); }

PieceWorker* DeflateWorkspace::Worker() {
  if (!m_worker) m_worker.reset(new (std::nothrow) PieceWorker);
  return m_worker && m_worker->Ready() ? m_worker.get() : nullptr;
}

z_stream_s* DeflateWorkspace::Deflater(int level, bool programAllocator) {
  if (!m_streams) m_streams.reset(new (std::nothrow) Streams);
  if (!m_streams) return nullptr;
  Streams& s = *m_streams;
  if (s.deflater && s.level == level &&
      s.programAllocator == programAllocator &&
      deflateReset(&s.deflater->z()) == Z_OK)
    return &s.deflater->z();
  s.deflater.reset(new (std::nothrow) DeflateStream);
  if (!s.deflater || !s.deflater->Begin(level, programAllocator)) {
    s.deflater.reset();
    return nullptr;
  }
  s.level = level;
  s.programAllocator = programAllocator;
  return &s.deflater->z();
}

z_stream_s* DeflateWorkspace::Inflater() {
  if (!m_streams) m_streams.reset(new (std::nothrow) Streams);
  if (!m_streams) return nullptr;
  Streams& s = *m_streams;
  if (s.inflater && inflateReset(&s.inflater->z()) == Z_OK)
    return &s.inflater->z();
  s.inflater.reset(new (std::nothrow) InflateStream);
  if (!s.inflater || !s.inflater->Begin()) {
    s.inflater.reset();
    return nullptr;
  }
  return &s.inflater->z();
}
