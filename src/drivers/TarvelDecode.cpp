#include "drivers/TarvelDecode.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace orvela {
namespace {

constexpr size_t kBlockStart = 12;  // current, timer and clock blocks
constexpr size_t kListCountAt = 5;  // function 0x48 answers
constexpr size_t kSerialAt = 13;
constexpr size_t kSerialLength = 8;
constexpr size_t kEchoLengthAt = 4;  // answers other than lists echo the request's path from byte 5
constexpr uint8_t kFirstPrintable = 0x20;
constexpr uint8_t kLastPrintable = 0x7E;

bool Unwritten(const TAnswer& answer, size_t at, size_t size) {
  for (size_t i = 0; i < size; ++i)
    if (answer.At(at + i) != 0xFF) return false;
  return true;
}

std::optional<TDateTime> DateAt(const TAnswer& answer, size_t at, bool twoDigitYear) {
  if (!answer.Has(at, 6)) return std::nullopt;
  int year = twoDigitYear ? TwoDigitYear(answer.At(at)) : 2000 + answer.At(at);
  return DeviceDate(year, answer.At(at + 1), answer.At(at + 2), answer.At(at + 3), answer.At(at + 4),
                    answer.At(at + 5));
}

// Time stamp and time quality of one archive date record; count 1 when the record was written.
TPrbArray DateItem(const TAnswer& answer, size_t at, bool errorArchive) {
  TPrbArray item;
  if (Unwritten(answer, at, DateRecordSize(errorArchive))) return item;
  item.Count = 1;
  // Error archives keep no minute.
  int minute = errorArchive ? 0 : answer.At(at + 4);
  std::optional<TDateTime> date = DeviceDate(TwoDigitYear(answer.At(at)), answer.At(at + 1),
                                             answer.At(at + 2), answer.At(at + 3), minute, 0);
  if (date) {
    item.TimeStamp = *date;
    item.TimeQuality = kQualityGood;
  }
  return item;
}

TPrbArray StampedValue(const TVariant& value, const TPrbArray& date) {
  TPrbArray item = TPrbArray::MakeValue(value);
  item.TimeStamp = date.TimeStamp;
  item.TimeQuality = date.TimeQuality;
  return item;
}

}  // namespace

size_t AnswerLength(std::span<const uint8_t> buffer) {
  if (buffer.size() < 4) return 0;
  size_t declared = buffer[2] | (static_cast<size_t>(buffer[3]) << 8);
  return std::min(buffer.size(), declared + 4);
}

float DecodeFloatBE(std::span<const uint8_t, 4> bytes) {
  uint32_t bits = (static_cast<uint32_t>(bytes[0]) << 24) | (static_cast<uint32_t>(bytes[1]) << 16) |
                  (static_cast<uint32_t>(bytes[2]) << 8) | bytes[3];
  float value;
  std::memcpy(&value, &bits, sizeof value);
  return std::isnan(value) ? 0.0f : value;
}

int32_t RemapStatus(uint8_t flags) {
  int32_t out = 0;
  if (flags & 0x01) out |= 0x10;
  if (flags & 0x0E) out |= 0x01;
  if (flags & 0x80) out |= 0x08;
  return out;
}

int TwoDigitYear(uint8_t yy) {
  return yy > 90 ? 1900 + yy : 2000 + yy;
}

std::optional<TDateTime> DeviceDate(int year, int month, int day, int hour, int minute, int second) {
  if (!IsValidDate(year, month, day) || hour < 0 || hour > 23) return std::nullopt;
  if (minute > 59) minute = 0;
  if (second > 59) second = 0;
  return EncodeDateTime(year, month, day, hour, minute, second);
}

std::optional<TDateTime> DecodeClockBlock(const TAnswer& answer) {
  return DateAt(answer, kBlockStart + 1, true);
}

std::optional<TDateTime> DecodeTimerDate(const TAnswer& answer) {
  return DateAt(answer, kBlockStart + 1, false);
}

std::optional<int32_t> DecodeTimerStatus(const TAnswer& answer) {
  if (!answer.Has(kBlockStart + 1, 2)) return std::nullopt;
  return (answer.At(kBlockStart + 1) << 8) | answer.At(kBlockStart + 2);
}

bool DecodeCurrentBlock(const TAnswer& answer, TPrbArray& result) {
  if (!answer.Has(kBlockStart, 6)) return false;
  auto bytes = answer.Bytes().subspan(kBlockStart + 2).first<4>();
  result.Items = {TPrbArray::MakeValue(TVariant::Single(DecodeFloatBE(bytes))),
                  TPrbArray::MakeValue(TVariant::Int(RemapStatus(answer.At(kBlockStart + 1))))};
  result.Count = 1;
  return true;
}

std::optional<std::string> DecodeSerial(const TAnswer& answer) {
  if (!answer.Has(kSerialAt, kSerialLength)) return std::nullopt;
  auto bytes = answer.Bytes().subspan(kSerialAt, kSerialLength);
  for (uint8_t b : bytes)
    if (b < kFirstPrintable || b > kLastPrintable) return std::nullopt;
  return std::string(bytes.begin(), bytes.end());
}

bool EchoesRequest(const TAnswer& answer, std::span<const uint8_t> payload) {
  if (answer.Code() == kAnswerBranchList || !answer.Has(kEchoLengthAt + 2) || payload.size() < 3) return true;
  // The mark and the address always; the ids as far as the answer says it echoes them, before the body.
  size_t echoed = std::max<size_t>(2, std::min<size_t>(answer.At(kEchoLengthAt), payload[0]));
  for (size_t j = 1; j <= echoed && j < payload.size() && kEchoLengthAt + j < kBlockStart; ++j)
    if (answer.At(kEchoLengthAt + j) != payload[j]) return false;
  return true;
}

bool DecodeIdList(const TAnswer& answer, TRListData& list) {
  list = {};
  if (!answer.Has(kListCountAt)) return false;
  size_t count = answer.At(kListCountAt);
  if (!answer.Has(kListCountAt + 1, 2 * count)) return false;
  list.Count = static_cast<int32_t>(count);
  for (size_t i = 0; i < count; ++i) {
    list.Ids.push_back(answer.At(kListCountAt + 1 + 2 * i));
    list.Flags.push_back(answer.At(kListCountAt + 2 + 2 * i));
  }
  return true;
}

size_t DateRecordSize(bool errorArchive) {
  return errorArchive ? kErrorDateRecordSize : kDateRecordSize;
}
size_t ValueRecordSize(bool errorArchive) {
  return errorArchive ? kErrorValueRecordSize : kValueRecordSize;
}

std::optional<TArchiveBlock> ArchiveBlockHead(const TAnswer& answer, size_t offset) {
  if (offset < 1 || !answer.Has(offset - 1, 2)) return std::nullopt;
  return TArchiveBlock{offset, answer.At(offset - 1), answer.At(offset)};
}

bool ArchiveHasData(const TAnswer& answer, const TArchiveBlock& block) {
  for (size_t i = block.Offset + 1; i < answer.Size(); ++i)
    if (answer.At(i) != 0xFF) return true;
  return false;
}

bool ArchiveBlockFits(const TAnswer& answer, const TArchiveBlock& block, size_t recordSize) {
  return block.Newest < block.Count && answer.Has(block.Offset + 1, block.Count * recordSize);
}

size_t RingPosition(const TArchiveBlock& block, size_t i) {
  return (block.Newest + 1 + i) % block.Count;
}

TPrbArray DecodeDateArray(const TAnswer& answer, const TArchiveBlock& block, bool errorArchive) {
  TPrbArray dates;
  dates.NewestIndex = block.Newest;
  dates.Count = block.Count;
  size_t size = DateRecordSize(errorArchive);
  for (size_t i = 0; i < block.Count; ++i)
    dates.Items.push_back(DateItem(answer, block.Offset + 1 + RingPosition(block, i) * size, errorArchive));
  return dates;
}

bool DecodeArchiveValues(const TAnswer& answer, const TArchiveBlock& block, const TPrbArray& dates,
                         bool errorArchive, TPrbArray& result) {
  size_t size = ValueRecordSize(errorArchive);
  size_t n = std::min<size_t>(block.Count, dates.Items.size());
  result.Items.clear();
  if (errorArchive) {
    TPrbArray durations, flags;
    durations.Count = flags.Count = static_cast<int32_t>(n);
    durations.ValueQuality = flags.ValueQuality = kQualityGood;
    for (size_t i = 0; i < n; ++i) {
      if (dates.Items[i].Count == 0) continue;
      size_t at = block.Offset + 1 + RingPosition(block, i) * size;
      int minutes = (answer.At(at) << 8) | answer.At(at + 1);
      durations.Items.push_back(
          StampedValue(TVariant::Single(static_cast<float>(minutes / 60.0)), dates.Items[i]));
      flags.Items.push_back(StampedValue(TVariant::Int(RemapStatus(answer.At(at + 2))), dates.Items[i]));
    }
    durations.Count = flags.Count = static_cast<int32_t>(durations.Items.size());
    result.Items = {std::move(durations), std::move(flags)};
    result.Count = 2;
    return true;
  }
  bool nonZero = false;
  for (size_t i = 0; i < n; ++i) {
    if (dates.Items[i].Count == 0) continue;
    size_t at = block.Offset + 1 + RingPosition(block, i) * size;
    float value = DecodeFloatBE(answer.Bytes().subspan(at).first<4>());
    nonZero = nonZero || value > 0;
    result.Items.push_back(StampedValue(TVariant::Single(value), dates.Items[i]));
  }
  result.Count = static_cast<int32_t>(result.Items.size());
  return nonZero;
}

}  // namespace orvela
