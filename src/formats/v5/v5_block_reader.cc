// SPDX-License-Identifier: GPL-2.0-or-later
// Version 5 block stream reader: decompresses an entry's blocks, from its
// data part and data offset on, into a destination file, no further than
// the entry's recorded size. A stream that meets the end of a part
// continues at offset 0 of the next part.
#include <cstring>
#include <utility>

#include "KvLog.h"
#include "KvMorvel.h"
#include "formats/file_io.h"
#include "formats/le_codec.h"
#include "formats/piece_source.h"
#include "formats/sized_output.h"
#include "formats/v5/v5_format.h"
#include "formats/v5/v5_lzo.h"
#include "formats/v5/v5_record.h"
#include "kvwin32.h"

namespace {

// Where a block stream is read: a part number and an offset in it, read
// through the archive's part input, which keeps the part open and reads
// ahead, so a stream of small blocks costs no seek and read per block.
class StreamCursor {
 public:
  StreamCursor(V5PartInput& input, V5PartInput::Opener open, DWORD number,
               ULONGLONG offset)
      : input_(input), open_(std::move(open)), number_(number),
        offset_(offset) {}
  // Opens the current part; false with the open's last error.
  bool Open() { return Kept(input_.Select(number_, open_)); }
  // Moves on to offset 0 of the next part and opens it.
  bool OpenNext() {
    ++number_;
    offset_ = 0;
    return Open();
  }
  // Reads at the cursor and moves it past what came (see ReadFile).
  bool Read(void* out, DWORD size, DWORD* got) {
    const bool ok = Kept(input_.ReadAt(offset_, out, size, got));
    offset_ += *got;
    return ok;
  }
  // The part ends inside an item: a fault of the part, as a failed read.
  void MarkCut() { partFault_ = true; }
  DWORD number() const { return number_; }
  // Whether the stream stopped at a fault of the current part (it could
  // not be opened or read, or ends inside a block) rather than at damage
  // of the stored bytes or a failed write.
  bool partFault() const { return partFault_; }
  ULONGLONG offset() const { return offset_; }

 private:
  V5PartInput& input_;
  V5PartInput::Opener open_;
  DWORD number_;
  ULONGLONG offset_;
  bool partFault_ = false;

  bool Kept(bool ok) {
    if (!ok) partFault_ = true;
    return ok;
  }
};

enum LengthRead { kLengthGot, kLengthNone, kLengthFailed };

// Reads a block's u32 payload length. No bytes at all means the part has
// ended. One to three bytes are a truncated part and count as a failed
// read (38, end of file), like a failing ReadFile.
LengthRead ReadPayloadLength(StreamCursor& part, DWORD* length) {
  BYTE bytes[4];
  DWORD got = 0;
  if (!part.Read(bytes, sizeof(bytes), &got)) return kLengthFailed;
  if (got == 0) return kLengthNone;
  if (got != sizeof(bytes)) {
    part.MarkCut();
    SetLastError(ERROR_HANDLE_EOF);
    return kLengthFailed;
  }
  *length = LoadU32(bytes);
  return kLengthGot;
}

// Reads the next block's payload length into `*length`. A part that has
// ended goes on at offset 0 of the next part. An offset the part cannot
// be positioned at (beyond 2^63, only in a damaged catalogue) fails the
// read with the seek's code. Returns false with the logged code in
// `*code` when the stream cannot go on. The `first` block of an entry is
// always written where its record points, so a part that ends there was
// cut short: 38, the part at fault, rather than a look for the next one.
bool NextBlockLength(StreamCursor& part, bool first, DWORD* length,
                     DWORD* code) {
  CKvLog* log = CKvLog::GetInstance();
  LengthRead read = ReadPayloadLength(part, length);
  if (read == kLengthNone && first) {
    part.MarkCut();
    *code = ERROR_HANDLE_EOF;
    log->AddError(TEXT("Part#%u ends before the entry's data"),
                  static_cast<unsigned>(part.number()));
    return false;
  }
  if (read == kLengthNone) {
    if (!part.OpenNext()) {
      *code = GetLastError();
      log->AddError(TEXT("Change Cannot part#%u - %u"),
                    static_cast<unsigned>(part.number()),
                    static_cast<unsigned>(*code));
      return false;
    }
    read = ReadPayloadLength(part, length);
    if (read == kLengthNone) {
      part.MarkCut();  // the stream goes on past this part's end
      log->AddError(TEXT("Invalid Block - Part#%u"),
                    static_cast<unsigned>(part.number()));
      *code = ERROR_NO_MORE_ITEMS;
      return false;
    }
  }
  if (read == kLengthFailed) {
    *code = GetLastError();
    log->AddError(TEXT("ReadFile (Block Size) - %u"),
                  static_cast<unsigned>(*code));
    return false;
  }
  return true;
}

// Reads a block's payload of `length` bytes from `part` into `payload`
// (kV5MaxPayload bytes) and decompresses it into `output` (1 MiB). Logs
// what went wrong and returns its code, or 0 with the decompressed size
// in `*size`. The payload of a whole piece of zeros (a sparse source's
// hole) is known and gives its zeros without being decompressed.
DWORD InflateBlock(StreamCursor& part, DWORD length, BYTE* payload,
                   BYTE* output, const V5ZeroPiece& zeros, lzo_uint* size) {
  CKvLog* log = CKvLog::GetInstance();
  // The writer never stores a payload longer than lzo1x_1_compress can
  // produce for 1 MiB; a longer length is damage, refused before a byte
  // of it is read.
  if (length > kV5MaxPayload) {
    log->AddError(TEXT("Invalid Block size %u - Part#%u"),
                  static_cast<unsigned>(length),
                  static_cast<unsigned>(part.number()));
    return ERROR_INTERNAL_ERROR;
  }
  DWORD got = 0;
  const BOOL readOk = part.Read(payload, length, &got);
  if (!readOk || got != length) {
    // A payload cut short by the end of the part is a failed read.
    const DWORD code = readOk ? ERROR_HANDLE_EOF : GetLastError();
    part.MarkCut();
    log->AddError(TEXT("ReadFile (Block) - %u"), static_cast<unsigned>(code));
    return code;
  }
  if (zeros.Matches(payload, length)) {
    memset(output, 0, kV5PieceSize);
    *size = kV5PieceSize;
    return ERROR_SUCCESS;
  }
  // The checked decompressor never writes past the 1 MiB it is given and
  // fails (output overrun) on a block that would inflate beyond it; an
  // empty payload fails as an input overrun.
  *size = kV5PieceSize;
  const int unpacked =
      lzo1x_decompress_safe(payload, length, output, size, nullptr);
  if (unpacked != LZO_E_OK) {
    log->AddError(TEXT("lzo1x_decompress (Block) - %d"), unpacked);
    return ERROR_INTERNAL_ERROR;
  }
  if (*size > kV5PieceSize) {
    log->AddError(TEXT("Uncompressed Block too big"));
    return ERROR_INTERNAL_ERROR;
  }
  return ERROR_SUCCESS;
}

// The number of blocks the writer stores for a file of `size` bytes: one
// per MiB begun, and one for an empty file.
ULONGLONG BlockCountForSize(ULONGLONG size) {
  return size == 0 ? 1 : (size - 1) / kV5PieceSize + 1;
}

// Writes a decompressed block to `output`. Returns 0 or the logged code:
// kRecordedSizeCode when the block takes the entry past its recorded
// size (the bytes up to that size are written), else the write's.
DWORD WriteBlock(SizedOutput& output, const BYTE* bytes, DWORD size) {
  const DWORD code = output.Write(bytes, size);
  if (code == ERROR_SUCCESS) return ERROR_SUCCESS;
  CKvLog* log = CKvLog::GetInstance();
  if (output.Overran()) {
    log->AddError(TEXT("Blocks hold more than the recorded size"));
    return kRecordedSizeCode;
  }
  log->AddError(TEXT("WriteFile (Block) - %u"), static_cast<unsigned>(code));
  return code;
}

// The block stream of `entry` from its data part on, read into `output`
// through `buffers`. Returns 0 or the code that fails the restore.
DWORD ReadBlockStream(StreamCursor& part, const _MVRL_FILEENTRY_MAX_5& entry,
                      V5CodecBuffers& buffers, const V5ZeroPiece& zeros,
                      SizedOutput& output, const CancelFlag* cancel) {
  // The buffers have fixed sizes: the payload one holds the longest
  // payload a block may have, so no allocation is sized from stored bytes.
  if (!buffers.Reserve(kV5PieceSize)) return ERROR_NOT_ENOUGH_MEMORY;
  if (!part.Open()) {
    const DWORD code = GetLastError();
    CKvLog::GetInstance()->AddError(TEXT("First Cannot part#%u - %u"),
                                    static_cast<unsigned>(part.number()),
                                    static_cast<unsigned>(code));
    return code;
  }
  for (ULONGLONG block = 0; block < entry.blockCount; ++block) {
    if (CancelRequested(cancel)) return kCancelledCode;
    DWORD length = 0;
    DWORD code = ERROR_SUCCESS;
    if (!NextBlockLength(part, block == 0, &length, &code)) return code;
    lzo_uint size = 0;
    code = InflateBlock(part, length, buffers.payload(), buffers.piece.get(),
                        zeros, &size);
    if (!code)
      code = WriteBlock(output, buffers.piece.get(), static_cast<DWORD>(size));
    if (code) return code;
  }
  return ERROR_SUCCESS;
}

// Whether the entry's block count is the one its recorded size gives; any
// other count cannot restore that size and is refused before a block is
// read, so an absurd count never drives the loop.
DWORD CheckBlockCount(const _MVRL_FILEENTRY_MAX_5& entry) {
  if (entry.blockCount == BlockCountForSize(RecordedFileSize(entry.data)))
    return ERROR_SUCCESS;
  CKvLog::GetInstance()->AddError(
      TEXT("Block count %llu does not fit the recorded size"),
      static_cast<unsigned long long>(entry.blockCount));
  return kRecordedSizeCode;
}

}  // namespace

DWORD ReadEntryBlocks5(_MVRL_OBJECT_5* record, const WCHAR* archivePath,
                       const V5PartInput::Opener& open,
                       const _MVRL_FILEENTRY_MAX_5& entry, SizedOutput& output,
                       const CancelFlag* cancel) {
  if (V5LzoInit() != LZO_E_OK) return ERROR_INTERNAL_ERROR;
  StreamCursor part(record->partIn, open, entry.dataPart, entry.dataOffset);
  DWORD code = CheckBlockCount(entry);
  // A file of a piece or more may hold whole pieces of zeros.
  if (RecordedFileSize(entry.data) >= kV5PieceSize)
    record->zeroPiece.Prepare(record->codec);
  if (!code)
    code = ReadBlockStream(part, entry, record->codec, record->zeroPiece,
                           output, cancel);
  // The stream's bytes, as far as they were read, are this entry's.
  record->owners.ReachedEnd({part.number(), part.offset()});
  if (code && part.partFault())
    record->cause.SetPart(code, archivePath, part.number());
  if (!code && !output.Complete()) {
    CKvLog::GetInstance()->AddError(
        TEXT("Blocks end short of the recorded size"));
    code = kRecordedSizeCode;
  }
  return code;
}

BOOL CKvMorvel::ZIPDecompressFile5(HANDLE target,
                                   _MVRL_FILEENTRY_MAX_5* entry) {
  // Every byte goes through `output`, which stops at the recorded size:
  // blocks that hold more (or that other entries point at as well) can
  // never make the file larger than its record says.
  SizedOutput output(target, RecordedFileSize(entry->data));
  const DWORD code = ReadEntryBlocks5(
      V5Record(m_control), m_archivePath,
      [this](DWORD number) { return OpenPart5(number); }, *entry, output,
      &m_cancel);
  m_error.SetError(code);
  return code == ERROR_SUCCESS;
}
