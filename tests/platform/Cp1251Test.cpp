#include <gtest/gtest.h>

#include <array>
#include <string>

#include "platform/Cp1251.h"

namespace orvela {
namespace {

// Bytes 0x80..0xFF as Python's cp1251 codec decodes them; 0 marks 0x98, which the code page leaves out.
constexpr std::array<char32_t, 128> kPythonCp1251 = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021, 0x20AC, 0x2030, 0x0409, 0x2039, 0x040A,
    0x040C, 0x040B, 0x040F, 0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, 0,      0x2122,
    0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F, 0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6,
    0x00A7, 0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407, 0x00B0, 0x00B1, 0x0406, 0x0456,
    0x0491, 0x00B5, 0x00B6, 0x00B7, 0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457, 0x0410,
    0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417, 0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D,
    0x041E, 0x041F, 0x0420, 0x0421, 0x0422, 0x0423, 0x0424, 0x0425, 0x0426, 0x0427, 0x0428, 0x0429, 0x042A,
    0x042B, 0x042C, 0x042D, 0x042E, 0x042F, 0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437,
    0x0438, 0x0439, 0x043A, 0x043B, 0x043C, 0x043D, 0x043E, 0x043F, 0x0440, 0x0441, 0x0442, 0x0443, 0x0444,
    0x0445, 0x0446, 0x0447, 0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F};

std::string Utf8Of(char32_t cp) {
  return Utf16ToUtf8(std::u16string(1, static_cast<char16_t>(cp)));
}

TEST(Cp1251, EveryHighByteMatchesTheReferenceTableBothWays) {
  for (int b = 0x80; b <= 0xFF; ++b) {
    SCOPED_TRACE(b);
    const std::string byte(1, static_cast<char>(b));
    const char32_t expected = kPythonCp1251[b - 0x80];
    if (expected == 0) {
      // The unassigned byte reads as the replacement character, which has no code back.
      EXPECT_EQ(Cp1251ToUtf8(byte), "\xEF\xBF\xBD");
      EXPECT_EQ(Utf8ToCp1251("\xEF\xBF\xBD"), "?");
      continue;
    }
    EXPECT_EQ(Cp1251ToUtf8(byte), Utf8Of(expected));
    EXPECT_EQ(Utf8ToCp1251(Utf8Of(expected)), byte);
  }
  for (int b = 0; b < 0x80; ++b) {
    const std::string byte(1, static_cast<char>(b));
    EXPECT_EQ(Cp1251ToUtf8(byte), byte);
    EXPECT_EQ(Utf8ToCp1251(byte), byte);
  }
}

TEST(Cp1251, KnownTextsAndUnmappableCharacters) {
  EXPECT_EQ(Cp1251ToUtf8("\xB9 5, \xC0\xE1\xE2 \xA8\xB8"), "№ 5, Абв Ёё");
  EXPECT_EQ(Utf8ToCp1251("Тарвел № 7 – ёж"), "\xD2\xE0\xF0\xE2\xE5\xEB \xB9 7 \x96 \xB8\xE6");
  // Characters outside the code page and malformed bytes become '?', one per character or stray byte.
  EXPECT_EQ(Utf8ToCp1251("a中b😀c"), "a?b?c");
  EXPECT_EQ(Utf8ToCp1251("x\xFFy\xD0"), "x?y?");
}

TEST(Utf8, LengthAndPrefixCountCharactersNotBytes) {
  const std::string text = "Жa€😀";  // 2 + 1 + 3 + 4 bytes
  EXPECT_EQ(Utf8Length(text), 4u);
  EXPECT_EQ(Utf8Prefix(text, 0), "");
  EXPECT_EQ(Utf8Prefix(text, 1), "Ж");
  EXPECT_EQ(Utf8Prefix(text, 3), "Жa€");
  EXPECT_EQ(Utf8Prefix(text, 4), text);
  EXPECT_EQ(Utf8Prefix(text, 100), text);
  // A truncated sequence counts byte by byte and is never completed from what follows.
  EXPECT_EQ(Utf8Length("\xE2\x82"), 2u);
  EXPECT_EQ(Utf8Prefix("\xE2\x82", 1), "\xE2");
}

TEST(Utf8, MalformedSequencesAreRejected) {
  struct TCase {
    const char* bytes;
    const char* why;
  };
  const TCase cases[] = {
      {"\xC0\xAF", "overlong slash"},
      {"\xE0\x80\xAF", "overlong slash, three bytes"},
      {"\xED\xA0\x80", "surrogate"},
      {"\xF4\x90\x80\x80", "beyond U+10FFFF"},
      {"\xF8\x88\x80\x80\x80", "five-byte form"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    const std::string s = c.bytes;
    // Every byte stands for itself as one bad character.
    EXPECT_EQ(Utf8Length(s), s.size());
    EXPECT_EQ(Utf8ToCp1251(s), std::string(s.size(), '?'));
    for (char16_t u : Utf8ToUtf16(s)) EXPECT_EQ(u, 0xFFFD);
  }
}

TEST(Utf16, RoundTripWithSurrogatePairsAndLoneSurrogates) {
  const std::string text = "Ключ №1 😀 z";
  const std::u16string wide = Utf8ToUtf16(text);
  EXPECT_EQ(wide, u"Ключ №1 😀 z");
  EXPECT_EQ(Utf16ToUtf8(wide), text);
  EXPECT_EQ(Utf16ToUtf8(std::u16string{u'a', 0xD800, u'b'}),
            "a\xEF\xBF\xBD"
            "b");
  EXPECT_EQ(Utf16ToUtf8(std::u16string{0xDC00}), "\xEF\xBF\xBD");
}

}  // namespace
}  // namespace orvela
