// Builders of stored items and an archive object whose state the tests
// set directly, so each restore reads bytes the test wrote field by field.
#ifndef KVMORVEL_TESTS_RESTORE_FIXTURE_H
#define KVMORVEL_TESTS_RESTORE_FIXTURE_H

#include <string>

#include "KvMorvel.h"
#include "formats/v1/v1_format.h"
#include "formats/v2/v2_format.h"
#include "formats/v5/v5_format.h"
#include "kvwin32.h"
#include "support/bytes.h"
#include "support/test_support.h"

// A file's LZO block stream: one block per MiB, one for an empty file.
std::string LzoBlocks(const std::string& content);
// One chunk (u32 length, payload) holding a whole zlib stream.
std::string DeflateChunk(const std::string& content);
// The chunked stream an adder writes: one chunk per MiB of `content`, each
// ended by a sync flush, the last by the finish.
std::string DeflateChunks(const std::string& content);
// REPARSE_DATA_BUFFER of a mount point or of a link to a file.
std::string MountPointBuffer(const std::u16string& printName);
std::string SymlinkBuffer(const std::u16string& printName);
// The stored reparse record: u32 length, then the buffer.
std::string ReparseRecord(const std::string& buffer);

// WriteBytes after creating the missing folders above `path`.
void WriteNested(const std::string& path, const std::string& bytes);

WIN32_FILE_ATTRIBUTE_DATA Attributes(DWORD attributes,
                                     unsigned long long size = 0,
                                     unsigned long long time = 0);

DWORD LayerAttributes(const std::string& path);
unsigned long long LayerWriteTime(const std::string& path);

class Probe : public CKvMorvel {
 public:
  using CKvMorvel::m_currentIndex;
  using CKvMorvel::m_entries2;
  using CKvMorvel::m_entries5;
  using CKvMorvel::m_partHandle;
  using CKvMorvel::MorvelExtractFile;
  using CKvMorvel::MorvelExtractFile2;
  using CKvMorvel::MorvelExtractFile5;
  ~Probe() override;
  // Version 5 whose parts are named after `mainPath` ("x.arc": x_0001.arc).
  void UseV5(const std::string& mainPath);
  // Version 2 or 1 reading the archive file at `path`.
  void UseV2(const std::string& path);
  void UseV1(const std::string& path, const std::string& catalogue);
  _MVRL_FILEENTRY_MAX_5& AddEntry5(const std::string& name, DWORD attributes,
                                  unsigned long long size = 0);
  _MVRL_FILEENTRY_2& AddEntry2(const std::string& name, DWORD attributes,
                              unsigned long long size = 0);
  std::string Encrypted();

 private:
  _MVRL_OBJECT_5 control5_ = {};
  _MVRL_OBJECT_2 control2_ = {};
  _MVRL_OBJECT control1_ = {};
  std::string catalogue1_;
};

// Leaves codes a failing restore must replace: the holder holds
// 0x10000002 (from a refused accessor call) and the thread's last error
// 0xDEADBEEF, so neither can pass for the code the restore reports.
void PrimeStaleCodes(CKvMorvel& arc);

// Whether an error line ends with " - <code>" and names `what`, as the
// restore's "Cannot restore data of <path> - <cause>" line does.
bool HasErrorLine(const LogCapture& log, const std::string& what,
                  DWORD code);

// A version 1 record as the catalogue holds it.
std::string V1Record(const std::string& name, const WIN32_FILE_ATTRIBUTE_DATA& d,
                     unsigned long long stored, unsigned long long offset);

#endif  // KVMORVEL_TESTS_RESTORE_FIXTURE_H
