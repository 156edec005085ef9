// SPDX-License-Identifier: GPL-2.0-or-later
// The restored content of a file entry, held to the size its record gives.
//
// Every version's restore writes an entry's decompressed bytes through one
// SizedOutput, and so does ReadEntryData, which hands them to a caller's
// sink instead of a file: bytes up to the recorded size reach the target
// file or the sink, and nothing past it ever does. Stored data that inflates past the recorded
// size (a damaged stream, or blocks shared by several entries) is cut at
// the size and fails the restore; stored data that ends before the size is
// reached fails it as well. Either failure is reported with
// kRecordedSizeCode, and the bytes written up to then stay on disk, as
// they do for any restore that fails part way.
#ifndef KVMORVEL_FORMATS_SIZED_OUTPUT_H
#define KVMORVEL_FORMATS_SIZED_OUTPUT_H

#include "KvMorvel.h"
#include "kvwin32.h"

// The code of an entry whose stored data holds more or fewer bytes than
// its recorded size: 1359, the code every version already reports when an
// entry's data cannot be restored, so a caller sees one code for "this
// file's data is not what its record says" whatever went wrong in it.
const DWORD kRecordedSizeCode = ERROR_INTERNAL_ERROR;

// The 64-bit file size attribute data records, both halves joined.
inline ULONGLONG RecordedFileSize(const WIN32_FILE_ATTRIBUTE_DATA& data) {
  return (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

class SizedOutput {
 public:
  // Bytes go to the file `target`, at its current position.
  SizedOutput(HANDLE target, ULONGLONG recordedSize)
      : target_(target), left_(recordedSize) {}
  // Bytes go to `sink(context, ...)`; no file is touched.
  SizedOutput(KvDataSink sink, void* context, ULONGLONG recordedSize)
      : sink_(sink), context_(context), left_(recordedSize) {}

  // Passes on `size` bytes. Returns 0, or the code of the failure:
  // kRecordedSizeCode when the bytes would pass the recorded size (the
  // bytes up to it are passed on, and Overran() is then true); for a
  // file the write's own code for a failed write, 112 for a short one;
  // for a sink the code it returned. A file is the new file being
  // restored, written from its start: runs of zeros become holes
  // (WriteKeepingHoles).
  DWORD Write(const BYTE* bytes, DWORD size);

  // Whether the recorded size has been written exactly.
  bool Complete() const { return left_ == 0 && !overran_; }
  // Whether the data offered held more than the recorded size.
  bool Overran() const { return overran_; }
  ULONGLONG written() const { return written_; }

 private:
  // Passes `size` bytes to the file or the sink; 0 or the failure's code,
  // with what was taken in *put.
  DWORD Deliver(const BYTE* bytes, DWORD size, DWORD* put);
  DWORD WriteToFile(const BYTE* bytes, DWORD size, DWORD* put);

  HANDLE target_ = INVALID_HANDLE_VALUE;
  KvDataSink sink_ = nullptr;
  void* context_ = nullptr;
  ULONGLONG left_;
  ULONGLONG written_ = 0;
  bool overran_ = false;
};

#endif  // KVMORVEL_FORMATS_SIZED_OUTPUT_H
