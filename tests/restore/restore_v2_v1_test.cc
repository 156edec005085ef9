// Restoring version 2 and version 1 entries from archive files the tests
// write byte by byte: data at an offset, records built field by field.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>

#include "KvSystem.h"
#include "restore/restore_fixture.h"

namespace {

// A version 1 record of `name` holding `stored` bytes at `offset`.
std::string V1Record(const std::string& name,
                     const WIN32_FILE_ATTRIBUTE_DATA& data,
                     unsigned long long stored, unsigned long long offset) {
  StoredEntry e;
  e.name = name;
  e.data = data;
  e.storedLength = stored;
  e.dataOffset = offset;
  return ::V1Record(e);
}

const std::string kHeaderGap(40, 'H');  // data starts behind the header

struct V2 : ::testing::Test {
  TempDir dir;
  Probe arc;
  std::string out = dir / "out";
  BOOL Restore(DWORD index) {
    arc.m_currentIndex = index;
    return arc.MorvelExtractFile2(P(W(out)), 0);
  }
};

TEST_F(V2, FileComesBackAndThePrivilegeStaysEnabled) {
  const std::string content = PatternBytes(70000, 5);
  const std::string chunk = DeflateChunk(content);
  WriteBytes(dir / "a.arc", kHeaderGap + chunk);
  arc.UseV2(dir / "a.arc");
  auto& e = arc.AddEntry2("x\\f.bin", 0x20, content.size());
  e.storedLength = chunk.size();
  e.dataOffset = 40;
  // A descriptor the layer made for a file of mode 0600, kept in the record.
  WriteBytes(dir / "model", "m");
  chmod((dir / "model").c_str(), 0600);
  DWORD needed = 0;
  GetFileSecurityW(P(W(dir / "model")), 0xF, nullptr, 0, &needed);
  ASSERT_TRUE(needed > 0 && needed < 1000);
  GetFileSecurityW(P(W(dir / "model")), 0xF, e.tail + (e.descriptorOffset - 90),
                   needed, &needed);
  e.descriptorLength = static_cast<WORD>(needed);
  e.recordSize += needed;
  CKvSystem::SetPrivilege(u"SeSecurityPrivilege", FALSE);
  ASSERT_TRUE(Restore(0)) << arc.GetErrorCode();
  EXPECT_EQ(content, ReadBytes(out + "/x/f.bin"));
  EXPECT_TRUE(CKvSystem::IsPrivilegeEnabled(u"SeSecurityPrivilege"));
  struct stat st;
  ASSERT_EQ(0, stat((out + "/x/f.bin").c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 0777);
}

TEST_F(V2, EmptyFilePassesAndSizeMismatchInEitherHalfFails) {
  const std::string chunk = DeflateChunk("four");
  WriteBytes(dir / "a.arc", kHeaderGap + chunk);
  arc.UseV2(dir / "a.arc");
  arc.AddEntry2("empty", 0x20, 0).dataOffset = 40;
  for (unsigned long long size : {5ull, 4ull + (1ull << 32)}) {
    auto& e = arc.AddEntry2("f" + std::to_string(size), 0x20, size);
    e.storedLength = chunk.size();
    e.dataOffset = 40;
  }
  ASSERT_TRUE(Restore(0));
  EXPECT_TRUE(Exists(out + "/empty"));
  EXPECT_EQ("", ReadBytes(out + "/empty"));
  for (DWORD i : {1u, 2u}) {
    EXPECT_FALSE(Restore(i)) << i;
    EXPECT_EQ(1359u, arc.GetErrorCode());
  }
  EXPECT_EQ("four", ReadBytes(out + "/f5"));  // the data stays written
}

// Data that cannot be inflated is reported as 1359 whatever the cause;
// the cause is in the log: 13 for a damaged chunk, 38 for an archive that
// ends inside the stream.
TEST_F(V2, DamagedOrCutStreamReports1359AndLogsTheCause) {
  std::string chunk = DeflateChunk(PatternBytes(5000, 3));
  std::string damaged = chunk;
  damaged[0] = static_cast<char>(damaged[0] + 1);  // one past the stored bytes
  WriteBytes(dir / "a.arc", kHeaderGap + damaged + chunk.substr(0, 20));
  arc.UseV2(dir / "a.arc");
  auto& bad = arc.AddEntry2("bad", 0x20, 5000);
  bad.storedLength = damaged.size();
  bad.dataOffset = 40;
  auto& cut = arc.AddEntry2("cut", 0x20, 5000);
  cut.storedLength = chunk.size();
  cut.dataOffset = 40 + damaged.size();
  const DWORD causes[] = {13, 38};
  for (DWORD i : {0u, 1u}) {
    LogCapture log;
    PrimeStaleCodes(arc);
    EXPECT_FALSE(Restore(i)) << i;
    EXPECT_EQ(1359u, arc.GetErrorCode()) << i;
    EXPECT_TRUE(HasErrorLine(log, "Cannot restore data of ", causes[i]))
        << i;
  }
}

TEST_F(V2, DescriptorPastTheRecordIsRefusedBeforeAnythingIsMade) {
  WriteBytes(dir / "a.arc", kHeaderGap);
  arc.UseV2(dir / "a.arc");
  auto& e = arc.AddEntry2("f", 0x20, 0);
  e.descriptorLength = 200;  // the record ends at the name
  EXPECT_FALSE(Restore(0));
  EXPECT_EQ(1392u, arc.GetErrorCode());
  e.recordSize += 200;
  e.descriptorOffset = 1500;  // past the 1610-byte entry
  EXPECT_FALSE(Restore(0));
  EXPECT_EQ(1392u, arc.GetErrorCode());
  EXPECT_FALSE(Exists(out));
}

TEST_F(V2, ReparseFolderIsReadFromTheArchiveFile) {
  DosDevices drives;
  TempDir d;
  mkdir((d / "real").c_str(), 0755);
  drives.Map('d', d.path());
  const std::string record = ReparseRecord(MountPointBuffer(u"D:\\real"));
  WriteBytes(dir / "a.arc", kHeaderGap + record);
  arc.UseV2(dir / "a.arc");
  auto& e = arc.AddEntry2("j", 0x410);
  e.storedLength = record.size();
  e.dataOffset = 40;
  ASSERT_TRUE(Restore(0)) << arc.GetErrorCode();
  struct stat st;
  ASSERT_EQ(0, lstat((out + "/j").c_str(), &st));
  EXPECT_TRUE(S_ISLNK(st.st_mode));
}

struct V1 : ::testing::Test {
  TempDir dir;
  Probe arc;
  std::string out = dir / "out";
  void Open(const std::string& data, const std::string& catalogue) {
    WriteBytes(dir / "a.arc", std::string(32, 'H') + data);
    arc.UseV1(dir / "a.arc", catalogue);
  }
};

TEST_F(V1, TimesAreTakenAsLocalTimeOfTheZone) {
  const char* saved = getenv("TZ");
  const std::string before = saved ? saved : "";
  setenv("TZ", "XST5", 1);  // five hours behind UTC, no daylight saving
  tzset();
  const unsigned long long local = 132000000000000000ull;
  const std::string chunk = DeflateChunk("abc");
  Open(chunk, V1Record("d\\t.txt", Attributes(0x20, 3, local), chunk.size(), 32));
  const BOOL ok = arc.MorvelExtractFile(P(W(out)), 0);
  const unsigned long long written = LayerWriteTime(out + "/d/t.txt");
  if (saved) setenv("TZ", before.c_str(), 1); else unsetenv("TZ");
  tzset();
  ASSERT_TRUE(ok) << arc.GetErrorCode();
  EXPECT_EQ("abc", ReadBytes(out + "/d/t.txt"));
  EXPECT_EQ(local + 5ull * 3600 * 10000000, written);
}

TEST_F(V1, SpecialFileIsRestoredOnlyWhenAskedFor) {
  const std::string chunk = DeflateChunk("dav");
  Open(chunk, V1Record("sys\\Teph.Dav", Attributes(0x20, 3), chunk.size(), 32));
  EXPECT_TRUE(arc.MorvelExtractFile(P(W(out)), 0));
  EXPECT_FALSE(Exists(out + "/sys/Teph.Dav"));
  WCHAR name[260];
  arc.GetFile(name, 260);
  EXPECT_EQ("sys\\Teph.Dav", N(reinterpret_cast<char16_t*>(name)));
  EXPECT_TRUE(arc.MorvelExtractFile(P(W(out)), 1));
  EXPECT_EQ("dav", ReadBytes(out + "/sys/Teph.Dav"));
}

TEST_F(V1, SizeMismatchAndTruncatedRecordFail) {
  const std::string chunk = DeflateChunk("abc");
  Open(chunk, V1Record("f", Attributes(0x20, 4), chunk.size(), 32));
  EXPECT_FALSE(arc.MorvelExtractFile(P(W(out)), 0));
  EXPECT_EQ(1359u, arc.GetErrorCode());
  std::string cut = V1Record("f", Attributes(0x20, 3), chunk.size(), 32);
  cut.resize(cut.size() - 3);
  Probe truncated;
  truncated.UseV1(dir / "a.arc", cut);
  EXPECT_FALSE(truncated.MorvelExtractFile(P(W(dir / "o2")), 0));
  EXPECT_EQ(1392u, truncated.GetErrorCode());
  EXPECT_FALSE(Exists(dir / "o2"));
}

TEST_F(V1, CutStreamReports1359AndLogsTheCause) {
  const std::string chunk = DeflateChunk("abc");
  Open(chunk.substr(0, chunk.size() - 2),
       V1Record("f", Attributes(0x20, 3), chunk.size(), 32));
  LogCapture log;
  PrimeStaleCodes(arc);
  EXPECT_FALSE(arc.MorvelExtractFile(P(W(out)), 0));
  EXPECT_EQ(1359u, arc.GetErrorCode());
  EXPECT_TRUE(HasErrorLine(log, "Cannot restore data of ", 38));
}

TEST_F(V1, TargetInAReadOnlyFolderFailsWithAccessDenied) {
  if (geteuid() == 0) GTEST_SKIP() << "root writes into read-only folders";
  const std::string chunk = DeflateChunk("abc");
  Open(chunk, V1Record("f", Attributes(0x20, 3), chunk.size(), 32));
  ASSERT_EQ(0, mkdir(out.c_str(), 0555));
  PrimeStaleCodes(arc);
  EXPECT_FALSE(arc.MorvelExtractFile(P(W(out)), 0));
  EXPECT_EQ(5u, arc.GetErrorCode());
  chmod(out.c_str(), 0755);
}

// The name length (u16 at 52) of a record is set to 0 or to one past the
// longest name an adder writes; the catalogue is padded so the record
// still lies inside it. Info and the restore refuse it with the same code
// and nothing is created.
TEST_F(V1, DamagedNameLengthIsRefusedAsInfoRefusesIt) {
  const std::string chunk = DeflateChunk("abc");
  WriteBytes(dir / "a.arc", std::string(32, 'H') + chunk);
  for (const unsigned nameLength : {0u, 457u}) {
    std::string record =
        V1Record("f", Attributes(0x20, 3), chunk.size(), 32);
    record[52] = static_cast<char>(nameLength & 0xFF);
    record[53] = static_cast<char>(nameLength >> 8);
    record.append(2 * 457 + 2, '\0');
    Probe damaged;
    damaged.UseV1(dir / "a.arc", record);
    EXPECT_FALSE(damaged.Info(FALSE)) << nameLength;
    const DWORD infoCode = damaged.GetErrorCode();
    EXPECT_EQ(1392u, infoCode) << nameLength;
    EXPECT_FALSE(damaged.MorvelExtractFile(P(W(out)), 1)) << nameLength;
    EXPECT_EQ(infoCode, damaged.GetErrorCode()) << nameLength;
    EXPECT_FALSE(Exists(out)) << nameLength;
  }
}

}  // namespace
