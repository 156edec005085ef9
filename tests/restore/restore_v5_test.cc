// Restoring version 5 entries from part files the tests write byte by byte.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "KvSystem.h"
#include "restore/restore_fixture.h"

namespace {

const unsigned long long kStoredTime = 132000000000000000ull;

struct V5 : ::testing::Test {
  TempDir dir;
  Probe arc;
  std::string out = dir / "out";
  void SetUp() override { arc.UseV5(dir / "arc.mvr"); }
  void Part(int n, const std::string& bytes) {
    WriteBytes(dir / ("arc_000" + std::to_string(n) + ".mvr"), bytes);
  }
  BOOL Restore(DWORD index, const std::string& target) {
    arc.m_currentIndex = index;
    return arc.MorvelExtractFile5(P(W(target)), 0);
  }
  bool IsLink(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
  }
};

TEST_F(V5, FilesOfEveryBlockCountComeBackWhole) {
  const std::string contents[] = {"", "hello", PatternBytes(1048576, 2),
                                  PatternBytes(1048577, 3)};
  std::string part;
  for (int i = 0; i < 4; ++i) {
    auto& e = arc.AddEntry5("d\\f" + std::to_string(i), 0x20,
                            contents[i].size());
    e.dataOffset = part.size();
    e.blockCount = contents[i].size() > 1048576 ? 2 : 1;
    part += LzoBlocks(contents[i]);
  }
  Part(1, part);
  // A part open for writing is closed before anything is read.
  arc.m_partHandle = CreateFileW(P(W(dir / "w")), GENERIC_WRITE, 0, nullptr,
                                 CREATE_ALWAYS, 0, nullptr);
  for (int i = 0; i < 4; ++i) {
    ASSERT_TRUE(Restore(i, out)) << i << " code " << arc.GetErrorCode();
    EXPECT_EQ(contents[i], ReadBytes(out + "/d/f" + std::to_string(i)));
    EXPECT_EQ(kStoredTime, LayerWriteTime(out + "/d/f" + std::to_string(i)));
  }
  EXPECT_EQ(INVALID_HANDLE_VALUE, arc.m_partHandle);
  EXPECT_EQ(3u, arc.m_currentIndex);  // not moved
  WCHAR name[260];
  arc.GetFile(name, 260);
  EXPECT_EQ("d\\f3", N(reinterpret_cast<char16_t*>(name)));
}

TEST_F(V5, FolderGetsItsAttributesAndTimes) {
  arc.AddEntry5("docs\\sub", FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN);
  ASSERT_TRUE(Restore(0, out));
  EXPECT_TRUE(LayerAttributes(out + "/docs/sub") & FILE_ATTRIBUTE_HIDDEN);
  EXPECT_EQ(kStoredTime, LayerWriteTime(out + "/docs/sub"));
}

TEST_F(V5, EncryptedFileIsRedirectedUnderUserPart) {
  arc.AddEntry5("a\\secret.txt", 0x4020, 6).dataOffset = 0;
  Part(1, LzoBlocks("secret"));
  WriteNested(dir / "out/a/secret.txt", "old");  // deleted all the same
  setenv("USERPART", (dir / "up").c_str(), 1);
  ASSERT_TRUE(arc.Info(0));
  const std::string stored = arc.Encrypted();
  ASSERT_EQ(0u, stored.rfind("secret.txt.", 0));
  ASSERT_TRUE(Restore(0, out));
  unsetenv("USERPART");
  const std::string moved = dir / ("up/System Recovery/ENC/" + stored);
  EXPECT_EQ("secret", ReadBytes(moved));
  EXPECT_FALSE(Exists(out + "/a/secret.txt"));
  EXPECT_FALSE(LayerAttributes(moved) & FILE_ATTRIBUTE_ENCRYPTED);
  EXPECT_EQ(0u, arc.Encrypted().rfind("secret.txt.", 0));  // made afresh

  ASSERT_TRUE(Restore(0, out));  // without USERPART: at its own path
  EXPECT_EQ("secret", ReadBytes(out + "/a/secret.txt"));
  EXPECT_FALSE(LayerAttributes(out + "/a/secret.txt") & 0x4000);
}

TEST_F(V5, TooLongRedirectIsRefusedBeforeAnythingIsDeleted) {
  arc.AddEntry5("secret.txt", 0x4020, 1);
  Part(1, LzoBlocks("s"));
  WriteNested(out + "/secret.txt", "old");
  // 300 characters do not fit the variable's 260; 240 fit it, but not the
  // redirected path of 264 once the folder and the file name are added.
  for (size_t length : {300, 240}) {
    setenv("USERPART", std::string(length, 'u').c_str(), 1);
    ASSERT_TRUE(arc.Info(0));
    EXPECT_FALSE(Restore(0, out));
    unsetenv("USERPART");
    EXPECT_EQ(122u, arc.GetErrorCode()) << length;
    EXPECT_EQ("old", ReadBytes(out + "/secret.txt"));
  }
}

// The folder a mount point names is moved to the restore drive and made
// there only when it lies inside the restore target: a whole-drive restore
// gets it, a restore into a folder never creates folders beside it.
TEST_F(V5, MountPointUnderAnotherDriveCreatesItsPrintNameFolderInsideTarget) {
  DosDevices drives;
  TempDir d, e;
  drives.Map('d', d.path());
  drives.Map('e', e.path());
  const std::string record = ReparseRecord(MountPointBuffer(u"D:\\data"));
  auto& entry = arc.AddEntry5("link", 0x410);
  entry.storedLength = record.size();
  entry.blockCount = 1;
  Part(1, record);
  struct stat st;
  {
    LogCapture log;
    ASSERT_TRUE(Restore(0, "E:\\restore")) << arc.GetErrorCode();
    EXPECT_TRUE(log.Has(CKvLog::kError,
                        "Link target outside the restore folder, not "
                        "created: E:\\data"));
    EXPECT_NE(0, stat((e / "data").c_str(), &st));
    EXPECT_TRUE(IsLink(e / "restore/link"));
  }
  LogCapture log;
  ASSERT_TRUE(Restore(0, "E:\\")) << arc.GetErrorCode();
  EXPECT_TRUE(log.Has(CKvLog::kInfo, "Create Link: E:\\data"));
  EXPECT_TRUE(stat((e / "data").c_str(), &st) == 0 && S_ISDIR(st.st_mode));
  EXPECT_TRUE(IsLink(e / "link"));
}

TEST_F(V5, ShortReparseLengthLeavesAPlainFolderAndSucceeds) {
  auto& entry = arc.AddEntry5("j", 0x410);
  entry.storedLength = 40;
  Part(1, std::string("\x10\x00", 2));
  LogCapture log;
  EXPECT_TRUE(Restore(0, out));
  EXPECT_TRUE(log.HasPrefix(CKvLog::kError, "ReadFile failed - "));
  EXPECT_FALSE(IsLink(out + "/j"));
  EXPECT_TRUE(Exists(out + "/j"));
}

TEST_F(V5, ReparseRecordsBeyondTheBuffersAreRefused) {
  const std::string huge = Bytes().U32(17001).Zeros(17001).str();
  const std::string longName =
      ReparseRecord(MountPointBuffer(u"D:\\" + std::u16string(300, u'n')));
  arc.AddEntry5("big", 0x410).storedLength = huge.size();
  auto& second = arc.AddEntry5("long", 0x410);
  second.storedLength = longName.size();
  second.dataOffset = huge.size();
  Part(1, huge + longName);
  EXPECT_FALSE(Restore(0, out));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_REPARSE_DATA), arc.GetErrorCode());
  EXPECT_FALSE(Restore(1, out));
  EXPECT_EQ(122u, arc.GetErrorCode());
}

TEST_F(V5, LinkToAFileIsRestoredAsALinkNotAsData) {
  DosDevices drives;
  TempDir c;
  drives.Map('c', c.path());
  WriteBytes(c / "target.txt", "linked");
  const std::string record = ReparseRecord(SymlinkBuffer(u"C:\\target.txt"));
  arc.AddEntry5("flink", 0x420).storedLength = record.size();
  Part(1, record);
  ASSERT_TRUE(Restore(0, out)) << arc.GetErrorCode();
  EXPECT_TRUE(IsLink(out + "/flink"));
  EXPECT_EQ("linked", ReadBytes(out + "/flink"));
}

TEST_F(V5, MissingDescriptorPartFailsAfterTheDataWasWritten) {
  auto& e = arc.AddEntry5("f.txt", FILE_ATTRIBUTE_HIDDEN, 4);
  e.descriptorPart = 2;
  Part(1, LzoBlocks("data"));
  LogCapture log;
  PrimeStaleCodes(arc);
  EXPECT_FALSE(Restore(0, out));
  EXPECT_EQ(2u, arc.GetErrorCode());
  EXPECT_TRUE(log.Has(CKvLog::kError, "(SD) Cannot part#2 - 2"));
  EXPECT_EQ("data", ReadBytes(out + "/f.txt"));
  EXPECT_FALSE(LayerAttributes(out + "/f.txt") & FILE_ATTRIBUTE_HIDDEN);
  EXPECT_EQ(0, arc.GetLength64());  // current entry not refreshed
}

TEST_F(V5, DescriptorIsAppliedAndThePrivilegeDisabledAgain) {
  WriteBytes(dir / "model", "m");
  chmod((dir / "model").c_str(), 0640);
  DWORD needed = 0;
  GetFileSecurityW(P(W(dir / "model")), 0xF, nullptr, 0, &needed);
  std::string sd(needed, '\0');
  ASSERT_TRUE(GetFileSecurityW(P(W(dir / "model")), 0xF, &sd[0], needed,
                               &needed));
  std::string part = LzoBlocks("x");
  auto& e = arc.AddEntry5("f", 0x20, 1);
  e.descriptorPart = 1;
  e.descriptorOffset = part.size();
  part += Bytes().U32(sd.size()).str();
  Part(1, part + sd);
  CKvSystem::SetPrivilege(u"SeSecurityPrivilege", TRUE);
  ASSERT_TRUE(Restore(0, out));
  EXPECT_FALSE(CKvSystem::IsPrivilegeEnabled(u"SeSecurityPrivilege"));
  struct stat st;
  ASSERT_EQ(0, stat((out + "/f").c_str(), &st));
  EXPECT_EQ(0640u, st.st_mode & 0777);
}

TEST_F(V5, ShortDescriptorReadsAreToldApart) {
  std::string part = LzoBlocks("x");
  auto& whole = arc.AddEntry5("cut", FILE_ATTRIBUTE_HIDDEN, 1);
  whole.descriptorPart = 1;
  whole.descriptorOffset = part.size();
  // A descriptor of 100 bytes, of which 10 are stored.
  part += Bytes().U32(100).str();
  part += std::string(10, '\1');
  Part(1, part);
  LogCapture log;
  EXPECT_TRUE(Restore(0, out));  // the descriptor is skipped, not applied
  EXPECT_TRUE(log.Has(CKvLog::kError, "ReadFile (SD) - 38"));
  EXPECT_TRUE(LayerAttributes(out + "/cut") & FILE_ATTRIBUTE_HIDDEN);

  // The length cut too, in another part: a part is never rewritten while
  // the archive holds it open.
  whole.descriptorPart = 2;
  Part(2, part.substr(0, whole.descriptorOffset + 2));
  EXPECT_FALSE(Restore(0, out));
  EXPECT_EQ(38u, arc.GetErrorCode());
  EXPECT_TRUE(log.Has(CKvLog::kError, "ReadFile (SD Block Size) - 38"));
}

// A file's data that cannot be read is reported as 1359 whatever the
// cause; the cause (here 2, the missing part) is in the log.
TEST_F(V5, FailedDecompressionReports1359AndLogsTheCause) {
  arc.AddEntry5("f", 0x20, 1).dataPart = 7;  // no such part
  LogCapture log;
  PrimeStaleCodes(arc);
  EXPECT_FALSE(Restore(0, out));
  EXPECT_EQ(1359u, arc.GetErrorCode());
  EXPECT_TRUE(HasErrorLine(log, "Cannot restore data of ", 2));
}

// Failures the restore reports with their own cause, each after stale
// codes were left in the holder and the thread's last error.
TEST_F(V5, ReparseRecordInAMissingPartFailsWithThatCause) {
  auto& entry = arc.AddEntry5("j", 0x410);
  entry.storedLength = 40;
  entry.dataPart = 9;
  PrimeStaleCodes(arc);
  EXPECT_FALSE(Restore(0, out));
  EXPECT_EQ(2u, arc.GetErrorCode());
}

TEST_F(V5, TargetInAReadOnlyFolderFailsWithAccessDenied) {
  if (geteuid() == 0) GTEST_SKIP() << "root writes into read-only folders";
  arc.AddEntry5("f", 0x20, 4);
  Part(1, LzoBlocks("data"));
  ASSERT_EQ(0, mkdir(out.c_str(), 0555));
  LogCapture log;
  PrimeStaleCodes(arc);
  EXPECT_FALSE(Restore(0, out));
  EXPECT_EQ(5u, arc.GetErrorCode());
  EXPECT_TRUE(HasErrorLine(log, "Cannot create ", 5));
  chmod(out.c_str(), 0755);
}

TEST_F(V5, IndexPastTheEndTouchesNothing) {
  arc.AddEntry5("f", 0x20, 1);
  HANDLE open = CreateFileW(P(W(dir / "w")), GENERIC_WRITE, 0, nullptr,
                            CREATE_ALWAYS, 0, nullptr);
  arc.m_partHandle = open;
  EXPECT_FALSE(Restore(1, out));
  EXPECT_EQ(259u, arc.GetErrorCode());
  EXPECT_EQ(open, arc.m_partHandle);
  EXPECT_FALSE(Exists(out));
  CloseHandle(open);
  arc.m_partHandle = INVALID_HANDLE_VALUE;
}

TEST_F(V5, TargetWithAndWithoutSeparatorGivesTheSamePath) {
  arc.AddEntry5("f", 0x20, 2);
  Part(1, LzoBlocks("ab"));
  ASSERT_TRUE(Restore(0, out));
  ASSERT_EQ(0, unlink((out + "/f").c_str()));
  ASSERT_TRUE(Restore(0, out + "\\"));
  EXPECT_EQ("ab", ReadBytes(out + "/f"));
}

TEST_F(V5, ExistingReadOnlyFileIsReplaced) {
  arc.AddEntry5("f", 0x20, 3);
  Part(1, LzoBlocks("new"));
  WriteNested(out + "/f", "old");
  chmod((out + "/f").c_str(), 0444);
  ASSERT_TRUE(Restore(0, out));
  EXPECT_EQ("new", ReadBytes(out + "/f"));
}

}  // namespace
