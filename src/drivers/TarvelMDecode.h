#pragma once
// Decoding of the Tarvel M's answers to its branch and archive reads (function 0x42). Every count is
// taken from the answer and bounded by the bytes that came; records the meter has not written (0xFF) are
// never values; a date that cannot exist, or lies in the future, is reported so that the archive can be
// asked again, and is never served as a good value at a wrong time.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "drivers/DriverRecords.h"
#include "drivers/TarvelDecode.h"

namespace orvela {

// Answer code (byte 1) of a successful 0x42 read.
constexpr uint8_t kAnswerMBlock = 6;

// Status flags of the M as the server reports them: bit 3 -> bit 2, bit 4 -> bit 3, bits 5 to 7 -> bit 0.
int32_t RemapStatusM(uint8_t flags);

// Subsystem (or the operative branch) and branch of a node's two lowest ids, in the order the meter
// wants them: the tree may hold the subsystems above the archives or below them.
struct TMBranchIds {
  uint8_t subsystem = 0;
  uint8_t branch = 0;
};
TMBranchIds OrderBranchIds(uint8_t id0, uint8_t id1);

// Where the data block of a 0x42 answer starts, by the echoed path length at byte 4.
size_t MBlockOffset(const TAnswer& answer);

// Current values of a branch (block at byte 12: count, then 5-byte entries: status, single MSB first).
// result.Items gets one record per child of the branch; only the wanted children whose entry came are
// filled (value and remapped status); an entry left 0xFF is a value of bad quality. False when the block
// is not there.
bool DecodeMCurrent(const TAnswer& answer, size_t children, std::span<const size_t> wanted,
                    TPrbArray& result);

// What an archive decode saw of bad dates (for the repeat pass and the journal line).
struct TMDateReport {
  bool bad = false;
  size_t position = 0;  // offset of the last bad record from the block
  std::string text;     // the bad records' date fields in hex
  void Note(size_t at, std::span<const uint8_t> fields);
};

// What makes a record "still being filled" or from the future.
struct TMArchiveContext {
  uint8_t archive = 0;       // 26 and 90 hourly, 27 and 91 daily, 28 monthly; others keep none in progress
  bool operative = false;    // the operative archive (8/26)
  TDateTime now = 0;         // the computer's local time
  bool clockKnown = false;   // the device clock was read during this run
  TDateTime deviceTime = 0;  // the device's estimated time now
};

// Parameter mode, the date column (p = 14): count at the block, then 5-byte dates (7 for error archives)
// in stored order. Unwritten records have count 0; an impossible or future date is noted and its item
// gets time 0 and value quality bad (what its values inherit); a record in progress time 0 only.
// False when the count's records do not fit in the answer.
bool DecodeMDates(const TAnswer& answer, size_t offset, bool errorArchive, const TMArchiveContext& context,
                  TPrbArray& dates, TMDateReport& report);
// Parameter mode, a value column against its date column (same count): kind 4 (5-byte single and check
// byte) or the error archive (7-byte entries: duration in 2 s units, flags, single). False when the
// counts differ or the records do not fit.
bool DecodeMParameter(const TAnswer& answer, size_t offset, const TPrbArray& dates, bool errorArchive,
                      TPrbArray& result);
// Record mode: count, then records of a 5-byte header and one entry per parameter of the branch (5 bytes,
// or 7 in error archives followed by 9 more bytes). The number of entries comes from the answer's length;
// result.Items gets one record per child of the branch, child i from entry i. False when the records do
// not divide the block evenly.
bool DecodeMRecords(const TAnswer& answer, size_t offset, size_t children, bool errorArchive,
                    const TMArchiveContext& context, TPrbArray& result, TMDateReport& report);

}  // namespace orvela
