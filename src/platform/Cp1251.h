#pragma once
// Windows-1251 <-> UTF-8 at the file and wire boundaries; everything inside is UTF-8.
#include <string>
#include <string_view>

namespace orvela {

std::string Cp1251ToUtf8(std::string_view cp1251);
// Characters without a Windows-1251 code become '?'; malformed UTF-8 bytes too.
std::string Utf8ToCp1251(std::string_view utf8);
// Number of characters (code points) in a UTF-8 text.
size_t Utf8Length(std::string_view utf8);
// The first maxChars characters of a UTF-8 text, never splitting a character.
std::string Utf8Prefix(std::string_view utf8, size_t maxChars);
// UTF-8 <-> UTF-16 for the COM boundary and the wide-string tag of the tree file.
std::u16string Utf8ToUtf16(std::string_view utf8);
std::string Utf16ToUtf8(std::u16string_view utf16);

}  // namespace orvela
