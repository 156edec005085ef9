// SPDX-License-Identifier: GPL-2.0-or-later
// Restoring version 2 and version 1 entries from archive files the tests
// write byte by byte: data behind the header, records built field by field.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>

#include "KvSystem.h"
#include "restore/restore_fixture.h"

namespace {

// Where fields lie in the archive: the version 1 header's catalogue
// length, and within a record the version 1 name length and the version
// 2 descriptor length and offset.
const size_t kV1CatalogueLengthAt = 28;
const size_t kV1NameLengthAt = 52;
const size_t kV2DescriptorLengthAt = 86;
const size_t kV2DescriptorOffsetAt = 88;
const size_t kV1DataStart = 32;
const size_t kV2DataStart = 40;

// A file entry of `size` bytes whose stream is `stored` bytes long.
StoredEntry Deflated(const std::string& name, unsigned long long size,
                     unsigned long long stored) {
  StoredEntry e = Entry(name, 0x20, size);
  e.storedLength = stored;
  return e;
}

using V2 = Restoring;

TEST_F(V2, FileComesBackAndThePrivilegeStaysEnabled) {
  SKIP_UNDER_WINE(kWineNoPermissionBits);
  const std::string content = PatternBytes(70000, 5);
  const std::string chunk = DeflateChunk(content);
  // A descriptor the layer made for a file of mode 0600, kept in the record.
  WriteBytes(dir / "model", "m");
  chmod((dir / "model").c_str(), 0600);
  StoredEntry e = Deflated("x\\f.bin", content.size(), chunk.size());
  e.descriptor = LayerDescriptor(dir / "model");
  ASSERT_FALSE(e.descriptor.empty());
  WriteV1OrV2(2, {e}, chunk);
  CKvSystem::SetPrivilege(TEXT("SeSecurityPrivilege"), FALSE);
  ASSERT_TRUE(Restore(0, out)) << arc.GetErrorCode();
  EXPECT_EQ(content, ReadBytes(out + "/x/f.bin"));
  EXPECT_TRUE(CKvSystem::IsPrivilegeEnabled(TEXT("SeSecurityPrivilege")));
  struct stat st;
  ASSERT_EQ(0, stat((out + "/x/f.bin").c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 0777);
}

TEST_F(V2, EmptyFilePassesAndSizeMismatchInEitherHalfFails) {
  const std::string chunk = DeflateChunk("four");
  WriteV1OrV2(2,
              {Deflated("empty", 0, 0), Deflated("f5", 5, chunk.size()),
               Deflated("fbig", 4 + (1ull << 32), chunk.size())},
              chunk);
  ASSERT_TRUE(Restore(0, out));
  EXPECT_TRUE(Exists(out + "/empty"));
  EXPECT_EQ("", ReadBytes(out + "/empty"));
  for (DWORD i : {1u, 2u}) {
    EXPECT_FALSE(Restore(i, out)) << i;
    EXPECT_EQ(1359u, arc.GetErrorCode());
  }
  // A file whose data failed is removed, through its own handle.
  EXPECT_FALSE(Exists(out + "/f5"));
  EXPECT_FALSE(Exists(out + "/fbig"));
}

// Data that cannot be inflated is reported as 1359 whatever the cause;
// the cause is in the log: 13 for a damaged chunk, 38 for an archive that
// ends inside the stream (what follows the cut, the catalogue, is shorter
// than what is missing).
TEST_F(V2, DamagedOrCutStreamReports1359AndLogsTheCause) {
  std::string chunk = DeflateChunk(PatternBytes(5000, 3));
  std::string damaged = chunk;
  damaged[0] = static_cast<char>(damaged[0] + 1);  // one past the stored bytes
  WriteV1OrV2(2,
              {Deflated("bad", 5000, damaged.size()),
               DataAt(Deflated("cut", 5000, chunk.size()), damaged.size())},
              damaged + chunk.substr(0, 20));
  const DWORD causes[] = {13, 38};
  for (DWORD i : {0u, 1u}) {
    LogCapture log;
    EXPECT_FALSE(Restore(i, out)) << i;
    EXPECT_EQ(1359u, arc.GetErrorCode()) << i;
    EXPECT_TRUE(HasErrorLine(log, "Cannot restore data of ", causes[i]))
        << i;
  }
}

// A descriptor said to lie past its record (a length the record does not
// hold, or an offset past the entry) never reaches a restore: the list
// ends at that record with 1392, and nothing is made.
TEST_F(V2, DescriptorPastTheRecordIsRefusedBeforeAnythingIsMade) {
  StoredEntry described = Entry("f", 0x20);
  described.descriptor = std::string(200, '\0');
  // A length of 200 in a record that ends at the name; an offset past the
  // 1610-byte entry in a record that holds its 200 bytes.
  const struct {
    StoredEntry entry;
    size_t at;
    WORD value;
  } damages[] = {{Entry("f", 0x20), kV2DescriptorLengthAt, 200},
                 {described, kV2DescriptorOffsetAt, 1500}};
  for (const auto& d : damages) {
    WriteV1OrV2(2, {d.entry}, "");
    Patch(path, kV2DataStart + d.at, Bytes().U16(d.value).str());
    ASSERT_TRUE(OpenArchive());
    EXPECT_FALSE(arc.Info(0)) << d.value;
    EXPECT_EQ(1392u, arc.GetErrorCode()) << d.value;
    EXPECT_FALSE(Extract(out)) << d.value;
    EXPECT_FALSE(Exists(out)) << d.value;
  }
}

TEST_F(V2, ReparseFolderIsReadFromTheArchiveFile) {
  SKIP_UNDER_WINE(kWineNoDriveMapping);
  DosDevices drives;
  TempDir d;
  mkdir((d / "real").c_str(), 0755);
  drives.Map('d', d.path());
  const std::string record = ReparseRecord(MountPointBuffer(u"D:\\real"));
  WriteV1OrV2(2, {Reparse("j", record.size())}, record);
  ASSERT_TRUE(Restore(0, out)) << arc.GetErrorCode();
  EXPECT_TRUE(IsLink(out + "/j"));
}

using V1 = Restoring;

TEST_F(V1, TimesAreTakenAsLocalTimeOfTheZone) {
  SKIP_ON_WINDOWS(kWindowsTimeZone);
  const char* saved = getenv("TZ");
  const std::string before = saved ? saved : "";
  setenv("TZ", "XST5", 1);  // five hours behind UTC, no daylight saving
  tzset();
  const std::string chunk = DeflateChunk("abc");
  WriteV1OrV2(1, {Deflated("d\\t.txt", 3, chunk.size())}, chunk);
  const BOOL ok = Restore(0, out);
  const unsigned long long written = LayerWriteTime(out + "/d/t.txt");
  if (saved) setenv("TZ", before.c_str(), 1); else unsetenv("TZ");
  tzset();
  ASSERT_TRUE(ok) << arc.GetErrorCode();
  EXPECT_EQ("abc", ReadBytes(out + "/d/t.txt"));
  EXPECT_EQ(kStoredTime + 5ull * 3600 * 10000000, written);
}

TEST_F(V1, SpecialFileIsRestoredOnlyWhenAskedFor) {
  const std::string chunk = DeflateChunk("dav");
  WriteV1OrV2(1, {Deflated("sys\\Teph.Dav", 3, chunk.size())}, chunk);
  // No Info first: the name GetFile gives is the one the restore sets.
  ASSERT_TRUE(OpenArchive());
  EXPECT_TRUE(Extract(out, 0));
  EXPECT_FALSE(Exists(out + "/sys/Teph.Dav"));
  EXPECT_EQ("sys\\Teph.Dav", CurrentName(arc));
  EXPECT_TRUE(Extract(out, 1));
  EXPECT_EQ("dav", ReadBytes(out + "/sys/Teph.Dav"));
}

TEST_F(V1, SizeMismatchAndTruncatedRecordFail) {
  const std::string chunk = DeflateChunk("abc");
  WriteV1OrV2(1, {Deflated("f", 4, chunk.size())}, chunk);
  EXPECT_FALSE(Restore(0, out));
  EXPECT_EQ(1359u, arc.GetErrorCode());
  EXPECT_FALSE(Exists(out + "/f"));  // removed: its data failed
  // The header's catalogue ends three bytes before the record does.
  const StoredEntry whole = Deflated("f", 3, chunk.size());
  WriteV1OrV2(1, {whole}, chunk);
  Patch(path, kV1CatalogueLengthAt,
        Bytes().U32(V1Record(whole).size() - 3).str());
  ASSERT_TRUE(OpenArchive());
  EXPECT_FALSE(Extract(dir / "o2"));
  EXPECT_EQ(1392u, arc.GetErrorCode());
  EXPECT_FALSE(Exists(dir / "o2"));
}

// The archive ends inside the chunk: the catalogue that follows the cut
// is shorter than what is missing.
TEST_F(V1, CutStreamReports1359AndLogsTheCause) {
  const std::string chunk = DeflateChunk(PatternBytes(5000, 3));
  WriteV1OrV2(1, {Deflated("f", 5000, chunk.size())}, chunk.substr(0, 1000));
  LogCapture log;
  EXPECT_FALSE(Restore(0, out));
  EXPECT_EQ(1359u, arc.GetErrorCode());
  EXPECT_TRUE(HasErrorLine(log, "Cannot restore data of ", 38));
}

TEST_F(V1, TargetInAReadOnlyFolderFailsWithAccessDenied) {
  SKIP_UNDER_WINE(kWineNoPermissionBits);
  if (geteuid() == 0) GTEST_SKIP() << "root writes into read-only folders";
  const std::string chunk = DeflateChunk("abc");
  WriteV1OrV2(1, {Deflated("f", 3, chunk.size())}, chunk);
  ASSERT_EQ(0, mkdir(out.c_str(), 0555));
  EXPECT_FALSE(Restore(0, out));
  EXPECT_EQ(5u, arc.GetErrorCode());
  chmod(out.c_str(), 0755);
}

// The name length of the first record is set to 0 or to one past the
// longest name an adder writes; the second record, of the longest name,
// keeps the first inside the catalogue. Info and the restore refuse it
// with the same code and nothing is created.
TEST_F(V1, DamagedNameLengthIsRefusedAsInfoRefusesIt) {
  const std::string chunk = DeflateChunk("abc");
  const std::vector<StoredEntry> entries = {
      Deflated("f", 3, chunk.size()), Entry(std::string(455, 'n'), 0x20)};
  for (const unsigned nameLength : {0u, 457u}) {
    WriteV1OrV2(1, entries, chunk);
    Patch(path, kV1DataStart + chunk.size() + kV1NameLengthAt,
          Bytes().U16(nameLength).str());
    ASSERT_TRUE(OpenArchive());
    EXPECT_FALSE(arc.Info(FALSE)) << nameLength;
    const DWORD infoCode = arc.GetErrorCode();
    EXPECT_EQ(1392u, infoCode) << nameLength;
    EXPECT_FALSE(Extract(out, 1)) << nameLength;
    EXPECT_EQ(infoCode, arc.GetErrorCode()) << nameLength;
    EXPECT_FALSE(Exists(out)) << nameLength;
  }
}

}  // namespace
