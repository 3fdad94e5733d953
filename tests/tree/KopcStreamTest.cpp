#include "tree/KopcStream.h"

#include <gtest/gtest.h>

#include <limits>

namespace orvela {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(KopcStream, IntegersTakeTheShortestTag) {
  const struct {
    int64_t value;
    Bytes bytes;
  } kCases[] = {
      {0, {0x02, 0x00}},
      {100, {0x02, 0x64}},
      {-128, {0x02, 0x80}},
      {127, {0x02, 0x7F}},
      {128, {0x03, 0x80, 0x00}},
      {200, {0x03, 0xC8, 0x00}},
      {-129, {0x03, 0x7F, 0xFF}},
      {32767, {0x03, 0xFF, 0x7F}},
      {32768, {0x04, 0x00, 0x80, 0x00, 0x00}},
      {-32769, {0x04, 0xFF, 0x7F, 0xFF, 0xFF}},
      {std::numeric_limits<int32_t>::max(), {0x04, 0xFF, 0xFF, 0xFF, 0x7F}},
      {std::numeric_limits<int32_t>::min(), {0x04, 0x00, 0x00, 0x00, 0x80}},
      {int64_t{1} << 31, {0x13, 0x00, 0x00, 0x00, 0x80, 0x00, 0x00, 0x00, 0x00}},
      {-(int64_t{1} << 31) - 1, {0x13, 0xFF, 0xFF, 0xFF, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.value);
    TKopcWriter w;
    w.WriteInteger(c.value);
    EXPECT_EQ(w.Data(), c.bytes);
    TKopcReader r(c.bytes);
    EXPECT_EQ(r.ReadInteger(), c.value);
  }
}

TEST(KopcStream, StringsAndVariantsFollowTheirTagRules) {
  const Bytes long256 = Concat({0x0C, 0x00, 0x01, 0x00, 0x00}, Bytes(256, 'a'));
  const struct {
    const char* name;
    TVariant value;  // written with WriteVariant
    Bytes bytes;
  } kCases[] = {
      {"empty", TVariant::Empty(), {0x0D}},
      {"null", TVariant::Null(), {0x00}},
      {"16-bit integer 100", TVariant::Int(100, VT_I2), {0x02, 0x64}},
      {"byte 200", TVariant::Int(200, VT_UI1), {0x03, 0xC8, 0x00}},
      {"64-bit integer", TVariant::Int(int64_t{1} << 40, VT_I8), {0x13, 0, 0, 0, 0, 0, 1, 0, 0}},
      {"single", TVariant::Single(1.5f), {0x0F, 0x00, 0x00, 0xC0, 0x3F}},
      {"double widened to 80 bits", TVariant::Double(1.0), {0x05, 0, 0, 0, 0, 0, 0, 0, 0x80, 0xFF, 0x3F}},
      {"double -2.5", TVariant::Double(-2.5), {0x05, 0, 0, 0, 0, 0, 0, 0, 0xA0, 0x00, 0xC0}},
      {"currency", TVariant::Currency(12345678), {0x10, 0x4E, 0x61, 0xBC, 0x00, 0, 0, 0, 0}},
      {"date", TVariant::Date(1.5), {0x11, 0, 0, 0, 0, 0, 0, 0xF8, 0x3F}},
      {"true", TVariant::Bool(true), {0x09}},
      {"false", TVariant::Bool(false), {0x08}},
      {"ASCII string", TVariant::Str("abc"), {0x06, 0x03, 'a', 'b', 'c'}},
      {"ASCII string of 256", TVariant::Str(std::string(256, 'a')), long256},
      // UTF-8 of "Aб" is 3 bytes for 2 characters: shorter than two bytes each.
      {"mostly ASCII wide string", TVariant::Str("Aб"), {0x14, 0x03, 0, 0, 0, 0x41, 0xD0, 0xB1}},
      // UTF-8 of "Я" is 2 bytes for 1 character: UTF-16 is no longer.
      {"Cyrillic wide string", TVariant::Str("Я"), {0x12, 0x01, 0, 0, 0, 0x2F, 0x04}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    TKopcWriter w;
    ASSERT_TRUE(w.WriteVariant(c.value));
    EXPECT_EQ(w.Data(), c.bytes);
  }

  const struct {
    const char* text;
    Bytes bytes;
  } kStrings[] = {
      {"", {0x06, 0x00}},
      {"Я", {0x06, 0x01, 0xDF}},
      {"Ω", {0x14, 0x02, 0, 0, 0, 0xCE, 0xA9}},  // no Windows-1251 code: kept as UTF-8
  };
  for (const auto& c : kStrings) {
    SCOPED_TRACE(c.text);
    TKopcWriter w;
    w.WriteString(c.text);
    EXPECT_EQ(w.Data(), c.bytes);
  }
  TKopcWriter w255;
  w255.WriteString(std::string(255, 'x'));
  EXPECT_EQ(w255.Data()[0], ktString);
  TKopcWriter w256;
  w256.WriteString(std::string(256, 'x'));
  EXPECT_EQ(Bytes(w256.Data().begin(), w256.Data().begin() + 5), Bytes({0x0C, 0x00, 0x01, 0x00, 0x00}));
}

// A string value keeps the form it was read in: one-byte strings (tags 6, 12) go back as one-byte
// strings, wide ones (18, 20) by the wide rule; a one-byte string Windows-1251 cannot hold goes wide
// rather than losing characters.
TEST(KopcStream, StringValuesAreWrittenBackInTheFormTheyWereReadIn) {
  const Bytes long300 = Concat({0x0C, 0x2C, 0x01, 0x00, 0x00}, Bytes(300, 0xC6));  // "Ж" x 300
  const struct {
    const char* name;
    Bytes bytes;
    bool oneByte;
  } kCases[] = {
      {"one-byte Cyrillic", {0x06, 0x04, 0xC3, 0xEA, 0xE0, 0xEB}, true},  // "Гкал"
      {"one-byte long string", long300, true},
      {"one-byte empty", {0x06, 0x00}, true},
      {"wide ASCII", {0x06, 0x02, 'o', 'k'}, true},  // written as tag 6 by the wide rule: stays so
      {"wide Cyrillic", {0x12, 0x01, 0, 0, 0, 0x2F, 0x04}, false},
      {"UTF-8 mostly ASCII", {0x14, 0x03, 0, 0, 0, 0x41, 0xD0, 0xB1}, false},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    TKopcReader r(c.bytes);
    const TVariant value = r.ReadVariant();
    EXPECT_EQ(value.vt, VT_BSTR);
    EXPECT_EQ(value.oneByte, c.oneByte);
    TKopcWriter w;
    ASSERT_TRUE(w.WriteVariant(value));
    EXPECT_EQ(w.Data(), c.bytes);
  }

  TKopcWriter w;
  ASSERT_TRUE(w.WriteVariant(TVariant::OneByteStr("Гкал")));
  ASSERT_TRUE(w.WriteVariant(TVariant::OneByteStr("Я€Ω")));  // Ω has no Windows-1251 code
  EXPECT_EQ(w.Data(), Concat({0x06, 0x04, 0xC3, 0xEA, 0xE0, 0xEB},
                             {0x12, 0x03, 0, 0, 0, 0x2F, 0x04, 0xAC, 0x20, 0xA9, 0x03}));
}

TEST(KopcStream, ArrayVariantIsNotWritten) {
  TKopcWriter w;
  EXPECT_FALSE(w.WriteVariant(TVariant::Int(1, VT_ARRAY | VT_I4)));
  EXPECT_TRUE(w.Data().empty());
}

TEST(KopcStream, VariantsReadBackAsWritten) {
  const TVariant kValues[] = {
      TVariant::Empty(),
      TVariant::Null(),
      TVariant::Int(-5),
      TVariant::Int(70000),
      TVariant::Int(int64_t{1} << 40, VT_I8),
      TVariant::Single(2.5f),
      TVariant::Double(123.456),
      TVariant::Currency(-987654321),
      TVariant::Date(45000.75),
      TVariant::Bool(true),
      TVariant::Bool(false),
      TVariant::Str("plain"),
      TVariant::Str("Привет"),
      TVariant::Str("Ω≈ mixed"),
      TVariant::Str(std::string(300, 'z')),
  };
  TKopcWriter w;
  for (const TVariant& v : kValues) ASSERT_TRUE(w.WriteVariant(v));
  TKopcReader r(w.Data());
  for (const TVariant& v : kValues) EXPECT_EQ(r.ReadVariant(), v);
  EXPECT_EQ(r.Remaining(), 0u);
}

TEST(KopcStream, ReaderTakesAnyIntegerTagAndAnyStringTag) {
  const Bytes data = {
      0x02, 0xFE,                                            // -2
      0x03, 0x10, 0x27,                                      // 10000
      0x04, 0xA0, 0x86, 0x01, 0x00,                          // 100000
      0x13, 0x05, 0,    0,    0,    0,    0,    0,    0,     // 5 in 64 bits
      0x06, 0x02, 0xCF, 0xF0,                                // "Пр" in Windows-1251
      0x0C, 0x02, 0,    0,    0,    0xCF, 0xF0,              // same, long form
      0x12, 0x02, 0,    0,    0,    0x1F, 0x04, 0x40, 0x04,  // same, UTF-16
      0x14, 0x04, 0,    0,    0,    0xD0, 0x9F, 0xD1, 0x80,  // same, UTF-8
  };
  TKopcReader r(data);
  EXPECT_EQ(r.ReadInteger(), -2);
  EXPECT_EQ(r.ReadInteger(), 10000);
  EXPECT_EQ(r.ReadInteger(), 100000);
  EXPECT_EQ(r.ReadInteger(), 5);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(r.ReadString(), "Пр") << i;
}

TEST(KopcStream, BadValuesAreRefusedAtTheirOffset) {
  enum TRead { Integer, String, Boolean, Date, Variant };
  const struct {
    const char* name;
    Bytes data;
    TRead read;
    size_t offset;
  } kCases[] = {
      {"string where an integer belongs", {0x06, 0x00}, Integer, 0},
      {"integer where a string belongs", {0x02, 0x00}, String, 0},
      {"integer where a boolean belongs", {0x02, 0x01}, Boolean, 0},
      {"double where a date-time belongs", {0x05, 0, 0, 0, 0, 0, 0, 0, 0x80, 0xFF, 0x3F}, Date, 0},
      {"unknown tag", {0x07}, Variant, 0},
      {"long string longer than the data", {0x0C, 0xE8, 0x03, 0, 0, 'a', 'b'}, String, 0},
      {"huge wide string", {0x12, 0x00, 0x00, 0x00, 0x80, 0x41, 0x00}, String, 0},
      {"huge UTF-8 string", {0x14, 0xFF, 0xFF, 0xFF, 0xFF}, Variant, 0},
      {"short string cut off", {0x06, 0x05, 'a'}, String, 2},
      {"32-bit integer cut off", {0x04, 0x01, 0x02}, Integer, 1},
      {"extended cut off", {0x05, 0x00, 0x00}, Variant, 1},
      {"nothing at all", {}, Integer, 0},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    TKopcReader r(c.data);
    try {
      switch (c.read) {
        case Integer:
          r.ReadInteger();
          break;
        case String:
          r.ReadString();
          break;
        case Boolean:
          r.ReadBoolean();
          break;
        case Date:
          r.ReadDateTime();
          break;
        case Variant:
          r.ReadVariant();
          break;
      }
      ADD_FAILURE() << "accepted";
    } catch (const EFormatError& e) {
      EXPECT_EQ(e.Offset(), c.offset);
      EXPECT_FALSE(e.Reason().empty());
    }
  }
}

}  // namespace
}  // namespace orvela
