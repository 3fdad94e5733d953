#include "metersim/ModBusControllers.h"

#include <cmath>

#include "metersim/Values.h"

namespace orvela::sim {
namespace {

using namespace modbus;

constexpr uint16_t kWritableFirst = 16, kValuesFirst = 20, kRegisterCount = 4;
constexpr uint16_t kClockFirst = 32, kStatusRegister = 48;
constexpr uint16_t kSerialFirst = 1, kSerialCount = 3;
constexpr uint16_t kInputs = 4;

int64_t Minutes(TDateTime t) {
  return static_cast<int64_t>(std::floor(t * 1440.0 + 1e-6));
}

uint16_t Be16(std::span<const uint8_t> data, size_t at) {
  return static_cast<uint16_t>((data[at] << 8) | data[at + 1]);
}

// A register reply: byte count, then each register high byte first.
TPduAnswer Registers(const std::vector<uint16_t>& values) {
  std::vector<uint8_t> reply{static_cast<uint8_t>(2 * values.size())};
  for (uint16_t v : values)
    reply.insert(reply.end(), {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)});
  return {reply};
}

TPduAnswer Refused(uint8_t code) {
  return {{}, code};
}

}  // namespace

int16_t ZelioRegister(std::string_view serial, uint16_t reg, TDateTime t) {
  return static_cast<int16_t>((DeviceSeed(serial) % 500 + 37 * reg + Minutes(t) % 720) % 2000 - 500);
}

uint8_t ZelioStatus(std::string_view serial) {
  return static_cast<uint8_t>(DeviceSeed(serial) >> 8);
}

bool KmInput(std::string_view serial, uint16_t input, TDateTime t) {
  return ((DeviceSeed(serial) >> input) + static_cast<uint64_t>(Minutes(t))) % 2 != 0;
}

std::optional<TPduAnswer> TZelioController::Answer(uint8_t function, std::span<const uint8_t> data,
                                                   TDateTime now) const {
  std::lock_guard lock(mutex_);
  if (function == 3) {
    if (data.size() != 4) return Refused(kIllegalValue);
    uint16_t start = Be16(data, 0), count = Be16(data, 2);
    if (count != 1) return Refused(kIllegalValue);
    if (start >= kWritableFirst && start < kWritableFirst + kRegisterCount)
      return Registers({written_[start - kWritableFirst]});
    if (start >= kValuesFirst && start < kValuesFirst + kRegisterCount)
      return Registers({static_cast<uint16_t>(ZelioRegister(Serial(), start, now))});
    if (start == kStatusRegister) return Registers({static_cast<uint16_t>(ZelioStatus(Serial()) << 8)});
    return Refused(kIllegalAddress);
  }
  if (function == 16) {
    if (data.size() < 5 || data[4] != 2 * Be16(data, 2) || data.size() != 5u + data[4])
      return Refused(kIllegalValue);
    uint16_t start = Be16(data, 0), count = Be16(data, 2);
    if (start == kClockFirst && count == 4) {
      for (size_t i = 0; i < 8; ++i) clock_[i] = data[5 + i];
      clockWritten_ = true;
    } else if (start >= kWritableFirst && start < kWritableFirst + kRegisterCount && count == 1) {
      written_[start - kWritableFirst] = Be16(data, 5);
    } else {
      return Refused(kIllegalAddress);
    }
    return TPduAnswer{{data[0], data[1], data[2], data[3]}};
  }
  return Refused(kIllegalFunction);
}

TDateTime TZelioController::WrittenClock() const {
  std::lock_guard lock(mutex_);
  if (!clockWritten_) return 0;
  // second, day of week, hour, minute, month, day, century mark, year % 100
  return EncodeDateTime(2000 + clock_[7], clock_[4], clock_[5], clock_[2], clock_[3], clock_[0]);
}

std::optional<TPduAnswer> TKmController::Answer(uint8_t function, std::span<const uint8_t> data,
                                                TDateTime now) const {
  std::lock_guard lock(mutex_);
  if (data.size() != 4) return Refused(kIllegalValue);
  uint16_t start = Be16(data, 0), count = Be16(data, 2);
  switch (function) {
    case 1:
      if (start != 0 || count != 1) return Refused(kIllegalAddress);
      return TPduAnswer{{1, static_cast<uint8_t>(coil_ ? 1 : 0)}};
    case 2: {
      if (count == 0 || start + count > kInputs) return Refused(kIllegalAddress);
      uint8_t bits = 0;
      for (uint16_t i = 0; i < count; ++i)
        if (KmInput(Serial(), static_cast<uint16_t>(start + i), now)) bits |= static_cast<uint8_t>(1 << i);
      return TPduAnswer{{1, bits}};
    }
    case 3: {
      if (start < kSerialFirst || start + count > kSerialFirst + kSerialCount || count == 0)
        return Refused(kIllegalAddress);
      std::string serial = Serial();
      serial.resize(2 * kSerialCount, ' ');
      std::vector<uint16_t> values;
      for (uint16_t r = start; r < start + count; ++r) {
        size_t at = 2 * static_cast<size_t>(r - kSerialFirst);
        values.push_back(static_cast<uint16_t>((static_cast<uint8_t>(serial[at]) << 8) |
                                               static_cast<uint8_t>(serial[at + 1])));
      }
      return Registers(values);
    }
    case 5: {
      uint16_t value = count;  // the coil's new state
      if (start != 0 || (value != 0xFF00 && value != 0x0000)) return Refused(kIllegalValue);
      coil_ = value == 0xFF00;
      return TPduAnswer{{data[0], data[1], data[2], data[3]}};
    }
    default:
      return Refused(kIllegalFunction);
  }
}

bool TKmController::Coil() const {
  std::lock_guard lock(mutex_);
  return coil_;
}

}  // namespace orvela::sim
