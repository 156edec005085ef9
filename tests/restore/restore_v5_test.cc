// SPDX-License-Identifier: GPL-2.0-or-later
// Restoring version 5 entries from archives the tests write byte by byte.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "KvSystem.h"
#include "restore/restore_fixture.h"

namespace {

const size_t kMiB = 1048576;

using V5 = Restoring;

TEST_F(V5, FilesOfEveryBlockCountComeBackWhole) {
  const std::string contents[] = {"", "hello", PatternBytes(kMiB, 2),
                                  PatternBytes(kMiB + 1, 3)};
  std::vector<StoredEntry> entries;
  std::string part;
  for (int i = 0; i < 4; ++i) {
    entries.push_back(
        DataAt(Entry("d\\f" + std::to_string(i), 0x20, contents[i].size()),
               part.size()));
    entries.back().blockCount = contents[i].size() > kMiB ? 2 : 1;
    part += LzoBlocks(contents[i]);
  }
  WriteV5(entries, {part});
  ASSERT_TRUE(At(0));
  for (int i = 0; i < 4; ++i) {
    const std::string name = "d\\f" + std::to_string(i);
    ASSERT_TRUE(Extract(out)) << i << " code " << arc.GetErrorCode();
    EXPECT_EQ(contents[i], ReadBytes(out + "/d/f" + std::to_string(i)));
    EXPECT_EQ(kStoredTime, LayerWriteTime(out + "/d/f" + std::to_string(i)));
    // The restore leaves the walk where it was: Info(0) gives the same entry.
    ASSERT_TRUE(arc.Info(0));
    EXPECT_EQ(name, CurrentName(arc));
    arc.Info(1);
  }
}

TEST_F(V5, FolderGetsItsAttributesAndTimes) {
  WriteV5(
      {Entry("docs\\sub", FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN)},
      {});
  ASSERT_TRUE(Restore(0, out));
  EXPECT_TRUE(LayerAttributes(out + "/docs/sub") & FILE_ATTRIBUTE_HIDDEN);
  EXPECT_EQ(kStoredTime, LayerWriteTime(out + "/docs/sub"));
}

TEST_F(V5, EncryptedFileIsRedirectedUnderUserPart) {
  WriteV5({Entry("a\\secret.txt", 0x4020, 6)}, {LzoBlocks("secret")});
  WriteNested(out + "/a/secret.txt", "old");  // deleted all the same
  setenv("USERPART", (dir / "up").c_str(), 1);
  ASSERT_TRUE(At(0));
  const std::string stored = EncryptedName(arc);
  ASSERT_EQ(0u, stored.rfind("secret.txt.", 0));
  ASSERT_TRUE(Extract(out));
  unsetenv("USERPART");
  const std::string moved = dir / ("up/System Recovery/ENC/" + stored);
  EXPECT_EQ("secret", ReadBytes(moved));
  EXPECT_FALSE(Exists(out + "/a/secret.txt"));
  EXPECT_FALSE(LayerAttributes(moved) & FILE_ATTRIBUTE_ENCRYPTED);
  EXPECT_EQ(0u, EncryptedName(arc).rfind("secret.txt.", 0));  // made afresh

  ASSERT_TRUE(Restore(0, out));  // without USERPART: at its own path
  EXPECT_EQ("secret", ReadBytes(out + "/a/secret.txt"));
  EXPECT_FALSE(LayerAttributes(out + "/a/secret.txt") & 0x4000);
}

TEST_F(V5, TooLongRedirectIsRefusedBeforeAnythingIsDeleted) {
  WriteV5({Entry("secret.txt", 0x4020, 1)}, {LzoBlocks("s")});
  WriteNested(out + "/secret.txt", "old");
  // 300 characters do not fit the variable's 260; 240 fit it, but not the
  // redirected path of 264 once the folder and the file name are added.
  for (size_t length : {300, 240}) {
    setenv("USERPART", std::string(length, 'u').c_str(), 1);
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
  SKIP_UNDER_WINE(kWineNoDriveMapping);
  DosDevices drives;
  TempDir d, e;
  drives.Map('d', d.path());
  drives.Map('e', e.path());
  const std::string record = ReparseRecord(MountPointBuffer(u"D:\\data"));
  WriteV5({Reparse("link", record.size())}, {record});
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
  WriteV5({Reparse("j", 40)}, {std::string("\x10\x00", 2)});
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
  WriteV5({Reparse("big", huge.size()),
           DataAt(Reparse("long", longName.size()), huge.size())},
          {huge + longName});
  EXPECT_FALSE(Restore(0, out));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_REPARSE_DATA), arc.GetErrorCode());
  EXPECT_FALSE(Restore(1, out));
  EXPECT_EQ(122u, arc.GetErrorCode());
}

TEST_F(V5, LinkToAFileIsRestoredAsALinkNotAsData) {
  SKIP_UNDER_WINE(kWineNoDriveMapping);
  DosDevices drives;
  TempDir c;
  drives.Map('c', c.path());
  WriteBytes(c / "target.txt", "linked");
  const std::string record = ReparseRecord(SymlinkBuffer(u"C:\\target.txt"));
  WriteV5({Reparse("flink", record.size(), 0x420)}, {record});
  ASSERT_TRUE(Restore(0, out)) << arc.GetErrorCode();
  EXPECT_TRUE(IsLink(out + "/flink"));
  EXPECT_EQ("linked", ReadBytes(out + "/flink"));
}

TEST_F(V5, MissingDescriptorPartFailsAfterTheDataWasWritten) {
  StoredEntry e = Entry("f.txt", FILE_ATTRIBUTE_HIDDEN, 4);
  e.descriptorPart = 2;
  WriteV5({e}, {LzoBlocks("data")});
  LogCapture log;
  EXPECT_FALSE(Restore(0, out));
  EXPECT_EQ(2u, arc.GetErrorCode());
  EXPECT_TRUE(log.Has(CKvLog::kError, "(SD) Cannot part#2 - 2"));
  EXPECT_EQ("data", ReadBytes(out + "/f.txt"));
  EXPECT_FALSE(LayerAttributes(out + "/f.txt") & FILE_ATTRIBUTE_HIDDEN);
}

TEST_F(V5, DescriptorIsAppliedAndThePrivilegeDisabledAgain) {
  SKIP_UNDER_WINE(kWineNoPermissionBits);
  WriteBytes(dir / "model", "m");
  chmod((dir / "model").c_str(), 0640);
  const std::string sd = LayerDescriptor(dir / "model");
  ASSERT_FALSE(sd.empty());
  const std::string data = LzoBlocks("x");
  StoredEntry e = Entry("f", 0x20, 1);
  e.descriptorPart = 1;
  e.descriptorOffset = data.size();
  WriteV5({e}, {data + Bytes().U32(sd.size()).Raw(sd).str()});
  CKvSystem::SetPrivilege(TEXT("SeSecurityPrivilege"), TRUE);
  ASSERT_TRUE(Restore(0, out));
  EXPECT_FALSE(CKvSystem::IsPrivilegeEnabled(TEXT("SeSecurityPrivilege")));
  struct stat st;
  ASSERT_EQ(0, stat((out + "/f").c_str(), &st));
  EXPECT_EQ(0640u, st.st_mode & 0777);
}

TEST_F(V5, ShortDescriptorReadsAreToldApart) {
  const std::string data = LzoBlocks("x");
  StoredEntry e = Entry("cut", FILE_ATTRIBUTE_HIDDEN, 1);
  e.descriptorPart = 1;
  e.descriptorOffset = data.size();
  // A descriptor of 100 bytes, of which 10 are stored.
  WriteV5({e}, {data + Bytes().U32(100).Raw(std::string(10, '\1')).str()});
  LogCapture log;
  EXPECT_TRUE(Restore(0, out));  // the descriptor is skipped, not applied
  EXPECT_TRUE(log.Has(CKvLog::kError, "ReadFile (SD) - 38"));
  EXPECT_TRUE(LayerAttributes(out + "/cut") & FILE_ATTRIBUTE_HIDDEN);

  Close();  // the reader holds the part open
  WriteBytes(Part(1), data + std::string("\x64\0", 2));  // length cut too
  EXPECT_FALSE(Restore(0, out));
  EXPECT_EQ(38u, arc.GetErrorCode());
  EXPECT_TRUE(log.Has(CKvLog::kError, "ReadFile (SD Block Size) - 38"));
}

// A file's data that cannot be read is reported as 1359 whatever the
// cause; the cause (here 2, the missing part) is in the log.
TEST_F(V5, FailedDecompressionReports1359AndLogsTheCause) {
  StoredEntry e = Entry("f", 0x20, 1);
  e.dataPart = 7;  // no such part
  WriteV5({e}, {});
  LogCapture log;
  EXPECT_FALSE(Restore(0, out));
  EXPECT_EQ(1359u, arc.GetErrorCode());
  EXPECT_TRUE(HasErrorLine(log, "Cannot restore data of ", 2));
}

// The part file behind the last failure, as GetFailedPartFile gives it.
std::string FailedPart(CKvMorvel& object, DWORD* cause) {
  WCHAR name[300] = {};
  EXPECT_TRUE(object.GetFailedPartFile(name, 300, cause)) << object.GetErrorCode();
  return N(std::u16string(reinterpret_cast<char16_t*>(name)));
}

// An entry stored in a missing part creates nothing and replaces nothing:
// the part is looked for first, and named to the host with its cause.
// Open names the first missing part the header counts, and the archive
// still lists whole.
TEST_F(V5, AnEntryInAMissingPartCreatesNothingAndNamesThePart) {
  const std::string first = LzoBlocks("here");
  const std::string big = PatternBytes(1048576 + 3, 8);
  // "span" begins at the end of part 1 and goes on in part 2.
  const std::string spanFirst = LzoBlocks(big.substr(0, 1048576));
  StoredEntry b = Entry("b", 0x20, 4), c = Entry("c", 0x20, 4);
  b.dataPart = c.dataPart = 2;
  StoredEntry span = DataAt(Entry("span", 0x20, big.size()), first.size());
  span.blockCount = 2;
  WriteV5({Entry("a", 0x20, 4), b, c, span},
          {first + spanFirst, LzoBlocks(big.substr(1048576)) + LzoBlocks("gone")});
  ASSERT_EQ(0, unlink(Part(2).c_str()));
  WriteNested(out + "/b", "old");

  ASSERT_TRUE(OpenArchive());
  DWORD cause = 0;
  EXPECT_EQ(Part(2), FailedPart(arc, &cause));
  EXPECT_EQ(2u, cause);
  int listed = 0;
  for (; arc.Info(0); arc.Info(1)) ++listed;
  EXPECT_EQ(4, listed);

  for (const char* name : {"b", "c"}) {
    SCOPED_TRACE(name);
    ASSERT_TRUE(At(name[0] == 'b' ? 1 : 2));
    LogCapture log;
    EXPECT_FALSE(Extract(out));
    EXPECT_EQ(1359u, arc.GetErrorCode());
    EXPECT_TRUE(HasErrorLine(log, "Cannot restore data of ", 2));
    cause = 0;
    EXPECT_EQ(Part(2), FailedPart(arc, &cause));
    EXPECT_EQ(2u, cause);
  }
  EXPECT_EQ("old", ReadBytes(out + "/b"));  // neither replaced nor emptied
  EXPECT_FALSE(Exists(out + "/c"));         // no empty file made

  ASSERT_TRUE(At(3));
  EXPECT_FALSE(Extract(out));  // the stream runs into the missing part
  EXPECT_EQ(1359u, arc.GetErrorCode());
  EXPECT_EQ(Part(2), FailedPart(arc, &cause));
  EXPECT_EQ(2u, cause);
  ASSERT_TRUE(Restore(0, out));  // a restore that works leaves no cause
  EXPECT_EQ("", FailedPart(arc, &cause));
  EXPECT_EQ(0u, cause);
  EXPECT_EQ("here", ReadBytes(out + "/a"));
}

// A header counting more parts than exist (damage) costs Open no more
// looks than parts exist: the first one missing is named.
TEST_F(V5, ADamagedPartCountNamesTheFirstMissingPart) {
  WriteV5({Entry("a", 0x20, 4)}, {LzoBlocks("here")});
  const size_t kPartCountAt = 36;
  Patch(path, kPartCountAt, Bytes().U32(0xFFFFFFFFu).str());
  ASSERT_TRUE(OpenArchive());
  DWORD cause = 0;
  EXPECT_EQ(Part(2), FailedPart(arc, &cause));
  EXPECT_EQ(2u, cause);
  ASSERT_TRUE(Restore(0, out));
  EXPECT_EQ("here", ReadBytes(out + "/a"));
}

// A descriptor block of length 0 holds no descriptor: nothing is read
// into a buffer for it or applied, and GetEntryDescriptor finds none.
TEST_F(V5, AnEmptyDescriptorBlockIsNoDescriptor) {
  const std::string data = LzoBlocks("x");
  StoredEntry e = Entry("f", FILE_ATTRIBUTE_HIDDEN, 1);
  e.descriptorPart = 1;
  e.descriptorOffset = data.size();
  WriteV5({e}, {data + Bytes().U32(0).str()});
  LogCapture log;
  ASSERT_TRUE(Restore(0, out)) << arc.GetErrorCode();
  EXPECT_EQ("x", ReadBytes(out + "/f"));
  EXPECT_TRUE(LayerAttributes(out + "/f") & FILE_ATTRIBUTE_HIDDEN);
  EXPECT_FALSE(log.HasPrefix(CKvLog::kInfo, "Incomplete security descriptor"));
  ASSERT_TRUE(At(0));
  BYTE sd[64];
  DWORD length = 99;
  EXPECT_FALSE(arc.GetEntryDescriptor(sd, sizeof(sd), &length));
  EXPECT_EQ(1168u, arc.GetErrorCode());
  EXPECT_EQ(0u, length);
}

TEST_F(V5, ReparseRecordInAMissingPartFailsWithThatCause) {
  StoredEntry e = Reparse("j", 40);
  e.dataPart = 9;
  WriteV5({e}, {});
  EXPECT_FALSE(Restore(0, out));
  EXPECT_EQ(2u, arc.GetErrorCode());
}

TEST_F(V5, TargetInAReadOnlyFolderFailsWithAccessDenied) {
  SKIP_UNDER_WINE(kWineNoPermissionBits);
  if (geteuid() == 0) GTEST_SKIP() << "root writes into read-only folders";
  WriteV5({Entry("f", 0x20, 4)}, {LzoBlocks("data")});
  ASSERT_EQ(0, mkdir(out.c_str(), 0555));
  LogCapture log;
  EXPECT_FALSE(Restore(0, out));
  EXPECT_EQ(5u, arc.GetErrorCode());
  EXPECT_TRUE(HasErrorLine(log, "Cannot create ", 5));
  chmod(out.c_str(), 0755);
}

TEST_F(V5, RestoreAfterTheLastEntryTouchesNothing) {
  WriteV5({Entry("f", 0x20, 1)}, {LzoBlocks("x")});
  ASSERT_TRUE(At(0));
  arc.Info(1);
  EXPECT_FALSE(Extract(out));
  EXPECT_EQ(259u, arc.GetErrorCode());
  EXPECT_FALSE(Exists(out));
}

TEST_F(V5, TargetWithAndWithoutSeparatorGivesTheSamePath) {
  WriteV5({Entry("f", 0x20, 2)}, {LzoBlocks("ab")});
  ASSERT_TRUE(Restore(0, out));
  ASSERT_EQ(0, unlink((out + "/f").c_str()));
  ASSERT_TRUE(Restore(0, out + "\\"));
  EXPECT_EQ("ab", ReadBytes(out + "/f"));
}

TEST_F(V5, ExistingReadOnlyFileIsReplaced) {
  WriteV5({Entry("f", 0x20, 3)}, {LzoBlocks("new")});
  WriteNested(out + "/f", "old");
  chmod((out + "/f").c_str(), 0444);
  ASSERT_TRUE(Restore(0, out));
  EXPECT_EQ("new", ReadBytes(out + "/f"));
}

}  // namespace
