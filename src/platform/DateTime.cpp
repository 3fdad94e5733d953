#include "platform/DateTime.h"

#include <cmath>
#include <cstdio>
#include <ctime>

namespace orvela {
namespace {

// Days from 1970-01-01 to a civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int& y, unsigned& m, unsigned& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t yy = static_cast<int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y = static_cast<int>(yy + (m <= 2));
}

// Milliseconds since 1899-12-30 for a TDateTime; negative values count the day backwards and the
// fraction forwards, as the format defines.
int64_t ToMs(TDateTime dt) {
  double whole = std::trunc(dt);
  double frac = std::fabs(dt - whole);
  return static_cast<int64_t>(whole) * 86'400'000 + static_cast<int64_t>(std::llround(frac * kMsPerDay));
}

TDateTime FromMs(int64_t ms) {
  int64_t days = ms >= 0 ? ms / 86'400'000 : -((-ms + 86'399'999) / 86'400'000);
  int64_t rest = ms - days * 86'400'000;
  if (days >= 0) return static_cast<double>(days) + rest / kMsPerDay;
  // Day part negative: the time of day is still counted forwards.
  return static_cast<double>(days) - rest / kMsPerDay;
}

constexpr int64_t kFileTimeTo1899Days = 109205;  // days from 1601-01-01 to 1899-12-30
constexpr int64_t kTicksPerMs = 10'000;

}  // namespace

bool IsValidDate(int year, int month, int day) {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1) return false;
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return day <= kDays[month - 1] + (month == 2 && leap ? 1 : 0);
}

TDateTime EncodeDateTime(int year, int month, int day, int hour, int minute, int second, int millisecond) {
  int64_t days = DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) +
                 static_cast<int64_t>(kUnixEpochDays);
  int64_t ms = ((static_cast<int64_t>(hour) * 60 + minute) * 60 + second) * 1000 + millisecond;
  return FromMs(days * 86'400'000 + ms);
}

SYSTEMTIME DateTimeToSystemTime(TDateTime dt) {
  int64_t ms = ToMs(dt);
  int64_t days = ms >= 0 ? ms / 86'400'000 : -((-ms + 86'399'999) / 86'400'000);
  int64_t msOfDay = ms - days * 86'400'000;
  int y;
  unsigned m, d;
  CivilFromDays(days - static_cast<int64_t>(kUnixEpochDays), y, m, d);
  SYSTEMTIME st;
  st.wYear = static_cast<WORD>(y);
  st.wMonth = static_cast<WORD>(m);
  st.wDay = static_cast<WORD>(d);
  // 1899-12-30 was a Saturday (6).
  st.wDayOfWeek = static_cast<WORD>(((days % 7) + 7 + 6) % 7);
  st.wHour = static_cast<WORD>(msOfDay / 3'600'000);
  st.wMinute = static_cast<WORD>(msOfDay / 60'000 % 60);
  st.wSecond = static_cast<WORD>(msOfDay / 1000 % 60);
  st.wMilliseconds = static_cast<WORD>(msOfDay % 1000);
  return st;
}

TDateTime SystemTimeToDateTime(const SYSTEMTIME& st) {
  return EncodeDateTime(st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds);
}

TDateTime UnixMsToDateTime(int64_t unixMs) {
  return FromMs(unixMs + static_cast<int64_t>(kUnixEpochDays) * 86'400'000);
}

int64_t DateTimeToUnixMs(TDateTime dt) {
  return ToMs(dt) - static_cast<int64_t>(kUnixEpochDays) * 86'400'000;
}

TDateTime LocalToUtc(TDateTime local) {
  SYSTEMTIME st = DateTimeToSystemTime(local);
  std::tm tm{};
  tm.tm_year = st.wYear - 1900;
  tm.tm_mon = st.wMonth - 1;
  tm.tm_mday = st.wDay;
  tm.tm_hour = st.wHour;
  tm.tm_min = st.wMinute;
  tm.tm_sec = st.wSecond;
  tm.tm_isdst = -1;
  time_t t = mktime(&tm);
  return UnixMsToDateTime(static_cast<int64_t>(t) * 1000 + st.wMilliseconds);
}

TDateTime UtcToLocal(TDateTime utc) {
  int64_t ms = DateTimeToUnixMs(utc);
  time_t t = static_cast<time_t>(ms >= 0 ? ms / 1000 : -((-ms + 999) / 1000));
  std::tm tm{};
  localtime_r(&t, &tm);
  return UnixMsToDateTime(ms + static_cast<int64_t>(tm.tm_gmtoff) * 1000);
}

int64_t FileTimeToInt64(const FILETIME& ft) {
  return static_cast<int64_t>((static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime);
}

FILETIME Int64ToFileTime(int64_t v) {
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(static_cast<uint64_t>(v) & 0xFFFFFFFFu);
  ft.dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(v) >> 32);
  return ft;
}

FILETIME UtcDateTimeToFileTime(TDateTime utc) {
  int64_t ms = ToMs(utc) + kFileTimeTo1899Days * 86'400'000;
  return Int64ToFileTime(ms < 0 ? 0 : ms * kTicksPerMs);
}

TDateTime FileTimeToUtcDateTime(const FILETIME& ft) {
  return FromMs(FileTimeToInt64(ft) / kTicksPerMs - kFileTimeTo1899Days * 86'400'000);
}

FILETIME LocalDateTimeToFileTime(TDateTime local) {
  return UtcDateTimeToFileTime(LocalToUtc(local));
}

TDateTime FileTimeToLocalDateTime(const FILETIME& ft) {
  return UtcToLocal(FileTimeToUtcDateTime(ft));
}

std::string FormatDateTime(TDateTime dt) {
  SYSTEMTIME st = DateTimeToSystemTime(dt);
  char buf[48];
  std::snprintf(buf, sizeof buf, "%02u.%02u.%04u %02u:%02u:%02u", st.wDay, st.wMonth, st.wYear, st.wHour,
                st.wMinute, st.wSecond);
  return buf;
}

}  // namespace orvela
