#include "tree/KopcStream.h"

#include <algorithm>
#include <limits>

#include "platform/Cp1251.h"
#include "platform/Extended80.h"

namespace orvela {
namespace {

template <class T>
bool Fits(int64_t v) {
  return v >= std::numeric_limits<T>::min() && v <= std::numeric_limits<T>::max();
}

bool IsAscii(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<uint8_t>(c) < 0x80; });
}

std::string TagText(uint8_t tag) {
  return "tag " + std::to_string(tag);
}

}  // namespace

bool IsIntegerTag(uint8_t tag) {
  return tag == ktInt8 || tag == ktInt16 || tag == ktInt32 || tag == ktInt64;
}

bool IsStringTag(uint8_t tag) {
  return tag == ktString || tag == ktLongString || tag == ktWideString || tag == ktUtf8String;
}

// ---------------------------------------------------------------------------------------------------------

void TKopcWriter::WriteInteger(int64_t value) {
  if (Fits<int8_t>(value)) {
    out_.U8(ktInt8);
    out_.I8(static_cast<int8_t>(value));
  } else if (Fits<int16_t>(value)) {
    out_.U8(ktInt16);
    out_.I16(static_cast<int16_t>(value));
  } else if (Fits<int32_t>(value)) {
    out_.U8(ktInt32);
    out_.I32(static_cast<int32_t>(value));
  } else {
    out_.U8(ktInt64);
    out_.I64(value);
  }
}

void TKopcWriter::WriteCp1251(const std::string& cp1251) {
  if (cp1251.size() <= 255) {
    out_.U8(ktString);
    out_.U8(static_cast<uint8_t>(cp1251.size()));
  } else {
    out_.U8(ktLongString);
    out_.U32(static_cast<uint32_t>(cp1251.size()));
  }
  out_.Text(cp1251);
}

void TKopcWriter::WriteString(std::string_view utf8) {
  std::string cp1251 = Utf8ToCp1251(utf8);
  if (Cp1251ToUtf8(cp1251) == utf8) {
    WriteCp1251(cp1251);
    return;
  }
  out_.U8(ktUtf8String);
  out_.U32(static_cast<uint32_t>(utf8.size()));
  out_.Text(std::string(utf8));
}

void TKopcWriter::WriteWideString(std::string_view utf8) {
  if (IsAscii(utf8)) {
    WriteCp1251(std::string(utf8));
    return;
  }
  const std::u16string wide = Utf8ToUtf16(utf8);
  if (utf8.size() < 2 * wide.size()) {
    out_.U8(ktUtf8String);
    out_.U32(static_cast<uint32_t>(utf8.size()));
    out_.Text(std::string(utf8));
    return;
  }
  out_.U8(ktWideString);
  out_.U32(static_cast<uint32_t>(wide.size()));
  for (char16_t c : wide) out_.U16(c);
}

void TKopcWriter::WriteBoolean(bool value) {
  out_.U8(value ? ktTrue : ktFalse);
}

void TKopcWriter::WriteDateTime(TDateTime value) {
  out_.U8(ktDate);
  out_.F64(value);
}

bool TKopcWriter::WriteVariant(const TVariant& value) {
  if (value.IsInteger()) {
    WriteInteger(value.i);
    return true;
  }
  switch (value.vt) {
    case VT_EMPTY:
      out_.U8(ktEmpty);
      return true;
    case VT_NULL:
      out_.U8(ktNull);
      return true;
    case VT_R4:
      out_.U8(ktSingle);
      out_.F32(static_cast<float>(value.d));
      return true;
    case VT_R8: {
      out_.U8(ktExtended);
      const TExtended80 ext = DoubleToExtended80(value.d);
      out_.Bytes(ext);
      return true;
    }
    case VT_CY:
      out_.U8(ktCurrency);
      out_.I64(value.i);
      return true;
    case VT_DATE:
      WriteDateTime(value.d);
      return true;
    case VT_BOOL:
      WriteBoolean(value.i != 0);
      return true;
    case VT_BSTR:
      if (value.oneByte) {
        std::string cp1251 = Utf8ToCp1251(value.s);
        // A character Windows-1251 has no code for makes it a wide string rather than a '?'.
        if (Cp1251ToUtf8(cp1251) == value.s) {
          WriteCp1251(cp1251);
          return true;
        }
      }
      WriteWideString(value.s);
      return true;
    default:
      return false;
  }
}

// ---------------------------------------------------------------------------------------------------------

uint8_t TKopcReader::ReadTag(size_t& tagOffset) {
  tagOffset = in_.Offset();
  return in_.U8();
}

size_t TKopcReader::ReadLength(size_t unitSize, size_t tagOffset) {
  const uint32_t n = in_.U32();
  if (n > in_.Remaining() / unitSize)
    throw EFormatError(tagOffset, "length " + std::to_string(n) + " exceeds the " +
                                      std::to_string(in_.Remaining()) + " bytes left");
  return n;
}

int64_t TKopcReader::ReadIntegerBody(uint8_t tag) {
  switch (tag) {
    case ktInt8:
      return in_.I8();
    case ktInt16:
      return in_.I16();
    case ktInt32:
      return in_.I32();
    default:
      return in_.I64();
  }
}

int64_t TKopcReader::ReadInteger() {
  size_t at;
  const uint8_t tag = ReadTag(at);
  if (!IsIntegerTag(tag)) throw EFormatError(at, "expected an integer, found " + TagText(tag));
  return ReadIntegerBody(tag);
}

int64_t TKopcReader::ReadInteger(int64_t min, int64_t max, const char* what) {
  const size_t at = in_.Offset();
  const int64_t v = ReadInteger();
  if (v < min || v > max)
    throw EFormatError(at, std::string(what) + " " + std::to_string(v) + " is out of range");
  return v;
}

std::string TKopcReader::ReadStringBody(uint8_t tag, size_t tagOffset) {
  switch (tag) {
    case ktString:
      return Cp1251ToUtf8(in_.Text(in_.U8()));
    case ktLongString:
      return Cp1251ToUtf8(in_.Text(ReadLength(1, tagOffset)));
    case ktWideString: {
      const size_t n = ReadLength(2, tagOffset);
      std::u16string wide(n, u'\0');
      for (auto& c : wide) c = in_.U16();
      return Utf16ToUtf8(wide);
    }
    default:
      return in_.Text(ReadLength(1, tagOffset));
  }
}

std::string TKopcReader::ReadString() {
  size_t at;
  const uint8_t tag = ReadTag(at);
  if (!IsStringTag(tag)) throw EFormatError(at, "expected a string, found " + TagText(tag));
  return ReadStringBody(tag, at);
}

bool TKopcReader::ReadBoolean() {
  size_t at;
  const uint8_t tag = ReadTag(at);
  if (tag != ktTrue && tag != ktFalse) throw EFormatError(at, "expected a boolean, found " + TagText(tag));
  return tag == ktTrue;
}

TDateTime TKopcReader::ReadDateTime() {
  size_t at;
  const uint8_t tag = ReadTag(at);
  if (tag != ktDate) throw EFormatError(at, "expected a date-time, found " + TagText(tag));
  return in_.F64();
}

TVariant TKopcReader::ReadVariant() {
  size_t at;
  const uint8_t tag = ReadTag(at);
  // Integers come back as 32-bit values, as they were before being written with the shortest tag.
  if (IsIntegerTag(tag)) return TVariant::Int(ReadIntegerBody(tag), tag == ktInt64 ? VT_I8 : VT_I4);
  // Tags 6 and 12 hold one-byte strings and are written back as such; 18 and 20 hold wide ones.
  if (tag == ktString || tag == ktLongString) return TVariant::OneByteStr(ReadStringBody(tag, at));
  if (IsStringTag(tag)) return TVariant::Str(ReadStringBody(tag, at));
  switch (tag) {
    case ktNull:
      return TVariant::Null();
    case ktEmpty:
      return TVariant::Empty();
    case ktFalse:
    case ktTrue:
      return TVariant::Bool(tag == ktTrue);
    case ktExtended: {
      TExtended80 ext;
      const auto bytes = in_.Bytes(ext.size());
      std::copy(bytes.begin(), bytes.end(), ext.begin());
      return TVariant::Double(Extended80ToDouble(ext));
    }
    case ktSingle:
      return TVariant::Single(in_.F32());
    case ktCurrency:
      return TVariant::Currency(in_.I64());
    case ktDate:
      return TVariant::Date(in_.F64());
    default:
      throw EFormatError(at, "unknown " + TagText(tag));
  }
}

}  // namespace orvela
