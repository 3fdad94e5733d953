#pragma once
// Small ModBus RTU controllers on the slave core.
// Zelio: holding registers 16..19 (written by the host, read back as written), 20..23 (values of
//   ZelioRegister), 32..35 the clock, written by function 16 as all four registers: eight bytes second,
//   day of week, hour, minute, month, day, 0x15, year % 100; 48 the status (ZelioStatus in the high byte).
// KM: holding registers 1..3 the serial number (six characters, high byte first), discrete inputs 0..3
//   (KmInput), coil 0 (off at start; function 5 writes it, function 1 reads it).
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "metersim/ModBusSlave.h"

namespace orvela::sim {

// Value of Zelio register 20..23 at time t (whole minutes).
int16_t ZelioRegister(std::string_view serial, uint16_t reg, TDateTime t);
uint8_t ZelioStatus(std::string_view serial);
// Discrete input n (0..3) of a KM at time t (whole minutes).
bool KmInput(std::string_view serial, uint16_t input, TDateTime t);

class TZelioController : public TModBusDevice {
 public:
  TZelioController(uint8_t address, std::string serial)
      : TModBusDevice("zelio", address, std::move(serial)) {}
  std::optional<TPduAnswer> Answer(uint8_t function, std::span<const uint8_t> data,
                                   TDateTime now) const override;
  // The clock as last written (0 while never written: the controller runs on the line's calendar).
  TDateTime WrittenClock() const;

 private:
  mutable std::mutex mutex_;
  mutable uint16_t written_[4] = {};
  mutable uint8_t clock_[8] = {};
  mutable bool clockWritten_ = false;
};

class TKmController : public TModBusDevice {
 public:
  TKmController(uint8_t address, std::string serial) : TModBusDevice("km", address, std::move(serial)) {}
  std::optional<TPduAnswer> Answer(uint8_t function, std::span<const uint8_t> data,
                                   TDateTime now) const override;
  bool Coil() const;

 private:
  mutable std::mutex mutex_;
  mutable bool coil_ = false;
};

}  // namespace orvela::sim
