// SPDX-License-Identifier: GPL-2.0-or-later
// The logger and the error holder.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "KvLog.h"
#include "KvMorvel.h"
#include "KvSystem.h"
#include "kvwin32.h"
#include "support/test_support.h"

namespace {

TEST(LogTest, LibraryLoadPreparedTheLogger) {
  CKvLog* log = CKvLog::GetInstance();
  EXPECT_EQ(63u, log->m_levelMask);
  EXPECT_NE(0, log->m_initialised);
  EXPECT_EQ(log, CKvLog::GetInstance());
}

TEST(LogTest, SinkReceivesFormattedLinesWithTheirKind) {
  LogCapture capture;
  CKvLog* log = CKvLog::GetInstance();
  log->AddError(TEXT("WriteFile failed - %u (%8.8X)"), 5u, 5u);
  log->AddInfo(TEXT("New Split part: %s"), TEXT("C:\\b\\x_0001.arc"));
  EXPECT_TRUE(capture.Has(CKvLog::kError, "WriteFile failed - 5 (00000005)"));
  EXPECT_TRUE(capture.Has(CKvLog::kInfo, "New Split part: C:\\b\\x_0001.arc"));
  EXPECT_EQ(2u, capture.lines().size());
}

TEST(LogTest, ExitFunctionReturnsItsArgument) {
  CKvLog* log = CKvLog::GetInstance();
  EXPECT_EQ(0, log->ExitFunction(0));
  EXPECT_EQ(1, log->ExitFunction(1));
  EXPECT_EQ(-7, log->ExitFunction(-7));
}

TEST(LogTest, LevelMaskFiltersKinds) {
  LogCapture capture;
  CKvLog* log = CKvLog::GetInstance();
  const unsigned saved = log->m_levelMask;
  log->m_levelMask = CKvLog::kError;
  log->AddInfo(TEXT("hidden"));
  log->AddError(TEXT("shown"));
  log->m_levelMask = saved;
  ASSERT_EQ(1u, capture.lines().size());
  EXPECT_EQ("shown", capture.lines()[0].second);
}

TEST(LogTest, FileSinkAppendsUtf8Lines) {
  TempDir dir;
  const std::string path = dir / "kv.log";
  setenv("KVMORVEL_LOG", path.c_str(), 1);
  CKvLog* log = CKvLog::GetInstance();
  log->Init(1);
  log->AddError(TEXT("Cannot create %s - %u"), P(W("d\xc3\xa9j\xc3\xa0")), 3u);
  unsetenv("KVMORVEL_LOG");
  log->Init(1);
  log->AddError(TEXT("not written anywhere"));
  EXPECT_EQ("ERROR Cannot create d\xc3\xa9j\xc3\xa0 - 3\n", ReadBytes(path));
}

// A caller logs a failure and then reports GetLastError(): writing the
// line, to a file or to a file that cannot be opened, leaves it as it was.
TEST(LogTest, WritingALineNeverChangesTheLastError) {
  TempDir dir;
  CKvLog* log = CKvLog::GetInstance();
  for (const std::string& path : {dir / "kv.log", dir / "missing/kv.log"}) {
    SCOPED_TRACE(path);
    setenv("KVMORVEL_LOG", path.c_str(), 1);
    log->Init(1);
    SetLastError(ERROR_FILE_NOT_FOUND);
    log->AddError(TEXT("CreateFile on %s - %u"), TEXT("x"), 2u);
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
    SetLastError(0xDEADBEEF);
    log->AddInfo(TEXT("line"));
    EXPECT_EQ(0xDEADBEEFu, GetLastError());
  }
  unsetenv("KVMORVEL_LOG");
  log->Init(1);
  EXPECT_EQ("ERROR CreateFile on x - 2\nINFO line\n",
            ReadBytes(dir / "kv.log"));
}

TEST(ErrorHolderTest, KeepsTheLastCode) {
  CKvError holder;
  EXPECT_EQ(0u, holder.GetError());
  holder.SetError(0x10000405u);
  holder.SetError(259);
  EXPECT_EQ(259u, holder.GetError());
  CKvError copy(holder);
  EXPECT_EQ(259u, copy.GetError());
  CKvError assigned;
  assigned = holder;
  EXPECT_EQ(259u, assigned.GetError());
}

TEST(SystemTest, PrivilegeStateIsObservable) {
  const WCHAR* name = TEXT("SeSecurityPrivilege");
  CKvSystem::SetPrivilege(name, TRUE);
  EXPECT_TRUE(CKvSystem::IsPrivilegeEnabled(name));
  CKvSystem::SetPrivilege(name, FALSE);
  EXPECT_FALSE(CKvSystem::IsPrivilegeEnabled(name));
  EXPECT_FALSE(CKvSystem::IsPrivilegeEnabled(TEXT("SeBackupPrivilege")));
}

}  // namespace
