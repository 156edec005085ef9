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
#include "support/archive_bytes.h"
#include "support/bytes.h"
#include "support/test_support.h"

// WriteBytes after creating the missing folders above `path`.
void WriteNested(const std::string& path, const std::string& bytes);

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

// Whether an error line ends with " - <code>" and names `what`, as the
// restore's "Cannot restore data of <path> - <cause>" line does.
bool HasErrorLine(const LogCapture& log, const std::string& what,
                  DWORD code);

#endif  // KVMORVEL_TESTS_RESTORE_FIXTURE_H
