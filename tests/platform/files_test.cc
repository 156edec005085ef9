// SPDX-License-Identifier: GPL-2.0-or-later
// Files and folders through the layer, on real files in a temporary folder.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <functional>

#include "layer_test_util.h"
#include "posix/layer.h"

namespace {

HANDLE Open(const std::u16string& path, DWORD access, DWORD share,
            DWORD disposition, DWORD flags = 0) {
  return CreateFileW(P(path), access, share, nullptr, disposition, flags,
                     nullptr);
}

TEST(Files, WriteThenReadBackThroughDriveLetterAndPosixPath) {
  TempDir dir;
  DosDevices dos;
  dos.Map('q', dir.path());
  HANDLE h = Open(u"Q:\\data.bin", GENERIC_WRITE, 0, CREATE_NEW);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  const std::string bytes = PatternBytes(10000);
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()),
                        &written, nullptr));
  EXPECT_EQ(written, bytes.size());
  ASSERT_TRUE(CloseHandle(h));
  EXPECT_EQ(ReadBytes(dir / "data.bin"), bytes);

  h = Open(dir.W("data.bin", '\\'), GENERIC_READ, FILE_SHARE_READ,
           OPEN_EXISTING);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  std::string back(bytes.size() + 10, '\0');
  DWORD read = 0;
  ASSERT_TRUE(ReadFile(h, &back[0], static_cast<DWORD>(back.size()), &read,
                       nullptr));
  EXPECT_EQ(read, bytes.size());
  back.resize(read);
  EXPECT_EQ(back, bytes);
  LARGE_INTEGER size;
  ASSERT_TRUE(GetFileSizeEx(h, &size));
  EXPECT_EQ(size.QuadPart, 10000);
  EXPECT_EQ(SetFilePointer(h, 9990, nullptr, FILE_BEGIN), 9990u);
  ASSERT_TRUE(ReadFile(h, &back[0], 100, &read, nullptr));
  EXPECT_EQ(read, 10u);  // a short count at the end
  CloseHandle(h);
}

TEST(Files, DispositionsLeaveTheWin32Codes) {
  TempDir dir;
  const std::u16string f = dir.W("f.txt");
  SetLastError(0xDEADBEEF);
  HANDLE h = Open(f, GENERIC_WRITE, 0, OPEN_ALWAYS);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), 0u);
  CloseHandle(h);
  SetLastError(0xDEADBEEF);
  h = Open(f, GENERIC_WRITE, 0, OPEN_ALWAYS);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  CloseHandle(h);
  WriteBytes(dir / "f.txt", "abc");
  SetLastError(0xDEADBEEF);
  h = Open(f, GENERIC_WRITE, 0, CREATE_ALWAYS);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  CloseHandle(h);
  EXPECT_EQ(ReadBytes(dir / "f.txt"), "");  // truncated
  SetLastError(0xDEADBEEF);
  EXPECT_EQ(Open(f, GENERIC_WRITE, 0, CREATE_NEW), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);
  SetLastError(0xDEADBEEF);
  EXPECT_EQ(Open(dir.W("nothere"), GENERIC_READ, 0, OPEN_EXISTING),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  SetLastError(0xDEADBEEF);
  EXPECT_EQ(Open(dir.W("no\\such\\f"), GENERIC_READ, 0, OPEN_EXISTING),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  SetLastError(0xDEADBEEF);
  EXPECT_EQ(Open(dir.W("no\\f"), GENERIC_WRITE, 0, CREATE_ALWAYS),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);

  // Delete on close: the name is gone at once, the handle reads and
  // writes for as long as it lives; over an existing file, the exclusive
  // create still fails with 80 and the file stays.
  SetLastError(0xDEADBEEF);
  h = Open(dir.W("t.tmp"), GENERIC_READ | GENERIC_WRITE, 0, CREATE_NEW,
           FILE_FLAG_DELETE_ON_CLOSE);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), 0u);
  EXPECT_EQ(GetFileAttributesW(P(dir.W("t.tmp"))), INVALID_FILE_ATTRIBUTES);
  DWORD moved = 0;
  char back[4] = {};
  ASSERT_TRUE(WriteFile(h, "abc", 3, &moved, nullptr));
  ASSERT_NE(SetFilePointer(h, 0, nullptr, FILE_BEGIN), INVALID_SET_FILE_POINTER);
  ASSERT_TRUE(ReadFile(h, back, 3, &moved, nullptr));
  EXPECT_STREQ("abc", back);
  CloseHandle(h);
  SetLastError(0xDEADBEEF);
  EXPECT_EQ(Open(f, GENERIC_WRITE, 0, CREATE_NEW, FILE_FLAG_DELETE_ON_CLOSE),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);
  EXPECT_NE(GetFileAttributesW(P(f)), INVALID_FILE_ATTRIBUTES);
}

// The disposition removes the file the handle is opened on, through the
// handle: not a file that took its name meanwhile, not without DELETE
// access, and the handle still reads what it wrote.
TEST(Files, DispositionDeletesTheHandlesOwnFileOnly) {
  TempDir dir;
  FILE_DISPOSITION_INFO gone = {TRUE};
  HANDLE h = Open(dir.W("a"), GENERIC_READ | GENERIC_WRITE | DELETE, 0,
                  CREATE_NEW);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD moved = 0;
  ASSERT_TRUE(WriteFile(h, "abc", 3, &moved, nullptr));
  ASSERT_TRUE(SetFileInformationByHandle(h, FileDispositionInfo, &gone, sizeof(gone)));
  EXPECT_EQ(GetFileAttributesW(P(dir.W("a"))), INVALID_FILE_ATTRIBUTES);
  char back[4] = {};
  ASSERT_NE(SetFilePointer(h, 0, nullptr, FILE_BEGIN), INVALID_SET_FILE_POINTER);
  ASSERT_TRUE(ReadFile(h, back, 3, &moved, nullptr));
  EXPECT_STREQ("abc", back);
  CloseHandle(h);

  // The handle's file goes under the name it has now; another file that
  // took the name it was opened by is left alone.
  h = Open(dir.W("b"), GENERIC_WRITE | DELETE, 0, CREATE_NEW);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  ASSERT_EQ(rename((dir / "b").c_str(), (dir / "moved").c_str()), 0);
  WriteBytes(dir / "b", "someone else's");
  EXPECT_TRUE(SetFileInformationByHandle(h, FileDispositionInfo, &gone, sizeof(gone)));
  EXPECT_EQ(GetFileAttributesW(P(dir.W("moved"))), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ("someone else's", ReadBytes(dir / "b"));
  CloseHandle(h);

  h = Open(dir.W("b"), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  SetLastError(0xDEADBEEF);
  EXPECT_FALSE(SetFileInformationByHandle(h, FileDispositionInfo, &gone, sizeof(gone)));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  FILE_DISPOSITION_INFO kept = {FALSE};
  EXPECT_FALSE(SetFileInformationByHandle(h, FileDispositionInfo, &kept, sizeof(kept)));
  EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
  CloseHandle(h);
  EXPECT_EQ("someone else's", ReadBytes(dir / "b"));
}

// NtCreateFile of one name in the folder open as `root`.
NTSTATUS OpenIn(HANDLE root, const std::u16string& name, DWORD access,
                ULONG disposition, ULONG options, HANDLE* out,
                ULONG_PTR* information = nullptr) {
  UNICODE_STRING text;
  text.Buffer = const_cast<WCHAR*>(P(name));
  text.Length = text.MaximumLength = static_cast<USHORT>(name.size() * 2);
  OBJECT_ATTRIBUTES attributes = {sizeof(attributes), root, &text, 0, nullptr, nullptr};
  IO_STATUS_BLOCK status = {};
  const NTSTATUS result =
      NtCreateFile(out, access | SYNCHRONIZE, &attributes, &status, nullptr, 0, 0,
                   disposition, options | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
  if (information) *information = status.Information;
  return result;
}

DWORD AttributesOf(HANDLE h) {
  BY_HANDLE_FILE_INFORMATION info;
  return GetFileInformationByHandle(h, &info) ? info.dwFileAttributes
                                              : INVALID_FILE_ATTRIBUTES;
}

const ULONG kNoFollow = FILE_OPEN_REPARSE_POINT;

TEST(Relative, CreateIsExclusiveAndWritesInTheHeldFolder) {
  TempDir dir;
  HANDLE root = Open(dir.W(), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING,
                     FILE_FLAG_BACKUP_SEMANTICS);
  ASSERT_NE(root, INVALID_HANDLE_VALUE);
  HANDLE f = INVALID_HANDLE_VALUE;
  ULONG_PTR information = 0;
  ASSERT_EQ(OpenIn(root, u"new", GENERIC_WRITE, FILE_CREATE,
                   FILE_NON_DIRECTORY_FILE | kNoFollow, &f, &information),
            STATUS_SUCCESS);
  EXPECT_EQ(information, FILE_CREATED);
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(f, "data", 4, &written, nullptr));
  CloseHandle(f);
  EXPECT_EQ(ReadBytes(dir / "new"), "data");
  // Something at the name: the create fails and leaves it as it was.
  HANDLE again = INVALID_HANDLE_VALUE;
  const NTSTATUS taken = OpenIn(root, u"new", GENERIC_WRITE, FILE_CREATE,
                                FILE_NON_DIRECTORY_FILE | kNoFollow, &again);
  EXPECT_EQ(taken, STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(RtlNtStatusToDosError(taken), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(again, INVALID_HANDLE_VALUE);
  EXPECT_EQ(ReadBytes(dir / "new"), "data");
  // FILE_OPEN_IF opens what is there.
  ASSERT_EQ(OpenIn(root, u"new", GENERIC_READ, FILE_OPEN_IF,
                   FILE_NON_DIRECTORY_FILE | kNoFollow, &f, &information),
            STATUS_SUCCESS);
  EXPECT_EQ(information, FILE_OPENED);
  CloseHandle(f);
  // One name only: separators and dot names are refused.
  for (const char16_t* bad : {u"a/b", u"a\\b", u"..", u"."}) {
    const NTSTATUS refused = OpenIn(root, bad, GENERIC_WRITE, FILE_CREATE,
                                    FILE_NON_DIRECTORY_FILE | kNoFollow, &f);
    EXPECT_EQ(refused, STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(RtlNtStatusToDosError(refused), ERROR_INVALID_NAME);
  }
  EXPECT_EQ(OpenIn(root, u"missing", GENERIC_READ, FILE_OPEN, kNoFollow, &f),
            STATUS_OBJECT_NAME_NOT_FOUND);
  CloseHandle(root);
}

TEST(Relative, FolderCreateOpensWhatWasMadeAndFollowsItWhenMoved) {
  TempDir dir;
  HANDLE root = Open(dir.W(), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING,
                     FILE_FLAG_BACKUP_SEMANTICS);
  ASSERT_NE(root, INVALID_HANDLE_VALUE);
  HANDLE sub = INVALID_HANDLE_VALUE;
  ASSERT_EQ(OpenIn(root, u"sub", GENERIC_READ, FILE_CREATE,
                   FILE_DIRECTORY_FILE | kNoFollow, &sub),
            STATUS_SUCCESS);
  EXPECT_TRUE(AttributesOf(sub) & FILE_ATTRIBUTE_DIRECTORY);
  // Renamed after it was opened: a name made in it goes where it is now,
  // never to the path it had.
  ASSERT_EQ(rename((dir / "sub").c_str(), (dir / "moved").c_str()), 0);
  ASSERT_EQ(mkdir((dir / "sub").c_str(), 0755), 0);
  HANDLE f = INVALID_HANDLE_VALUE;
  ASSERT_EQ(OpenIn(sub, u"f", GENERIC_WRITE, FILE_CREATE,
                   FILE_NON_DIRECTORY_FILE | kNoFollow, &f),
            STATUS_SUCCESS);
  CloseHandle(f);
  EXPECT_TRUE(PathFileExistsW(P(dir.W("moved/f"))));
  EXPECT_FALSE(PathFileExistsW(P(dir.W("sub/f"))));
  // A file asked to be a folder, a folder asked to be a file.
  EXPECT_EQ(OpenIn(sub, u"f", GENERIC_READ, FILE_OPEN,
                   FILE_DIRECTORY_FILE | kNoFollow, &f),
            STATUS_NOT_A_DIRECTORY);
  EXPECT_EQ(RtlNtStatusToDosError(STATUS_NOT_A_DIRECTORY), ERROR_DIRECTORY);
  EXPECT_EQ(OpenIn(root, u"sub", GENERIC_WRITE, FILE_OPEN,
                   FILE_NON_DIRECTORY_FILE | kNoFollow, &f),
            STATUS_FILE_IS_A_DIRECTORY);
  // A file handle is no folder to open names in.
  HANDLE file = Open(dir.W("moved/f"), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  EXPECT_EQ(OpenIn(file, u"x", GENERIC_WRITE, FILE_CREATE, kNoFollow, &f),
            STATUS_INVALID_HANDLE);
  CloseHandle(file);
  CloseHandle(sub);
  CloseHandle(root);
}

TEST(Relative, LinkAtTheNameIsOpenedAsItselfNeverFollowed) {
  TempDir dir, outside;
  ASSERT_EQ(mkdir((dir / "in").c_str(), 0755), 0);
  ASSERT_EQ(symlink(outside.path().c_str(), (dir / "in/tofolder").c_str()), 0);
  ASSERT_EQ(symlink((outside / "made").c_str(), (dir / "in/tofile").c_str()), 0);
  HANDLE in = Open(dir.W("in"), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING,
                   FILE_FLAG_BACKUP_SEMANTICS);
  ASSERT_NE(in, INVALID_HANDLE_VALUE);
  HANDLE h = INVALID_HANDLE_VALUE;
  // A link to a folder, asked for as a folder: the link itself.
  ASSERT_EQ(OpenIn(in, u"tofolder", GENERIC_READ, FILE_OPEN,
                   FILE_DIRECTORY_FILE | kNoFollow, &h),
            STATUS_SUCCESS);
  EXPECT_TRUE(AttributesOf(h) & FILE_ATTRIBUTE_REPARSE_POINT);
  // ... which is no folder to open names in.
  HANDLE f = INVALID_HANDLE_VALUE;
  EXPECT_EQ(OpenIn(h, u"x", GENERIC_WRITE, FILE_CREATE, kNoFollow, &f),
            STATUS_INVALID_HANDLE);
  CloseHandle(h);
  // Neither create goes through a link to a file or a folder.
  EXPECT_EQ(OpenIn(in, u"tofile", GENERIC_WRITE, FILE_CREATE,
                   FILE_NON_DIRECTORY_FILE | kNoFollow, &f),
            STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(OpenIn(in, u"tofolder", GENERIC_READ, FILE_CREATE,
                   FILE_DIRECTORY_FILE | kNoFollow, &f),
            STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(OpenIn(in, u"tofile", GENERIC_WRITE, FILE_OPEN_IF,
                   FILE_NON_DIRECTORY_FILE | kNoFollow, &h),
            STATUS_SUCCESS);
  EXPECT_TRUE(AttributesOf(h) & FILE_ATTRIBUTE_REPARSE_POINT);
  // The link goes by its handle; what it named stays as it was.
  FILE_DISPOSITION_INFO gone = {TRUE};
  CloseHandle(h);
  ASSERT_EQ(OpenIn(in, u"tofolder", DELETE, FILE_OPEN, kNoFollow, &h), STATUS_SUCCESS);
  EXPECT_TRUE(SetFileInformationByHandle(h, FileDispositionInfo, &gone, sizeof(gone)));
  CloseHandle(h);
  struct stat st;
  EXPECT_NE(lstat((dir / "in/tofolder").c_str(), &st), 0);
  EXPECT_EQ(stat(outside.path().c_str(), &st), 0);
  EXPECT_FALSE(PathFileExistsW(P(outside.W("made"))));
  // Without FILE_OPEN_REPARSE_POINT a link is followed, as on Windows.
  WriteBytes(outside / "there", "x");
  ASSERT_EQ(symlink((outside / "there").c_str(), (dir / "in/tothere").c_str()), 0);
  ASSERT_EQ(OpenIn(in, u"tothere", GENERIC_READ, FILE_OPEN,
                   FILE_NON_DIRECTORY_FILE, &h),
            STATUS_SUCCESS);
  EXPECT_FALSE(AttributesOf(h) & FILE_ATTRIBUTE_REPARSE_POINT);
  CloseHandle(h);
  CloseHandle(in);
}

// Times, attributes and descriptor set through a handle reach the file it
// holds, not whatever its old name names now.
TEST(Relative, MetadataThroughTheHandleReachesItsOwnFile) {
  TempDir dir;
  HANDLE f = Open(dir.W("f"), GENERIC_WRITE, 0, CREATE_NEW);
  ASSERT_NE(f, INVALID_HANDLE_VALUE);
  WriteBytes(dir / "victim", "keep");
  chmod((dir / "victim").c_str(), 0644);
  ASSERT_EQ(rename((dir / "f").c_str(), (dir / "moved").c_str()), 0);
  ASSERT_EQ(symlink((dir / "victim").c_str(), (dir / "f").c_str()), 0);
  FILE_BASIC_INFO basic = {};
  basic.LastWriteTime.QuadPart = TicksOfUnix(1000000000);
  basic.FileAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN;
  ASSERT_TRUE(SetFileInformationByHandle(f, FileBasicInfo, &basic, sizeof(basic)));
  struct stat st;
  struct stat victim;
  ASSERT_EQ(stat((dir / "moved").c_str(), &st), 0);
  ASSERT_EQ(stat((dir / "victim").c_str(), &victim), 0);
  EXPECT_EQ(st.st_mtime, 1000000000);
  EXPECT_EQ(st.st_mode & 0222, 0u);
  EXPECT_EQ(victim.st_mode & 0777, 0644u);
  EXPECT_NE(victim.st_mtime, 1000000000);
  const DWORD a = GetFileAttributesW(P(dir.W("moved")));
  EXPECT_TRUE(a & FILE_ATTRIBUTE_HIDDEN);
  Bytes dos;
  EXPECT_FALSE(GetX(dir / "victim", "user.DOSATTRIB", &dos));
  CloseHandle(f);
}

TEST(Files, ShareModesHoldBetweenHandlesOfTheProcess) {
  TempDir dir;
  const std::u16string f = dir.W("f");
  WriteBytes(dir / "f", "abc");
  HANDLE only = Open(f, GENERIC_READ, 0, OPEN_EXISTING);
  ASSERT_NE(only, INVALID_HANDLE_VALUE);
  SetLastError(0xDEADBEEF);
  EXPECT_EQ(Open(f, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  // The same file reached by another name is the same file.
  ASSERT_EQ(link((dir / "f").c_str(), (dir / "hard").c_str()), 0);
  SetLastError(0xDEADBEEF);
  EXPECT_EQ(Open(dir.W("hard"), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  SetLastError(0xDEADBEEF);
  EXPECT_FALSE(DeleteFileW(P(f)));
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  ASSERT_TRUE(CloseHandle(only));

  HANDLE reader = Open(f, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);
  HANDLE second = Open(f, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  EXPECT_NE(second, INVALID_HANDLE_VALUE);  // both share reading
  SetLastError(0xDEADBEEF);
  EXPECT_EQ(Open(f, GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  // A conflicting CREATE_ALWAYS must not have truncated the file.
  EXPECT_EQ(Open(f, GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
  EXPECT_EQ(ReadBytes(dir / "f"), "abc");
  CloseHandle(reader);
  CloseHandle(second);
  HANDLE writer = Open(f, GENERIC_WRITE, 0, OPEN_EXISTING);
  EXPECT_NE(writer, INVALID_HANDLE_VALUE);
  CloseHandle(writer);
}

// Runs `open` in a forked child that first forgets the parent's handle
// (its copy of the handle table), so only the locks on the file can
// refuse it; returns the child's last error (0 when the open worked).
DWORD CodeInChild(HANDLE inherited, const std::function<HANDLE()>& open) {
  const pid_t child = fork();
  if (child == 0) {
    CloseHandle(inherited);  // the parent's description stays open
    SetLastError(0xDEADBEEF);
    HANDLE h = open();
    _exit(h == INVALID_HANDLE_VALUE ? static_cast<int>(GetLastError()) : 0);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 255;
}

TEST(Files, ShareModesHoldAcrossProcesses) {
  TempDir dir;
  const std::u16string f = dir.W("f");
  WriteBytes(dir / "f", "abc");
  const auto reader = [&] {
    return Open(f, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  };
  const auto writer = [&] {
    return Open(f, GENERIC_READ | GENERIC_WRITE, 0, OPEN_ALWAYS);
  };
  HANDLE w = writer();
  ASSERT_NE(w, INVALID_HANDLE_VALUE);
  EXPECT_EQ(ERROR_SHARING_VIOLATION, CodeInChild(w, writer));
  EXPECT_EQ(ERROR_SHARING_VIOLATION, CodeInChild(w, reader));
  EXPECT_EQ(ERROR_SHARING_VIOLATION, CodeInChild(w, [&] {
              return DeleteFileW(P(f)) ? nullptr : INVALID_HANDLE_VALUE;
            }));
  CloseHandle(w);

  HANDLE r = reader();
  ASSERT_NE(r, INVALID_HANDLE_VALUE);
  EXPECT_EQ(0u, CodeInChild(r, reader));  // both share reading
  EXPECT_EQ(ERROR_SHARING_VIOLATION, CodeInChild(r, writer));
  // A write-only open still takes part, and is refused by the reader.
  EXPECT_EQ(ERROR_SHARING_VIOLATION, CodeInChild(r, [&] {
              return Open(f, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                          OPEN_EXISTING);
            }));
  CloseHandle(r);
  EXPECT_EQ(0u, CodeInChild(nullptr, writer));  // nothing holds it now
  EXPECT_EQ("abc", ReadBytes(dir / "f"));
}

TEST(Faults, TheSwitchCountsFailsAndShortensTheChosenCall) {
  using kvposix::FaultMode;
  TempDir dir;
  WriteBytes(dir / "f", "abcdef");
  const auto readAll = [&](std::string* got) {
    SetLastError(0xDEADBEEF);
    HANDLE h = Open(dir.W("f"), GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING);
    if (h == INVALID_HANDLE_VALUE) return GetLastError();
    char buffer[8] = {};
    DWORD n = 0;
    SetLastError(0xDEADBEEF);
    const BOOL read = ReadFile(h, buffer, 6, &n, nullptr);
    const DWORD code = read ? 0 : GetLastError();
    got->assign(buffer, n);
    DWORD written = 0;
    SetLastError(0xDEADBEEF);
    const BOOL wrote = WriteFile(h, "xyzw", 4, &written, nullptr);
    const DWORD writeCode = wrote ? 0 : GetLastError();
    *got += "|" + std::to_string(written);
    CloseHandle(h);
    return code ? code : writeCode;
  };
  std::string got;
  kvposix::KvFaultInjectAfter(FaultMode::kCount, 0);
  EXPECT_EQ(0u, readAll(&got));
  EXPECT_EQ(3u, kvposix::KvFaultCalls());  // open, read, write
  EXPECT_FALSE(kvposix::KvFaultFired());

  WriteBytes(dir / "f", "abcdef");
  kvposix::KvFaultInjectAfter(FaultMode::kFail, 1);
  EXPECT_EQ(ERROR_TOO_MANY_OPEN_FILES, readAll(&got));
  EXPECT_TRUE(kvposix::KvFaultFired());
  kvposix::KvFaultInjectAfter(FaultMode::kShort, 2);
  EXPECT_EQ(0u, readAll(&got));
  EXPECT_EQ("abc|4", got);  // half read, the write whole
  WriteBytes(dir / "f", "abcdef");
  kvposix::KvFaultInjectAfter(FaultMode::kShort, 3);
  EXPECT_EQ(ERROR_DISK_FULL, readAll(&got));
  EXPECT_EQ("abcdef|2", got);
  EXPECT_EQ("abcdefxy", ReadBytes(dir / "f"));
  WriteBytes(dir / "f", "abcdef");
  kvposix::KvFaultInjectAfter(FaultMode::kFail, 3);
  EXPECT_EQ(ERROR_DISK_FULL, readAll(&got));
  EXPECT_EQ("abcdef", ReadBytes(dir / "f"));
  kvposix::KvFaultInjectAfter(FaultMode::kOff, 0);
  EXPECT_EQ(0u, readAll(&got));
  EXPECT_EQ(0u, kvposix::KvFaultCalls());
}

// The delete disposition removes the handle's own file and nothing put
// at its name since; it needs DELETE access. SetEndOfFile cuts the file at
// the handle's position.
TEST(Files, DispositionRemovesOnlyTheHandlesFileAndEndOfFileCuts) {
  TempDir dir;
  FILE_DISPOSITION_INFO remove = {};
  remove.DeleteFile = TRUE;
  HANDLE h = Open(dir.W("gone.bin"), GENERIC_WRITE | DELETE, 0, CREATE_NEW);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(SetFileInformationByHandle(h, FileDispositionInfo, &remove,
                                         sizeof(remove)));
  EXPECT_FALSE(Exists(dir / "gone.bin"));
  EXPECT_TRUE(CloseHandle(h));
  // Without DELETE access: 5, the file stays.
  h = Open(dir.W("kept.bin"), GENERIC_WRITE, 0, CREATE_NEW);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(SetFileInformationByHandle(h, FileDispositionInfo, &remove,
                                          sizeof(remove)));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
  EXPECT_TRUE(Exists(dir / "kept.bin"));
  EXPECT_TRUE(CloseHandle(h));
  // Another file renamed over the name: 2, and that file stays.
  h = Open(dir.W("moved.bin"), GENERIC_WRITE | DELETE, 0, CREATE_NEW);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  WriteBytes(dir / "other.bin", "other");
  ASSERT_EQ(0, rename((dir / "other.bin").c_str(), (dir / "moved.bin").c_str()));
  EXPECT_FALSE(SetFileInformationByHandle(h, FileDispositionInfo, &remove,
                                          sizeof(remove)));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
  EXPECT_EQ("other", ReadBytes(dir / "moved.bin"));
  EXPECT_TRUE(CloseHandle(h));
  // SetEndOfFile: 10 bytes cut back to 4 at the position.
  h = Open(dir.W("cut.bin"), GENERIC_READ | GENERIC_WRITE, 0, CREATE_NEW);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(h, "0123456789", 10, &written, nullptr));
  ASSERT_NE(INVALID_SET_FILE_POINTER, SetFilePointer(h, 4, nullptr, FILE_BEGIN));
  EXPECT_TRUE(SetEndOfFile(h));
  EXPECT_TRUE(CloseHandle(h));
  EXPECT_EQ("0123", ReadBytes(dir / "cut.bin"));
  h = Open(dir.W("cut.bin"), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(SetEndOfFile(h));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
  EXPECT_TRUE(CloseHandle(h));
}

TEST(Files, BadHandlesAndSeeksAreRefused) {
  TempDir dir;
  WriteBytes(dir / "f", "abc");
  DWORD n = 0;
  char buffer[4];
  SetLastError(0xDEADBEEF);
  EXPECT_FALSE(ReadFile(INVALID_HANDLE_VALUE, buffer, 1, &n, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  SetLastError(0xDEADBEEF);
  EXPECT_FALSE(CloseHandle(nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  int notAHandle = 0;
  SetLastError(0xDEADBEEF);
  EXPECT_FALSE(CloseHandle(&notAHandle));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

  HANDLE h = Open(dir.W("f"), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  SetLastError(0xDEADBEEF);
  EXPECT_FALSE(WriteFile(h, "x", 1, &n, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  SetLastError(0xDEADBEEF);
  EXPECT_EQ(SetFilePointer(h, -1, nullptr, FILE_BEGIN), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(GetLastError(), ERROR_NEGATIVE_SEEK);
  SetLastError(0xDEADBEEF);
  EXPECT_EQ(SetFilePointer(h, -4, nullptr, FILE_END), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(GetLastError(), ERROR_NEGATIVE_SEEK);
  LONG high = 1;  // 4 GiB + 2
  SetLastError(0xDEADBEEF);
  EXPECT_EQ(SetFilePointer(h, 2, &high, FILE_BEGIN), 2u);
  EXPECT_EQ(high, 1);
  EXPECT_EQ(GetLastError(), 0u);
  ASSERT_TRUE(CloseHandle(h));
  SetLastError(0xDEADBEEF);
  EXPECT_FALSE(CloseHandle(h));  // already gone
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW(P(dir.W("*")), &data);
  ASSERT_NE(find, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(CloseHandle(find));  // a listing is closed by FindClose
  EXPECT_TRUE(FindClose(find));
}

// FSCTL_QUERY_ALLOCATED_RANGES names a sparse file's data ranges without
// moving the handle's position; SetEndOfFile cuts or grows (as a hole).
TEST(Files, AllocatedRangesAndEndOfFile) {
  TempDir dir;
  const unsigned long long kMiB = 1ull << 20;
  WriteSparse(dir / "s", 10 * kMiB, {{0, "head"}, {6 * kMiB, PatternBytes(5000)}});
  HANDLE h = Open(dir.W("s", '\\'), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  char got[4] = {};
  DWORD n = 0;
  ASSERT_TRUE(ReadFile(h, got, 2, &n, nullptr));
  FILE_ALLOCATED_RANGE_BUFFER asked = {}, ranges[4] = {};
  asked.FileOffset.QuadPart = 1;
  asked.Length.QuadPart = static_cast<LONGLONG>(10 * kMiB);
  DWORD returned = 0;
  ASSERT_TRUE(DeviceIoControl(h, FSCTL_QUERY_ALLOCATED_RANGES, &asked, sizeof(asked),
                              ranges, sizeof(ranges), &returned, nullptr));
  ASSERT_EQ(2 * sizeof(ranges[0]), returned);
  EXPECT_EQ(1, ranges[0].FileOffset.QuadPart);  // from the offset asked
  EXPECT_GE(ranges[0].Length.QuadPart, 3);
  EXPECT_LT(ranges[0].Length.QuadPart, static_cast<LONGLONG>(kMiB));
  EXPECT_EQ(static_cast<LONGLONG>(6 * kMiB), ranges[1].FileOffset.QuadPart);
  EXPECT_GE(ranges[1].Length.QuadPart, 5000);
  EXPECT_LT(ranges[1].Length.QuadPart, static_cast<LONGLONG>(kMiB));
  // Fewer slots than ranges: 234 with the ones that fit.
  EXPECT_FALSE(DeviceIoControl(h, FSCTL_QUERY_ALLOCATED_RANGES, &asked, sizeof(asked),
                               ranges, sizeof(ranges[0]), &returned, nullptr));
  EXPECT_EQ(ERROR_MORE_DATA, GetLastError());
  EXPECT_EQ(sizeof(ranges[0]), returned);
  // A hole, and past the end: no range.
  asked.FileOffset.QuadPart = static_cast<LONGLONG>(kMiB);
  asked.Length.QuadPart = static_cast<LONGLONG>(4 * kMiB);
  EXPECT_TRUE(DeviceIoControl(h, FSCTL_QUERY_ALLOCATED_RANGES, &asked, sizeof(asked),
                              ranges, sizeof(ranges), &returned, nullptr));
  EXPECT_EQ(0u, returned);
  asked.FileOffset.QuadPart = static_cast<LONGLONG>(20 * kMiB);
  EXPECT_TRUE(DeviceIoControl(h, FSCTL_QUERY_ALLOCATED_RANGES, &asked, sizeof(asked),
                              ranges, sizeof(ranges), &returned, nullptr));
  EXPECT_EQ(0u, returned);
  // Refusals.
  asked.FileOffset.QuadPart = -1;
  EXPECT_FALSE(DeviceIoControl(h, FSCTL_QUERY_ALLOCATED_RANGES, &asked, sizeof(asked),
                               ranges, sizeof(ranges), &returned, nullptr));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
  asked.FileOffset.QuadPart = 0;
  EXPECT_FALSE(DeviceIoControl(h, FSCTL_QUERY_ALLOCATED_RANGES, &asked, sizeof(asked),
                               ranges, 8, &returned, nullptr));
  EXPECT_EQ(ERROR_INSUFFICIENT_BUFFER, GetLastError());
  // The reads go on where they were.
  ASSERT_TRUE(ReadFile(h, got, 2, &n, nullptr));
  EXPECT_EQ("ad", std::string(got, 2));
  // A read-only handle cannot set the size.
  EXPECT_FALSE(SetEndOfFile(h));
  EXPECT_EQ(ERROR_ACCESS_DENIED, GetLastError());
  ASSERT_TRUE(CloseHandle(h));

  h = Open(dir.W("e", '\\'), GENERIC_READ | GENERIC_WRITE, 0, CREATE_NEW);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(WriteFile(h, "abcdef", 6, &n, nullptr));
  LARGE_INTEGER at;
  at.QuadPart = static_cast<LONGLONG>(64 * kMiB);
  ASSERT_TRUE(SetFilePointerEx(h, at, nullptr, FILE_BEGIN));
  ASSERT_TRUE(SetEndOfFile(h));  // grown as a hole
  LARGE_INTEGER size;
  ASSERT_TRUE(GetFileSizeEx(h, &size));
  EXPECT_EQ(at.QuadPart, size.QuadPart);
  EXPECT_LT(DiskBytes(dir / "e"), kMiB);
  at.QuadPart = 3;
  ASSERT_TRUE(SetFilePointerEx(h, at, nullptr, FILE_BEGIN));
  ASSERT_TRUE(SetEndOfFile(h));  // cut
  ASSERT_TRUE(CloseHandle(h));
  EXPECT_EQ("abc", ReadBytes(dir / "e"));
}

TEST(Folders, CreateOpenAndRemoveWithTheirCodes) {
  TempDir dir;
  const std::u16string d = dir.W("d", '\\');
  ASSERT_TRUE(CreateDirectoryW(P(d), nullptr));
  SetLastError(0xDEADBEEF);
  EXPECT_FALSE(CreateDirectoryW(P(d), nullptr));
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  SetLastError(0xDEADBEEF);
  EXPECT_FALSE(CreateDirectoryW(P(dir.W("x\\y")), nullptr));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  SetLastError(0xDEADBEEF);
  EXPECT_EQ(Open(d, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  HANDLE h = Open(d, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  CloseHandle(h);
  WriteBytes(dir / "d/f", "");
  SetLastError(0xDEADBEEF);
  EXPECT_FALSE(RemoveDirectoryW(P(d)));
  EXPECT_EQ(GetLastError(), ERROR_DIR_NOT_EMPTY);
  SetLastError(0xDEADBEEF);
  EXPECT_FALSE(DeleteFileW(P(d)));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  SetLastError(0xDEADBEEF);
  EXPECT_FALSE(RemoveDirectoryW(P(dir.W("d/f"))));
  EXPECT_EQ(GetLastError(), ERROR_DIRECTORY);
  EXPECT_TRUE(DeleteFileW(P(dir.W("d/f"))));
  SetLastError(0xDEADBEEF);
  EXPECT_FALSE(DeleteFileW(P(dir.W("d/f"))));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_TRUE(RemoveDirectoryW(P(d)));
  EXPECT_FALSE(Exists(dir / "d"));
}

TEST(Folders, ShCreateDirectoryMakesEveryParent) {
  TempDir dir;
  EXPECT_EQ(SHCreateDirectory(nullptr, P(dir.W("a\\b\\c"))), 0);
  struct stat st;
  EXPECT_EQ(stat((dir / "a/b/c").c_str(), &st), 0);
  EXPECT_EQ(SHCreateDirectory(nullptr, P(dir.W("a/b/c"))), static_cast<int>(ERROR_ALREADY_EXISTS));
  WriteBytes(dir / "file", "");
  EXPECT_EQ(SHCreateDirectory(nullptr, P(dir.W("file/sub"))), static_cast<int>(ERROR_PATH_NOT_FOUND));
}

TEST(Files, DriveDeviceOpensTheDriveRootFolder) {
  TempDir dir;
  DosDevices dos;
  dos.Map('k', dir.path());
  HANDLE h = Open(u"\\\\.\\K:", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  FILETIME w;
  EXPECT_TRUE(GetFileTime(h, nullptr, nullptr, &w));
  struct stat st;
  ASSERT_EQ(stat(dir.path().c_str(), &st), 0);
  EXPECT_EQ(Ticks(w), TicksOfUnix(st.st_mtim.tv_sec, st.st_mtim.tv_nsec));
  CloseHandle(h);
  EXPECT_EQ(Open(u"\\\\.\\J:", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING),
            INVALID_HANDLE_VALUE);
}

TEST(Files, PipesSocketsAndDevicesAreRefusedAtOnceWith222) {
  TempDir dir;
  ASSERT_EQ(0, mkfifo((dir / "fifo").c_str(), 0644));
  const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(sock, 0);
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  const std::string sockPath = dir / "sock";
  ASSERT_LT(sockPath.size(), sizeof address.sun_path);
  memcpy(address.sun_path, sockPath.c_str(), sockPath.size() + 1);
  ASSERT_EQ(0, bind(sock, reinterpret_cast<sockaddr*>(&address),
                    sizeof address));
  // Opening the pipe for reading would wait for a writer for ever.
  for (const std::u16string& path :
       {dir.W("fifo"), dir.W("sock"), std::u16string(u"/dev/null")}) {
    SCOPED_TRACE(N(path));
    SetLastError(0xDEADBEEF);
    EXPECT_EQ(Open(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_BAD_FILE_TYPE);
    SetLastError(0xDEADBEEF);
    EXPECT_EQ(Open(path, GENERIC_READ | GENERIC_WRITE, 0, OPEN_ALWAYS),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_BAD_FILE_TYPE);
  }
  close(sock);
  struct stat st;
  ASSERT_EQ(0, lstat((dir / "fifo").c_str(), &st));
  EXPECT_TRUE(S_ISFIFO(st.st_mode));  // left as it was
}

// The by-handle reads answer for the object the handle was opened on,
// whatever its path names afterwards: attributes, size, identity, times,
// descriptor and a link's reparse record are read through the
// descriptor, and the handle's name is the object's name now.
TEST(Files, ByHandleReadsAnswerForTheOpenedObjectNotItsPath) {
  TempDir dir;
  WriteBytes(dir / "f.bin", PatternBytes(100));
  WriteBytes(dir / "other.bin", PatternBytes(7));
  ASSERT_EQ(0, chmod((dir / "f.bin").c_str(), 0640));
  ASSERT_EQ(0, chmod((dir / "other.bin").c_str(), 0604));
  ASSERT_TRUE(SetFileAttributesW(P(dir.W("f.bin")), FILE_ATTRIBUTE_HIDDEN));
  const DWORD flags = FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS;
  HANDLE h = Open(dir.W("f.bin"), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, flags);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  std::vector<BYTE> before(4096);
  DWORD needed = 0;
  ASSERT_TRUE(GetKernelObjectSecurity(h, 7, before.data(), 4096, &needed));
  before.resize(needed);
  struct stat original;
  ASSERT_EQ(0, stat((dir / "f.bin").c_str(), &original));
  // Another file takes the name.
  ASSERT_EQ(0, rename((dir / "other.bin").c_str(), (dir / "f.bin").c_str()));

  BY_HANDLE_FILE_INFORMATION info;
  ASSERT_TRUE(GetFileInformationByHandle(h, &info));
  EXPECT_EQ(100u, info.nFileSizeLow);
  EXPECT_EQ(FILE_ATTRIBUTE_HIDDEN, info.dwFileAttributes & FILE_ATTRIBUTE_HIDDEN);
  EXPECT_EQ(static_cast<uint64_t>(original.st_ino),
            (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow);
  FILETIME write;
  ASSERT_TRUE(GetFileTime(h, nullptr, nullptr, &write));
  EXPECT_EQ(info.ftLastWriteTime.dwLowDateTime, write.dwLowDateTime);
  EXPECT_EQ(info.ftLastWriteTime.dwHighDateTime, write.dwHighDateTime);
  std::vector<BYTE> after(4096);
  ASSERT_TRUE(GetKernelObjectSecurity(h, 7, after.data(), 4096, &needed));
  after.resize(needed);
  EXPECT_EQ(before, after);  // mode 0640, not the new file's 0604
  std::vector<BYTE> byName(4096);
  ASSERT_TRUE(GetFileSecurityW(P(dir.W("f.bin")), 7, byName.data(), 4096, &needed));
  byName.resize(needed);
  EXPECT_NE(before, byName);
  CloseHandle(h);

  // A link keeps its own record when another link takes its name.
  ASSERT_EQ(0, symlink((dir / "first-target").c_str(), (dir / "link").c_str()));
  ASSERT_EQ(0, symlink((dir / "second-target").c_str(), (dir / "link2").c_str()));
  h = Open(dir.W("link"), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, flags);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  ASSERT_EQ(0, rename((dir / "link2").c_str(), (dir / "link").c_str()));
  std::vector<BYTE> record(16384);
  DWORD returned = 0;
  ASSERT_TRUE(DeviceIoControl(h, FSCTL_GET_REPARSE_POINT, nullptr, 0, record.data(),
                              static_cast<DWORD>(record.size()), &returned, nullptr));
  const std::string bytes(reinterpret_cast<const char*>(record.data()), returned);
  const std::u16string first = u"first-target", second = u"second-target";
  EXPECT_NE(std::string::npos,
            bytes.find(std::string(reinterpret_cast<const char*>(first.data()),
                                   first.size() * 2)));
  EXPECT_EQ(std::string::npos,
            bytes.find(std::string(reinterpret_cast<const char*>(second.data()),
                                   second.size() * 2)));
  CloseHandle(h);

  // The handle's name follows the object.
  h = Open(dir.W("f.bin"), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, flags);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  ASSERT_EQ(0, rename((dir / "f.bin").c_str(), (dir / "moved.bin").c_str()));
  WCHAR name[4096];
  const DWORD length = GetFinalPathNameByHandleW(h, name, 4096, 0);
  ASSERT_GT(length, 0u);
  ASSERT_LT(length, 4096u);
  EXPECT_EQ(N(dir.W("moved.bin", '\\')), N(std::u16string(
                                              reinterpret_cast<const char16_t*>(name), length)));
  EXPECT_EQ(length + 1, GetFinalPathNameByHandleW(h, name, length, 0));
  CloseHandle(h);
}

TEST(Files, IdentityNamesOneFileHoweverItsPathIsSpelled) {
  TempDir dir;
  DosDevices dos;
  dos.Map('q', dir.path());
  ASSERT_EQ(0, mkdir((dir / "sub").c_str(), 0755));
  WriteBytes(dir / "f.bin", PatternBytes(70000));
  WriteBytes(dir / "other.bin", "x");
  ASSERT_EQ(0, link((dir / "f.bin").c_str(), (dir / "hard.bin").c_str()));
  ASSERT_EQ(0, symlink((dir / "sub").c_str(), (dir / "via").c_str()));
  const auto identity = [](const std::u16string& path,
                           BY_HANDLE_FILE_INFORMATION* info) {
    HANDLE h = Open(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
    if (h == INVALID_HANDLE_VALUE) return false;
    const bool ok = GetFileInformationByHandle(h, info) &&
                    GetFileType(h) == FILE_TYPE_DISK;
    CloseHandle(h);
    return ok;
  };
  BY_HANDLE_FILE_INFORMATION first;
  ASSERT_TRUE(identity(dir.W("f.bin"), &first));
  EXPECT_EQ(70000u, first.nFileSizeLow);
  EXPECT_EQ(0u, first.nFileSizeHigh);
  EXPECT_EQ(2u, first.nNumberOfLinks);
  EXPECT_EQ(0u, first.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
  for (const std::u16string& path :
       {dir.W("./f.bin"), dir.W("sub/../f.bin"), dir.W("sub//..//f.bin"),
        dir.W("via/../f.bin"), dir.W("hard.bin"),
        std::u16string(u"Q:\\sub\\..\\f.bin")}) {
    SCOPED_TRACE(N(path));
    BY_HANDLE_FILE_INFORMATION again;
    ASSERT_TRUE(identity(path, &again));
    EXPECT_EQ(first.dwVolumeSerialNumber, again.dwVolumeSerialNumber);
    EXPECT_EQ(first.nFileIndexHigh, again.nFileIndexHigh);
    EXPECT_EQ(first.nFileIndexLow, again.nFileIndexLow);
  }
  BY_HANDLE_FILE_INFORMATION other, folder;
  ASSERT_TRUE(identity(dir.W("other.bin"), &other));
  EXPECT_EQ(first.dwVolumeSerialNumber, other.dwVolumeSerialNumber);
  EXPECT_NE(first.nFileIndexLow, other.nFileIndexLow);
  ASSERT_TRUE(identity(dir.W("sub"), &folder));
  EXPECT_NE(0u, folder.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
  SetLastError(0xDEADBEEF);
  EXPECT_FALSE(GetFileInformationByHandle(INVALID_HANDLE_VALUE, &other));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(FILE_TYPE_UNKNOWN, GetFileType(INVALID_HANDLE_VALUE));
}

TEST(Files, CopyFileKeepsDataModeTimesAndLayerMetadata) {
  TempDir dir;
  const std::string from = dir / "from", to = dir / "to";
  const std::string bytes = PatternBytes(200000, 7);
  WriteBytes(from, bytes);
  chmod(from.c_str(), 0751);
  ASSERT_TRUE(SetFileAttributesW(P(W(from)), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE |
                                                 FILE_ATTRIBUTE_TEMPORARY));
  HANDLE h = Open(W(from), GENERIC_WRITE, 0, OPEN_EXISTING);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  const FILETIME c = Ft(TicksOfUnix(900000000)), w = Ft(TicksOfUnix(1100000000));
  ASSERT_TRUE(SetFileTime(h, &c, &c, &w));
  ASSERT_TRUE(SetFileShortNameW(h, TEXT("FROM.TXT")));
  CloseHandle(h);

  ASSERT_TRUE(CopyFileW(P(W(from)), P(W(to)), TRUE));
  EXPECT_EQ(ReadBytes(to), bytes);
  struct stat st;
  ASSERT_EQ(stat(to.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0751u);
  const WIN32_FILE_ATTRIBUTE_DATA a = Info(W(from)), b = Info(W(to));
  EXPECT_EQ(b.dwFileAttributes, a.dwFileAttributes);
  EXPECT_EQ(Ticks(b.ftCreationTime), Ticks(c));
  EXPECT_EQ(Ticks(b.ftLastWriteTime), Ticks(w));
  Bytes shortName;
  ASSERT_TRUE(GetX(to, "user.kvmorvel.shortname", &shortName));
  EXPECT_EQ(std::string(shortName.begin(), shortName.end()), "FROM.TXT");

  SetLastError(0xDEADBEEF);
  EXPECT_FALSE(CopyFileW(P(W(from)), P(W(to)), TRUE));
  EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);
  WriteBytes(dir / "small", "x");
  EXPECT_TRUE(CopyFileW(P(W(dir / "small")), P(W(to)), FALSE));
  EXPECT_EQ(ReadBytes(to), "x");
  SetLastError(0xDEADBEEF);
  EXPECT_FALSE(CopyFileW(P(W(dir / "none")), P(W(to)), FALSE));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST(Errors, ErrnoValuesMapToTheWindowsCodes) {
  EXPECT_EQ(kvposix::CodeFromErrno(ENOSPC), ERROR_DISK_FULL);
  EXPECT_EQ(kvposix::CodeFromErrno(EDQUOT), ERROR_DISK_FULL);
  EXPECT_EQ(kvposix::CodeFromErrno(EACCES), ERROR_ACCESS_DENIED);
  EXPECT_EQ(kvposix::CodeFromErrno(EEXIST), ERROR_FILE_EXISTS);
  EXPECT_EQ(kvposix::CodeFromErrno(ENOTEMPTY), ERROR_DIR_NOT_EMPTY);
  EXPECT_EQ(kvposix::CodeFromErrno(ENAMETOOLONG), ERROR_FILENAME_EXCED_RANGE);
  // An errno without an entry is still a failure.
  EXPECT_NE(kvposix::CodeFromErrno(4000), ERROR_SUCCESS);
}

}  // namespace
