#pragma once
// An Orlix heat meter on the ModBus RTU slave core. The host writes a seven-register request block to
// holding registers 0 to 6 (register 6 says what to prepare: 0 current values, 0x10 the configuration,
// 0x62 an archive record by date with the archive code in register 3) and reads the prepared answer from
// input register 256 on:
//   256, 257  archive record date: month | year - 2000 << 8, hour | day << 8 (year byte 0xFF: no more)
//   258 + 20k subsystem k: status word (2), operating time (2), eight float values (2 each), registers low
//             word first, every value little-endian in the register bytes (low byte first)
// Fixed areas: 0..2 the clock (month | yy << 8, hour | day << 8, second | minute << 8), 834..854 the
// serial number (digits as byte values, byte 42 bit 2 the integrator mark) with the configuration date at
// 847, 1024..1025 the firmware date (yy | month << 8, day).
// After an archive block, a read from 256 returns the record at the written date (the first one at or
// after it) and every further read from 256 the next one; a read from 256 + n returns the current
// record from its n-th register (pieces of a record).
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "metersim/ModBusSlave.h"
#include "metersim/Values.h"

namespace orvela::sim {

namespace orlixsim {
// One configured parameter: subsystem, position, configuration entry bytes, the value function's id.
struct TParam {
  int subsystem;
  int position;
  uint8_t entry[4];
  uint8_t param;
};
const std::vector<TParam>& Params();
// The subsystem status word (current values and every archive record).
uint32_t StatusWord(std::string_view serial, int subsystem);
// Id of the operating-time value (hours) for the value functions.
inline constexpr uint8_t kHoursParam = 0x0D;
// Records each archive holds: the newest are the last completed periods, older ones were never written.
int RecordsKept(EPeriod period);
// The archive period of an archive code (26 hourly, 27 daily, 28 monthly); none for others.
std::optional<EPeriod> PeriodOfCode(uint8_t code);
}  // namespace orlixsim

class TOrlixMeter : public TModBusDevice {
 public:
  TOrlixMeter(uint8_t address, std::string serial) : TModBusDevice("orlix", address, std::move(serial)) {}
  std::optional<TPduAnswer> Answer(uint8_t function, std::span<const uint8_t> data,
                                   TDateTime now) const override;

 private:
  enum class TPrepared : uint8_t { None, Current, Config, Archive };
  // The register image of an area, two bytes a register, low byte first.
  std::vector<uint8_t> Prepared(TDateTime now) const;
  std::vector<uint8_t> Record(EPeriod period, int64_t index, TDateTime now) const;
  std::optional<TPduAnswer> WriteBlock(std::span<const uint8_t> data, TDateTime now) const;
  std::optional<TPduAnswer> ReadInputs(uint16_t start, uint16_t count, TDateTime now) const;

  mutable std::mutex mutex_;
  mutable TPrepared prepared_ = TPrepared::None;
  mutable uint16_t block_[7] = {};
  mutable EPeriod period_ = EPeriod::Hour;
  mutable int64_t cursor_ = 0;  // period index of the current archive record
  mutable bool fresh_ = false;  // the cursor was just placed: the next read from 256 takes it as it is
};

}  // namespace orvela::sim
