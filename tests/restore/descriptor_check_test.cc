// A descriptor is applied only when every part it names lies inside it.
#include <gtest/gtest.h>

#include "restore/restore_common.h"
#include "restore/restore_fixture.h"

namespace {

// Self-relative descriptor: revision 1, control SE_SELF_RELATIVE |
// SE_DACL_PRESENT, owner at 20 (S-1-22-1-1000: 1 sub-authority, 12 bytes),
// no group, no SACL, DACL at 32 (an empty 8-byte ACL).
std::string Descriptor() {
  std::string d;
  d += '\x01';
  d += '\x00';
  PutU16(d, 0x8004);
  PutU32(d, 20);  // owner
  PutU32(d, 0);   // group
  PutU32(d, 0);   // SACL
  PutU32(d, 32);  // DACL
  d += std::string("\x01\x01\x00\x00\x00\x00\x00\x16", 8);  // S-1-22
  PutU32(d, 1000);
  d += std::string("\x02\x00", 2);  // ACL revision, Sbz1
  PutU16(d, 8);                     // AclSize
  PutU16(d, 0);                     // AceCount
  PutU16(d, 0);                     // Sbz2
  return d;
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
