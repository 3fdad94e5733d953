#include "metersim/OrlixMeter.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace orvela::sim {
namespace orlixsim {

const std::vector<TParam>& Params() {
  // Subsystem 1 keeps a parameter at the last position, so a read that stops short of the block shows.
  static const std::vector<TParam> params = {
      {0, 0, {'1', 'Q', 0, 0}, 0x00},   // "Q1", heat
      {0, 1, {'/', 'T', 0, 0}, 0x03},   // "Tпод", supply temperature
      {0, 2, {'\\', 'T', 0, 0}, 0x13},  // "Tобр", return temperature
      {0, 3, {'1', 'G', 0, 0}, 0x01},   // "G1", mass
      {1, 0, {'2', 'Q', 0, 0}, 0x10},   // "Q2", heat of the second system
      {1, 3, {'^', 'P', 0, 0}, 0x02},   // "Pлим", pressure
      {1, 7, {'2', 'M', 0, 0}, 0x11},   // "M2", mass of the second system
  };
  return params;
}

uint32_t StatusWord(std::string_view serial, int subsystem) {
  return DeviceSeed(serial) + static_cast<uint32_t>(subsystem) * 0x01010101u;
}

int RecordsKept(EPeriod period) {
  switch (period) {
    case EPeriod::Hour:
      return 400;
    case EPeriod::Day:
      return 45;
    case EPeriod::Month:
      return 14;
  }
  return 0;
}

std::optional<EPeriod> PeriodOfCode(uint8_t code) {
  switch (code) {
    case 26:
      return EPeriod::Hour;
    case 27:
      return EPeriod::Day;
    case 28:
      return EPeriod::Month;
    default:
      return std::nullopt;
  }
}

}  // namespace orlixsim

namespace {

using namespace orlixsim;
using namespace modbus;

constexpr int kSubsystems = 6;
constexpr size_t kBlockBytes = 40;
constexpr uint16_t kClockStart = 0, kClockCount = 3;
constexpr uint16_t kAnswerStart = 256;
constexpr uint16_t kAnswerCount = 2 + kSubsystems * 20;
constexpr uint16_t kSerialStart = 834, kSerialCount = 21;
constexpr uint16_t kConfigDate = 847;
constexpr uint16_t kFirmwareStart = 1024, kFirmwareCount = 2;
constexpr uint16_t kMaxRead = 125;
constexpr uint16_t kMarkConfig = 0x10, kMarkArchive = 0x62;

void PutFloat(std::vector<uint8_t>& image, size_t at, float value) {
  uint32_t bits = std::bit_cast<uint32_t>(value);
  for (int i = 0; i < 4; ++i) image[at + static_cast<size_t>(i)] = static_cast<uint8_t>(bits >> (8 * i));
}

// The status word as the host decodes it: the high half in the first register.
void PutWord(std::vector<uint8_t>& image, size_t at, uint32_t word) {
  image[at] = static_cast<uint8_t>(word >> 16);
  image[at + 1] = static_cast<uint8_t>(word >> 24);
  image[at + 2] = static_cast<uint8_t>(word);
  image[at + 3] = static_cast<uint8_t>(word >> 8);
}

void PutDate(std::vector<uint8_t>& image, size_t at, TDateTime date) {
  SYSTEMTIME st = DateTimeToSystemTime(date);
  image[at] = static_cast<uint8_t>(st.wYear - 2000);
  image[at + 1] = static_cast<uint8_t>(st.wMonth);
  image[at + 2] = static_cast<uint8_t>(st.wDay);
}

// Subsystem blocks from image offset `at`: values of the configured parameters, 0xFF where none is.
void PutBlocks(std::vector<uint8_t>& image, size_t at, std::string_view serial,
               float (*value)(std::string_view, uint8_t, const void*), const void* context) {
  for (int k = 0; k < kSubsystems; ++k) {
    size_t block = at + kBlockBytes * static_cast<size_t>(k);
    std::fill(image.begin() + static_cast<std::ptrdiff_t>(block + 8),
              image.begin() + static_cast<std::ptrdiff_t>(block + kBlockBytes), 0xFF);
    PutWord(image, block, StatusWord(serial, k));
    PutFloat(image, block + 4, value(serial, kHoursParam, context));
  }
  for (const TParam& p : Params())
    PutFloat(image,
             at + kBlockBytes * static_cast<size_t>(p.subsystem) + 8 + 4 * static_cast<size_t>(p.position),
             value(serial, p.param, context));
}

struct TArchivePoint {
  EPeriod period;
  int64_t index;
};

std::vector<uint8_t> ReplyOf(const std::vector<uint8_t>& image, size_t from, uint16_t count) {
  std::vector<uint8_t> reply{static_cast<uint8_t>(2 * count)};
  for (uint16_t r = 0; r < count; ++r) {
    size_t at = from + 2 * r;
    reply.push_back(image[at + 1]);  // high byte first on the wire
    reply.push_back(image[at]);
  }
  return reply;
}

}  // namespace

std::vector<uint8_t> TOrlixMeter::Record(EPeriod period, int64_t index, TDateTime now) const {
  std::vector<uint8_t> image(2 * kAnswerCount, 0xFF);
  int64_t newest = PeriodIndex(period, now) - 1;
  if (index > newest) return image;  // no such record yet: the end mark
  SYSTEMTIME st = DateTimeToSystemTime(PeriodStart(period, index));
  // bad-dates: every third record carries an impossible month.
  bool damaged = Faults().Get().badDates && index % 3 == 0;
  image[0] = static_cast<uint8_t>(damaged ? 13 : st.wMonth);
  image[1] = static_cast<uint8_t>(st.wYear - 2000);
  image[2] = static_cast<uint8_t>(st.wHour);
  image[3] = static_cast<uint8_t>(st.wDay);
  TArchivePoint point{period, index};
  PutBlocks(
      image, 4, Serial(),
      [](std::string_view serial, uint8_t param, const void* c) {
        auto* p = static_cast<const TArchivePoint*>(c);
        return ArchiveValue(serial, param, p->period, p->index, false);
      },
      &point);
  return image;
}

std::vector<uint8_t> TOrlixMeter::Prepared(TDateTime now) const {
  if (prepared_ == TPrepared::Archive) return Record(period_, cursor_, now);
  std::vector<uint8_t> image(2 * kAnswerCount, 0);
  if (prepared_ == TPrepared::Current) {
    PutBlocks(
        image, 4, Serial(),
        [](std::string_view serial, uint8_t param, const void* c) {
          return CurrentValue(serial, param, *static_cast<const TDateTime*>(c));
        },
        &now);
  } else if (prepared_ == TPrepared::Config) {
    for (const TParam& p : Params())
      std::memcpy(&image[4 + kBlockBytes * static_cast<size_t>(p.subsystem) + 8 +
                         4 * static_cast<size_t>(p.position)],
                  p.entry, 4);
  }
  return image;
}

std::optional<TPduAnswer> TOrlixMeter::WriteBlock(std::span<const uint8_t> data, TDateTime now) const {
  // Only the whole request block is taken.
  if (data.size() != 19 || data[0] != 0 || data[1] != 0 || data[2] != 0 || data[3] != 7 || data[4] != 14)
    return TPduAnswer{{}, kIllegalAddress};
  for (int r = 0; r < 7; ++r) block_[r] = static_cast<uint16_t>((data[5 + 2 * r] << 8) | data[6 + 2 * r]);
  if (block_[6] == kMarkConfig) {
    prepared_ = TPrepared::Config;
  } else if (block_[6] == kMarkArchive) {
    std::optional<EPeriod> period = PeriodOfCode(static_cast<uint8_t>(block_[3]));
    int year = 2000 + (block_[0] >> 8), month = block_[0] & 0xFF, day = block_[1] >> 8,
        hour = block_[1] & 0xFF;
    if (!period || !IsValidDate(year, month, day) || hour > 23) return TPduAnswer{{}, kIllegalValue};
    period_ = *period;
    TDateTime wanted = EncodeDateTime(year, month, day, hour);
    int64_t index = PeriodIndex(period_, wanted);
    if (PeriodStart(period_, index) < wanted) ++index;  // the first record at or after the date
    int64_t oldest = PeriodIndex(period_, now) - RecordsKept(period_);
    cursor_ = std::max(index, oldest);
    fresh_ = true;
    prepared_ = TPrepared::Archive;
  } else {
    prepared_ = TPrepared::Current;  // also the clock correction block: the meter keeps its own clock
  }
  return TPduAnswer{{0, 0, 0, 7}};
}

std::optional<TPduAnswer> TOrlixMeter::ReadInputs(uint16_t start, uint16_t count, TDateTime now) const {
  auto inside = [&](uint16_t first, uint16_t n) { return start >= first && start + count <= first + n; };
  if (inside(kClockStart, kClockCount)) {
    SYSTEMTIME st = DateTimeToSystemTime(now);
    std::vector<uint8_t> image{static_cast<uint8_t>(st.wMonth),  static_cast<uint8_t>(st.wYear - 2000),
                               static_cast<uint8_t>(st.wHour),   static_cast<uint8_t>(st.wDay),
                               static_cast<uint8_t>(st.wSecond), static_cast<uint8_t>(st.wMinute)};
    return TPduAnswer{ReplyOf(image, 2 * start, count)};
  }
  if (inside(kSerialStart, kSerialCount)) {
    std::vector<uint8_t> image(2 * kSerialCount, 0);
    for (size_t i = 0; i < 8 && i < Serial().size(); ++i)
      image[i] = static_cast<uint8_t>((Serial()[i] - '0') % 10);
    PutDate(image, 2 * (kConfigDate - kSerialStart), ConfigChangeDate(Serial()));
    return TPduAnswer{ReplyOf(image, 2 * (start - kSerialStart), count)};
  }
  if (inside(kFirmwareStart, kFirmwareCount)) {
    std::vector<uint8_t> image(2 * kFirmwareCount, 0);
    PutDate(image, 0, FirmwareDate());
    return TPduAnswer{ReplyOf(image, 2 * (start - kFirmwareStart), count)};
  }
  if (!inside(kAnswerStart, kAnswerCount) || prepared_ == TPrepared::None)
    return TPduAnswer{{}, kIllegalAddress};
  if (prepared_ == TPrepared::Archive && start == kAnswerStart) {
    if (!fresh_) ++cursor_;
    fresh_ = false;
  }
  return TPduAnswer{ReplyOf(Prepared(now), 2 * (start - kAnswerStart), count)};
}

std::optional<TPduAnswer> TOrlixMeter::Answer(uint8_t function, std::span<const uint8_t> data,
                                              TDateTime now) const {
  std::lock_guard lock(mutex_);
  if (function == 16) return WriteBlock(data, now);
  if ((function != 3 && function != 4) || data.size() != 4) return TPduAnswer{{}, kIllegalFunction};
  auto start = static_cast<uint16_t>((data[0] << 8) | data[1]);
  auto count = static_cast<uint16_t>((data[2] << 8) | data[3]);
  if (count == 0 || count > kMaxRead) return TPduAnswer{{}, kIllegalValue};
  if (function == 3) {
    // Holding registers: the request block as last written.
    if (start + count > 7) return TPduAnswer{{}, kIllegalAddress};
    std::vector<uint8_t> image;
    for (uint16_t r = 0; r < 7; ++r)
      image.insert(image.end(), {static_cast<uint8_t>(block_[r]), static_cast<uint8_t>(block_[r] >> 8)});
    return TPduAnswer{ReplyOf(image, 2 * start, count)};
  }
  return ReadInputs(start, count, now);
}

}  // namespace orvela::sim
