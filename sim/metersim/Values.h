#pragma once
// What the simulated meters measure: deterministic functions of the device (its serial number), the
// parameter and the time, so that tests compute the expected results instead of copying them. All times
// are local TDateTimes; a parameter id is the meter's byte (low four bits the quantity, high four bits
// the channel minus one).
#include <cstdint>
#include <string_view>
#include <vector>

#include "platform/DateTime.h"

namespace orvela::sim {

enum class EPeriod : uint8_t { Hour, Day, Month };

// Stable seed of a device, from its serial number.
uint32_t DeviceSeed(std::string_view serial);

// True for quantities that count up (heat, mass, volume, energy, hours); false for pressure and
// temperature, which are states.
bool IsTotalising(uint8_t param);

// The reading the meter shows at time t (cut to whole minutes): the counter of a totalising quantity,
// the momentary value of a state quantity; 0 for ids that name no quantity.
float CurrentValue(std::string_view serial, uint8_t param, TDateTime t);
// Raw status byte sent with a current value (before any remapping by the reader).
uint8_t CurrentStatus(std::string_view serial, uint8_t param);

// Archive periods are numbered from 2000-01-01 00:00 (hours, days) or January 2000 (months).
int64_t PeriodIndex(EPeriod period, TDateTime t);
TDateTime PeriodStart(EPeriod period, int64_t index);

// One archive record: the increment of a totalising quantity over the period, or the state quantity at
// the period's middle. An integrator record holds the counter (or state) at the period's start instead.
float ArchiveValue(std::string_view serial, uint8_t param, EPeriod period, int64_t index, bool integrator);
// The record still being filled: the period from its start up to t (cut to whole minutes).
float PartialArchiveValue(std::string_view serial, uint8_t param, EPeriod period, int64_t index, TDateTime t);

// One record of an error archive: minutes of faulty operation in the period and the raw error flags.
struct TErrorRecord {
  uint16_t minutes = 0;
  uint8_t flags = 0;
  friend bool operator==(const TErrorRecord&, const TErrorRecord&) = default;
};
TErrorRecord ErrorRecord(std::string_view serial, uint8_t param, EPeriod period, int64_t index);

// An archive ring at a moment of the device's clock: ring position r holds the period index[r]; the
// newest record is the last completed period, or the period in progress when the meter keeps that one in
// the ring too.
struct TRing {
  static constexpr int64_t kUnwritten = INT64_MIN;  // a ring position the meter has not written yet
  int newest = 0;
  std::vector<int64_t> index;
  int Size() const { return static_cast<int>(index.size()); }
  bool Written(int position) const { return index[static_cast<size_t>(position)] != kUnwritten; }
  // Ring positions from the oldest record to the newest.
  std::vector<int> TimeOrder() const;
};
TRing ArchiveRing(EPeriod period, int size, TDateTime deviceNow, bool newestInProgress);
// The ring of a meter that has written only the newest `written` records of the full ring, at ring
// positions from `first` on (moved back as far as they need to fit); every other position is unwritten.
// With nothing written the newest position stays that of the full ring.
TRing PartlyWrittenRing(const TRing& full, int written, int first);

// Timer values of the meter.
uint16_t TimerStatusWord(std::string_view serial);
TDateTime FirmwareDate();
TDateTime ConfigChangeDate(std::string_view serial);

}  // namespace orvela::sim
