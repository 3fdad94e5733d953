#include "metersim/Values.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace orvela::sim {
namespace {

constexpr double kEpoch2000 = 36526.0;  // 2000-01-01 as a TDateTime
constexpr uint8_t kHours = 13;

uint64_t Mix(uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

uint64_t Mix(uint32_t seed, uint64_t a, uint64_t b = 0, uint64_t c = 0) {
  return Mix(seed ^ Mix(a ^ Mix(b ^ Mix(c))));
}

int Channel(uint8_t param) {
  return param / 16 + 1;
}
int Quantity(uint8_t param) {
  return param & 0x0F;
}

// Hours since 2000-01-01 of a local time, and of the same time cut to whole minutes.
double HoursOf(TDateTime t) {
  return (t - kEpoch2000) * 24.0;
}
double HoursToMinute(TDateTime t) {
  return std::floor((t - kEpoch2000) * 1440.0 + 1e-6) / 60.0;
}

// Counter rates per hour of the totalising quantities, by the low four bits of the id.
double Rate(int quantity) {
  switch (quantity) {
    case 0:
      return 0.05;  // heat, Gcal
    case 1:
      return 1.25;  // mass, t
    case 4:
      return 1.3;  // volume, m3
    case 5:
      return 25.0;  // gas volume at normal conditions, m3
    case 6:
      return 0.4;  // steam mass, t
    case 7:
      return 15.0;  // electric energy, kWh
    default:
      return 0.0;
  }
}

double SeedFactor(uint32_t seed) {
  return 0.8 + (seed % 401) / 1000.0;
}
double Phase(uint32_t seed) {
  return (seed % 628) / 100.0;
}

// Counter of a totalising quantity at h hours since 2000. Its slope stays positive: the daily and
// weekly waves never make consumption negative.
double Counter(uint32_t seed, uint8_t param, double h) {
  if (Quantity(param) == kHours) return h - 131'496.0;  // operating hours since 2015-01-01
  double rate = Rate(Quantity(param)) * SeedFactor(seed) * (1.0 + 0.1 * (Channel(param) - 1));
  double phase = Phase(seed);
  return rate * ((seed % 20'000) + h + 1.5 * std::sin(2 * std::numbers::pi * h / 24 + phase) +
                 4.0 * std::sin(2 * std::numbers::pi * h / 168 + phase / 2));
}

// Momentary value of a state quantity.
double State(uint32_t seed, uint8_t param, double h) {
  double mean = 0, amplitude = 0;
  if (Quantity(param) == 2) {
    mean = 6.0 + 0.2 * (Channel(param) - 1);
    amplitude = 0.4;
  } else if (Quantity(param) == 3) {
    mean = Channel(param) == 1 ? 70.0 : Channel(param) == 2 ? 45.0 : 20.0;
    amplitude = 6.0;
  } else {
    return 0.0;
  }
  return mean + (seed % 100) / 50.0 + amplitude * std::sin(2 * std::numbers::pi * h / 24 + Phase(seed));
}

bool Names(uint8_t param) {
  int q = Quantity(param);
  return q <= 7 || q == kHours;
}

}  // namespace

uint32_t DeviceSeed(std::string_view serial) {
  uint32_t hash = 2166136261u;
  for (unsigned char c : serial) hash = (hash ^ c) * 16777619u;
  return hash;
}

bool IsTotalising(uint8_t param) {
  int q = Quantity(param);
  return Names(param) && q != 2 && q != 3;
}

float CurrentValue(std::string_view serial, uint8_t param, TDateTime t) {
  if (!Names(param)) return 0.0f;
  uint32_t seed = DeviceSeed(serial);
  double h = HoursToMinute(t);
  return static_cast<float>(IsTotalising(param) ? Counter(seed, param, h) : State(seed, param, h));
}

uint8_t CurrentStatus(std::string_view serial, uint8_t param) {
  static constexpr uint8_t kStatuses[] = {0x00, 0x00, 0x00, 0x01, 0x80, 0x0E, 0x81};
  return kStatuses[Mix(DeviceSeed(serial), param) % std::size(kStatuses)];
}

int64_t PeriodIndex(EPeriod period, TDateTime t) {
  switch (period) {
    case EPeriod::Hour:
      return static_cast<int64_t>(std::floor((t - kEpoch2000) * 24.0 + 1e-7));
    case EPeriod::Day:
      return static_cast<int64_t>(std::floor(t - kEpoch2000 + 1e-9));
    case EPeriod::Month: {
      SYSTEMTIME st = DateTimeToSystemTime(t);
      return (static_cast<int64_t>(st.wYear) - 2000) * 12 + st.wMonth - 1;
    }
  }
  return 0;
}

TDateTime PeriodStart(EPeriod period, int64_t index) {
  auto floorDiv = [](int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); };
  switch (period) {
    case EPeriod::Hour: {
      int64_t day = floorDiv(index, 24);
      SYSTEMTIME st = DateTimeToSystemTime(kEpoch2000 + static_cast<double>(day));
      return EncodeDateTime(st.wYear, st.wMonth, st.wDay, static_cast<int>(index - day * 24));
    }
    case EPeriod::Day: {
      SYSTEMTIME st = DateTimeToSystemTime(kEpoch2000 + static_cast<double>(index));
      return EncodeDateTime(st.wYear, st.wMonth, st.wDay);
    }
    case EPeriod::Month: {
      int64_t year = floorDiv(index, 12);
      return EncodeDateTime(static_cast<int>(2000 + year), static_cast<int>(index - year * 12) + 1, 1);
    }
  }
  return 0;
}

float ArchiveValue(std::string_view serial, uint8_t param, EPeriod period, int64_t index, bool integrator) {
  if (!Names(param)) return 0.0f;
  uint32_t seed = DeviceSeed(serial);
  double start = HoursOf(PeriodStart(period, index));
  double end = HoursOf(PeriodStart(period, index + 1));
  if (integrator) {
    return static_cast<float>(IsTotalising(param) ? Counter(seed, param, start) : State(seed, param, start));
  }
  return static_cast<float>(IsTotalising(param) ? Counter(seed, param, end) - Counter(seed, param, start)
                                                : State(seed, param, (start + end) / 2));
}

float PartialArchiveValue(std::string_view serial, uint8_t param, EPeriod period, int64_t index,
                          TDateTime t) {
  if (!Names(param)) return 0.0f;
  uint32_t seed = DeviceSeed(serial);
  double start = HoursOf(PeriodStart(period, index));
  double now = std::max(start, HoursToMinute(t));
  return static_cast<float>(IsTotalising(param) ? Counter(seed, param, now) - Counter(seed, param, start)
                                                : State(seed, param, (start + now) / 2));
}

TErrorRecord ErrorRecord(std::string_view serial, uint8_t param, EPeriod period, int64_t index) {
  uint64_t x = Mix(DeviceSeed(serial), param, static_cast<uint64_t>(period), static_cast<uint64_t>(index));
  if (x % 5 != 0) return {};
  static constexpr uint8_t kFlags[] = {0x01, 0x02, 0x80, 0x81, 0x0E};
  double periodMinutes = (PeriodStart(period, index + 1) - PeriodStart(period, index)) * 1440.0;
  auto limit = static_cast<uint64_t>(std::llround(periodMinutes));
  return {static_cast<uint16_t>(1 + (x >> 8) % limit), kFlags[(x >> 40) % std::size(kFlags)]};
}

std::vector<int> TRing::TimeOrder() const {
  std::vector<int> order;
  int n = Size();
  for (int i = 1; i <= n; ++i) order.push_back((newest + i) % n);
  return order;
}

TRing ArchiveRing(EPeriod period, int size, TDateTime deviceNow, bool newestInProgress) {
  TRing ring;
  if (size <= 0) return ring;
  int64_t newest = PeriodIndex(period, deviceNow) - (newestInProgress ? 0 : 1);
  auto mod = [size](int64_t a) { return static_cast<int>(((a % size) + size) % size); };
  ring.newest = mod(newest);
  ring.index.resize(size);
  for (int r = 0; r < size; ++r) ring.index[r] = newest - mod(newest - r);
  return ring;
}

TRing PartlyWrittenRing(const TRing& full, int written, int first) {
  TRing ring{full.newest, std::vector<int64_t>(full.index.size(), TRing::kUnwritten)};
  int n = std::clamp(written, 0, full.Size());
  if (n == 0) return ring;
  int start = std::clamp(first, 0, full.Size() - n);
  int64_t newestIndex = full.index[static_cast<size_t>(full.newest)];
  for (int i = 0; i < n; ++i) ring.index[static_cast<size_t>(start + i)] = newestIndex - (n - 1 - i);
  ring.newest = start + n - 1;
  return ring;
}

uint16_t TimerStatusWord(std::string_view serial) {
  return static_cast<uint16_t>(DeviceSeed(serial) % 0x1000);
}

TDateTime FirmwareDate() {
  return EncodeDateTime(2019, 4, 15, 10, 30, 0);
}

TDateTime ConfigChangeDate(std::string_view serial) {
  // Built from calendar fields so that the value equals what a reader re-encodes from the wire.
  SYSTEMTIME day =
      DateTimeToSystemTime(EncodeDateTime(2023, 1, 1) + static_cast<double>(DeviceSeed(serial) % 365));
  return EncodeDateTime(day.wYear, day.wMonth, day.wDay, 9, 15, 0);
}

}  // namespace orvela::sim
