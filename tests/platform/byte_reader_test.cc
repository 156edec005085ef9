// SPDX-License-Identifier: GPL-2.0-or-later
// The one bounded reader every decoder reads through: exactly the bytes
// it was given, never one more, whatever the width or the position.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "common/le_bytes.h"
#include "formats/le_codec.h"

namespace {

const std::vector<uint8_t> kBytes = {1, 2, 3, 4, 5, 6, 7, 8, 9};

TEST(ByteReader, EveryWidthReadsToTheLastByteAndNotOneFurther) {
  for (size_t width : {1u, 2u, 4u, 8u}) {
    SCOPED_TRACE(width);
    // Placed so that the field ends exactly at the last byte: it is read.
    ByteReader fits(kBytes.data(), kBytes.size(), kBytes.size() - width);
    const uint64_t v = fits.Le(width);
    EXPECT_TRUE(fits.ok());
    EXPECT_EQ(9u, v >> (8 * (width - 1)));  // the last byte is the top one
    EXPECT_TRUE(fits.done());
    // One byte further on, it would end past the last byte: refused.
    ByteReader past(kBytes.data(), kBytes.size(), kBytes.size() - width + 1);
    EXPECT_EQ(0u, past.Le(width));
    EXPECT_FALSE(past.ok());
    EXPECT_EQ(kBytes.size() - width + 1, past.at()) << "moved on a failed read";
  }
}

TEST(ByteReader, AFailedReadStaysFailedAndYieldsNothing) {
  ByteReader r(kBytes.data(), 3);
  EXPECT_EQ(0x0201u, r.U16());
  EXPECT_EQ(0u, r.U16());  // one byte left
  EXPECT_FALSE(r.ok());
  EXPECT_EQ(0u, r.Le(1));  // that byte is there, but the reader failed
  EXPECT_EQ("", r.Text(0));
  EXPECT_FALSE(r.ok());
}

TEST(ByteReader, StepsTextAndCopiesAreBoundedAlike) {
  {
    ByteReader r(kBytes.data(), kBytes.size());
    r.Skip(kBytes.size());
    EXPECT_TRUE(r.ok());
    r.Skip(1);
    EXPECT_FALSE(r.ok());
  }
  {
    ByteReader r(kBytes.data(), kBytes.size());
    EXPECT_EQ(std::string("\x01\x02\x03", 3), r.Text(3));
    EXPECT_EQ("", r.Text(kBytes.size()));  // 6 left
    EXPECT_FALSE(r.ok());
  }
  {
    uint8_t out[4] = {0xAA, 0xAA, 0xAA, 0xAA};
    ByteReader r(kBytes.data(), kBytes.size(), 6);
    r.Copy(out, sizeof out);  // 3 left
    EXPECT_FALSE(r.ok());
    for (uint8_t b : out) EXPECT_EQ(0, b) << "a short copy must leave zeros";
  }
  {
    // No NUL before the end: the string runs past it.
    const uint8_t text[] = {'a', 'b', 0, 'c', 'd'};
    ByteReader r(text, sizeof text);
    r.SkipPastNul();
    EXPECT_TRUE(r.ok());
    EXPECT_EQ(3u, r.at());
    r.SkipPastNul();
    EXPECT_FALSE(r.ok());
  }
}

TEST(ByteReader, PositionsAndCountsNearTheLimitsNeverWrap) {
  {
    ByteReader r(kBytes.data(), kBytes.size());
    r.Skip(1);
    r.Align(16);  // past the end: caught by the next read
    EXPECT_EQ(16u, r.at());
    EXPECT_EQ(0u, r.remaining());
    EXPECT_EQ(0u, r.Le(1));
    EXPECT_FALSE(r.ok());
  }
  {
    ByteReader r(kBytes.data(), kBytes.size(), 4);
    r.Skip(SIZE_MAX);  // at + n would wrap to 3
    EXPECT_FALSE(r.ok());
    EXPECT_EQ("", ByteReader(kBytes.data(), kBytes.size(), 1).Text(SIZE_MAX));
  }
  {
    // Fields wider than eight bytes are no number.
    ByteReader r(kBytes.data(), kBytes.size());
    EXPECT_EQ(0u, r.Le(9));
    EXPECT_FALSE(r.ok());
  }
}

TEST(ByteReader, RecordFieldsOfTheFormatsAreBoundedByTheSameCheck) {
  const BYTE bytes[] = {0x10, 0, 0x20, 0, 0x30};  // two units and a half
  WCHAR wide[3] = {1, 1, 1};
  LeReader r(bytes, sizeof bytes);
  r.Wide(wide, 3);
  EXPECT_FALSE(r.ok());
  for (WCHAR c : wide) EXPECT_EQ(0, c);
  LeReader whole(bytes, 4);
  whole.Wide(wide, 2);
  EXPECT_TRUE(whole.ok());
  EXPECT_EQ(0x10, wide[0]);
  EXPECT_EQ(0x20, wide[1]);
  LeReader time(bytes, sizeof bytes);
  time.FileTime();  // eight bytes wanted, five there
  EXPECT_FALSE(time.ok());
}

}  // namespace
