// Files and folders through the layer, on real files in a temporary folder.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "kvwin32.h"
#include "support/test_support.h"

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
  HANDLE h = Open(f, GENERIC_WRITE, 0, OPEN_ALWAYS);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), 0u);
  CloseHandle(h);
  h = Open(f, GENERIC_WRITE, 0, OPEN_ALWAYS);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  CloseHandle(h);
  WriteBytes(dir / "f.txt", "abc");
  h = Open(f, GENERIC_WRITE, 0, CREATE_ALWAYS);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  CloseHandle(h);
  EXPECT_EQ(ReadBytes(dir / "f.txt"), "");  // truncated
  EXPECT_EQ(Open(f, GENERIC_WRITE, 0, CREATE_NEW), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);
  EXPECT_EQ(Open(dir.W("nothere"), GENERIC_READ, 0, OPEN_EXISTING),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Open(dir.W("no\\such\\f"), GENERIC_READ, 0, OPEN_EXISTING),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(Open(dir.W("no\\f"), GENERIC_WRITE, 0, CREATE_ALWAYS),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
}

}  // namespace
