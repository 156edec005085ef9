// Version 5 block stream reader: decompresses an entry's blocks, from its
// data part and data offset on, into a destination file, no further than
// the entry's recorded size. A stream that meets the end of a part
// continues at offset 0 of the next part.
#include <functional>
#include <memory>
#include <new>
#include <utility>

#include "KvLog.h"
#include "KvMorvel.h"
#include "formats/file_io.h"
#include "formats/le_codec.h"
#include "formats/sized_output.h"
#include "formats/v5/v5_format.h"
#include "formats/v5/v5_lzo.h"
#include "formats/v5/v5_record.h"
#include "kvwin32.h"

namespace {

// The part file a block stream is read from, opened by number through
// the archive, and closed when the reader goes out of scope.
class PartReader {
 public:
  PartReader(std::function<HANDLE(DWORD)> open, DWORD number)
      : open_(std::move(open)), number_(number) {}
  ~PartReader() { Close(); }
  // Opens the current part; false with the open's last error.
  bool Open() {
    Close();
    handle_ = open_(number_);
    return handle_ != INVALID_HANDLE_VALUE;
  }
  // Moves on to the next part and opens it.
  bool OpenNext() {
    ++number_;
    return Open();
  }
  HANDLE get() const { return handle_; }
  DWORD number() const { return number_; }

 private:
  void Close() {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
  }
  std::function<HANDLE(DWORD)> open_;
  DWORD number_;
  HANDLE handle_ = INVALID_HANDLE_VALUE;
};

enum LengthRead { kLengthGot, kLengthNone, kLengthFailed };

// Reads a block's u32 payload length. No bytes at all means the part has
// ended. One to three bytes are a truncated part and count as a failed
// read (38, end of file), like a failing ReadFile.
LengthRead ReadPayloadLength(HANDLE part, DWORD* length) {
  BYTE bytes[4];
  DWORD got = 0;
  if (!ReadFile(part, bytes, sizeof(bytes), &got, nullptr))
    return kLengthFailed;
  if (got == 0) return kLengthNone;
  if (got != sizeof(bytes)) {
    SetLastError(ERROR_HANDLE_EOF);
    return kLengthFailed;
  }
  *length = LoadU32(bytes);
  return kLengthGot;
}

// Reads the next block's payload length into `*length`. A part that has
// ended goes on at offset 0 of the next part. `positioned` false (the
// stream's offset could not be reached) fails the read. Returns false
// with the logged code in `*code` when the stream cannot go on.
bool NextBlockLength(PartReader& part, bool positioned, DWORD* length,
                     DWORD* code) {
  CKvLog* log = CKvLog::GetInstance();
  LengthRead read =
      positioned ? ReadPayloadLength(part.get(), length) : kLengthFailed;
  if (read == kLengthNone) {
    if (!part.OpenNext()) {
      *code = GetLastError();
      log->AddError(TEXT("Change Cannot part#%u - %u"),
                    static_cast<unsigned>(part.number()),
                    static_cast<unsigned>(*code));
      return false;
    }
    SeekTo(part.get(), 0);
    read = ReadPayloadLength(part.get(), length);
    if (read == kLengthNone) {
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
// in `*size`.
DWORD InflateBlock(HANDLE part, DWORD length, DWORD partNumber, BYTE* payload,
                   BYTE* output, lzo_uint* size) {
  CKvLog* log = CKvLog::GetInstance();
  // The writer never stores a payload longer than lzo1x_1_compress can
  // produce for 1 MiB; a longer length is damage, refused before a byte
  // of it is read.
  if (length > kV5MaxPayload) {
    log->AddError(TEXT("Invalid Block size %u - Part#%u"),
                  static_cast<unsigned>(length),
                  static_cast<unsigned>(partNumber));
    return ERROR_INTERNAL_ERROR;
  }
  DWORD got = 0;
  const BOOL readOk = ReadFile(part, payload, length, &got, nullptr);
  if (!readOk || got != length) {
    // A payload cut short by the end of the part is a failed read.
    const DWORD code = readOk ? ERROR_HANDLE_EOF : GetLastError();
    log->AddError(TEXT("ReadFile (Block) - %u"), static_cast<unsigned>(code));
    return code;
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

// The block stream of `entry` from its data part on, read into `output`.
// Returns 0 or the code that fails the restore.
DWORD ReadBlockStream(PartReader& part, const _MVRL_FILEENTRY_MAX_5& entry,
                      SizedOutput& output) {
  // Both buffers have fixed sizes: the payload one holds the longest
  // payload a block may have, so no allocation is sized from stored bytes.
  std::unique_ptr<BYTE[]> payload(new (std::nothrow) BYTE[kV5MaxPayload]);
  std::unique_ptr<BYTE[]> piece(new (std::nothrow) BYTE[kV5PieceSize]);
  if (!payload || !piece) return ERROR_NOT_ENOUGH_MEMORY;
  if (!part.Open()) {
    const DWORD code = GetLastError();
    CKvLog::GetInstance()->AddError(TEXT("First Cannot part#%u - %u"),
                                    static_cast<unsigned>(part.number()),
                                    static_cast<unsigned>(code));
    return code;
  }
  // An offset the part cannot be positioned at (beyond 2^63, only in a
  // damaged catalogue) fails like the read it prevents, not at offset 0.
  const bool positioned = SeekTo(part.get(), entry.dataOffset);
  for (ULONGLONG block = 0; block < entry.blockCount; ++block) {
    DWORD length = 0;
    DWORD code = ERROR_SUCCESS;
    if (!NextBlockLength(part, positioned, &length, &code)) return code;
    lzo_uint size = 0;
    code = InflateBlock(part.get(), length, part.number(), payload.get(),
                        piece.get(), &size);
    if (!code) code = WriteBlock(output, piece.get(), static_cast<DWORD>(size));
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

BOOL CKvMorvel::ZIPDecompressFile5(HANDLE target,
                                   _MVRL_FILEENTRY_MAX_5* entry) {
  if (lzo_init() != LZO_E_OK) {
    m_error.SetError(ERROR_INTERNAL_ERROR);
    return FALSE;
  }
  // Every byte goes through `output`, which stops at the recorded size:
  // blocks that hold more (or that other entries point at as well) can
  // never make the file larger than its record says.
  SizedOutput output(target, RecordedFileSize(entry->data));
  PartReader part([this](DWORD number) { return OpenPart5(number); },
                  entry->dataPart);
  DWORD code = CheckBlockCount(*entry);
  if (!code) code = ReadBlockStream(part, *entry, output);
  if (!code && !output.Complete()) {
    CKvLog::GetInstance()->AddError(
        TEXT("Blocks end short of the recorded size"));
    code = kRecordedSizeCode;
  }
  m_error.SetError(code);
  return code == ERROR_SUCCESS;
}
