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

// A name formatted into a line is escaped as the command shows names: a
// newline cannot begin a forged line, ESC and U+009B (the one-character
// CSI) cannot act on a terminal reading the log, and a lone surrogate is
// told from U+FFFD. Through the library's own caller (Open logs the file
// it could not open) and a direct call, to the file and to a sink.
TEST(LogTest, NamesInLinesAreEscapedSoNoLineIsForged) {
  TempDir dir;
  const std::string path = dir / "kv.log";
  setenv("KVMORVEL_LOG", path.c_str(), 1);
  CKvLog* log = CKvLog::GetInstance();
  log->Init(1);
  const std::string hostile = "x\nERROR forged\x1b[2J\xc2\x9b" "1m";
  CKvMorvel m;
  EXPECT_FALSE(m.Open(P(W(dir / hostile)), TRUE, 0));
  std::u16string lone = u"a";
  lone += static_cast<char16_t>(0xD800);
  lone += u"\tb";
  log->AddError(TEXT("Cannot create %s - %u"), P(lone), 3u);
  {
    LogCapture capture;
    log->AddInfo(TEXT("Link to %s"), P(W("l\r\x7f\xc2\x85")));
    EXPECT_TRUE(capture.Has(CKvLog::kInfo, "Link to l\\015\\177\\302\\205"));
  }
  unsetenv("KVMORVEL_LOG");
  log->Init(1);
  const std::string written = ReadBytes(path);
  EXPECT_NE(std::string::npos,
            written.find("/x\\nERROR forged\\033[2J\\302\\2331m - "))
      << written;
  EXPECT_NE(std::string::npos,
            written.find("ERROR Cannot create a\\355\\240\\200\\tb - 3\n"))
      << written;
  // Every line is one the library began, with its kind: none starts with
  // the forgery.
  for (size_t at = 0; at < written.size();) {
    const size_t end = written.find('\n', at);
    ASSERT_NE(std::string::npos, end);
    const std::string line = written.substr(at, end - at);
    at = end + 1;
    EXPECT_NE(0u, line.find("ERROR forged")) << line;
    const std::string kind = line.substr(0, line.find(' '));
    EXPECT_TRUE(kind == "ERROR" || kind == "INFO" || kind == "ENTER" ||
                kind == "EXIT")
        << line;
    for (unsigned char c : line) EXPECT_TRUE(c >= 0x20 && c != 0x7F) << line;
    EXPECT_EQ(std::string::npos, line.find("\xc2\x9b")) << line;
  }
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
