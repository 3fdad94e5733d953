#pragma once
// The tagged-value stream of the tree file: every value is one tag byte followed by its data.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/BinaryIO.h"
#include "platform/DateTime.h"
#include "platform/Variant.h"

namespace orvela {

enum TKopcTag : uint8_t {
  ktNull = 0,
  ktInt8 = 2,
  ktInt16 = 3,
  ktInt32 = 4,
  ktExtended = 5,
  ktString = 6,
  ktFalse = 8,
  ktTrue = 9,
  ktLongString = 12,
  ktEmpty = 13,
  ktSingle = 15,
  ktCurrency = 16,
  ktDate = 17,
  ktWideString = 18,
  ktInt64 = 19,
  ktUtf8String = 20,
};

bool IsIntegerTag(uint8_t tag);
bool IsStringTag(uint8_t tag);

class TKopcWriter {
 public:
  // The shortest of tags 2, 3, 4 that holds the value; 19 beyond 32 bits.
  void WriteInteger(int64_t value);
  // Windows-1251 with tag 6 up to 255 characters, tag 12 beyond. A text Windows-1251 cannot hold goes as
  // UTF-8 (tag 20), which every reader of the stream accepts, instead of losing characters to '?'.
  void WriteString(std::string_view utf8);
  void WriteBoolean(bool value);
  void WriteDateTime(TDateTime value);
  // A one-byte string as Windows-1251 with tag 6/12 (a wide one when Windows-1251 cannot hold it); a wide
  // string by the wide rule: plain ASCII as tag 6/12, else UTF-8 (tag 20) when that is shorter than two
  // bytes a character, else UTF-16 (tag 18).
  // False, with nothing written, for a variant the stream has no tag for (arrays and the like).
  bool WriteVariant(const TVariant& value);

  const std::vector<uint8_t>& Data() const { return out_.Data(); }
  std::vector<uint8_t> Take() { return out_.Take(); }

 private:
  void WriteCp1251(const std::string& cp1251);
  void WriteWideString(std::string_view utf8);
  TBinaryWriter out_;
};

// Reads values back; a wrong tag, a length beyond the data or a truncated value throws EFormatError with
// the offset of the value's tag.
class TKopcReader {
 public:
  explicit TKopcReader(std::span<const uint8_t> data) : in_(data) {}

  size_t Offset() const { return in_.Offset(); }
  size_t Remaining() const { return in_.Remaining(); }
  uint8_t PeekTag() const { return in_.PeekU8(); }

  // Any integer tag.
  int64_t ReadInteger();
  // Any integer tag; a value outside [min, max] is an error naming `what`.
  int64_t ReadInteger(int64_t min, int64_t max, const char* what);
  // Tags 6, 12, 18 and 20; the result is UTF-8.
  std::string ReadString();
  bool ReadBoolean();
  TDateTime ReadDateTime();
  TVariant ReadVariant();

 private:
  uint8_t ReadTag(size_t& tagOffset);
  size_t ReadLength(size_t unitSize, size_t tagOffset);
  int64_t ReadIntegerBody(uint8_t tag);
  std::string ReadStringBody(uint8_t tag, size_t tagOffset);
  TBinaryReader in_;
};

}  // namespace orvela
