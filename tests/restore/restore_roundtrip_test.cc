// Through the public class: what the adders stored comes back by the
// host's loop Info(0), ExtractFile, Info(1), for every archive version.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "restore/restore_fixture.h"

namespace {

class RoundTrip : public ::testing::TestWithParam<DWORD> {};

TEST_P(RoundTrip, EveryEntryComesBackThroughTheHostLoop) {
  const DWORD version = GetParam();
  TempDir src, dir;
  const std::string files[][2] = {{"a.txt", "alpha"},
                                  {"sub/b.bin", PatternBytes(1048577, 9)},
                                  {"sub/empty", ""}};
  mkdir((src / "sub").c_str(), 0755);
  CKvMorvel writer;
  ASSERT_TRUE(writer.Open(P(W(dir / "t.arc")), FALSE, version));
  if (version != 1) {  // version 1 holds files only
    ASSERT_TRUE(writer.AddFile(P(W(src / "sub")), u"sub", nullptr, 0));
  }
  for (const auto& f : files) {
    WriteBytes(src / f[0], f[1]);
    std::string name = f[0];
    for (char& c : name)
      if (c == '/') c = '\\';
    ASSERT_TRUE(writer.AddFile(P(W(src / f[0])), P(W(name)), nullptr, 0))
        << f[0] << " code " << writer.GetErrorCode();
  }
  ASSERT_TRUE(writer.Close());

  CKvMorvel reader;
  ASSERT_TRUE(reader.Open(P(W(dir / "t.arc")), TRUE, 0));
  int restored = 0;
  while (reader.Info(0)) {
    ASSERT_TRUE(reader.ExtractFile(P(W(dir / "out")), 0))
        << reader.GetErrorCode();
    ++restored;
    reader.Info(1);
  }
  EXPECT_EQ(259u, reader.GetErrorCode());
  reader.Close();
  EXPECT_EQ(version == 1 ? 3 : 4, restored);
  for (const auto& f : files)
    EXPECT_EQ(f[1], ReadBytes(dir / ("out/" + f[0]))) << f[0];
}

INSTANTIATE_TEST_SUITE_P(Versions, RoundTrip, ::testing::Values(1u, 2u, 5u));

}  // namespace
