#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

#include "platform/BinaryIO.h"

namespace orvela {
namespace {

TEST(BinaryIO, LittleEndianFieldsRoundTrip) {
  TBinaryWriter w;
  w.U8(0xAB);
  w.I16(-2);
  w.U32(0x12345678);
  w.I64(-1);
  w.F64(1.0);
  w.F32(-2.5f);
  w.ShortString("abc", 5);
  const std::vector<uint8_t> expected = {0xAB, 0xFE, 0xFF, 0x78, 0x56, 0x34, 0x12, 0xFF, 0xFF, 0xFF, 0xFF,
                                         0xFF, 0xFF, 0xFF, 0xFF, 0,    0,    0,    0,    0,    0,    0xF0,
                                         0x3F, 0,    0,    0x20, 0xC0, 3,    'a',  'b',  'c',  0,    0};
  EXPECT_EQ(w.Data(), expected);

  TBinaryReader r(w.Data());
  EXPECT_EQ(r.U8(), 0xAB);
  EXPECT_EQ(r.I16(), -2);
  EXPECT_EQ(r.U32(), 0x12345678u);
  EXPECT_EQ(r.I64(), -1);
  EXPECT_EQ(r.F64(), 1.0);
  EXPECT_EQ(r.F32(), -2.5f);
  EXPECT_EQ(r.ShortString(5), "abc");
  EXPECT_TRUE(r.AtEnd());
}

TEST(BinaryIO, ReadingPastTheEndThrowsWithTheOffset) {
  const std::vector<uint8_t> data = {1, 2, 3, 4, 5};
  struct TCase {
    const char* why;
    size_t skipFirst;
    void (*read)(TBinaryReader&);
  };
  const TCase cases[] = {
      {"u32 over the end", 3, [](TBinaryReader& r) { r.U32(); }},
      {"u8 at the end", 5, [](TBinaryReader& r) { r.U8(); }},
      {"peek at the end", 5, [](TBinaryReader& r) { r.PeekU8(); }},
      {"huge byte count", 1, [](TBinaryReader& r) { r.Bytes(std::numeric_limits<size_t>::max()); }},
      {"short string field longer than the data", 2, [](TBinaryReader& r) { r.ShortString(3); }},
      {"seek beyond the end", 4, [](TBinaryReader& r) { r.Seek(6); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    TBinaryReader r(data);
    r.Skip(c.skipFirst);
    try {
      c.read(r);
      ADD_FAILURE() << "no error";
    } catch (const EFormatError& e) {
      EXPECT_EQ(e.Offset(), c.skipFirst);
      EXPECT_FALSE(e.Reason().empty());
    }
    // A failed read consumes nothing.
    EXPECT_EQ(r.Offset(), c.skipFirst);
  }
}

TEST(BinaryIO, ShortStringLengthIsBoundedByItsField) {
  // The length byte claims 200 characters in a field of 4: the field is read, the text clamped.
  const std::vector<uint8_t> data = {200, 'w', 'x', 'y', 'z', 0x42};
  TBinaryReader r(data);
  EXPECT_EQ(r.ShortString(4), "wxyz");
  EXPECT_EQ(r.U8(), 0x42);
  // Writing cuts the text to the field.
  TBinaryWriter w;
  w.ShortString("abcdef", 3);
  EXPECT_EQ(w.Data(), (std::vector<uint8_t>{3, 'a', 'b', 'c'}));
}

}  // namespace
}  // namespace orvela
