#include "platform/Cp1251.h"

#include <array>
#include <unordered_map>

namespace orvela {
namespace {

// Code points of bytes 0x80..0xBF; 0xC0..0xFF map to U+0410..U+044F. 0x98 is unassigned.
constexpr std::array<char32_t, 64> kHigh = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021, 0x20AC,       0x2030, 0x0409,
    0x2039, 0x040A, 0x040C, 0x040B, 0x040F, 0x0452, 0x2018, 0x2019, 0x201C,       0x201D, 0x2022,
    0x2013, 0x2014, 0xFFFD, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B,       0x045F, 0x00A0,
    0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7, 0x0401, 0x00A9,       0x0404, 0x00AB,
    0x00AC, 0x00AD, 0x00AE, 0x0407, 0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491,       0x00B5, 0x00B6,
    0x00B7, 0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0407 + 0x50};

char32_t DecodeByte(unsigned char b) {
  if (b < 0x80) return b;
  if (b >= 0xC0) return 0x0410 + (b - 0xC0);
  return kHigh[b - 0x80];
}

const std::unordered_map<char32_t, unsigned char>& EncodeTable() {
  static const auto table = [] {
    std::unordered_map<char32_t, unsigned char> m;
    for (int b = 0x80; b <= 0xFF; ++b) {
      char32_t cp = DecodeByte(static_cast<unsigned char>(b));
      if (cp != 0xFFFD) m.emplace(cp, static_cast<unsigned char>(b));
    }
    return m;
  }();
  return table;
}

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// Decodes one code point at pos; returns U+FFFD and advances one byte on malformed input.
char32_t NextCodePoint(std::string_view s, size_t& pos) {
  auto b0 = static_cast<unsigned char>(s[pos]);
  if (b0 < 0x80) {
    ++pos;
    return b0;
  }
  int extra = (b0 >> 5) == 0x6 ? 1 : (b0 >> 4) == 0xE ? 2 : (b0 >> 3) == 0x1E ? 3 : -1;
  if (extra < 0 || pos + extra >= s.size()) {
    ++pos;
    return 0xFFFD;
  }
  char32_t cp = b0 & (0x3F >> extra);
  for (int i = 1; i <= extra; ++i) {
    auto b = static_cast<unsigned char>(s[pos + i]);
    if ((b & 0xC0) != 0x80) {
      ++pos;
      return 0xFFFD;
    }
    cp = (cp << 6) | (b & 0x3F);
  }
  // Overlong forms, surrogates and values beyond U+10FFFF are malformed too: they would otherwise turn
  // into wrong UTF-16 or hide a character behind a longer byte sequence.
  static constexpr char32_t kShortest[] = {0, 0x80, 0x800, 0x10000};
  if (cp < kShortest[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp < 0xE000)) {
    ++pos;
    return 0xFFFD;
  }
  pos += extra + 1;
  return cp;
}

}  // namespace

std::string Cp1251ToUtf8(std::string_view cp1251) {
  std::string out;
  out.reserve(cp1251.size() * 2);
  for (char c : cp1251) AppendUtf8(out, DecodeByte(static_cast<unsigned char>(c)));
  return out;
}

std::string Utf8ToCp1251(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  const auto& table = EncodeTable();
  for (size_t pos = 0; pos < utf8.size();) {
    char32_t cp = NextCodePoint(utf8, pos);
    if (cp < 0x80) {
      out += static_cast<char>(cp);
      continue;
    }
    auto it = table.find(cp);
    out += it == table.end() ? '?' : static_cast<char>(it->second);
  }
  return out;
}

size_t Utf8Length(std::string_view utf8) {
  size_t n = 0;
  for (size_t pos = 0; pos < utf8.size(); ++n) NextCodePoint(utf8, pos);
  return n;
}

std::string Utf8Prefix(std::string_view utf8, size_t maxChars) {
  size_t pos = 0;
  for (size_t n = 0; n < maxChars && pos < utf8.size(); ++n) NextCodePoint(utf8, pos);
  return std::string(utf8.substr(0, pos));
}

std::u16string Utf8ToUtf16(std::string_view utf8) {
  std::u16string out;
  for (size_t pos = 0; pos < utf8.size();) {
    char32_t cp = NextCodePoint(utf8, pos);
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (cp >> 10));
      out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
      out += static_cast<char16_t>(cp);
    }
  }
  return out;
}

std::string Utf16ToUtf8(std::u16string_view utf16) {
  std::string out;
  for (size_t i = 0; i < utf16.size(); ++i) {
    char32_t cp = utf16[i];
    if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 &&
        utf16[i + 1] < 0xE000) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (utf16[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp < 0xE000) {
      cp = 0xFFFD;
    }
    AppendUtf8(out, cp);
  }
  return out;
}

}  // namespace orvela
