// SPDX-License-Identifier: GPL-2.0-or-later
// A descriptor is applied only when every part it names lies inside it.
#include <gtest/gtest.h>

#include "restore/restore_common.h"
#include "restore/restore_fixture.h"

namespace {

// Self-relative descriptor: revision 1, control SE_SELF_RELATIVE |
// SE_DACL_PRESENT, owner at 20 (S-1-22-1-1000: 1 sub-authority, 12 bytes),
// no group, no SACL, DACL at 32 (an empty 8-byte ACL).
std::string Descriptor() {
  return Bytes()
      .Raw(std::string("\x01\x00", 2))  // revision, Sbz1
      .U16(0x8004)                      // control
      .U32(20)                          // owner
      .U32(0)                           // group
      .U32(0)                           // SACL
      .U32(32)                          // DACL
      .Raw(std::string("\x01\x01\x00\x00\x00\x00\x00\x16", 8))  // S-1-22
      .U32(1000)
      .Raw(std::string("\x02\x00", 2))  // ACL revision, Sbz1
      .U16(8)                           // AclSize
      .U16(0)                           // AceCount
      .U16(0)                           // Sbz2
      .str();
}

bool Whole(const std::string& d) {
  return IsWholeDescriptor(reinterpret_cast<const BYTE*>(d.data()),
                           static_cast<DWORD>(d.size()));
}

TEST(DescriptorCheck, WholeDescriptorPassesAndEveryCutFails) {
  const std::string d = Descriptor();
  EXPECT_TRUE(Whole(d));
  for (size_t n = 0; n < d.size(); ++n) EXPECT_FALSE(Whole(d.substr(0, n))) << n;
  std::string bigAcl = d;
  bigAcl[34] = 9;  // AclSize 9 runs one byte past the end
  EXPECT_FALSE(Whole(bigAcl));
  std::string moreSubAuthorities = d;
  moreSubAuthorities[21] = 4;  // the owner SID would need 24 bytes
  EXPECT_FALSE(Whole(moreSubAuthorities));
  std::string absolute = d;
  absolute[3] = 0;  // not self-relative: offsets mean nothing
  EXPECT_FALSE(Whole(absolute));
}

}  // namespace
