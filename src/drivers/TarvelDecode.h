#pragma once
// Decoding of the maker's self-describing meter protocol (message header 0, function, payload length).
// Every function works on the bytes the device really sent, so an index taken from an answer (a count, a
// ring position, a record) is checked against the answer before use and the buffer's 0xFF fill is never
// decoded as data.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "drivers/DriverRecords.h"

namespace orvela {

// Answer codes (byte 1) of the two functions.
constexpr uint8_t kAnswerBranchList = 12;  // function 0x48
constexpr uint8_t kAnswerData = 8;         // function 0x4A

// The message a framing left in an answer buffer: header (4 bytes) plus the declared payload length,
// bounded by the buffer. 0 when not even the header is there.
size_t AnswerLength(std::span<const uint8_t> buffer);

// One answer, cut to its real length.
class TAnswer {
 public:
  TAnswer() = default;
  explicit TAnswer(std::span<const uint8_t> bytes) : bytes_(bytes) {}
  // The answer message in a framing's buffer (cut by AnswerLength).
  static TAnswer InBuffer(std::span<const uint8_t> buffer) {
    return TAnswer(buffer.first(AnswerLength(buffer)));
  }

  size_t Size() const { return bytes_.size(); }
  // True when bytes [from, from + count) are part of the answer.
  bool Has(size_t from, size_t count = 1) const {
    return from <= bytes_.size() && count <= bytes_.size() - from;
  }
  // Byte i, or 0xFF (the fill) past the end.
  uint8_t At(size_t i) const { return i < bytes_.size() ? bytes_[i] : 0xFF; }
  uint8_t Code() const { return At(1); }
  std::span<const uint8_t> Bytes() const { return bytes_; }

 private:
  std::span<const uint8_t> bytes_;
};

// Most significant byte first; a NaN becomes 0.
float DecodeFloatBE(std::span<const uint8_t, 4> bytes);
// Status flags as the server reports them: bit 4 <- bit 0, bit 0 <- any of bits 1 to 3, bit 3 <- bit 7.
int32_t RemapStatus(uint8_t flags);
// Two-digit years: above 90 in the 1900s, otherwise in the 2000s.
int TwoDigitYear(uint8_t yy);
// Calendar fields of a device into a date-time; a minute or second above 59 counts as 0. Nullopt when the
// date or the hour does not exist (unwritten records, the 0xFF fill, a confused clock).
std::optional<TDateTime> DeviceDate(int year, int month, int day, int hour, int minute, int second);

// Blocks at byte 12 of a function 0x4A answer (answer code 8). Nullopt when the answer is too short or the
// date does not exist.
std::optional<TDateTime> DecodeClockBlock(const TAnswer& answer);  // two-digit year rule
std::optional<TDateTime> DecodeTimerDate(const TAnswer& answer);   // year 2000 + byte
std::optional<int32_t> DecodeTimerStatus(const TAnswer& answer);
// Current value: items[0] the value, items[1] the remapped status; count 1.
bool DecodeCurrentBlock(const TAnswer& answer, TPrbArray& result);
// The eight characters of the serial-number answer; nullopt unless all are printable (a line that
// garbles the answer must not name a device).
std::optional<std::string> DecodeSerial(const TAnswer& answer);
// True when the answer can be the reply to a request with this payload (k, 3, address, ids): every
// answer but a list echoes the path from byte 5 (its length at byte 4), and the echoed mark, address and
// ids must be the request's. An answer too short to hold the echo has nothing to compare.
bool EchoesRequest(const TAnswer& answer, std::span<const uint8_t> payload);
// Count at byte 5, then pairs (id, flags) from byte 6. False when the count claims more pairs than came.
bool DecodeIdList(const TAnswer& answer, TRListData& list);

// The data block of an archive column answer at offset N (byte N-1 newest ring position, byte N count,
// records from N+1).
struct TArchiveBlock {
  size_t Offset = 0;
  uint8_t Newest = 0;
  uint8_t Count = 0;
};
// Record sizes of the columns.
constexpr size_t kDateRecordSize = 5;
constexpr size_t kErrorDateRecordSize = 4;
constexpr size_t kValueRecordSize = 5;
constexpr size_t kErrorValueRecordSize = 3;
size_t DateRecordSize(bool errorArchive);
size_t ValueRecordSize(bool errorArchive);

// Head of the block (offset, newest, count); nullopt when the block's head is not in the answer.
std::optional<TArchiveBlock> ArchiveBlockHead(const TAnswer& answer, size_t offset);
// True when any byte of the ring (from N+1 to the answer's end) differs from 0xFF: the device leaves
// records it has not written yet as 0xFF, and those of a partly filled ring may lie in any block.
bool ArchiveHasData(const TAnswer& answer, const TArchiveBlock& block);
// True when the count's records of the given size all lie in the answer and the newest position is one
// of them.
bool ArchiveBlockFits(const TAnswer& answer, const TArchiveBlock& block, size_t recordSize);
// Ring position of item i when read oldest first (newest + 1 … n - 1, then 0 … newest).
size_t RingPosition(const TArchiveBlock& block, size_t i);

// The date column as a date array: one item per ring position, count 1 for a written record and 0 for
// one still unwritten (all 0xFF). The block must fit (ArchiveBlockFits). Dates that do not exist get time
// 0 and time quality 0.
TPrbArray DecodeDateArray(const TAnswer& answer, const TArchiveBlock& block, bool errorArchive);
// A value column time-stamped against a date array of the same count and ring position; positions whose
// date record is unwritten give no item, so a partly filled ring yields exactly its written records. The
// block must fit. Returns whether any value was above 0 (error archives always count as non-zero).
bool DecodeArchiveValues(const TAnswer& answer, const TArchiveBlock& block, const TPrbArray& dates,
                         bool errorArchive, TPrbArray& result);

}  // namespace orvela
